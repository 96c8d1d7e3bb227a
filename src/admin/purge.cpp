// The purge: empties the cached server mail of users whose sessions were
// abandoned (idle past the auto-logout time, measured from the last
// request), and on demand removes accounts unused for a number of days.
// Users whose lock is held are skipped, never waited for.  The automatic
// purge runs at the end of a login at most once per purge_mins, one
// process elected through the manager record.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "admin/manager.h"
#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "store/folders.h"
#include "support/str.h"
#include "user/lock.h"
#include "user/paths.h"
#include "user/profile.h"

namespace {

struct Seen {
    long last_login = 0, log_time = 0, diskuse = 0, msgs = 0;
    bool read = false;
};

Seen scan_profile(const std::string& path) {
    Seen s;
    FILE* f = nullptr;
    for (int i = 0; i < 5 && !f; ++i) {
        f = std::fopen(path.c_str(), "r");
        if (!f) usleep(100000);
    }
    if (!f) return s;
    char buf[512];
    while (std::fgets(buf, sizeof buf, f)) {
        std::string line = buf;
        if (line.empty() || line.back() != '\n') {
            // The rest of an overlong line is not a line of its own.
            int c;
            while ((c = std::fgetc(f)) != EOF && c != '\n') {
            }
        }
        std::size_t sp = line.find(' ');
        if (sp == std::string::npos) continue;
        const std::string key = line.substr(0, sp);
        const long v = std::atol(line.c_str() + sp + 1);
        if (key == "last_login") s.last_login = v;
        else if (key == "log_time") s.log_time = v;
        else if (key == "diskuse") s.diskuse = v;   // the later line wins, as for the reader
        else if (key == "msgs") s.msgs = v;
    }
    s.read = std::ferror(f) == 0;
    std::fclose(f);
    return s;
}

// Empties one abandoned session's cached mail the way a logout does, with
// the lock already held.  Returns the count emptied.
int empty_session(const std::string& user, bool logged) {
    profile_reset();
    g.ui_changed = 0;
    prof.xuser = user;
    UserLockFlags& lf = user_lock_flags();
    lf = UserLockFlags{};
    lf.g_try_only = 1;   // the lock is ours already: user_lock finds it held
    int count = 0;
    if (user_getinfo(0, 1)) {
        count = empty_remote_newmail(1, 1);
        if (logged) imsg("do_purge: %s empty remote new mail returned %d", user.c_str(), count);
        if (ini_true(K_empty_trash_on_exit)) {
            int t = empty_trash(1);
            if (logged) imsg("do_purge: %s empty trash returned %d", user.c_str(), t);
            count += t;
        }
        if (count > 0) {
            store_recalc_diskuse();
            // Written whole and renamed over the old profile, with its
            // checksum: readable whenever the purge is stopped.
            if (!user_write()) imsg("do_purge: %s profile not written", user.c_str());
        }
    }
    f_error_clear();
    g.ui_changed = 0;
    lf = UserLockFlags{};
    profile_reset();
    return count;
}

}  // namespace

int do_purge(const std::string& user, const std::string& dir) {
    ManagerState& m = manager_state();
    const bool logged = log_has("purge");
    if (!admin_lock_user(dir, "purge", 0)) {
        lmsg("do_purge: %s user_lock failed %s", user.c_str(), dir.c_str());
        return 0;
    }
    const std::string path = dir + "/user.dat";
    Seen s = scan_profile(path);
    if (!s.read) {
        if (logged) imsg("do_purge: %s failed cannot read user data %s", user.c_str(), path.c_str());
        admin_unlock_user(dir);
        return 0;
    }
    m.msgs_served += s.msgs;
    m.msgs_diskuse += s.diskuse;
    const long now = static_cast<long>(time(nullptr));
    // Idle time counts from the last request, not from the login: a
    // session in use keeps its cache however long ago it began.
    const long last_seen = s.log_time ? s.log_time : s.last_login;
    const int kill_days = m.rec.ukill_days;
    if (kill_days > 0 && last_seen != 0 && (now - last_seen) / 86400 > kill_days) {
        if (logged)
            imsg("Removing account for user %s unused for %d days", user.c_str(),
                 static_cast<int>((now - last_seen) / 86400));
        lmsg("Emptying user directory {%s}", dir.c_str());
        // Moved away under the lock, then removed: a login never meets a
        // half-removed directory.
        if (user_delete(dir, true)) ++m.nkilled;
        return 0;
    }
    int count = 0;
    if (s.last_login == 0) {
        if (logged) imsg("do_purge: %s skipped as logged out", user.c_str());
    } else {
        const long idle = (now - last_seen) / 60;
        const long limit = std::atol(wm_ini_get(K_auto_logout_mins).c_str());
        if (idle <= limit) {
            if (logged) imsg("do_purge: %s skipped %d<=%d mins old", user.c_str(), static_cast<int>(idle), static_cast<int>(limit));
        } else if (user_dir_of(user) != dir) {
            // The cache functions work by user name: a directory that name
            // does not lead to is left alone rather than another emptied.
            imsg("do_purge: %s skipped, name does not lead to %s", user.c_str(), dir.c_str());
        } else {
            if (logged) imsg("do_purge: %s", user.c_str());
            count = empty_session(user, logged);
        }
    }
    admin_unlock_user(dir);
    return count;
}

int purge(const std::string& wild) {
    ManagerState& m = manager_state();
    lmsg("Purge users=%s...\n", wild.c_str());
    user_delete_leftovers();
    int purged = 0;
    const int visited = user_walk(walk_pattern(wild), [&](const std::string& dir, const std::string& user) {
        purged += do_purge(user, dir) > 0 ? 1 : 0;
    });
    manager_info(sfmt(lang_get("I4: Purged cached messaged for %d of %d users"), purged, visited));
    if (visited > 0) {
        m.rec.last_purge = static_cast<long>(time(nullptr));
        m.mi_changed = true;
    }
    if (m.nkilled) manager_info(sfmt(lang_get("Removed files for %d unused accounts"), static_cast<int>(m.nkilled)));
    return purged;
}

int auto_purge() {
    const long mins = std::atol(wm_ini_get(K_purge_mins).c_str());
    if (mins <= 0) return 1;
    ManagerState& m = manager_state();
    if (!manager_read()) {
        lmsg("auto_purge: manager read failed");
        return 0;
    }
    const long now = static_cast<long>(time(nullptr));
    if (m.rec.last_purge + mins * 60 > now) {
        imsg("auto_purge: not time %ld <= %ld", now, m.rec.last_purge + mins * 60);
        return 1;
    }
    m.rec.last_purge = now;
    m.mi_changed = true;
    if (!manager_write()) {
        lmsg("auto_purge: manager write failed");
        return 0;
    }
    // Every process whose interval ran out wrote its id: the last one to
    // write is the one that purges.
    std::fflush(nullptr);
    sleep(5);
    if (!manager_read()) {
        lmsg("auto_purge: Second manager read failed");
        return 0;
    }
    if (m.rec.pid != static_cast<int>(getpid())) {
        imsg("auto_purge: mpid!=mypid %d,%d", m.rec.pid, static_cast<int>(getpid()));
        return 1;
    }
    // An automatic purge never removes accounts.
    m.rec.ukill_days = 0;
    const int n = purge("*");
    lmsg("Purge complete updated %d user accounts", n);
    return 1;
}
