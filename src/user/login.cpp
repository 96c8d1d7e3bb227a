// The login command, the login page with its remembered-login cookie, the
// logout and the hand-over of a login to another installation.
//
// A session is carried by a token: the login name and the hidden session
// secret ("tcode" in the profile).  The secret is 64 random bits made here
// at every login, so a token cannot be computed from what others may know
// (the name, the time of the login).  The login page carries a code of its
// own (form field "tcode", stored as "lpcode"): a browser that replays a
// cached login page sends the code of the last login again, and is refused.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "cgi/config.h"
#include "cgi/content.h"
#include "cgi/diag.h"
#include "cgi/dispatch.h"
#include "cgi/form.h"
#include "cgi/commands.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/encode.h"
#include "page/tpl.h"
#include "page/var.h"
#include "support/file.h"
#include "support/stats.h"
#include "support/str.h"
#include "user/lock.h"
#include "user/login.h"
#include "user/paths.h"
#include "user/profile.h"
#include "user/session.h"


namespace {

constexpr std::size_t kNameMax = 230;

std::string tkind() { return g.gwml ? "wml" : "tpl"; }

int auto_logout_mins() {
    const std::string& v = wm_ini_get(K_auto_logout_mins);
    int m = v.empty() ? 60 : std::atoi(v.c_str());
    return m > 0 ? m : 60;
}

// Blanks trimmed at both ends, cut at the first line end or NUL.
std::string field_text(std::string_view v, std::size_t max) {
    std::string s(v.substr(0, v.find('\0')));
    std::size_t b = s.find_first_not_of(" \t");
    s = b == std::string::npos ? std::string() : s.substr(b);
    s = ncpy(s, max);
    strtrm(s);
    return s;
}

// What a login name may hold: it names a directory, goes on a POP command
// line, into cookies, log lines and (in error texts) pages.
bool name_chars_ok(std::string_view s) {
    for (char c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 33 || u == 127 || std::strchr(";,\"\\<>&'`", c)) return false;
    }
    return true;
}

bool host_chars_ok(std::string_view s) {
    for (char c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                  c == '-' || c == '_' || c == ':' || c == '[' || c == ']' || u >= 128;
        if (!ok || u >= 128) return false;
    }
    return true;
}

void show_login_form();

// A refused login: "-ERR" and the reasons for the command line; for a
// browser, the login form again with the name as typed and the reasons.
int login_refused() {
    if (g.gcl) {
        gprintf("-ERR %s\n", f_error_text().c_str());
        return 0;
    }
    f_error("%s", lang_get("W20: User login error"));
    f_error_set();
    if (query_find("user").empty()) var_set("user", value_encode(field_text(form_find("user"), kNameMax)));
    show_login_form();
    return 0;
}

void queue_token_cookie() {
    if (ini_true(K_utok_cookie) && !prof.rutoken.empty())
        cookie_queue("utok", prof.rutoken, std::time(nullptr) + 60L * auto_logout_mins());
}

void clear_token_cookies() {
    cookie_queue("utok", "", 0);
    cookie_queue("utokc", "", 0);
}

void clear_remembered_cookies() {
    cookie_queue("lksid", "", 0);
    cookie_queue("lkssig", "", 0);
}

// The session's token from the profile's secret.
void issue_token() {
    prof.rutoken = make_token(prof.xuser, prof.xtcode);
    prof.xttcode = std::to_string(prof.xtcode);
    g.utoken = ini_true(K_require_cookies) ? std::string() : prof.rutoken;
    var_set("utoken", url_encode(g.utoken));
}

// Removes the directory a failed first login created.
void remove_new_user_dir() {
    if (file_exists(fld_file(0, "index.dat"))) {
        imsg("Did not delete failed new user %s as they had an inbox", log_safe(prof.xuser).c_str());
        return;
    }
    std::string dir = user_dir();
    user_release();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (ec || file_exists(dir)) lmsg("Failed to delete failed new user %s\n", log_safe(prof.xuser).c_str());
}

// Marks the profile logged out (the fields a session keeps).
void mark_logged_out() {
    prof.xlast_login = 0;
    prof.xnnew_sl = 0;
    prof.xfetch_last = 0;
    g.ui_changed = 1;
}

// Steps after a good login shared by the login form and the remembered
// login: the session starts, the profile is written.
void session_start() {
    std::time_t now = std::time(nullptr);
    prof.xlast_login = static_cast<long>(now);
    prof.xfld = 0;
    imsg("login %s time %d\n", log_safe(prof.xuser).c_str(), static_cast<int>(now));
    set_utokc();
    if (const std::string* wbl = nform_find("wbl"); wbl && !wbl->empty()) prof.xbody_limit = std::atoi(wbl->c_str());
    if (prof.xlog_time && now - prof.xlog_time > 7200 && ini_true(K_empty_trash_on_exit)) {
        imsg("Emptying trash as last action was %d hours ago\n", static_cast<int>((now - prof.xlog_time) / 3600));
        hook_run("empty_trash(0)", 0);
    }
    prof.xfetch_last = 0;
    const std::string& ts = form_find("tpl_set");
    if (!ts.empty() && ts != "config") {
        prof.xtpl_set = std::atoi(ts.c_str());
    } else {
        for (int i = 1; i <= 29; ++i) {
            const std::string& v = form_findi("tpl_set", i);
            if (v.find("ON") != std::string::npos || v.find("on") != std::string::npos) prof.xtpl_set = i;
        }
    }
    ini_set_tpl_number(prof.xtpl_set);
    if (const std::string* so = nform_find("sort_on"); so && !so->empty())
        prof.xsort_on = *so == "arrival" ? std::string() : ncpy(*so, 511);
    prof.xremote_addr = g.remote_addr;
    g.ui_changed = 1;
    user_write();
}

// The first page of a session.
void first_page() {
    const std::string& page = form_find("page");
    if (page.empty()) {
        if (!form_find("saveconfig").empty()) handler_run("r_config");
        else if (g.xisframes) tpl_show("frame");
        else handler_run("f_list");
        return;
    }
    form_put("utoken", g.utoken);
    if (!g.xisframes) {
        if (page == "config") handler_run("f_config");
        else if (page == "jconf") handler_run("f_jconf(0)");
        else if (page == "list") handler_run("f_list");
        else if (page == "pick") handler_run("f_pick");
        else if (page == "send") handler_run("f_send");
        else tpl_show(page);
        return;
    }
    var_set("docmd", sfmt("cmd=show&amp;page=%s&amp;utoken=%s&amp;vhost=%s", url_encode(page).c_str(),
                          url_encode(g.utoken).c_str(), url_encode(g.g_vhost).c_str()));
    tpl_show("frame");
}

// The code a login page carries: only compared for equality with the code
// of the last login, so two pages shown in the same second must differ too.
std::string page_code() {
    long long n = login_random_int();
    return tencode(n ? n : static_cast<long long>(std::time(nullptr)));
}

// The login page itself.
void show_login_form() {
    const std::string& qu = query_find("user");
    if (!qu.empty()) var_set("user", value_encode(field_text(qu, kNameMax)));
    var_set("pophost", value_encode(wm_ini_get(K_pophost)));
    var_set("tcode", page_code());
    tpl_show("login");
}

// Logs in from the remembered-login cookies; 1 when the session started
// and its first page is shown.
int cookie_login() {
    std::string name = get_cookie("lksid");
    if (name.empty() || !name_chars_ok(name) || name.find('@') == std::string::npos) return 0;
    // Only a user who has a profile: a cookie must not make directories.
    if (!file_exists(user_file(name))) return 0;
    prof.xuser = ncpy(name, 511);
    user_lock_flags().g_must_lock = 1;
    if (!user_getinfo(0, 1)) {
        f_error_clear();
        return 0;
    }
    if (prof.xcookie == 0) return 0;
    std::string sig = get_cookie("lkssig");
    if (!ct_equal(sig, std::to_string(prof.xcookie))) {
        lmsg("*** Invalid cookie signature for %s cookie dissabled", log_safe(prof.xuser).c_str());
        prof.xcookie = 0;
        g.ui_changed = 1;
        user_write();
        return 0;
    }
    const std::string& rec = prof.xremote_addr;
    const std::string& cur = g.remote_addr;
    const std::string& cset = wm_ini_get(K_cookie_ipcheck);
    int parts = cset.empty() ? 3 : std::atoi(cset.c_str());
    if (int part = ip_check(rec, cur, parts)) {
        imsg("IP check part %d failed for %s (%s)!=(%s)\n", part, log_safe(prof.xuser).c_str(),
             log_safe(rec).c_str(), log_safe(cur).c_str());
        prof.xcookie = 0;
        g.ui_changed = 1;
        user_write();
        return 0;
    }
    if (prof.xpop_pass[0].empty() || !handler_run("pop_open(0)")) {
        f_error_clear();
        var_set("pre_error", lang_get("Cookie based login failed. Please enter username and password"));
        return 0;
    }
    std::uint64_t secret = login_random64();
    if (secret == 0) return 0;
    prof.xtcode = secret;
    prof.xlpcode = page_code();
    prof.xpophost = get_host(0);
    issue_token();
    imsg("f_login time %d\n", static_cast<int>(std::time(nullptr)));
    session_start();
    queue_token_cookie();
    first_page();
    return 1;
}

}  // namespace

int f_login(int show_form) {
    const std::string& ts = query_find("tpl_set");
    if (!ts.empty()) ini_set_tpl_number(std::atoi(ts.c_str()));
    const std::string pre = ini_isset(K_user_prefix) ? wm_ini_get(K_user_prefix) : std::string("u_");
    std::string n, v;
    for (int i = 0; !pre.empty() && query_get_pair(i, n, v); ++i)
        if (starts_with(n, pre)) var_set_outside(n, v);
    if (show_form != 1 && prof.xuser.empty() && cookie_login()) return 1;
    if (show_form != 1 && !prof.xuser.empty() && prof.rutoken.empty()) {
        // A remembered login that did not go through: the page is shown
        // to nobody in particular.
        std::string pre_error = var_find("pre_error");
        user_release();
        profile_reset();
        if (!pre_error.empty()) var_set("pre_error", pre_error);
    }
    show_login_form();
    return 1;
}

int f_login_again() {
    // Whatever token came with the request, no session goes on from here:
    // the page's links must not carry it.
    g.utoken.clear();
    clear_token_cookies();
    tpl_show("logout");
    return 1;
}

int r_login(int auto_login) {
    Profile& p = prof;
    // 1. Layout of the session.
    if (g.gcmd == "loginframe" || ispressed("loginframe") || ispressed("frame")) g.isframe = g.xisframes = 1;
    else if (g.gcmd == "nflogin" || ispressed("nflogin")) g.isframe = g.xisframes = 0;
    else g.isframe = g.xisframes = ini_true(K_frames_default) ? 1 : 0;

    // 2. User name.
    std::string user = field_text(form_find("user"), kNameMax);
    if (user.empty()) {
        f_error("%s", lang_get("You must enter a username and password\n"));
        return login_refused();
    }
    if (!ini_true(K_allow_dotdotslash) && (contains(user, "../") || contains(user, "..\\"))) {
        f_error("%s", lang_get("Username cannot contain ..\n"));
        lmsg("* Posible hacking attempt username={%s} rejected", log_safe(user).c_str());
        return login_refused();
    }
    if (ini_true(K_lowercase_username)) user = lower(user);
    user = wm_ini_get(K_prefix) + user + wm_ini_get(K_suffix);

    // 3. Host typed on the form.
    std::string host = form_find("pophost");
    if (ini_true(K_lowercase_pophost)) host = lower(host);
    host = field_text(host, 255);
    if (host == "mailhost") host.clear();
    if (ini_true(K_force_primary)) {
        if (!host.empty() && host != wm_ini_get(K_pophost) && host != wm_ini_get(K_original_pophost)) {
            f_error("%s", lang_get("Sorry this option is not enabled for security reasons. You could ask system "
                                   "manager to set force_primary false."));
            return login_refused();
        }
        host.clear();
    }
    // 4. "name@host" names the server.
    std::string at_domain;
    if (ini_true(K_at_pop)) {
        std::size_t at = user.find('@');
        if (at != std::string::npos) {
            std::size_t second = user.find('@', at + 1);
            if (second != std::string::npos) at = second;
            host = user.substr(at + 1);
            at_domain = host;
            user.resize(at);
            imsg("xuser=%s  xpophost=%s\n", log_safe(user).c_str(), log_safe(host).c_str());
        }
    }
    // 5.
    if (host.empty()) host = wm_ini_get(K_pophost);

    // 6. Password.
    std::string pass;
    if (auto_login) pass = pass_file(form_find("pass_file"), form_find("user"));
    else pass = form_find("pass");
    pass = ncpy(pass, kNameMax);
    if (ini_true(K_lowercase_password)) pass = lower(pass);
    strtrm(pass);
    if (ini_true(K_testweb) && pass.empty()) pass = testweb_password(user);

    // 7. The login name.
    if (user.empty() || !name_chars_ok(user)) {
        f_error(lang_get("Invalid user %s\n"), log_safe(user).c_str());
        return login_refused();
    }
    if (pass.empty() && !ini_true(K_empty_passwords)) {
        f_error("%s", lang_get("You must enter a password"));
        return login_refused();
    }
    if (pass.find('\0') != std::string::npos) {
        f_error("%s", lang_get("Username or password failed\n"));
        return login_refused();
    }
    // 8. Server and permitted users.
    if (contains(host, "..")) {
        f_error("%s", lang_get("Host cannot contain ..\n"));
        return login_refused();
    }
    if (host.empty() || !host_chars_ok(host)) {
        f_error(lang_get("Invalid POP host %s\n"), log_safe(host).c_str());
        return login_refused();
    }
    p.xuser = ncpy(user + "@" + host, 511);
    p.xpophost = host;
    p.xpass = pass;
    p.xpop_name[0] = host;
    p.xpop_user[0] = user_only(p.xuser);
    if (!valid_user(p.xpop_user[0])) {
        if (f_error_text().empty()) f_error(lang_get("Invalid user %s\n"), p.xpop_user[0].c_str());
        return login_refused();
    }
    imsg("login set host (%s) (%s)\n", log_safe(host).c_str(), log_safe(p.xpop_user[0]).c_str());

    // 9. The profile, created for a new user.
    user_lock_flags().g_must_lock = 1;
    if (!user_getinfo(1, 1)) return login_refused();
    const bool new_user = p.gnewuser != 0;
    if (!at_domain.empty()) set_domain(at_domain);
    int slot = 0;
    if (const std::string* pc = nform_find("pop_cur"); pc && !pc->empty()) {
        int n = std::atoi(pc->c_str());
        if (n >= 0 && n < kPopSlots && !p.xpop_name[n].empty()) slot = n;
    }
    p.xpop_cur = slot;
    p.xpop_user[0] = user_only(p.xuser);
    if (p.xpop_name[0] != host) {
        if (!p.xpop_name[0].empty())
            imsg("Changeing pophost[0] name from %s to %s", log_safe(p.xpop_name[0]).c_str(), log_safe(host).c_str());
        p.xpop_name[0] = host;
    }

    // 10. The login page's code, and a new session secret.
    const std::uint64_t old_secret = p.xtcode;
    const std::string old_lpcode = p.xlpcode;
    std::string form_code = field_text(form_find("tcode"), 40);
    std::string now_code = page_code();
    if (ini_true(K_no_tcode) || auto_login || g.gcl) {
        p.xlpcode = now_code;
    } else if (!p.xlpcode.empty()) {
        long idle = static_cast<long>(std::time(nullptr)) - p.xlog_time;
        if (p.xlast_login == 0 || idle > 60L * auto_logout_mins()) {
            if (!form_code.empty() && ct_equal(form_code, p.xlpcode)) {
                f_error(lang_get("E6: Cached login page for %s\n"), p.xuser.c_str());
                g.ui_changed = 0;
                f_login_again();
                return 0;
            }
            if (form_code.empty()) {
                if (query_find("page").empty()) {
                    f_error(lang_get("E5: xcached login page for %s (sysadmins: please read faq 12 in faqs.htm)\n"),
                            p.xuser.c_str());
                    g.ui_changed = 0;
                    f_login_again();
                    return 0;
                }
                form_code = now_code;
            }
        }
        p.xlpcode = form_code.empty() ? now_code : form_code;
    } else {
        p.xlpcode = form_code.empty() ? now_code : form_code;
    }
    std::uint64_t secret = login_random64();
    if (secret == 0) {
        lmsg("No random numbers for a session secret");
        f_error_lead("%s", lang_get("W14: Login failed, try again\n"));
        return login_refused();
    }
    p.xtcode = secret;

    // 11. The token, and the password check.
    issue_token();
    if (!user_checkauth2(1)) {
        // 17. Failure.
        p.xtcode = old_secret;
        p.xlpcode = old_lpcode;
        if (g.gcl) {
            gprintf("-ERR %s\n", f_error_text().c_str());
            g.ui_changed = 0;
            return 0;
        }
        f_error_lead("%s", lang_get("W14: Login failed, try again\n"));
        g.utoken.clear();
        p.rutoken.clear();
        // A wrong password changes nothing: the session of whoever is
        // logged in under this name goes on, and the profile is not written.
        g.ui_changed = 0;
        if (new_user) remove_new_user_dir();
        // The login form again, like any refused login.
        return login_refused();
    }

    // 12. The session starts.
    session_start();
    if (g.gcl) {
        gprintf("+OK %s\n", p.rutoken.c_str());
        return 1;
    }
    // 13.
    hook_run("fld_clear_unseen", 0);
    log_stats(p.xuser, g.remote_addr, p.xmsgs, p.xdiskuse / 1024);
    if (const std::string* ps = nform_find("page_size"); ps && !ps->empty()) {
        p.xpage_size = *ps == "-" ? 0 : std::atoi(ps->c_str());
        g.ui_changed = 1;
    }
    if (const std::string* ps = nform_find("wml_page_size"); ps && !ps->empty()) {
        p.xwml_page_size = *ps == "-" ? 0 : std::atoi(ps->c_str());
        g.ui_changed = 1;
    }
    for (int i = 1; i <= 4; ++i)
        if (const std::string* u = nform_findi("uvar", i); u && !u->empty()) {
            p.xuvar[i - 1] = *u == "-" ? std::string() : ncpy(*u, 511);
            g.ui_changed = 1;
        }
    if (const std::string* ua = nform_find("uaddress"); ua && !ua->empty()) {
        p.xuaddress = *ua == "-" ? std::string() : ncpy(*ua, 4000);
        g.ui_changed = 1;
    }
    queue_token_cookie();

    // 15. Remembered login (its cookies go out with the first page).
    // The form decoder turns a "set_" field into a page variable and keeps
    // it under the rest of its name: "set_cookie" arrives as "cookie".
    if (form_true("set_cookie") || form_true("setcookie") || form_true("cookie")) {
        long sig = static_cast<long>(login_random64() >> 2);
        if (sig == 0) sig = 1;
        p.xcookie = sig;
        cookie_queue("lksid", p.xuser, std::time(nullptr) + 365L * 24 * 3600);
        cookie_queue("lkssig", std::to_string(sig), std::time(nullptr) + 365L * 24 * 3600);
        g.ui_changed = 1;
    } else if (p.xcookie) {
        p.xcookie = 0;
        clear_remembered_cookies();
        g.ui_changed = 1;
    }
    user_write();

    // 14. A new user's first page.
    if (new_user) {
        var_set("pop_del0", ini_true(K_pop_delete_default) ? "checked" : "");
        var_set("pop_port0", value_encode(pop_sport(0)));
        var_set("pop_reply0", value_encode(p.xpop_reply[0]));
        var_set("dflt_reply", value_encode(p.xdflt_reply));
        std::string name = g.xisframes ? "newuserf" : "newuser";
        if (file_exists(file_tpl(name + "." + tkind()))) {
            tpl_show(name);
            return 1;
        }
    }
    // 16.
    first_page();
    return 1;
}

int r_logout(int redirect) {
    if (!get_user() || !user_getinfo(0, 0)) {
        if (f_error_text().empty()) f_error("%s", lang_get("Not currently logged in"));
        return 0;
    }
    // Only the session's own token ends it.
    if (prof.xtcode == 0 || !ct_equal(prof.xttcode, std::to_string(prof.xtcode))) {
        f_error(lang_get("Invalid token for %s\n"), prof.xuser.c_str());
        g.ui_changed = 0;
        return 0;
    }
    imsg("Logging out user {%s}\n", log_safe(prof.xuser).c_str());
    mark_logged_out();
    // A new secret: the tokens of the ended session never match again.
    if (std::uint64_t s = login_random64()) prof.xtcode = s;
    hook_run("empty_remote_newmail(0, 0)", 0);
    if (ini_true(K_empty_trash_on_exit)) hook_run("empty_trash(0)", 0);
    if (ini_true(K_diskuse_on_logout)) hook_run("recalc_diskuse", 0);
    user_write();
    g.utoken.clear();
    const std::string& url = form_find("url");
    if (redirect && url_is_web_address(url)) {
        g.contdone = 1;
        std::string h = security_headers() + "Content-type: text/vnd.wap.wml\n";
        for (const char* c : {"utok", "utokc"}) h += cookie_line(c, "", 0) + "\n";
        gprintf("%sLocation: %s\n\n", h.c_str(), url.c_str());
        return 1;
    }
    return f_login_again();
}

int r_send_auto_login() {
    int n = std::atoi(form_find("n").c_str());
    auto fail = [n](const char* why) {
        lmsg("%s", why);
        f_error(lang_get("Transfer %d failed"), n);
        return 0;
    };
    if (n < 1 || n > 10) return fail(sfmt("Invalid send_auto_login n=%d", n).c_str());
    const AutoLoginTarget& t = ini_auto_login(n);
    if (t.url.empty()) return fail(sfmt("no url for send_auto_login %d", n).c_str());
    if (!user_getinfo(0, 0)) return fail(sfmt("no user_info for send_auto_login %d", n).c_str());
    const std::string& user = prof.xpop_user[0];
    const std::string& pass = prof.xpop_pass[0];
    if (user.empty() || pass.empty()) return fail("No user or pass for send_auto_login");
    std::string dir = t.path;
    if (starts_with(dir, "$(workarea)")) dir = file_work("") + dir.substr(11);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::string tmpl = dir + "/pf_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    int fd = mkstemp(buf.data());
    if (fd < 0) return fail(sfmt("Can't make temp file based on %s", log_safe(tmpl).c_str()).c_str());
    close(fd);
    std::string base_path = buf.data();
    std::string path = base_path + ".tmp";
    std::string data = encrypt_pass(pass, user) + "\n";
    int wfd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    bool ok = wfd >= 0 && write(wfd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    if (wfd >= 0) close(wfd);
    unlink(base_path.c_str());
    if (!ok) {
        unlink(path.c_str());
        return fail(sfmt("Open %s failed: %s", log_safe(path).c_str(), std::strerror(errno)).c_str());
    }
    std::string file = nopath(base_path);
    std::string comma = starts_with(t.extra, ",") ? t.extra : std::string();
    std::string loc;
    if (starts_with(t.url, "$(server)"))
        loc = sfmt("Location: %s%s%s?cmd=auto_login%s&user=%s&pass_file=%s", g.g_http.c_str(), g.g_server.c_str(),
                   t.url.substr(9).c_str(), comma.c_str(), url_encode(user).c_str(), url_encode(file).c_str());
    else
        loc = sfmt("Location: %s?cmd=auto_login%s&user=%s&pass_file=%s", t.url.c_str(), comma.c_str(),
                   url_encode(user).c_str(), url_encode(file).c_str());
    if (!t.extra.empty() && t.extra[0] != ',') loc += "&" + t.extra;
    std::string extra = form_find("extra");
    if (!extra.empty()) loc += extra[0] == ',' ? extra.substr(1) : "&" + extra;
    for (char& c : loc)
        if (c == '\r' || c == '\n') c = ' ';
    g.contdone = 1;
    gprintf("Content-type: text/html\n%s&&\n\n", loc.c_str());
    return 1;
}

void login_reset() { auth_reset(); }
