// Writes the manual page: the page text of larkspur.8.in with its
// "@SETTINGS@" line replaced by one entry per setting, taken from the
// program's own key table (the X-macro list the settings reader is built
// from) and described by settings.txt.  Any disagreement between the table
// and the descriptions stops the build, so the page cannot drift from the
// program.
//
//   larkspur_mkman PAGE.in SETTINGS.txt OUT
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cgi/ini_keys.inc"

namespace {

struct Key {
    const char* name;
    const char* dflt;
};

#define LK_MAN_KEY(id, name, dflt) {name, dflt},
const Key kKeys[] = {LK_INI_KEYS(LK_MAN_KEY)};
#undef LK_MAN_KEY

struct Description {
    std::string meaning;
    std::string computed;  // what an unset key without a table default means
    bool used = false;
};

// Text for roff: a backslash is written \e, a hyphen \-, a name in
// backquotes is set in bold, and a line never starts with a control
// character.
std::string roff(const std::string& s) {
    std::string out;
    bool bold = false;
    for (char c : s) {
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else if (c == '`') out += (bold = !bold) ? "\\fB" : "\\fR";
        else out += c;
    }
    if (bold) out += "\\fR";
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

bool read_file(const char* path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PAGE.in SETTINGS.txt OUT\n", argv[0]);
        return 2;
    }
    std::string page, settings;
    if (!read_file(argv[1], page) || !read_file(argv[2], settings)) {
        std::fprintf(stderr, "mkman: cannot read %s or %s\n", argv[1], argv[2]);
        return 1;
    }

    int bad = 0;
    std::map<std::string, Description> desc;
    std::istringstream lines(settings);
    std::string line;
    for (int n = 1; std::getline(lines, line); ++n) {
        if (line.empty() || line[0] == '#') continue;
        const auto t1 = line.find('\t');
        if (t1 == std::string::npos || t1 == 0) {
            std::fprintf(stderr, "%s:%d: not \"key<TAB>meaning\"\n", argv[2], n);
            ++bad;
            continue;
        }
        const auto t2 = line.find('\t', t1 + 1);
        Description d;
        d.meaning = line.substr(t1 + 1, t2 == std::string::npos ? std::string::npos : t2 - t1 - 1);
        if (t2 != std::string::npos) d.computed = line.substr(t2 + 1);
        const std::string key = line.substr(0, t1);
        if (d.meaning.empty()) {
            std::fprintf(stderr, "%s:%d: %s has no meaning\n", argv[2], n, key.c_str());
            ++bad;
        }
        if (!desc.emplace(key, d).second) {
            std::fprintf(stderr, "%s:%d: %s described twice\n", argv[2], n, key.c_str());
            ++bad;
        }
    }

    std::string entries;
    for (const Key& k : kKeys) {
        auto it = desc.find(k.name);
        if (it == desc.end()) {
            std::fprintf(stderr, "mkman: the setting %s has no description in %s\n", k.name, argv[2]);
            ++bad;
            continue;
        }
        Description& d = it->second;
        d.used = true;
        std::string dflt;
        if (*k.dflt) {
            if (!d.computed.empty()) {
                std::fprintf(stderr, "mkman: %s: the program's default is \"%s\", %s says \"%s\"\n",
                             k.name, k.dflt, argv[2], d.computed.c_str());
                ++bad;
            }
            dflt = "\\(lq" + roff(k.dflt) + "\\(rq";
        } else {
            dflt = d.computed.empty() ? "unset" : roff(d.computed);
        }
        entries += ".TP\n.B " + roff(k.name) + "\n" + roff(d.meaning) + ".\nDefault: " + dflt + ".\n";
    }
    for (const auto& [key, d] : desc)
        if (!d.used) {
            std::fprintf(stderr, "mkman: %s describes %s, which the program does not read\n", argv[2],
                         key.c_str());
            ++bad;
        }

    const std::string mark = "@SETTINGS@\n";
    const auto at = page.find(mark);
    if (at == std::string::npos) {
        std::fprintf(stderr, "mkman: %s has no %s line\n", argv[1], "@SETTINGS@");
        ++bad;
    }
    if (bad) return 1;
    page.replace(at, mark.size(), entries);

    const std::string tmp = std::string(argv[3]) + ".new";
    std::FILE* f = std::fopen(tmp.c_str(), "w");
    bool ok = f && std::fwrite(page.data(), 1, page.size(), f) == page.size();
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok) {
        std::fprintf(stderr, "mkman: cannot write %s\n", tmp.c_str());
        return 1;
    }
    if (std::rename(tmp.c_str(), argv[3]) != 0) {
        std::fprintf(stderr, "mkman: cannot rename %s\n", tmp.c_str());
        return 1;
    }
    return 0;
}
