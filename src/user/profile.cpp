#include "user/profile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/var.h"
#include "support/escape.h"
#include "support/str.h"
#include "user/codec.h"
#include "user/form_access.h"
#include "user/lock.h"
#include "user/paths.h"
#include "user/session.h"


Profile prof;

namespace {

// A user variable read back from the profile was escaped when it came in
// with a request; a profile written before that may still hold markup.
// Only "<", ">" and '"' are replaced, so an escaped value stays as it is.
std::string stored_markup_off(std::string_view v) {
    std::string out;
    for (char c : v) {
        if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '"') out += "&quot;";
        else out += c;
    }
    return out;
}

// Longest line the reader keeps.  The writer bounds every value so no line
// it writes comes near this; a longer line (damage) is still one line for
// the line count, its value cut.
constexpr std::size_t kLineMax = 65536;
constexpr std::size_t kSigMax = 4000;

struct ReadState {
    long checksum = 0;                 // the "checksum" line's value
    std::vector<std::string> uvars;    // user-prefix variable names seen or set
};

ReadState& rs() {
    static ReadState s;
    return s;
}

const std::string& user_prefix() {
    static const std::string dflt = "u_";
    return ini_isset(K_user_prefix) ? wm_ini_get(K_user_prefix) : dflt;
}

void track_uvar(const std::string& name) {
    auto& v = rs().uvars;
    if (std::find(v.begin(), v.end(), name) == v.end()) v.push_back(name);
}

// A value that must stay on one line: cut at the first CR or LF.
std::string one_line(std::string_view s, std::size_t max = 511) {
    std::size_t e = s.find_first_of("\r\n");
    return ncpy(s.substr(0, e), max);
}

// A field of a tab-separated entry: no tabs, no line ends.
std::string field(std::string_view s) {
    std::string r = one_line(s);
    for (char& c : r)
        if (c == '\t') c = ' ';
    return r;
}

std::vector<std::string> split_tabs(std::string_view s, std::size_t max_fields) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (out.size() < max_fields) {
        std::size_t j = s.find('\t', i);
        if (j == std::string_view::npos) {
            if (i < s.size()) out.emplace_back(s.substr(i));
            break;
        }
        out.emplace_back(s.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

std::string default_port() {
    const std::string& p = wm_ini_get(K_port);
    return p.empty() ? "110" : p;
}

void add_rule_line(std::string_view value) {
    std::size_t sp = value.find(' ');
    if (sp == std::string_view::npos) return;
    std::vector<std::string> f = split_tabs(value.substr(sp + 1), 7);
    if (f.empty()) return;
    // The rule table holds at most 1000 rules; a longer list is not ours.
    if (prof.rules.size() >= 1000) return;
    f.resize(6);
    ProfileRule r{f[0], f[1], f[2], f[3], f[4], std::atoi(f[5].c_str())};
    prof.rules.push_back(std::move(r));
}

// Profile values only; the session identity (xuser, host, password, token)
// belongs to the request and survives a re-read.
void clear_values() {
    Profile keep = std::move(prof);
    prof = Profile{};
    prof.xuser = std::move(keep.xuser);
    prof.xpophost = std::move(keep.xpophost);
    prof.xpass = std::move(keep.xpass);
    prof.xpass_crypt = std::move(keep.xpass_crypt);
    prof.xttcode = std::move(keep.xttcode);
    prof.rutoken = std::move(keep.rutoken);
    rs().checksum = 0;
    for (int i = 0; i < kPopSlots; ++i) prof.xpop_del[i] = ini_true(K_pop_delete_default) ? 1 : 0;
}

long lnum(const std::string& v) { return std::atol(v.c_str()); }
int inum(const std::string& v) { return std::atoi(v.c_str()); }

struct LineOut {
    std::string text;
    int lines = 0;
    void add(const std::string& key, std::string_view value) {
        text += key;
        text += ' ';
        text += value;
        text += '\n';
        ++lines;
    }
    void num(const std::string& key, long v) { add(key, std::to_string(v)); }
    void num_if(const std::string& key, long v) {
        if (v) num(key, v);
    }
    void text_if(const std::string& key, const std::string& v) {
        if (!v.empty()) add(key, one_line(v));
    }
};

struct Candidate {
    std::string path;
    long mtime;
};

// Profiles being written (or left complete by a writer that died before
// renaming), newest first.
std::vector<Candidate> temp_profiles() {
    std::vector<Candidate> out;
    std::string dir = user_dir();
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    const char* suffix = ini_true(K_no_rename) ? ".dat" : ".tmp";
    int n = 0;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 9 || name.compare(0, 5, "user_") != 0 || name.compare(name.size() - 4, 4, suffix) != 0)
            continue;
        if (++n > 100) break;
        std::string path = dir + "/" + name;
        struct stat sb;
        long mt = stat(path.c_str(), &sb) == 0 ? static_cast<long>(sb.st_mtime) : 0;
        out.push_back({path, mt});
    }
    closedir(d);
    std::stable_sort(out.begin(), out.end(), [](const Candidate& a, const Candidate& b) { return a.mtime > b.mtime; });
    return out;
}

// Reads one line of any length; false at the end of the file.
bool read_line(FILE* f, std::string& line) {
    line.clear();
    char buf[4096];
    bool any = false;
    while (std::fgets(buf, sizeof buf, f)) {
        any = true;
        std::size_t n = std::strlen(buf);
        if (line.size() < kLineMax) line.append(buf, std::min(n, kLineMax - line.size()));
        if (n > 0 && buf[n - 1] == '\n') break;
    }
    return any;
}

// Parses a whole file into prof; -1 on a read error, else the line count.
int parse_file(FILE* f, bool default_file) {
    std::string line;
    int count = 0;
    while (read_line(f, line)) {
        ++count;
        profile_line(line, default_file);
    }
    return std::ferror(f) ? -1 : count;
}

bool checksum_ok(bool default_file, int count) {
    if (default_file || ini_true(K_no_checksum) || prof.has_checksum == 0) return true;
    return count == rs().checksum;
}

void append_line(const std::string& path, const char* text) {
    FILE* f = std::fopen(path.c_str(), "a");
    if (!f) return;
    std::fputs(text, f);
    std::fclose(f);
}

bool exists(const std::string& path) {
    struct stat sb;
    return stat(path.c_str(), &sb) == 0;
}

void fix_folders(int ndirs) {
    if (prof.nxfld > 2) {
        const int keys[3] = {K_new_mail_name, K_waste_name, K_copy_name};
        for (int i = 0; i < 3; ++i) {
            const std::string& want = wm_ini_get(keys[i]);
            if (want.empty()) continue;
            bool found = false;
            for (int n = 0; n < prof.nxfld; ++n)
                if (prof.xfld_name[n] == want) found = true;
            if (!found) prof.xfld_name[i] = want;
        }
    }
    if (prof.nxfld == 0) {
        const std::string& nm = wm_ini_get(K_new_mail_name);
        prof.xfld_name[0] = nm.empty() ? "New Mail" : nm;
        prof.nxfld = 1;
    }
    auto ensure = [](int key, const char* dflt) {
        std::string want = wm_ini_get(key).empty() ? dflt : wm_ini_get(key);
        for (int n = 0; n < prof.nxfld; ++n)
            if (prof.xfld_name[n] == want) return;
        if (prof.nxfld < kMaxFolders) prof.xfld_name[prof.nxfld++] = want;
    };
    ensure(K_waste_name, "Trash Can");
    ensure(K_copy_name, "Copies to self");
    for (int n = prof.nxfld; n < ndirs && n < kMaxFolders; ++n) add_folder(sfmt("%d folder %d", n, n + 1));
}

void apply_field_uvars() {
    const std::string& pre = user_prefix();
    std::string list = user_form_find("clear_uvars");
    for (char& c : list)
        if (c == ',' || c == '\t') c = ' ';
    std::size_t i = 0;
    while (i < list.size()) {
        std::size_t j = list.find(' ', i);
        if (j == std::string::npos) j = list.size();
        if (j > i) {
            std::string name = list.substr(i, j - i);
            if (!pre.empty() && starts_with(name, pre)) {
                var_set(name, "");
                ++g.ui_changed;
            }
        }
        i = j + 1;
    }
    for (int store = 0; store < 2; ++store) {
        std::string name, value;
        for (int k = 0; user_field_pair(store, k, name, value); ++k) {
            if (pre.empty() || !starts_with(name, pre)) continue;
            var_set_outside(name, value);
            track_uvar(name);
            if (name == "u_eight_bit") prof.g_eight_bit = 1;
            ++g.ui_changed;
        }
    }
}

// The counter-cookie check of the session (utokc).
int check_utokc(int nocheck) {
    if (nocheck) {
        prof.gutokc = 0;
        return 1;
    }
    std::string c = get_cookie("utokc");
    if (prof.gutokc == 0) {
        prof.gutokc = std::atoi(c.c_str());
        return 1;
    }
    if (c.empty()) {
        f_error(lang_get("Cookie expired for %s\n"), prof.xuser.c_str());
        return 0;
    }
    if (std::atoi(c.c_str()) != prof.gutokc) {
        imsg("Invalid utokc %d<>%d", std::atoi(c.c_str()), prof.gutokc);
        f_error(lang_get("Invalid utokc for %s\n"), prof.xuser.c_str());
        return 0;
    }
    return 1;
}

}  // namespace

void cleargotinfo() { prof.gotinfo = 0; }
void user_clear() { prof.xfrom.clear(); }

int add_folder(std::string_view text) {
    std::size_t sp = text.find(' ');
    if (sp == std::string_view::npos) return 0;
    int n = std::atoi(std::string(text.substr(0, sp)).c_str());
    std::string name = one_line(text.substr(sp + 1));
    if (n < 0 || n >= kMaxFolders) return 1;
    prof.xfld_name[n] = name;
    imsg("add_folder %d %s\n", n, name.c_str());
    if (n >= prof.nxfld) prof.nxfld = n + 1;
    return 1;
}

void add_pophost(std::string_view value) {
    std::size_t sp = value.find(' ');
    int slot = std::atoi(std::string(value.substr(0, sp)).c_str());
    if (slot < 0 || slot >= kPopSlots) return;
    std::vector<std::string> f =
        split_tabs(sp == std::string_view::npos ? std::string_view() : value.substr(sp + 1), 90);
    if (f.size() < 4) {
        imsg("Change in pophost %d data tokens\n", slot);
        if (!f.empty()) {
            prof.xpop_name[slot] = f[0];
            prof.xpop_user[slot].clear();
            prof.xpop_pass[slot].clear();
            prof.xpop_reply[slot].clear();
            prof.xpop_del[slot] = 0;
            prof.xpop_set[slot] = true;
        }
        return;
    }
    prof.xpop_name[slot] = f[0];
    prof.xpop_user[slot] = f[1];
    prof.xpop_pass[slot] = x_unhide(prof.xuser, f[2], kHideSeed);
    prof.xpop_del[slot] = std::atoi(f[3].c_str());
    prof.xpop_reply[slot] = f.size() >= 5 ? f[4] : "";
    prof.xpop_port[slot] = f.size() >= 6 && !f[5].empty() ? f[5] : default_port();
    prof.xpop_set[slot] = true;
}

namespace {

// ---- The profile's keys ------------------------------------------------------
// One row a key, in the order the writer lays the lines out; the reader looks
// a line's key up in the same rows.  A row names the member it fills (an
// int, a long, a one-line text or a list of texts) or brings its own reader
// and writer for what does not fit one member.

enum class When : unsigned char {
    always,     // the line is written whatever the value
    nonzero,    // only for a non-zero number or a non-empty text
    positive,   // only for a number above zero
};

struct KeyRow {
    const char* key;
    int Profile::*i = nullptr;
    long Profile::*l = nullptr;
    std::string Profile::*s = nullptr;
    std::vector<std::string> Profile::*list = nullptr;
    When when = When::always;
    std::size_t rmax = 511;   // a text is cut to this when read
    std::size_t wmax = 511;   // and to this when written
    void (*read)(Profile&, const std::string&) = nullptr;
    void (*write)(Profile&, LineOut&) = nullptr;
};

constexpr KeyRow num(const char* k, int Profile::*m, When w = When::always) {
    KeyRow r{k};
    r.i = m;
    r.when = w;
    return r;
}
constexpr KeyRow num(const char* k, long Profile::*m) {
    KeyRow r{k};
    r.l = m;
    return r;
}
// A text written only when it is not empty.
constexpr KeyRow text(const char* k, std::string Profile::*m, std::size_t rmax = 511) {
    KeyRow r{k};
    r.s = m;
    r.when = When::nonzero;
    r.rmax = rmax;
    return r;
}
// A text written always, cut to max both ways.
constexpr KeyRow line(const char* k, std::string Profile::*m, std::size_t max) {
    KeyRow r{k};
    r.s = m;
    r.rmax = r.wmax = max;
    return r;
}
constexpr KeyRow list(const char* k, std::vector<std::string> Profile::*m) {
    KeyRow r{k};
    r.list = m;
    return r;
}
constexpr KeyRow own(KeyRow r, void (*read)(Profile&, const std::string&), void (*write)(Profile&, LineOut&)) {
    if (read) r.read = read;
    if (write) r.write = write;
    return r;
}
constexpr KeyRow own(const char* k, void (*read)(Profile&, const std::string&), void (*write)(Profile&, LineOut&)) {
    return own(KeyRow{k}, read, write);
}

bool sums() { return !ini_true(K_no_checksum); }

template <int N>
void read_uvar(Profile& p, const std::string& v) {
    p.xuvar[N] = ncpy(v, 511);
}
template <int N>
void write_uvar(Profile& p, LineOut& o) {
    o.text_if("uvar" + std::to_string(N + 1), p.xuvar[N]);
}

void write_user_vars(Profile&, LineOut& o) {
    const std::string& pre = user_prefix();
    std::vector<std::string> names = rs().uvars;
    {
        std::string n, v;
        for (int i = 0; var_get_pair(i, n, v); ++i)
            if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
    }
    for (const std::string& n : names) {
        if (pre.empty() || !starts_with(n, pre) || n.find_first_of(" \t\r\n") != std::string::npos) continue;
        const std::string& v = var_find(n);
        if (!v.empty()) o.add(n, one_line(v));
    }
}

void write_pophosts(Profile& p, LineOut& o) {
    for (int i = 0; i < kPopSlots; ++i) {
        if (p.xpop_name[i].empty() || p.xpop_user[i].empty()) continue;
        o.add("pophost", sfmt("%d %s\t%s\t%s\t%d\t%s\t%s", i, field(p.xpop_name[i]).c_str(),
                              field(p.xpop_user[i]).c_str(), x_hide(p.xuser, p.xpop_pass[i], kHideSeed).c_str(),
                              p.xpop_del[i], field(p.xpop_reply[i]).c_str(), field(p.xpop_port[i]).c_str()));
    }
}

void write_rules(Profile& p, LineOut& o) {
    const char* norule = lang_get("(No Rule)");
    int rn = 0;
    for (const ProfileRule& r : p.rules) {
        if (contains(r.header, norule)) continue;
        std::string match = one_line(r.match);
        match.erase(std::remove(match.begin(), match.end(), '\t'), match.end());
        o.add("rule", sfmt("%d %s\t%s\t%s\t%s\t%s\t%d\t", rn++, field(r.header).c_str(), match.c_str(),
                           field(r.action).c_str(), field(r.folder).c_str(), field(r.address).c_str(), r.casef));
    }
}

const KeyRow kKeys[] = {
    own(num("has_checksum", &Profile::has_checksum), nullptr,
        [](Profile&, LineOut& o) {
            if (sums()) o.num("has_checksum", -1);
        }),
    own(list("from", &Profile::xfrom),
        [](Profile& p, const std::string& v) {
            if (p.xfrom.size() < kMaxFrom) p.xfrom.push_back(ncpy(v, 511));
        },
        nullptr),
    own("folder", [](Profile&, const std::string& v) { add_folder(v); },
        [](Profile& p, LineOut& o) {
            for (int i = 0; i < p.nxfld && i < kMaxFolders; ++i)
                if (!p.xfld_name[i].empty()) o.add("folder", sfmt("%d %s", i, one_line(p.xfld_name[i]).c_str()));
        }),
    own("sig", [](Profile& p, const std::string& v) { p.xsig = ncpy(cr_decode(v), kSigMax); },
        [](Profile& p, LineOut& o) { o.add("sig", cr_encode(ncpy(p.xsig, kSigMax))); }),
    own("uaddress", [](Profile& p, const std::string& v) { p.xuaddress = ncpy(cr_decode(v), kSigMax); },
        [](Profile& p, LineOut& o) {
            if (!p.xuaddress.empty()) o.add("uaddress", cr_encode(ncpy(p.xuaddress, kSigMax)));
        }),
    text("usex", &Profile::xusex),
    text("child_edit", &Profile::xchild_edit),
    text("parent", &Profile::xparent),
    list("af:", &Profile::accept_from),
    list("rf:", &Profile::reject_from),
    own(list("ch:", &Profile::children), nullptr,
        [](Profile& p, LineOut& o) {
            if (p.xparent.empty())   // a child account lists no children of its own
                for (const std::string& a : p.children) o.text_if("ch:", a);
        }),
    line("nm_sound", &Profile::xnm_sound, 255),
    text("ni", &Profile::xni),
    text("pi", &Profile::xpi),
    own("uvar1", read_uvar<0>, write_uvar<0>),
    own("uvar2", read_uvar<1>, write_uvar<1>),
    own("uvar3", read_uvar<2>, write_uvar<2>),
    own("uvar4", read_uvar<3>, write_uvar<3>),
    num("gutokc", &Profile::gutokc, When::nonzero),
    line("dflt_key", &Profile::xdflt_key, 200),
    own("dflt_reply",
        [](Profile& p, const std::string& v) {
            std::string r = v;
            if (starts_with(r, "$(user)")) r = user_only(p.xuser) + r.substr(7);
            p.xdflt_reply = ncpy(r, 511);
        },
        [](Profile& p, LineOut& o) {
            std::string reply = one_line(p.xdflt_reply);
            std::size_t at = reply.find("$(pophost)");
            std::string host = !p.xpophost.empty() ? p.xpophost : p.xpop_name[0];
            if (at != std::string::npos && !host.empty()) reply = ncpy(reply.replace(at, 10, host), 511);
            o.add("dflt_reply", reply);
        }),
    text("domain", &Profile::xdomain),
    line("real_name", &Profile::xreal_name, 510),
    num("popall", &Profile::xpopall, When::nonzero),
    num("v_font", &Profile::xv_font),
    num("v_myfrom", &Profile::xv_myfrom),
    num("uage", &Profile::xuage),
    num("umax_attach", &Profile::xumax_attach),
    num("refresh", &Profile::xrefresh),
    num("nnew_sl", &Profile::xnnew_sl, When::nonzero),
    num("frames", &Profile::xframes),
    num("autoadd", &Profile::xautoadd),
    num("autoadda", &Profile::xautoadda),
    text("abo", &Profile::xabo),
    text("add_book", &Profile::xadd_book),
    num("page_size", &Profile::xpage_size, When::positive),
    num("wml_page_size", &Profile::xwml_page_size, When::positive),
    num("v_headers", &Profile::xv_headers),
    num("v_inline", &Profile::xv_inline),
    own(num("v_asis", &Profile::xv_asis),
        [](Profile& p, const std::string& v) { p.xv_asis = ini_true(K_save_v_asis) ? inum(v) : 0; }, nullptr),
    num("fetch_last", &Profile::xfetch_last),
    num("rejected", &Profile::xrejected, When::nonzero),
    num("last_login", &Profile::xlast_login),
    num("ll", &Profile::xll),
    own("c:", [](Profile& p, const std::string& v) { p.xcookie = static_cast<long>(tdecode(v)); },
        [](Profile& p, LineOut& o) {
            if (p.xcookie) o.add("c:", tencode(p.xcookie));
        }),
    text("sort_on", &Profile::xsort_on),
    own(num("log_time", &Profile::xlog_time), nullptr,
        [](Profile& p, LineOut& o) {
            p.xlog_time = static_cast<long>(time(nullptr));   // when the profile was last written
            o.num("log_time", p.xlog_time);
        }),
    num("fld", &Profile::xfld),
    num("dfld", &Profile::xdfld, When::nonzero),
    num("rdst", &Profile::xrdst),
    num("diskuse", &Profile::xdiskuse),
    num("msgs", &Profile::xmsgs),
    num("tpl_set", &Profile::xtpl_set),
    num("disk_quota", &Profile::xdiskquota),
    num("max_download_kbytes", &Profile::xmax_download_kbytes),
    num("max_download_msgs", &Profile::xmax_download_msgs),
    num("nextid", &Profile::xnextid),
    num("copyself", &Profile::xcopyself),
    num("send_autocc", &Profile::xsend_autocc),
    num("rmove", &Profile::xrmove),
    num("nosortpick", &Profile::xnosortpick, When::nonzero),
    num("nosortaddr", &Profile::xnosortaddr, When::nonzero),
    num("wysiwyg", &Profile::xwysiwyg, When::nonzero),
    num("addsig", &Profile::xaddsig),
    own("tcode",
        [](Profile& p, const std::string& v) { p.xtcode = p.old_xtcode = std::strtoull(v.c_str(), nullptr, 10); },
        [](Profile& p, LineOut& o) { o.add("tcode", std::to_string(p.xtcode)); }),
    text("lpcode", &Profile::xlpcode, 40),
    num("sends", &Profile::xsends),
    num("send_day", &Profile::xsend_day),
    num("body_limit", &Profile::xbody_limit, When::nonzero),
    own(num("sw", &Profile::xsw), nullptr,
        [](Profile& p, LineOut& o) {
            if (p.g_xsw) o.num("sw", 1);   // only a compose page shown in this request sets it
        }),
    line("remote_addr", &Profile::xremote_addr, 511),
    text("addr_books", &Profile::xaddr_books),
    text("gaddr_books", &Profile::xgaddr_books),
    own("pophost", [](Profile&, const std::string& v) { add_pophost(v); }, write_pophosts),
    own(num("pop_cur", &Profile::xpop_cur), nullptr,
        [](Profile& p, LineOut& o) {
            // The current slot must be one of those just written.
            int c = p.xpop_cur;
            if (c < 0 || c >= kPopSlots || p.xpop_name[c].empty() || p.xpop_user[c].empty()) p.xpop_cur = 0;
            o.num("pop_cur", p.xpop_cur);
        }),
    own("rule", [](Profile&, const std::string& v) { add_rule_line(v); }, write_rules),
    own("", nullptr, write_user_vars),   // the user's own variables: read by their prefix
    own("checksum", [](Profile&, const std::string& v) { rs().checksum = lnum(v); },
        [](Profile&, LineOut& o) {
            if (sums()) o.num("checksum", o.lines + 1);   // counts itself
        }),
};

void read_row(const KeyRow& r, Profile& p, const std::string& v) {
    if (r.read) r.read(p, v);
    else if (r.i) p.*r.i = inum(v);
    else if (r.l) p.*r.l = lnum(v);
    else if (r.s) p.*r.s = ncpy(v, r.rmax);
    else if (r.list) (p.*r.list).push_back(ncpy(v, r.rmax));
}

void write_row(const KeyRow& r, Profile& p, LineOut& o) {
    if (r.write) {
        r.write(p, o);
    } else if (r.i || r.l) {
        long v = r.i ? p.*r.i : p.*r.l;
        if (r.when == When::always || (r.when == When::nonzero && v != 0) || (r.when == When::positive && v > 0))
            o.num(r.key, v);
    } else if (r.s) {
        const std::string& v = p.*r.s;
        if (r.when == When::always || !v.empty()) o.add(r.key, one_line(v, r.wmax));
    } else if (r.list) {
        for (const std::string& v : p.*r.list) o.text_if(r.key, v);
    }
}

}  // namespace

void profile_line(std::string_view raw, bool default_file) {
    std::size_t sp = raw.find(' ');
    if (sp == std::string_view::npos) return;
    std::string key = ncpy(raw.substr(0, sp), 511);
    std::string_view rest = raw.substr(sp + 1);
    std::string value(rest.substr(0, rest.find_first_of("\r\n")));
    if (value.empty() || key.empty()) return;
    if (default_file) {
        std::size_t p = value.find("%%user%%");
        if (p != std::string::npos) value.replace(p, 8, user_only(prof.xuser));
    }
    for (const KeyRow& r : kKeys)
        if (key == r.key) return read_row(r, prof, value);
    if (!user_prefix().empty() && starts_with(key, user_prefix())) {
        var_set(key, stored_markup_off(value));
        track_uvar(key);
        if (key == "u_eight_bit") prof.g_eight_bit = 1;
    }
}

std::string profile_text(int* count) {
    LineOut o;
    for (const KeyRow& r : kKeys) write_row(r, prof, o);
    if (count) *count = o.lines;
    return o.text;
}

int user_getinfo(int allow_new, int nocheck) {
    if (prof.gotinfo) return 1;
    // Only a login makes a user's directory: a name taken from a token or a
    // cookie that no login ever made leaves no trace on the disk.
    if (!allow_new && !exists(user_dir())) {
        imsg("No work area for %s: refused", prof.xuser.c_str());
        f_error("%s", lang_get("Not currently logged in"));
        g.ui_changed = 0;
        return 0;
    }
    prof.xbody_limit = std::atoi(wm_ini_get(K_body_limit).c_str());
    if (log_has("body_limit")) imsg("body_limit set from ini file to %d", prof.xbody_limit);
    if (!user_lock(g.gcmd) && !user_read_only()) {
        imsg("++ Failed to get lock for %s cmd %s", prof.xuser.c_str(), g.gcmd.c_str());
        f_error("%s", lang_get("Server busy, please try again."));
        g.ui_changed = 0;
        return 0;
    }
    const bool trace = log_has("user_rw");
    if (trace) imsg("starting user_read %s", prof.xuser.c_str());
    const bool no_rename = ini_true(K_no_rename);
    int cs_retries = 0, open_tries = 0, ndirs = 0;
    for (;;) {
        clear_values();
        prof.xbody_limit = std::atoi(wm_ini_get(K_body_limit).c_str());
        std::string path;
        FILE* f = nullptr;
        bool default_file = false;
        if (cs_retries < 3) {
            path = user_file();
            f = std::fopen(path.c_str(), "r");
            while (!f && !no_rename && open_tries < 3) {
                ++open_tries;
                imsg("Couldn't open %s %s trying sleep .1\n", path.c_str(), std::strerror(errno));
                usleep(100000);
                f = std::fopen(path.c_str(), "r");
            }
            if (!f && !no_rename) imsg("Could not open %s %s\n", path.c_str(), std::strerror(errno));
        }
        int count = -1;
        bool parsed = false;
        if (!f) {
            // A profile being written by another process, or left complete
            // by one that died before renaming: the newest whole one wins.
            for (const Candidate& cand : temp_profiles()) {
                FILE* tf = std::fopen(cand.path.c_str(), "r");
                if (!tf) {
                    imsg("Can't open %s Error: %s", cand.path.c_str(), std::strerror(errno));
                    continue;
                }
                clear_values();
                count = parse_file(tf, false);
                std::fclose(tf);
                path = cand.path;
                parsed = true;
                // A file still being written has no checksum line yet:
                // only a complete one is taken.
                if (count >= 0 && (ini_true(K_no_checksum) || (prof.has_checksum != 0 && count == rs().checksum)))
                    break;
            }
        }
        if (!f && !parsed) {
            // Nothing could be read.
            std::string tried = user_file();
            if (!allow_new) {
                f_error("%s", lang_get("User settings lost please let system administrator know. You will have to "
                                       "login again to create new settings."));
                rename(tried.c_str(), user_lost_file().c_str());
                append_line(user_lost_file(), "has_checksum 00\n");
                g.ui_changed = 0;
                return 0;
            }
            if (exists(fld_file(0, "index.dat"))) {
                rename(tried.c_str(), user_lost_file().c_str());
                append_line(user_lost_file(), "has_checksum 0\n");
                if (cs_retries > 0)
                    f_error(lang_get("User settings corrupt, {%s} renamed user.lost, creating new settings. Please "
                                     "let system administrator know."),
                            tried.c_str());
                else
                    f_error(lang_get("User settings lost {%s} renamed user_lost, creating new settings. Please let "
                                     "system administrator know."),
                            tried.c_str());
                ndirs = 0;
                while (ndirs < kMaxFolders && exists(fld_file(ndirs, "index.dat"))) ++ndirs;
            }
            imsg("New user, reading default user settings (%s)\n", user_default().c_str());
            if (ini_true(K_no_new_users)) {
                f_error("%s", lang_get("Sorry, new account creation has been disabled (no_new_users true set)."));
                return 0;
            }
            clear_values();
            prof.xbody_limit = std::atoi(wm_ini_get(K_body_limit).c_str());
            prof.xv_inline = prof.xautoadd = prof.xautoadda = 1;
            prof.gnewuser = 1;
            default_file = true;
            path = user_default();
            f = std::fopen(path.c_str(), "r");
            if (!f) imsg(lang_get("Could not open default user file %s %s\n"), path.c_str(), std::strerror(errno));
            count = 0;
        }
        if (f) {
            if (trace) imsg("Reading file %s", path.c_str());
            count = parse_file(f, default_file);
            std::fclose(f);
        }
        if (f || parsed) {
            if (count < 0) {
                f_error(lang_get("Error while reading user.dat file %s Error=%s"), path.c_str(), std::strerror(errno));
                imsg("Error reading user.dat");
                return 0;
            }
        }
        if (trace)
            imsg("user.dat read for %s has_checksum=%d cs=%d cf %d", prof.xuser.c_str(), prof.has_checksum, count,
                 static_cast<int>(rs().checksum));
        if (checksum_ok(default_file, count)) {
            prof.red_file = default_file ? "" : path;
            break;
        }
        if (cs_retries >= 4) {
            f_error(lang_get("read %s %d fails aborting"), path.c_str(), cs_retries);
            return 0;
        }
        imsg("read %s checksum error %d != %d retry in 1 sec", path.c_str(), count, static_cast<int>(rs().checksum));
        ++cs_retries;
        sleep(1);
    }
    if (nocheck) prof.gutokc = 0;
    fix_folders(ndirs);
    if (prof.xdiskquota == -1) prof.xdiskquota = std::atol(wm_ini_get(K_default_quota).c_str());
    if (prof.xmax_download_kbytes == -1) prof.xmax_download_kbytes = std::atol(wm_ini_get(K_default_max_dkbytes).c_str());
    if (prof.xmax_download_msgs == -1) prof.xmax_download_msgs = std::atol(wm_ini_get(K_default_max_dmsgs).c_str());
    apply_field_uvars();
    if (!wm_ini_get(K_language_file).empty()) lang_read(file_tpl(wm_ini_get(K_language_file)));
    if (!check_utokc(nocheck)) return 0;
    prof.gotinfo = 1;
    return 1;
}

int user_write() {
    const bool trace = log_has("user_rw");
    if (trace) imsg("user_write: c=%d  ro=%d %s", g.ui_changed, user_read_only() ? 1 : 0, prof.xuser.c_str());
    if (!g.ui_changed) return 1;
    if (user_read_only()) {
        imsg("++ cmd=%s user_write called with changed true and read_only true", g.gcmd.c_str());
        return 1;
    }
    if (prof.xpop_name[0].empty()) {
        f_error("%s", lang_get(prof.xpop_set[0] ? "E33: No pop host data so user.dat write aborted\n"
                                                 : "E32: No pop host data so user.dat write aborted\n"));
        return 0;
    }
    if (prof.nxfld == 0 && !no_trash()) {
        f_error(lang_get("No folder information so user.dat write aborted for %s\n"), prof.xuser.c_str());
        return 0;
    }
    const std::string target = user_file();
    std::string tmp = user_file_new();
    // With no_rename the pid file is the profile itself: a second write in
    // the same process must not truncate the copy it is replacing.
    if (ini_true(K_no_rename) && tmp == prof.red_file)
        tmp = user_dir() + sfmt("/user_%d_b.dat", static_cast<int>(getpid()));
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 && errno == ENOENT) {
        make_parent_dirs(tmp);
        fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    if (fd < 0) {
        f_error(lang_get("User_write: Cannot wopen (%s) (%s)"), target.c_str(), std::strerror(errno));
        return 0;
    }
    if (trace) imsg("user_writeing %s", tmp.c_str());
    int count = 0;
    std::string text = profile_text(&count);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int e = n < 0 ? errno : ENOSPC;
            close(fd);
            unlink(tmp.c_str());
            f_error(lang_get("user_write failed for %s Error=%s"), target.c_str(), std::strerror(e));
            return 0;
        }
        done += static_cast<std::size_t>(n);
    }
    if (trace) imsg("user_write: cs=%d %s", count, tmp.c_str());
    if (close(fd) != 0) {
        f_error(lang_get("Unable to close user data file %s\n"), std::strerror(errno));
        unlink(tmp.c_str());
        return 0;
    }
    g.ui_changed = 0;
    claim_user_dir();
    if (ini_true(K_no_rename)) {
        // The new file is the profile; the one read goes.
        if (!prof.red_file.empty() && prof.red_file != tmp) {
            for (int i = 0; i < 9 && remove(prof.red_file.c_str()) != 0 && errno != ENOENT; ++i) {
                imsg("Unable to remove old user data file %d %s\n", i, std::strerror(errno));
                usleep(200000);
            }
        }
        prof.red_file = tmp;
        return 1;
    }
    // rename() replaces user.dat in one step, so there is no moment without
    // a complete profile under its usual name.
    bool renamed = false;
    for (int i = 0; i < 5 && !renamed; ++i) {
        if (rename(tmp.c_str(), target.c_str()) == 0) {
            renamed = true;
            break;
        }
        imsg("rename of user file %s failed", tmp.c_str());
        remove(target.c_str());
        usleep(100000);
    }
    if (!renamed) {
        imsg("Failed to rename %s to %s", tmp.c_str(), target.c_str());
        return 0;
    }
    if (!prof.red_file.empty() && prof.red_file != target) remove(prof.red_file.c_str());
    // Under the lock no other writer is at work: any other temporary
    // profile is an older copy left by a writer that died.
    for (const Candidate& c : temp_profiles())
        if (c.path != tmp) remove(c.path.c_str());
    prof.red_file = target;
    return 1;
}

void profile_reset() {
    prof = Profile{};
    rs() = ReadState{};
}

int post_profile_fields() {
    for (int i = 1; i <= 4; ++i) {
        const std::string* v = nform_findi("uvar", i);
        if (!v) continue;
        prof.xuvar[i - 1] = *v == "-" ? std::string() : *v;
        g.ui_changed = 1;
    }
    const std::string& a = form_find("uaddress");
    if (a == "-") {
        prof.xuaddress.clear();
    } else if (!a.empty()) {
        prof.xuaddress = a;
        g.ui_changed = 1;
    }
    return 1;
}
