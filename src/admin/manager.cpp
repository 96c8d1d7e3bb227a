// The manager page and its actions, and the manager record (manager.dat).
// Every action is behind the same gate: the page enabled, the client's
// address allowed, the password posted (never in a URL) and right, and a
// form time code newer than the last one accepted, so a form counts once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "admin/manager.h"
#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/encode.h"
#include "page/tpl.h"
#include "page/var.h"
#include "support/file.h"
#include "support/str.h"
#include "support/wild.h"
#include "user/paths.h"

namespace {

constexpr std::size_t kLineMax = 511;
constexpr long kFailWindow = 900;   // seconds over which failed logins add up
constexpr int kFailDelayMax = 10;   // seconds

std::string work_file(const char* name) { return file_work(name); }

// Settings and form texts become one line of manager.dat each.
std::string one_line(std::string_view s) {
    std::string out;
    for (char c : s)
        if (c != '\n' && c != '\r' && c != '\0') out += c;
    return ncpy(out, kLineMax);
}

// Failed logins: "count time" in manager.fail.  Each failure within the
// window waits a second longer before it is answered.
int note_failure() {
    const std::string path = work_file("manager.fail");
    long count = 0, when = 0;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        if (std::fscanf(f, "%ld %ld", &count, &when) != 2) count = 0;
        std::fclose(f);
    }
    const long now = static_cast<long>(time(nullptr));
    count = now - when <= kFailWindow && count >= 0 ? count + 1 : 1;
    file_replace(path, sfmt("%ld %ld\n", count, now));
    return static_cast<int>(count);
}

// Client address and the page's own switch; the password comes after.
bool manager_gate() {
    if (ini_true(K_no_manager)) {
        f_error("%s", lang_get("No manager access allowed.\n"));
        return false;
    }
    const std::string& ips = wm_ini_get(K_manager_ip);
    if (!ips.empty() && !list_match(ips, g.remote_addr)) {
        lmsg("Manager refused for address %s", html_escape(g.remote_addr).c_str());
        f_error("%s", lang_get("No manager access allowed.\n"));
        return false;
    }
    return true;
}

void set_form_vars(bool after_action) {
    ManagerState& m = manager_state();
    const ManagerRecord& r = m.rec;
    // Newer than the last code accepted, even within the same second.
    const long long now = static_cast<long long>(time(nullptr));
    var_set("tcode", tencode(now > r.tcode ? now : r.tcode + 1));
    if (!after_action) return;
    var_set("uadd", r.uadd ? "checked" : "");
    var_set("ub_only", r.ub_only ? "checked" : "");
    var_set("upurge", r.upurge ? "checked" : "");
    var_set_outside("uwild", r.uwild);
    var_set_outside("uset", r.uset);
    var_set_outside("uval", r.uval);
    var_set("ukill_days", std::to_string(r.ukill_days));
}

}  // namespace

ManagerState& manager_state() {
    static ManagerState s;
    return s;
}

void manager_reset() { manager_state() = ManagerState{}; }

std::string manager_path() { return work_file("manager.dat"); }

void manager_info(const std::string& line) {
    std::string& x = manager_state().xinfomsg;
    x = x.empty() ? line : line + "<br>" + x;
}

int manager_read() {
    ManagerState& m = manager_state();
    ManagerRecord r;
    const std::string path = manager_path();
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        if (errno != ENOENT) {
            imsg("Couldn't open %s %s\n", path.c_str(), std::strerror(errno));
            return 0;
        }
        m.rec = r;
        return 1;
    }
    char buf[kLineMax + 1];
    while (std::fgets(buf, sizeof buf, f)) {
        std::string line = buf;
        line = line.substr(0, line.find_first_of("\r\n"));
        std::size_t sp = line.find(' ');
        const std::string key = line.substr(0, sp);
        const std::string val = sp == std::string::npos ? std::string() : line.substr(sp + 1);
        const long n = std::atol(val.c_str());
        if (key == "last_login") r.last_login = n;
        else if (key == "log_time") r.log_time = n;
        else if (key == "last_purge") r.last_purge = n;
        else if (key == "pid") r.pid = static_cast<int>(n);
        else if (key == "users") r.users = static_cast<int>(n);
        else if (key == "tcode") r.tcode = std::atoll(val.c_str());
        else if (key == "uadd") r.uadd = n != 0;
        else if (key == "ub_only") r.ub_only = n != 0;
        else if (key == "upurge") r.upurge = n != 0;
        else if (key == "ukill_days") r.ukill_days = static_cast<int>(n);
        else if (key == "uwild") r.uwild = val;
        else if (key == "uset") r.uset = val;
        else if (key == "uval") r.uval = val;
    }
    const bool bad = std::ferror(f) != 0;
    std::fclose(f);
    if (bad) {
        imsg("Couldn't open %s %s\n", path.c_str(), "read error");
        return 0;
    }
    m.rec = r;
    return 1;
}

int manager_write() {
    ManagerState& m = manager_state();
    if (!m.mi_changed) return 1;
    ManagerRecord& r = m.rec;
    r.log_time = static_cast<long>(time(nullptr));
    r.pid = static_cast<int>(getpid());
    std::string text = sfmt("last_login %ld\nlog_time %ld\nlast_purge %ld\npid %d\nusers %d\ntcode %lld\nuadd %d\n"
                            "ub_only %d\nupurge %d\nukill_days %d\n",
                            r.last_login, r.log_time, r.last_purge, r.pid, r.users, r.tcode, r.uadd, r.ub_only,
                            r.upurge, r.ukill_days);
    if (!r.uwild.empty()) text += "uwild " + one_line(r.uwild) + "\n";
    if (!r.uset.empty()) text += "uset " + one_line(r.uset) + "\n";
    if (!r.uval.empty()) text += "uval " + one_line(r.uval) + "\n";
    const std::string path = manager_path();
    // A name of this process's own: concurrent writers never share one.
    const std::string tmp = work_file(sfmt("manager_%d.new", static_cast<int>(getpid())).c_str());
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) {
        f_error("Cannot write manager data (%s) (%s)", tmp.c_str(), std::strerror(errno));
        return 0;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (!ok) f_error("Unable to write manager data file %s\n", tmp.c_str());
    if (std::fclose(f) != 0 && ok) {
        f_error("Unable to close manager data file %s\n", tmp.c_str());
        ok = false;
    }
    // Renamed over the old record: there is never a moment without one.
    if (ok && std::rename(tmp.c_str(), path.c_str()) != 0) {
        f_error("Unable to rename manager data file %s\n", path.c_str());
        ok = false;
    }
    if (!ok) {
        std::remove(tmp.c_str());
        return 0;
    }
    m.mi_changed = false;
    return 1;
}

std::string get_pass(const std::string& setting) {
    if (setting.empty() || setting[0] != '@') return setting;
    const std::string path = file_tpl(setting.substr(1) + ".dat");
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        lmsg("Manager password file error\n");
        return "";
    }
    char buf[100];
    std::string pass;
    if (std::fgets(buf, sizeof buf, f)) pass = buf;
    else lmsg("Manager password file read error\n");
    std::fclose(f);
    while (!pass.empty() && (pass.back() == '\n' || pass.back() == '\r')) pass.pop_back();
    return pass;
}

bool manager_pass_equal(std::string_view given, std::string_view want) {
    // Every byte of the given text is looked at whatever matches, so the
    // answer's timing says nothing about how much of it was right.
    unsigned diff = given.size() != want.size() ? 1u : 0u;
    for (std::size_t i = 0; i < given.size(); ++i) {
        unsigned char w = want.empty() ? 0 : static_cast<unsigned char>(want[i % want.size()]);
        diff |= static_cast<unsigned char>(given[i]) ^ w;
    }
    return diff == 0 && !want.empty();
}

int f_manager(int after_action) {
    if (!manager_gate()) return 0;
    if (wm_ini_get(K_manager_password).empty()) {
        f_error("%s", lang_get("No manager access allowed.\n"));
        return 0;
    }
    if (!manager_read()) {
        f_error("%s", lang_get("Manager read failed.\n"));
        return 0;
    }
    set_form_vars(after_action != 0);
    tpl_show("manager");
    return 1;
}

namespace {

// The password, posted: a query-string password would sit in URLs and
// in the web server's log.
bool manager_login() {
    const std::string want = get_pass(wm_ini_get(K_manager_password));
    if (want.empty()) {
        f_error("%s", lang_get("No manager access allowed.\n"));
        return false;
    }
    const std::string* posted = g.method == "post" && !nquery_find("pass") ? nform_find("pass") : nullptr;
    if (posted && manager_pass_equal(*posted, want)) {
        std::remove(work_file("manager.fail").c_str());
        return true;
    }
    const int fails = note_failure();
    lmsg("Manager login failed from %s (%d in a row)", html_escape(g.remote_addr).c_str(), fails);
    sleep(static_cast<unsigned>(fails < kFailDelayMax ? fails : kFailDelayMax));
    f_error("%s", lang_get("Manager login failed.\n"));
    return false;
}

// A form is good once: its time code must be newer than the last one
// accepted (and not from the future).
bool take_tcode() {
    ManagerRecord& r = manager_state().rec;
    const long long t = tdecode(form_find("tcode").c_str());
    const long long now = static_cast<long long>(time(nullptr));
    if (t <= 0 || t <= r.tcode || t > now + 60) {
        f_error("%s", lang_get("E4: tcode failure\n"));
        return false;
    }
    r.tcode = t;
    return true;
}

void read_form_into_record(bool h2_unused) {
    (void)h2_unused;
    ManagerRecord& r = manager_state().rec;
    r.last_login = static_cast<long>(time(nullptr));
    r.uwild = one_line(form_find("uwild"));
    if (r.uwild.empty()) r.uwild = "*";
    r.uset = one_line(form_find("uset"));
    r.uval = one_line(form_find("uval"));
    r.uadd = form_true("uadd") ? 1 : 0;
    r.upurge = form_true("upurge") ? 1 : 0;
    r.ub_only = form_true("ub_only") ? 1 : 0;
    r.ukill_days = std::atoi(form_find("ukill_days").c_str());
    if (r.ukill_days < 0) r.ukill_days = 0;
}

}  // namespace

int r_manager() {
    if (!manager_gate()) return 0;
    lmsg("Manager login (%s)\n", html_escape(one_line(form_find("user").empty() ? "manager" : form_find("user"))).c_str());
    if (!manager_login()) return 0;
    ManagerState& m = manager_state();
    if (!manager_read()) {
        f_error("%s", lang_get("Manager read failed.\n"));
        return 0;
    }
    if (!take_tcode()) return 0;
    // The code is spent before anything is done: a second post of the
    // same form fails even while the first is still running.
    m.mi_changed = true;
    if (!manager_write()) return 0;
    read_form_into_record(false);
    ManagerRecord& r = m.rec;
    const std::string mcmd = lower(one_line(form_find("mcmd")));
    imsg("mcmd = %s\n", html_escape(mcmd).c_str());
    const std::string pattern = walk_pattern(r.uwild);
    int visited = 0;
    if (mcmd == "delete accounts") {
        del_accounts();
    } else if (!r.uset.empty()) {
        int updated = 0;
        visited = user_walk(pattern, [&](const std::string& dir, const std::string&) {
            imsg("Update: %s/user.dat\n", dir.c_str());
            updated += user_update_dir(dir, r.uset, r.uval, r.uadd, r.ub_only) ? 1 : 0;
        });
        manager_info(sfmt(lang_get("I1: %s%d lines from %d user.dat files updated successfuly"), "",
                          static_cast<int>(m.nmodified + m.nadded), visited));
        if (updated != visited) manager_info(sfmt("%d user.dat files could not be updated", visited - updated));
        if (r.uwild == "*") r.users = visited;
    }
    if (r.upurge) purge(r.uwild);
    var_set("nmatches", std::to_string(visited));
    var_set("nusers", std::to_string(r.users));
    var_set("nmodified", std::to_string(m.nmodified));
    var_set("nadded", std::to_string(m.nadded));
    var_set("msgs_served", std::to_string(m.msgs_served));
    var_set("msgs_diskuse", std::to_string(m.msgs_diskuse));
    var_set("nkilled", std::to_string(m.nkilled));
    var_set("xinfomsg", m.xinfomsg);
    if (r.last_purge) {
        time_t lp = static_cast<time_t>(r.last_purge);
        struct tm tmv;
        char tbuf[64];
        if (localtime_r(&lp, &tmv) && asctime_r(&tmv, tbuf)) var_set("last_purge", one_line(tbuf));
    }
    m.mi_changed = true;
    if (!manager_write()) {
        f_error("%s", lang_get("Manager write failed.\n"));
        return 0;
    }
    return f_manager(1);
}
