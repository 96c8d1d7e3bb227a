// Reading the site configuration.  The file is read twice per request (once
// with the host name the web server reports, once after the request may have
// named another virtual host), so every list-building key is processed twice
// and the first matching entry of a list decides.
#include "cgi/config.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi/diag.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "support/str.h"

namespace {

const char* const kNames[] = {
#define LK_INI_NAME(id, name, dflt) name,
    LK_INI_KEYS(LK_INI_NAME)
#undef LK_INI_NAME
};
const char* const kDefaults[] = {
#define LK_INI_DFLT(id, name, dflt) dflt,
    LK_INI_KEYS(LK_INI_DFLT)
#undef LK_INI_DFLT
};

struct IniState {
    std::string values[K_COUNT];
    bool set[K_COUNT] = {};
    std::string config_file;
    std::string xroot = ".";
    std::vector<WorkRange> work;
    std::vector<MatchItem> match;
    AutoLoginTarget auto_login[11];
    std::string tpls[31];
    bool tpls_expanded[31] = {};
    int tpl_number = 0;
    std::string pophost, original_pophost;
};

IniState& st() {
    static IniState s;
    return s;
}

const std::string kEmpty;

bool is_sep(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Splits off the first word (separated by blank, tab, CR, LF); rest keeps
// what follows the separator.
std::string first_word(std::string_view line, std::string_view& rest) {
    std::size_t i = 0;
    while (i < line.size() && is_sep(line[i])) ++i;
    std::size_t j = i;
    while (j < line.size() && !is_sep(line[j])) ++j;
    rest = j < line.size() ? line.substr(j + 1) : std::string_view{};
    return std::string(line.substr(i, j - i));
}

std::string strip_eol(std::string_view v) {
    std::size_t n = v.find_first_of("\r\n");
    return std::string(v.substr(0, n));
}

void split_words(std::string_view v, const char* seps, std::vector<std::string>& out) {
    std::size_t i = 0;
    while (i < v.size()) {
        while (i < v.size() && std::strchr(seps, v[i])) ++i;
        std::size_t j = i;
        while (j < v.size() && !std::strchr(seps, v[j])) ++j;
        if (j > i) out.emplace_back(v.substr(i, j - i));
        i = j;
    }
}

void add_match(std::string_view value) {
    // header "pattern" variable value...
    std::string_view rest;
    std::string header = first_word(value, rest);
    std::size_t q1 = rest.find('"');
    if (header.empty() || q1 == std::string_view::npos) return;
    std::size_t q2 = rest.find('"', q1 + 1);
    if (q2 == std::string_view::npos) return;
    MatchItem m;
    m.header = header;
    m.pattern = std::string(rest.substr(q1 + 1, q2 - q1 - 1));
    if (!m.pattern.empty() && m.pattern[0] == '!') {
        m.negate = true;
        m.pattern.erase(0, 1);
    }
    std::string_view after = rest.substr(q2 + 1);
    std::string_view tail;
    m.var = first_word(after, tail);
    if (m.var.empty()) return;
    std::size_t k = 0;
    while (k < tail.size() && (tail[k] == ' ' || tail[k] == '\t')) ++k;
    m.value = strip_eol(tail.substr(k));
    st().match.insert(st().match.begin(), std::move(m));
}

void add_work(std::string_view value) {
    std::vector<std::string> w;
    split_words(strip_eol(value), " \t-", w);
    if (w.size() < 3) return;
    st().work.push_back({w[0], w[1], w[2]});
}

void add_auto_login(std::string_view value) {
    std::vector<std::string> w;
    split_words(strip_eol(value), " \t", w);
    if (w.size() < 3) return;
    int n = std::atoi(w[0].c_str());
    if (n < 1 || n > 10) {
        imsg("faulty auto_login line n = %d", n);
        return;
    }
    st().auto_login[n] = {w[1], w[2], w.size() > 3 ? w[3] : std::string()};
}

void add_tpl_set(std::string_view value) {
    std::string_view rest;
    std::string num = first_word(value, rest);
    if (num.empty()) return;
    int n = std::atoi(num.c_str());
    if (n < 1 || n > 29) return;
    st().tpls[n] = trim_spaces(strip_eol(rest));
    st().tpls_expanded[n] = false;
}

// Reads one line of at most 510 characters; a longer line arrives in pieces.
bool read_piece(FILE* f, std::string& line) {
    line.clear();
    int c;
    while (line.size() < 510 && (c = std::fgetc(f)) != EOF) {
        line.push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return !line.empty();
}

void parse_file(FILE* f, std::string& vhost) {
    std::string line;
    int lineno = -1;
    bool skipping = false;
    st().values[K_body_add].clear();
    st().set[K_body_add] = false;
    while (read_piece(f, line)) {
        ++lineno;
        std::string_view rest;
        std::string word = lower(first_word(line, rest));
        if (word.empty() || word[0] == '#') continue;
        if (word == "vend") {
            skipping = false;
            continue;
        }
        if (skipping) continue;
        if (word == "vhost") {
            std::string_view r2;
            std::string name = first_word(rest, r2);
            skipping = name != vhost;
            continue;
        }
        int key = ini_find(word);
        if (key < 0) {
            emsg(lang_get("E24: Unknown ini file setting line %d {%s} \n"), lineno, word.c_str());
            continue;
        }
        std::string value = strip_eol(rest);
        if (value.find_first_not_of(" \t") == std::string::npos) continue;  // no value: unchanged
        switch (key) {
        case K_vhost_match: {
            std::string_view r2;
            std::string var = first_word(value, r2);
            const char* env = var.empty() ? nullptr : std::getenv(var.c_str());
            if (env && *env && vhost_name_ok(env)) {
                vhost = ncpy(lower(env), 255);
                g.g_vhost = vhost;
            }
            break;
        }
        case K_auto_login: add_auto_login(value); break;
        case K_match: add_match(value); break;
        case K_work: add_work(value); break;
        case K_tpl_set: add_tpl_set(value); break;
        case K_body_add: {
            std::string part = trim_spaces(value);
            std::string& v = st().values[K_body_add];
            if (!st().set[K_body_add]) v = part;
            else v = v + "\r\n" + part;
            st().set[K_body_add] = true;
            break;
        }
        default: break;
        }
        if (key == K_body_add || key == K_work || key == K_match || key == K_auto_login || key == K_tpl_set)
            continue;
        st().values[key] = trim_spaces(value);
        st().set[key] = true;
    }
}

void after_read() {
    IniState& s = st();
    for (int k = 0; k < K_COUNT; ++k) {
        if (!s.set[k] && kDefaults[k][0]) {
            s.values[k] = kDefaults[k];
            s.set[k] = true;
        }
    }
    if (!s.set[K_nwimg]) {
        s.values[K_nwimg] = g.path_script;
        s.set[K_nwimg] = true;
    }
    if (lower(s.values[K_reply_prefix]) == "false") s.values[K_reply_prefix].clear();
    s.pophost = s.values[K_pophost];
    s.original_pophost = s.values[K_original_pophost];
    if (!s.pophost.empty() && s.pophost == s.original_pophost) {
        s.original_pophost.clear();
        s.values[K_original_pophost].clear();
        s.set[K_original_pophost] = false;
    }
    if (ini_true(K_require_cookies)) g.utoken.clear();
}

}  // namespace

const char* ini_name(int key) { return key >= 0 && key < K_COUNT ? kNames[key] : nullptr; }
const char* ini_default(int key) { return key >= 0 && key < K_COUNT ? kDefaults[key] : ""; }

int ini_find(std::string_view name) {
    for (int k = 0; k < K_COUNT; ++k)
        if (name == kNames[k]) return k;
    return -1;
}

const std::string& wm_ini_get(int key) {
    if (key < 0 || key >= K_COUNT || !st().set[key]) return kEmpty;
    return st().values[key];
}

bool ini_isset(int key) { return key >= 0 && key < K_COUNT && st().set[key]; }

bool ini_true(int key) {
    const std::string& v = wm_ini_get(key);
    return v == "1" || lower(v) == "true";
}

void ini_set(int key, std::string value) {
    if (key < 0 || key >= K_COUNT) return;
    st().values[key] = std::move(value);
    st().set[key] = true;
}

void ini_unset(int key) {
    if (key < 0 || key >= K_COUNT) return;
    st().values[key].clear();
    st().set[key] = false;
}

void ini_split_path(std::string_view path, std::string& dir, std::string& base) {
    // The last "/" or "\" not directly preceded by ".cgi" splits the path,
    // so ".../prog.cgi/extra" names "prog".
    std::size_t cut = std::string_view::npos;
    for (std::size_t i = path.size(); i-- > 0;) {
        if (path[i] != '/' && path[i] != '\\') continue;
        if (i >= 4 && path.substr(i - 4, 4) == ".cgi") continue;
        cut = i;
        break;
    }
    std::string_view name = cut == std::string_view::npos ? path : path.substr(cut + 1);
    dir = cut == std::string_view::npos ? "." : std::string(path.substr(0, cut));
    base = std::string(name.substr(0, name.find('.')));
}

void ini_setscript(std::string_view script_path) {
    g.path_script = std::string(script_path);
    std::string dir, base;
    ini_split_path(script_path, dir, base);
    g.rootname = base.empty() ? "larkspur" : base;
}

bool vhost_name_ok(std::string_view name) {
    if (name.empty() || name.size() > 255) return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '-' || c == '_' || c == ':' || c == '[' || c == ']';
        if (!ok) return false;
    }
    return true;
}

int ini_read(const std::string& path, std::string& vhost) {
    IniState& s = st();
    std::string base;
    ini_split_path(path, s.xroot, base);
    if (g.rootname == "tollan" && !base.empty()) g.rootname = base;
    const std::string p1 = s.xroot + "/" + g.rootname + ".ini";
    const std::string p2 = g.rootname + ".ini";
    const std::string p3 = "/etc/" + g.rootname + ".ini";
    FILE* f = nullptr;
    const std::string* tried[] = {&p1, &p2, &p3};
    for (int i = 0; i < 3 && !f; ++i) {
        imsg(i < 2 ? "Looking in (%s) for ini file\n" : "Last resort, looking in (%s) for ini file\n",
             tried[i]->c_str());
        s.config_file = *tried[i];
        f = std::fopen(tried[i]->c_str(), "r");
    }
    diag_end_pre_ini();
    if (!f) {
        emsg(lang_get("E21: Unable to find ini file in {%s} %s\n"), p2.c_str(), g.gbr.c_str());
        // Where the installation looked is for the log: the page is seen by anyone.
        lmsg(lang_get("E23: Also looked in {%s} and {%s}"), p1.c_str(), p3.c_str());
        return 0;
    }
    parse_file(f, vhost);
    std::fclose(f);
    after_read();
    return 1;
}

const std::string& ini_config_file() { return st().config_file; }
const std::string& ini_xroot() { return st().xroot; }
const std::vector<WorkRange>& ini_work() { return st().work; }
const std::vector<MatchItem>& ini_match() { return st().match; }

const AutoLoginTarget& ini_auto_login(int slot) {
    static const AutoLoginTarget none;
    return slot >= 1 && slot <= 10 ? st().auto_login[slot] : none;
}

const std::string& ini_tpl_set(int n) { return n >= 1 && n <= 29 ? st().tpls[n] : kEmpty; }

void ini_set_tpl_number(int n) { st().tpl_number = n; }
int ini_tpl_number() { return st().tpl_number; }

std::string get_main_tpl_dir() { return wm_ini_get(K_templates); }

std::string get_tpl_dir() {
    IniState& s = st();
    int n = s.tpl_number;
    if (n > 0 && n <= 29 && !s.tpls[n].empty()) {
        if (!s.tpls_expanded[n] && starts_with(s.tpls[n], "$templates"))
            s.tpls[n] = wm_ini_get(K_templates) + s.tpls[n].substr(10);
        s.tpls_expanded[n] = true;
        return s.tpls[n];
    }
    return wm_ini_get(K_templates);
}

static std::string join_dir(std::string dir, std::string_view name) {
    if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += '/';
    if (dir.empty()) dir = "/";
    dir += name;
    return dir;
}

std::string file_tpl(std::string_view name) { return join_dir(get_tpl_dir(), name); }

std::string file_work(std::string_view name) {
    const std::string& w = wm_ini_get(K_workarea);
    return fix_slash(join_dir(w.empty() ? wm_ini_get(K_templates) : w, name));
}

std::string file_work2(std::string_view dir, std::string_view name) {
    std::string d(dir);
    if (d.empty()) d = wm_ini_get(K_workarea);
    if (d.empty()) d = wm_ini_get(K_templates);
    return fix_slash(join_dir(d, name));
}

std::string fix_slash(std::string_view path) {
    std::string r(path);
    for (char& c : r)
        if (c == '\\') c = '/';
    return r;
}

std::string trim_spaces(std::string_view text) {
    std::size_t b = 0, e = text.size();
    while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
    return ncpy(text.substr(b, e - b), 511);
}

void ini_reset() { st() = IniState{}; }
