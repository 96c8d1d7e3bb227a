#include "cgi/lang.h"

#include <cstdio>
#include <string>
#include <vector>

#include "cgi/diag.h"

namespace {

constexpr std::size_t kMaxPairs = 1000;

struct LangState {
    std::vector<std::pair<std::string, std::string>> pairs;
    bool english = true;
    bool foreign = false;
    bool loaded_once = false;
    std::string path;
};

LangState& st() {
    static LangState s;
    return s;
}

// One line of at most 511 characters; CR and LF end its text.  Returns false
// at end of file.  A longer line is cut, the rest of it skipped.
bool read_line(FILE* f, std::string& out) {
    out.clear();
    int c;
    bool any = false;
    while ((c = std::fgetc(f)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (out.size() < 511) out.push_back(static_cast<char>(c));
    }
    if (!any) return false;
    std::size_t cut = out.find_first_of("\r\n");
    if (cut != std::string::npos) out.resize(cut);
    return true;
}

}  // namespace

std::string slashn(const std::string& text) {
    std::string r;
    r.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'n' || text[i + 1] == 'r')) {
            r.push_back(text[i + 1] == 'n' ? '\n' : '\r');
            ++i;
        } else {
            r.push_back(text[i]);
        }
    }
    return r.substr(0, 511);
}

int lang_read(const std::string& path) {
    LangState& s = st();
    if (path.empty()) {
        lang_english();
        return 0;
    }
    if (s.loaded_once && path == s.path) return 1;
    s.path = path;
    s.loaded_once = true;
    s.pairs.clear();
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        emsg("Could not open language file %s\n", path.c_str());
        s.english = true;
        return 0;
    }
    std::string en, tr;
    while (read_line(f, en)) {
        if (en.empty()) break;  // an empty line ends the table
        if (en[0] == '#') continue;
        if (!read_line(f, tr)) tr.clear();
        if (s.pairs.size() < kMaxPairs) s.pairs.emplace_back(slashn(en), slashn(tr));
    }
    std::fclose(f);
    s.foreign = true;
    s.english = false;
    return 1;
}

void lang_english() { st().english = true; }

const char* lang_find(const char* text) {
    LangState& s = st();
    if (!text || !*text) return text;
    for (const auto& p : s.pairs)
        if (p.first == text) return p.second.empty() ? text : p.second.c_str();
    imsg("No language translation for %s\n tried %d", text, static_cast<int>(s.pairs.size()));
    return text;
}

const char* lang_get(const char* text) {
    LangState& s = st();
    if (s.english) return text;
    if (!s.foreign) {
        emsg("lang_get was called before lang_read\n");
        return text;
    }
    return lang_find(text);
}

void lang_reset() { st() = LangState{}; }
