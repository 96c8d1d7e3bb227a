#include "page/tpl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cgi/config.h"
#include "cgi/content.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/encode.h"
#include "page/hooks.h"
#include "page/var.h"
#include "support/spawn.h"
#include "support/stats.h"
#include "support/str.h"

namespace {

constexpr std::size_t kListMax = 3998;
constexpr std::size_t kFlistMax = 3999;
constexpr std::size_t kRulesMax = 4000;
constexpr std::size_t kDoMax = 511;
constexpr std::size_t kDoLine = 512;
constexpr int kIncludeDepth = 8;   // an include that includes itself stops here

TplState& st() {
    static TplState s;
    return s;
}

enum class Dk {
    ifdef, ifndef, ifequal, ifnequal, ifinstr, ifninstr, else_, endif, set, include, do_,
    begin_list, end_list, begin_flist, end_flist, begin_rules, end_rules,
    show_item, quote_body, quote_sbody, abook, tolist
};

struct DirectiveWord {
    std::string_view word;   // what follows the opening "%%"
    Dk kind;
    int params;
};

constexpr DirectiveWord kWords[] = {
    {"ifdef%%", Dk::ifdef, 1},          {"ifndef%%", Dk::ifndef, 1},
    {"ifequal%%", Dk::ifequal, 2},      {"ifnequal%%", Dk::ifnequal, 2},
    {"ifinstr%%", Dk::ifinstr, 2},      {"ifninstr%%", Dk::ifninstr, 2},
    {"else%%", Dk::else_, 0},           {"endif%%", Dk::endif, 0},
    {"set%%", Dk::set, 2},              {"include%%", Dk::include, 1},
    {"do(", Dk::do_, 0},                {"begin_list%%", Dk::begin_list, 0},
    {"end_list%%", Dk::end_list, 0},    {"begin_flist%%", Dk::begin_flist, 0},
    {"end_flist%%", Dk::end_flist, 0},  {"begin_rules%%", Dk::begin_rules, 0},
    {"end_rules%%", Dk::end_rules, 0},  {"show_item%%", Dk::show_item, 0},
    {"quote_body%%", Dk::quote_body, 0}, {"quote_sbody%%", Dk::quote_sbody, 0},
    {"abook%%", Dk::abook, 0},          {"tolist%%", Dk::tolist, 0},
};

// The first letters of the directive words.
constexpr auto kWordStart = [] {
    std::array<bool, 256> a{};
    for (const auto& w : kWords) a[static_cast<unsigned char>(w.word[0])] = true;
    return a;
}();

struct Directive {
    Dk kind = Dk::endif;
    std::size_t len = 0;       // whole directive, markers included
    std::string_view a, b;     // parameters
};

// The directive that starts at pos (which holds "%%"), if a complete one does.
bool match_directive(std::string_view t, std::size_t pos, Directive& d) {
    std::string_view rest = t.substr(pos + 2);
    // Most "%%" open a variable: a first letter no directive word starts
    // with ends the search before any word is compared.
    if (rest.empty() || !kWordStart[static_cast<unsigned char>(rest[0])]) return false;
    for (const auto& w : kWords) {
        if (w.word[0] != rest[0] || rest.substr(0, w.word.size()) != w.word) continue;
        std::size_t p = pos + 2 + w.word.size();
        d.kind = w.kind;
        if (w.kind == Dk::do_) {
            std::size_t close = t.find(")%%", p);
            if (close == std::string_view::npos) return false;
            d.a = t.substr(p, close - p);
            d.len = close + 3 - pos;
            return true;
        }
        std::string_view* params[2] = {&d.a, &d.b};
        for (int i = 0; i < w.params; ++i) {
            std::size_t close = t.find("%%", p);
            if (close == std::string_view::npos) return false;
            *params[i] = t.substr(p, close - p);
            p = close + 2;
        }
        d.len = p - pos;
        return true;
    }
    return false;
}

// Finds the earliest directive in t; npos when there is none.
std::size_t find_directive(std::string_view t, Directive& d) {
    for (std::size_t p = t.find("%%"); p != std::string_view::npos; p = t.find("%%", p + 1))
        if (match_directive(t, p, d)) return p;
    return std::string_view::npos;
}

bool is_condition(Dk k) {
    return k == Dk::ifdef || k == Dk::ifndef || k == Dk::ifequal || k == Dk::ifnequal || k == Dk::ifinstr ||
           k == Dk::ifninstr;
}

bool condition_true(const Directive& d) {
    const std::string& v = var_find(d.a);
    switch (d.kind) {
        case Dk::ifdef: return !v.empty();
        case Dk::ifndef: return v.empty();
        case Dk::ifequal: return v == d.b;
        case Dk::ifnequal: return v != d.b;
        case Dk::ifinstr: return contains(v, d.b);
        case Dk::ifninstr: return !contains(v, d.b);
        default: return true;
    }
}

void collect(std::string& block, std::string_view text, std::size_t max) {
    if (block.size() + text.size() > max) {
        if (block.size() < max) imsg("Template block longer than %d characters: the rest is dropped", static_cast<int>(max));
        text = text.substr(0, max > block.size() ? max - block.size() : 0);
    }
    block.append(text);
    st().collected_this_line = true;
}

// A name the request or a template gives must stay inside the template
// directory: no "..", no absolute path.
bool bad_name(std::string_view name) {
    return contains(name, "..") || name.empty() || name[0] == '/' || name[0] == '\\' ||
           name.find('\0') != std::string_view::npos;
}

std::string join_path(const std::string& dir, std::string_view file) {
    std::string p;
    p.reserve(dir.size() + file.size() + 2);
    p.append(dir.empty() ? std::string_view(".") : std::string_view(dir));
    if (p.back() != '/') p.push_back('/');
    p.append(file);
    return p;
}

// Opens dir/file for reading when it is a regular file that really lies
// inside dir: a symbolic link leading out of the directory is refused
// (EACCES), judged on the descriptor actually opened.
FILE* open_inside(const std::string& dir, std::string_view file, std::string& path) {
    path = join_path(dir, file);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat sb;
    char real_dir[4096];
    char link[64];
    char real_file[4096];
    bool ok = false;
    if (::fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode) && ::realpath(dir.empty() ? "." : dir.c_str(), real_dir)) {
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = ::readlink(link, real_file, sizeof real_file - 1);
        if (n > 0) {
            real_file[n] = '\0';
            std::string_view rf(real_file, static_cast<std::size_t>(n)), rd(real_dir);
            ok = rf.size() > rd.size() && starts_with(rf, rd) && (rd == "/" || rf[rd.size()] == '/');
        }
    }
    if (!ok) {
        ::close(fd);
        errno = S_ISREG(sb.st_mode) ? EACCES : EISDIR;
        return nullptr;
    }
    FILE* f = ::fdopen(fd, "r");
    if (!f) ::close(fd);
    return f;
}

const char* extension() { return g.gwml ? "wml" : "tpl"; }

// A notice inside a deck must keep it well-formed XML.
const char* line_break() { return g.gwml ? "<br/>" : g.gbr.c_str(); }

// Writes one chunk result, putting the add_header text in front of the
// first output that follows the document head's opening tag.
void emit(std::string_view text) {
    TplState& s = st();
    if (text.empty()) return;
    if (s.head_seen && !s.header_added) {
        const std::string& h = wm_ini_get(K_add_header);
        if (!h.empty()) {
            gwrite(h);
            gwrite("\n");
        }
        s.header_added = true;
    }
    gwrite(text);
    if (!s.head_seen) {
        for (std::size_t p = text.find("<head"); p != std::string_view::npos; p = text.find("<head", p + 1)) {
            char after = p + 5 < text.size() ? text[p + 5] : '>';
            if (after == '>' || after == ' ' || after == '\t') {
                s.head_seen = true;
                break;
            }
        }
    }
}

// Renders one line of a template (include: an included file, where every
// chunk result is followed by a line end).
void render_line(std::string& line, bool include) {
    TplState& s = st();
    bool had_eol = false;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
        had_eol = true;
    }
    if (line.find('\r') != std::string::npos) std::erase(line, '\r');
    if (!wm_ini_get(K_separator).empty()) line = fix_bars(line);
    s.began_this_line = s.collected_this_line = false;
    std::string_view rest(line);
    do {
        bool directive = false;
        std::size_t n = ifish(rest, directive);
        std::string out = tpl_replace(rest.substr(0, n));
        rest.remove_prefix(n);
        emit(out);
        if (include) gwrite("\n");
    } while (!rest.empty());
    if (s.tpl_mode == kTplList && (!s.began_this_line || s.collected_this_line)) collect(s.tpl_item, "\n", kListMax);
    if (had_eol && !include) gwrite("\n");
}

void render_file(FILE* f, bool include) {
    std::string line;
    char buf[4096];
    while (std::fgets(buf, sizeof buf, f)) {
        std::size_t n = std::strlen(buf);
        line.append(buf, n);
        bool complete = n > 0 && buf[n - 1] == '\n';
        if (!complete && !std::feof(f) && line.size() < kTplLineMax) continue;
        render_line(line, include);
        line.clear();
    }
    if (!line.empty()) render_line(line, include);
}

void spawn_log(const char* text) { imsg("%s", text); }

}  // namespace

std::vector<void (*)()>& tpl_init_hooks() {
    static std::vector<void (*)()> v;
    return v;
}

TplState& tpl_state() { return st(); }
void tpl_reset() { st() = TplState{}; }

void tpl_init_add(void (*fn)()) {
    if (fn) tpl_init_hooks().push_back(fn);
}

std::string fix_bars(std::string_view line) {
    const std::string& sep = wm_ini_get(K_separator);
    std::string out(line);
    if (sep.size() < 2 || sep.compare(0, 2, "%%") == 0) return out;
    for (std::size_t i = 0; i + 1 < out.size();) {
        if (out[i] == sep[0] && out[i + 1] == sep[1]) {
            bool alone = i > 0 && out[i - 1] == ' ' && i + 2 < out.size() && out[i + 2] == ' ';
            if (!alone) out[i] = out[i + 1] = '%';
            i += 2;
        } else {
            ++i;
        }
    }
    return out;
}

std::size_t ifish(std::string_view rest, bool& directive) {
    Directive d;
    std::size_t p = find_directive(rest, d);
    directive = p == 0;
    if (p == 0) return d.len;
    return p == std::string_view::npos ? rest.size() : p;
}

std::string tpl_replace(std::string_view chunk) {
    TplState& s = st();
    Directive d;
    bool directive = chunk.size() >= 2 && match_directive(chunk, 0, d) && d.len == chunk.size();
    switch (s.tpl_mode) {
        case kTplSuppressed: return {};
        case kTplSkip:
            if (!directive) return {};
            if (is_condition(d.kind)) {
                ++s.lvl;
            } else if (d.kind == Dk::endif) {
                if (--s.lvl <= 0) {
                    s.lvl = 0;
                    s.tpl_mode = kTplNormal;
                }
            } else if (d.kind == Dk::else_ && s.lvl == 1) {
                s.lvl = 0;
                s.tpl_mode = kTplNormal;
            }
            return {};
        case kTplList:
        case kTplFlist:
        case kTplRules: {
            Dk end = s.tpl_mode == kTplList ? Dk::end_list : s.tpl_mode == kTplFlist ? Dk::end_flist : Dk::end_rules;
            if (directive && d.kind == end) {
                int mode = s.tpl_mode;
                s.tpl_mode = kTplNormal;
                // copied: the hook may render a page piece that starts another block
                if (mode == kTplRules) {
                    std::string block = s.tpl_rules;
                    tpl_hooks().show_rules(block);
                } else {
                    std::string block = s.tpl_item;
                    (mode == kTplList ? tpl_hooks().show_list : tpl_hooks().show_flist)(block);
                }
                return {};
            }
            if (s.tpl_mode == kTplRules) collect(s.tpl_rules, chunk, kRulesMax);
            else collect(s.tpl_item, chunk, s.tpl_mode == kTplList ? kListMax : kFlistMax);
            return {};
        }
        default: break;
    }
    if (!directive) {
        std::string text(chunk);
        return tpl_replace_vars(text);
    }
    if (is_condition(d.kind)) {
        if (!condition_true(d)) {
            s.tpl_mode = kTplSkip;
            s.lvl = 1;
        }
        return {};
    }
    switch (d.kind) {
        case Dk::else_:
            s.tpl_mode = kTplSkip;
            s.lvl = 1;
            return {};
        case Dk::set: var_set(d.a, d.b); return {};
        case Dk::include: {
            std::string file(d.a);
            if (!file.empty() && file[0] == '$') file = var_find(std::string_view(file).substr(1));
            tpl_show_file(file);
            return {};
        }
        case Dk::do_: tpl_do(d.a); return {};
        case Dk::begin_list:
        case Dk::begin_flist:
            s.tpl_mode = d.kind == Dk::begin_list ? kTplList : kTplFlist;
            s.tpl_item.clear();
            s.began_this_line = true;
            s.collected_this_line = false;
            return {};
        case Dk::begin_rules:
            s.tpl_mode = kTplRules;
            s.tpl_rules.clear();
            s.began_this_line = true;
            s.collected_this_line = false;
            return {};
        case Dk::show_item: tpl_hooks().show_item(0, "\n"); return {};
        case Dk::quote_body: tpl_hooks().show_item(1, "\n"); return {};
        case Dk::quote_sbody: {
            const std::string& sbody = form_find("sbody");
            if (!sbody.empty()) return text_encode4(sbody);
            tpl_hooks().show_item(1, "<br>");
            return {};
        }
        case Dk::abook: {
            const std::string& ab = var_find("abook_edit");
            if (!ab.empty()) gwrite(tpl_hooks().abook(ab));
            return {};
        }
        case Dk::tolist: gwrite(var_find("tolist")); return {};
        default: return {};   // endif and stray end markers vanish
    }
}

int tpl_show_file(const std::string& name) {
    TplState& s = st();
    if (bad_name(name)) {
        imsg("Invalid template file name %s", name.c_str());
        gprintf("Include file missing {%s} %s\n", value_encode(name).c_str(), line_break());
        return 0;
    }
    if (s.depth >= kIncludeDepth) {
        emsg("Includes nested too deeply at %s", name.c_str());
        return 0;
    }
    std::string path;
    FILE* f = open_inside(get_tpl_dir(), name, path);
    if (!f && ini_tpl_number() > 0) {   // a set may leave shared pieces to the main templates
        std::string main_path;
        f = open_inside(get_main_tpl_dir(), name, main_path);
    }
    if (!f) {
        // The page names the piece; where the installation keeps it is for the log.
        lmsg("Include file missing {%s}", path.c_str());
        gprintf("Include file missing {%s} %s\n", value_encode(name).c_str(), line_break());
        return 0;
    }
    ++s.depth;
    render_file(f, true);
    --s.depth;
    std::fclose(f);
    return 1;
}

void tpl_show(const std::string& name_in) {
    TplState& s = st();
    std::string name = name_in;
    if (name.empty()) {
        f_error("%s", lang_get("Null template file name"));
        return;
    }
    if (name != "error" && !form_find("process").empty() && !s.process_done) {
        s.process_done = true;
        return;
    }
    if (name != "error") {
        const std::string& page = form_find("page");
        if (!page.empty()) name = page;
    }
    if (bad_name(name)) {
        f_error(lang_get("Invalid template file name %s"), name.c_str());
        return;
    }
    do_content();
    tpl_init();
    f_error_set();
    var_set("page", name);

    std::string path;
    FILE* f = nullptr;
    int err = 0;
    auto try_dir = [&](const std::string& dir) {
        if (g.xisframes && name != "frame") f = open_inside(dir, name + "f." + extension(), path);
        if (!f) f = open_inside(dir, name + "." + extension(), path);
        err = errno;
    };
    try_dir(get_tpl_dir());
    if (!f && ini_tpl_number() > 0) {
        if (!(name == "frame" && g.xisframes))
            lmsg("Can't open %s from template set %d.. Reverting to main templates. File Error: %s",
                 path.c_str(), ini_tpl_number(), std::strerror(err));
        ini_set_tpl_number(0);
        try_dir(get_main_tpl_dir());
    }
    if (!f) {
        // Where the templates live is for the log; a stranger's page names
        // only the template.
        lmsg("Cannot open template %s: %s", path.c_str(), std::strerror(err));
        std::string text =
            sfmt(lang_get("Cannot open {%s} check your templates setting in your .ini file is correct and that "
                          "this file is readable by the web server user code \n"),
                 (name + "." + extension()).c_str());
        if (g.gwml) {
            gwrite("<?xml version=\"1.0\"?>\n<!DOCTYPE wml PUBLIC \"-//WAPFORUM//DTD WML 1.1//EN\" "
                   "\"http://www.wapforum.org/DTD/wml_1.1.xml\">\n<wml><card><p>");
            gwrite(value_encode(text + std::strerror(err)));
            gwrite("</p></card></wml>\n");
        } else {
            gwrite(value_encode(text));
            gprintf("%s%s", std::strerror(err), g.gbr.c_str());
        }
        return;
    }
    stats_tpl_count(name);
    render_file(f, false);
    std::fclose(f);
    s.template_shown = true;
}

int tpl_show_tpl(const std::string& name) {
    if (name.empty()) {
        f_error("%s", lang_get("Null template file name"));
        return 0;
    }
    if (bad_name(name)) {
        f_error(lang_get("Invalid template file name %s"), name.c_str());
        return 0;
    }
    do_content();
    std::string path;
    FILE* f = open_inside(get_tpl_dir(), name + "." + extension(), path);
    if (!f) {
        lmsg("Can't open %s from template set %d Error: %s", path.c_str(), ini_tpl_number(), std::strerror(errno));
        emsg("Can't open template %s\n", (name + "." + extension()).c_str());
        return 0;
    }
    char buf[4000];
    while (std::fgets(buf, sizeof buf, f)) gwrite(text_encode4(buf));
    std::fclose(f);
    return 1;
}

// The program is what the template names: its command text is split into
// words first, the program word must be written out in full, and a
// variable in another word fills exactly that one argument, so no value
// from a request can choose the program or add arguments.  Output is read
// for at most ten seconds in all; a program still running then is killed.
void tpl_do(std::string_view command) {
    static bool started = false;
    if (!started) {
        sp_init(spawn_log, spawn_log, spawn_log);
        started = true;
    }
    std::string cmd(command.substr(0, kDoMax));
    std::vector<std::string> argv;
    std::size_t from = 0;
    while (true) {
        std::size_t blank = cmd.find(' ', from);
        argv.push_back(cmd.substr(from, blank == std::string::npos ? std::string::npos : blank - from));
        if (blank == std::string::npos) break;
        from = blank + 1;
    }
    if (argv[0].empty() || contains(argv[0], "%%")) {
        emsg("||do(%s)|| failed: %s", cmd.c_str(), "the program must be named in the template");
        return;
    }
    for (std::size_t i = 1; i < argv.size(); ++i) tpl_replace_vars(argv[i]);
    SpawnHandle* sp = sp_do_argv(argv);
    if (!sp) {
        emsg("||do(%s)|| failed: %s", cmd.c_str(), sp_msg(nullptr));
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(st().do_seconds);
    std::string line;
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        long secs = left.count() > 0 ? (left.count() + 999) / 1000 : 0;   // whole seconds, rounded up
        int n = sp_gets(sp, line, kDoLine, static_cast<int>(secs));
        if (n == -2) {
            imsg("Timeout waiting for output from ||do(%s)||", cmd.c_str());
            break;
        }
        if (n < 0) {
            if (diag_debug()) imsg("Error %s reading from ||do(%s)||", sp_msg(sp), cmd.c_str());
            break;
        }
        gwrite(line);
    }
    sp_set_grace(200, 2000);
    sp_close(sp);
    sp_set_grace(1000, 30000);
}

std::string item_pre(int flag) {
    if (get_read_wrap() == 1) return "<p>";
    if (!encode_v_font() && flag == 0) {
        const std::string& p = wm_ini_get(K_item_pre1);
        return p.empty() && !g.gwml ? std::string("<pre>") : p;
    }
    return wm_ini_get(K_item_pre2);
}

std::string item_post(int flag) {
    if (get_read_wrap() == 1) return "</p>";
    if (!encode_v_font() && flag == 0) {
        const std::string& p = wm_ini_get(K_item_post1);
        return p.empty() && !g.gwml ? std::string("</pre>") : p;
    }
    return wm_ini_get(K_item_post2);
}

std::string charset() {
    const std::string& cs = var_find("charset");
    if ((ini_isset(K_set_charset) && !ini_true(K_set_charset)) || cs.empty()) return {};
    // It lands in the response header: a character-set name or nothing.
    for (char c : cs)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("._:+-", c)) return {};
    return sfmt("; charset=\"%s\"", cs.c_str());
}

std::string content_type() {
    const std::string& ct = wm_ini_get(K_content_type);
    if (!ct.empty()) return ct;
    if (g.gwml) return "text/vnd.wap.wml\nCache-control: no-cache";
    return "text/html";
}
