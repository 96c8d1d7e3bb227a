#include "user/session.h"

#include <unistd.h>

#include <cstdlib>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/request.h"
#include "page/var.h"
#include "support/escape.h"
#include "support/str.h"
#include "user/codec.h"
#include "user/form_access.h"
#include "user/paths.h"
#include "user/profile.h"

namespace {

// "a=1; b=2" as "a; b".
std::string cookie_names(std::string_view header) {
    std::string out;
    std::size_t i = 0;
    while (i < header.size()) {
        std::size_t j = header.find(';', i);
        if (j == std::string_view::npos) j = header.size();
        std::string_view c = header.substr(i, j - i);
        c = c.substr(0, c.find('='));
        while (!c.empty() && (c.front() == ' ' || c.front() == '\t')) c.remove_prefix(1);
        if (!out.empty()) out += "; ";
        out += std::string(c.substr(0, 40));
        i = j + 1;
    }
    return out;
}

int slot_ok(int slot) { return slot >= 0 && slot < kPopSlots ? slot : 0; }

}  // namespace

long logout_offset() {
    const std::string& v = wm_ini_get(K_logout_time);
    std::size_t colon = v.find(':');
    if (colon != std::string::npos)
        return (std::atol(v.substr(0, colon).c_str()) * 60 + std::atol(v.substr(colon + 1).c_str())) * 60;
    return std::atol(v.c_str());
}

int token_day(std::time_t now) {
    std::time_t t = now - static_cast<std::time_t>(logout_offset());
    struct tm tmv;
    localtime_r(&t, &tmv);
    return tmv.tm_yday;
}

std::string make_token(std::string_view user, std::uint64_t code) {
    return std::string(user) + "_" + x_hide(user, std::to_string(code), token_day(std::time(nullptr)));
}

bool parse_token(std::string_view token, int day, std::string& user, std::string& code) {
    std::size_t us = token.rfind('_');
    if (us == std::string_view::npos) return false;
    user = ncpy(token.substr(0, us), 511);
    code = x_unhide(user, token.substr(us + 1), day);
    return true;
}

int get_user() {
    if (!prof.rutoken.empty()) return 1;
    std::string tok = user_form_find("utoken");
    if (tok.empty()) tok = get_cookie("utok");
    if (tok.empty()) return 0;
    tok = ncpy(tok, 511);
    std::string user, code;
    if (prof.xuser.empty()) {
        if (!parse_token(tok, token_day(std::time(nullptr)), user, code)) return 0;
        prof.xuser = user;
        prof.xttcode = code;
        imsg("Got token for (%s) \n", user.c_str());
    }
    prof.rutoken = tok;
    if (!ini_true(K_require_cookies)) {
        // g.utoken is the raw token: the page layer encodes it where it is used.
        g.utoken = tok;
        var_set("utoken", pct_encode(tok));
    }
    return 1;
}

int get_token() { return get_user(); }

std::string cookie_value(std::string_view header, std::string_view name, bool* too_long) {
    if (too_long) *too_long = false;
    std::string want = std::string(name) + "=";
    std::size_t pos = 0;
    while ((pos = header.find(want, pos)) != std::string_view::npos) {
        // Only a whole cookie name counts: "xutok=" is not "utok=".
        if (pos == 0 || header[pos - 1] == ';' || header[pos - 1] == ' ' || header[pos - 1] == '\t') break;
        ++pos;
    }
    if (pos == std::string_view::npos) return "";
    std::string_view v = header.substr(pos + want.size());
    v = v.substr(0, v.find(';'));
    if (v.size() > 99) {
        if (too_long) *too_long = true;
        return "";
    }
    return std::string(v);
}

std::string get_cookie(std::string_view name) {
    const char* env = std::getenv("HTTP_COOKIE");
    std::string header = env ? env : "";
    bool too_long = false;
    std::string v = cookie_value(header, name, &too_long);
    std::string n(name);
    // Cookie values are session secrets: the log names cookies only.
    if (too_long) imsg("Cookie %s too long", n.c_str());
    else if (v.empty() && header.size() > 8 && !contains(header, n + "="))
        imsg("Can't find cookie %s in %s", n.c_str(), cookie_names(header).c_str());
    if (log_has("cookie")) imsg("get_cookie: %s = (%d characters)", n.c_str(), static_cast<int>(v.size()));
    return v;
}

const std::string& user_hostname() {
    static std::string name;
    static bool done = false;
    if (!done) {
        char buf[256] = {0};
        if (gethostname(buf, sizeof buf - 1) == 0) name = ncpy(buf, 190);
        done = true;
    }
    return name;
}

std::string get_host(int slot) {
    slot = slot_ok(slot);
    std::string h = prof.xpop_name[slot].empty() ? wm_ini_get(K_pophost) : prof.xpop_name[slot];
    const std::string& orig = wm_ini_get(K_original_pophost);
    if (slot == 0 && !orig.empty() && h == orig && !wm_ini_get(K_pophost).empty()) h = wm_ini_get(K_pophost);
    if (h.empty()) h = user_hostname();
    return h;
}

std::string get_smtphost() {
    std::string s = wm_ini_get(K_smtphost);
    if (s == "$pophost") s = get_host(prof.xpop_cur);
    if (s.empty()) s = user_hostname();
    return s;
}

std::string get_domain() {
    std::string d = prof.xdomain.empty() ? wm_ini_get(K_domain) : prof.xdomain;
    if (d == "$pophost") d = get_host(prof.xpop_cur);
    if (d.empty()) d = user_hostname();
    return d;
}

void set_domain(std::string_view domain) { prof.xdomain = ncpy(domain, 511); }

int get_port() {
    int p = std::atoi(wm_ini_get(K_port).c_str());
    return p > 0 ? p : 110;
}

int get_smtp_port() {
    int p = std::atoi(wm_ini_get(K_smtp_port).c_str());
    return p > 0 ? p : 25;
}

int pop_port(int slot) {
    slot = slot_ok(slot);
    if (slot == 0) return get_port();
    int p = std::atoi(prof.xpop_port[slot].c_str());
    return p > 0 ? p : 110;
}

std::string pop_sport(int slot) {
    slot = slot_ok(slot);
    if (slot != 0 && !prof.xpop_port[slot].empty()) return prof.xpop_port[slot];
    const std::string& p = wm_ini_get(K_port);
    return p.empty() ? "110" : p;
}

bool no_trash() {
    const std::string& v = wm_ini_get(K_no_trash);
    return v == "true" || v == "TRUE";
}

std::string user_only_ns(std::string_view login) {
    std::string u = user_only(login);
    std::size_t sl = wm_ini_get(K_suffix).size();
    if (u.size() > sl) u.resize(u.size() - sl);
    std::size_t pl = wm_ini_get(K_prefix).size();
    u.erase(0, std::min(pl, u.size()));
    return u;
}
