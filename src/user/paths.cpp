#include "user/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <map>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "support/file.h"
#include "support/str.h"
#include "user/profile.h"

namespace {

constexpr std::size_t kPathMax = 511;

struct PathState {
    int hash_method = 0;   // 0: not computed yet
    // Directory chosen for each login name in this process: the owner
    // check reads the disk once per name.
    std::map<std::string, std::string, std::less<>> owned;
};

PathState& st() {
    static PathState s;
    return s;
}

bool is_alnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// rencode's code letter for a character, 0 when it has none.
char rcode(unsigned char c) {
    static const char* const kChars = " !\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~\x7f";
    static const char* const kCodes = "456789ABCDEFGHIJ0KLMNOPQRST_UVWXYZ";
    for (int i = 0; kChars[i]; ++i)
        if (static_cast<unsigned char>(kChars[i]) == c) return kCodes[i];
    return 0;
}

std::string rencode_impl(std::string_view text, std::size_t size, bool keep_star) {
    std::string out;
    if (size == 0) return out;
    const std::size_t limit = size - 1;
    for (unsigned char c : text) {
        if (is_alnum(c) || (keep_star && c == '*')) {
            if (out.size() + 1 > limit) break;
            out += static_cast<char>(c);
            continue;
        }
        if (c < 32 || c >= 128) continue;
        char code = rcode(c);
        if (!code) continue;
        if (out.size() + 2 > limit) break;
        out += '_';
        out += code;
    }
    return out;
}

// A relative path whose components cannot climb out of the directory it is
// joined to: "." and ".." components become "_" and "__", backslashes are
// already slashes, control bytes become "_".
std::string contain_rel(std::string_view rel) {
    std::string out;
    std::size_t i = 0;
    while (i <= rel.size()) {
        std::size_t j = rel.find('/', i);
        if (j == std::string_view::npos) j = rel.size();
        std::string comp(rel.substr(i, j - i));
        for (char& c : comp) {
            unsigned char u = static_cast<unsigned char>(c);
            if (u < 32 || u == 127 || c == '\\') c = '_';
        }
        if (comp == ".") comp = "_";
        else if (comp == "..") comp = "__";
        out += comp;
        if (j < rel.size()) out += '/';
        i = j + 1;
    }
    return out;
}

// A single file name for use inside a user or folder directory.
std::string contain_name(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127 || c == '/' || c == '\\') c = '_';
    }
    if (out == "." || out == "..") out = std::string(out.size(), '_');
    return out;
}

bool has_dotdot_or_ctl(std::string_view p) {
    for (unsigned char c : p)
        if (c < 32 || c == 127) return true;
    std::string s = fix_slash(p);
    std::size_t i = 0;
    while (i <= s.size()) {
        std::size_t j = s.find('/', i);
        if (j == std::string::npos) j = s.size();
        if (s.compare(i, j - i, "..") == 0) return true;
        i = j + 1;
    }
    return false;
}

// The alternative work area of a user name, or "" for the main one.  A
// directory that could climb out (".." components, control bytes) is not
// used; a relative one lies under the main work area.
std::string alt_work(std::string_view name) {
    for (const WorkRange& w : ini_work()) {
        if (!(std::string_view(w.low) <= name && name < std::string_view(w.high))) continue;
        if (w.dir.empty() || has_dotdot_or_ctl(w.dir)) {
            imsg("work line %s-%s ignored: unsafe directory {%s}\n", w.low.c_str(), w.high.c_str(),
                 w.dir.c_str());
            continue;
        }
        std::string d = fix_slash(w.dir);
        if (d[0] != '/') d = file_work(d);
        return d;
    }
    return "";
}

std::string join(std::string_view dir, std::string_view name) {
    std::string r(dir);
    if (!r.empty() && r.back() != '/') r += '/';
    r += name;
    return ncpy(fix_slash(r), kPathMax);
}

}  // namespace

int hash_method() {
    if (!st().hash_method) {
        std::string v = lower(wm_ini_get(K_hash_method));
        st().hash_method = (v == "nhash" || std::atoi(v.c_str()) == 2) ? 2 : 1;
    }
    return st().hash_method;
}

int hash_num() {
    int n = std::atoi(wm_ini_get(K_hash_num).c_str());
    if (n <= 0) n = 2;
    if (n > 500) n = 500;   // keeps the second level non-empty within 511
    return n;
}

std::string rencode(std::string_view text, std::size_t size) { return rencode_impl(text, size, false); }
std::string rencodew(std::string_view text, std::size_t size) { return rencode_impl(text, size, true); }

std::string rdecode(std::string_view text) {
    static const char* const kChars = " !\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~\x7f";
    static const char* const kCodes = "456789ABCDEFGHIJ0KLMNOPQRST_UVWXYZ";
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '_' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        char code = text[++i];
        bool found = false;
        for (int k = 0; kCodes[k]; ++k)
            if (kCodes[k] == code) {
                out += kChars[k];
                found = true;
                break;
            }
        if (!found) {   // not an escape: keep both as they are
            out += '_';
            out += code;
        }
    }
    return out;
}

std::string nhash(std::string_view text) {
    std::string s = ncpy(text, 502);
    unsigned a = 0, b = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (i % 2 == 0) a = (a + static_cast<unsigned char>(s[i])) % 256;
        else b = (b + static_cast<unsigned char>(s[i])) % 256;
    }
    return sfmt("n_%c%u/%c%u/", static_cast<char>('a' + a / 10), a % 10, static_cast<char>('a' + b / 10),
                b % 10) + s;
}

std::string user_only(std::string_view login) {
    std::size_t first = login.find('@');
    if (first == std::string_view::npos) return std::string(login);
    std::size_t second = login.find('@', first + 1);
    return std::string(login.substr(0, second == std::string_view::npos ? first : second));
}

namespace {
// The name a user's directory is made from.
std::string dir_name(std::string_view user) {
    std::string name = ncpy(user, kPathMax);
    // Users of a renamed server keep the directories of the old name.
    const std::string& orig = wm_ini_get(K_original_pophost);
    const std::string& pop = wm_ini_get(K_pophost);
    if (!orig.empty() && orig != pop) {
        std::size_t at = name.rfind('@');
        if (at != std::string::npos && !pop.empty()) {
            std::string host = name.substr(at + 1);
            if (host.size() >= pop.size() && lower(host.substr(0, pop.size())) == lower(pop))
                name = ncpy(name.substr(0, at) + "@" + orig, kPathMax);
        }
    }
    return name;
}
}  // namespace

std::string user_dir_of(std::string_view user) {
    const std::string name = dir_name(user);
    std::string rel;
    if (hash_method() == 2) {
        rel = nhash(rencode(name, 512));
    } else {
        std::string safe = name;
        makenice3(safe);
        const std::size_t hn = static_cast<std::size_t>(hash_num());
        if (safe.size() < hn) rel = "u_" + safe;
        else rel = "u_" + safe.substr(0, hn) + "/" + ncpy(safe, 508 - hn);
    }
    rel = contain_rel(rel);
    std::string alt = alt_work(user);
    std::string dir = alt.empty() ? ncpy(file_work(rel), kPathMax) : join(alt, rel);
    // The flattened name may be shared by several login names
    // ("first.last", "first_last"): the directory belongs to one of them.
    return hash_method() == 2 ? dir : owned_dir(dir, name);
}

namespace {

std::string read_first_line(const std::string& path) {
    std::string line;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        int c;
        while (line.size() < 600 && (c = std::fgetc(f)) != EOF && c != '\n') line += static_cast<char>(c);
        std::fclose(f);
    }
    return line;
}

// The POP user of slot 0 in a profile written before directories had an
// owner file ("pophost 0 host<TAB>user<TAB>..."); "" when there is none.
std::string profile_pop_user(const std::string& path) {
    std::string user;
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return user;
    char buf[2048];
    while (std::fgets(buf, sizeof buf, f)) {
        std::string_view l(buf);
        if (l.substr(0, 10) != "pophost 0 ") continue;
        std::size_t t1 = l.find('\t');
        if (t1 == std::string_view::npos) break;
        std::size_t t2 = l.find_first_of("\t\r\n", t1 + 1);
        user = std::string(l.substr(t1 + 1, t2 == std::string_view::npos ? std::string_view::npos : t2 - t1 - 1));
        break;
    }
    std::fclose(f);
    return user;
}

// 64-bit FNV-1a of the exact name, as 16 hexadecimal digits.
std::string name_hash(std::string_view name) {
    std::uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : name) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return sfmt("%016llx", static_cast<unsigned long long>(h));
}

}  // namespace

std::string owned_dir(const std::string& dir, std::string_view name) {
    auto it = st().owned.find(name);
    if (it != st().owned.end() && it->second.rfind(dir, 0) == 0) return it->second;
    std::string chosen = dir;
    const std::string owner = read_first_line(join(dir, kOwnerFile));
    bool mine;
    if (!owner.empty()) {
        mine = owner == name;
    } else {
        // A directory from before owner files: its profile names the POP
        // user that made it.  An empty or new directory is free.
        std::string made_by = profile_pop_user(join(dir, "user.dat"));
        mine = made_by.empty() || made_by == user_only(name);
    }
    if (!mine) {
        chosen = ncpy(dir + "~" + name_hash(name), kPathMax);
        imsg("Work area of %s is taken by another name: using %s", std::string(name).c_str(), chosen.c_str());
    }
    st().owned[std::string(name)] = chosen;
    return chosen;
}

void claim_user_dir() {
    if (prof.xuser.empty() || hash_method() == 2) return;
    const std::string path = join(user_dir(), kOwnerFile);
    if (!read_first_line(path).empty()) return;
    file_replace(path, dir_name(prof.xuser) + "\n");
}

std::string user_dir() { return user_dir_of(prof.xuser); }

std::string user_file(std::string_view user) { return join(user_dir_of(user), "user.dat"); }
std::string user_file() { return user_file(prof.xuser); }

std::string user_file_new(std::string_view user) {
    const char* fmt = ini_true(K_no_rename) ? "user_%d.dat" : "user_%d.tmp";
    return join(user_dir_of(user), sfmt(fmt, static_cast<int>(getpid())));
}
std::string user_file_new() { return user_file_new(prof.xuser); }

std::string user_fname(std::string_view name) { return join(user_dir(), contain_name(name)); }
std::string user_lost_file() { return join(user_dir(), "user.lost"); }

std::string fld_dir(int n) { return join(user_dir(), n == -1 ? std::string("held") : std::to_string(n)); }

std::string fld_file(int n, std::string_view name) { return join(fld_dir(n), contain_name(name)); }

std::string fld_file_new(int n) { return join(fld_dir(n), sfmt("index%d.tmp", static_cast<int>(getpid()))); }

std::string user_default() { return ncpy(file_work("default.dat"), kPathMax); }

int make_parent_dirs(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return 1;
    std::string dir = path.substr(0, slash);
    struct stat sb;
    if (stat(dir.c_str(), &sb) == 0) return S_ISDIR(sb.st_mode) ? 1 : 0;
    for (std::size_t i = 1; i <= dir.size(); ++i) {
        if (i < dir.size() && dir[i] != '/') continue;
        std::string part = dir.substr(0, i);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return 0;
    }
    return stat(dir.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode);
}

void paths_reset() { st() = PathState{}; }
