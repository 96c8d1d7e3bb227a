#include "user/lock.h"

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
#include "cgi/request.h"
#include "support/file.h"
#include "support/str.h"
#include "user/form_access.h"
#include "user/paths.h"
#include "user/profile.h"

namespace {

struct LockState {
    FILE_LOCK data;
    UserLockFlags flags;
};

LockState& st() {
    static LockState s;
    return s;
}

#define LK_TRACE(...)                                      \
    do {                                                   \
        if (lock_data().dmsg) lock_data().dmsg(__VA_ARGS__); \
    } while (0)
#define LK_ERROR(...)                                      \
    do {                                                   \
        if (lock_data().emsg) lock_data().emsg(__VA_ARGS__); \
    } while (0)

// What a signal handler needs to remove a lock: fixed buffers written
// only while the ending signals are blocked, read only by the handler.
struct SafeLock {
    char lockname[600];
    char uniq[600];
    dev_t dev;
    ino_t ino;
    volatile sig_atomic_t armed;
};
constexpr int kSafeLocks = 8;
SafeLock g_safe[kSafeLocks];

void copy_name(char (&dst)[600], const std::string& src) {
    std::size_t n = src.size() < sizeof dst - 1 ? src.size() : sizeof dst - 1;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

void safe_arm(const std::string& lockname, const std::string& uniq, dev_t dev, ino_t ino) {
    for (SafeLock& l : g_safe)
        if (!l.armed) {
            copy_name(l.lockname, lockname);
            copy_name(l.uniq, uniq);
            l.dev = dev;
            l.ino = ino;
            l.armed = 1;
            return;
        }
}

void safe_disarm(const std::string& lockname) {
    for (SafeLock& l : g_safe)
        if (l.armed && lockname == l.lockname) l.armed = 0;
}

void pause_ms(int ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

std::string content_line(const char* data) {
    return data ? sfmt("PID=%d, DATA=%.200s\n", static_cast<int>(getpid()), data)
                : sfmt("PID=%d, DATA=NULL\n", static_cast<int>(getpid()));
}

// 1: a lock file exists and is younger than `expires` seconds (held by
// someone); 0: none; 2: a stale one that was removed; -3: a stale one
// that could not be removed.  Breaking moves the file aside first and
// checks it is the one judged stale, so a fresh lock another process took
// in the meantime is put back instead of deleted.
int check_stale(const std::string& lockname, int expires) {
    if (expires == -1) return 0;
    struct stat sb;
    if (stat(lockname.c_str(), &sb) != 0) return 0;
    if (static_cast<long>(sb.st_ctime) + expires >= static_cast<long>(time(nullptr))) return 1;
    std::string aside = sfmt("%s.%d.stale", lockname.c_str(), static_cast<int>(getpid()));
    if (rename(lockname.c_str(), aside.c_str()) != 0) {
        if (errno == ENOENT) return 2;   // someone else broke it already
        LK_ERROR("LOCK: Failed to remove link file on timeout {%s}.", lockname.c_str());
        return -3;
    }
    struct stat moved;
    if (stat(aside.c_str(), &moved) == 0 && moved.st_ino != sb.st_ino) {
        // Not the stale file any more: give the owner its lock back.
        if (link(aside.c_str(), lockname.c_str()) != 0)
            LK_ERROR("LOCK: Could not restore lock {%s} {%s}", lockname.c_str(), std::strerror(errno));
        unlink(aside.c_str());
        return 1;
    }
    if (clear_file(aside.c_str()) != 0) {
        LK_ERROR("LOCK: Failed to remove link file on timeout {%s}.", lockname.c_str());
        return -3;
    }
    return 2;
}

// A lock is whole the moment build_std or build_nfs answers 1: the file
// exists (created exclusively, or linked and checked), and a competitor
// judges staleness by its change time alone, never by its content.  So the
// holder goes straight on to its work; there is nothing to wait for.
int build_std(const std::string& base, const char* data, int expires) {
    std::string lockname = mylock_lock_name(base);
    std::string line = content_line(data);
    int stale = check_stale(lockname, expires);
    if (stale == 1) return 0;
    if (stale == -3) return -3;
    int fd = open(lockname.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return errno == ENOENT ? -1 : 0;
    (void)write_all(fd, line);
    struct stat sb;
    if (fstat(fd, &sb) == 0) safe_arm(lockname, "", sb.st_dev, sb.st_ino);
    lock_data().files.push_back({base, fd, -1});
    LK_TRACE("LOCK: File locked {%s}", base.c_str());
    return 1;
}

int build_nfs(const std::string& base, const char* data, int expires) {
    std::string lockname = mylock_lock_name(base);
    std::string uniq = mylock_unique_name(base);
    std::string line = content_line(data);
    if (expires == -1) unlink(uniq.c_str());
    int fd = open(uniq.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        if (errno == ENOENT) return -1;
        LK_ERROR("LOCK: Failed to create Unique file {%s} {%s}", uniq.c_str(), std::strerror(errno));
        return 0;
    }
    bool wrote = write_all(fd, line);
    close(fd);
    if (!wrote) {
        unlink(uniq.c_str());
        return 0;
    }
    int stale = check_stale(lockname, expires);
    if (stale == 1 || stale == -3) {
        unlink(uniq.c_str());
        return stale == 1 ? 0 : -3;
    }
    if (link(uniq.c_str(), lockname.c_str()) != 0) {
        LK_ERROR("LOCK: Error linking to lock file {%s=%s} {%s}", lockname.c_str(), uniq.c_str(),
                 std::strerror(errno));
        unlink(uniq.c_str());
        return 0;
    }
    struct stat su, sl;
    if (stat(uniq.c_str(), &su) != 0) {
        LK_ERROR("LOCK: Failed to create uid file {%s}.", uniq.c_str());
        return -2;
    }
    if (su.st_nlink != 2) {
        LK_ERROR("LOCK: Detected %d links, on {%s} {%s}.", static_cast<int>(su.st_nlink), uniq.c_str(),
                 lockname.c_str());
        unlink(uniq.c_str());
        return 0;
    }
    if (stat(lockname.c_str(), &sl) != 0) {
        LK_TRACE("LOCK: Failed to generate Link file {%s} {%s}.", lockname.c_str(), uniq.c_str());
        unlink(uniq.c_str());
        return 0;
    }
    if (sl.st_ino != su.st_ino || sl.st_dev != su.st_dev) {
        LK_ERROR("LOCK: Error linked to incorrect file {%s=%s}", lockname.c_str(), uniq.c_str());
        unlink(uniq.c_str());
        return 0;
    }
    char buf[513] = {0};
    int pid = -1;
    int rfd = open(lockname.c_str(), O_RDONLY);
    if (rfd >= 0) {
        ssize_t n = read(rfd, buf, 512);
        close(rfd);
        if (n > 4) {
            buf[n] = 0;
            pid = std::atoi(buf + 4);
        }
    }
    if (pid != static_cast<int>(getpid())) {
        LK_ERROR("LOCK: process %d has this locked not me.{%s=%s}", pid, lockname.c_str(), uniq.c_str());
        unlink(uniq.c_str());
        return 0;
    }
    safe_arm(lockname, uniq, su.st_dev, su.st_ino);
    lock_data().files.push_back({base, -1, -1});
    LK_TRACE("LOCK: File locked {%s}", base.c_str());
    return 1;
}

// Removes the lock file only while it is still this lock's file: a lock
// that was broken as stale and taken by another process stays theirs.
bool still_ours(const LOCK& lock, const std::string& lockname, const std::string& uniq) {
    struct stat sl, so;
    if (stat(lockname.c_str(), &sl) != 0) return false;
    if (lock_data().nfs_server) {
        if (stat(uniq.c_str(), &so) != 0) return false;
    } else {
        if (lock.handle < 0 || fstat(lock.handle, &so) != 0) return true;
    }
    return sl.st_ino == so.st_ino && sl.st_dev == so.st_dev;
}

}  // namespace

FILE_LOCK& lock_data() { return st().data; }
UserLockFlags& user_lock_flags() { return st().flags; }

std::string mylock_lock_name(const std::string& base) { return ncpy(base, 502) + "_lock"; }
// One bound for building and removing, so a long base never leaves the
// unique file behind.
std::string mylock_unique_name(const std::string& base) {
    return ncpy(base, 300) + "_" + ncpy(lock_data().id, 40);
}

void mylock_init(const char* id, int nfs_server, int force_wait, lock_msg_fn emsg, lock_msg_fn dmsg) {
    FILE_LOCK& d = lock_data();
    d.init = 1;
    d.nfs_server = nfs_server;
    d.force_wait = force_wait;
    d.emsg = emsg;
    d.dmsg = dmsg;
    std::string s = id ? sfmt("%d_%.30s", static_cast<int>(getpid()), id) : sfmt("%d", static_cast<int>(getpid()));
    std::size_t colon = s.find(':');
    if (colon != std::string::npos) s.resize(colon);
    for (char& c : s) {
        if (c == '.') c = '_';
        // The id is part of a file name: nothing in it may name a directory.
        else if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 32) c = '_';
    }
    d.id = ncpy(s, 39);
    if (nfs_server) LK_TRACE(force_wait ? "LOCK: Setup (NFS Server) (Forced)" : "LOCK: Setup (NFS Server)");
    else LK_TRACE(force_wait ? "LOCK: Setup (STD Server) (Forced*)" : "LOCK: Setup (STD Server)");
}

int mylock_have(const char* file) {
    if (!file) return 0;
    const auto& v = lock_data().files;
    for (std::size_t i = 0; i < v.size(); ++i)
        if (v[i].file == file) {
            LK_TRACE("LOCK: I have a lock for this File {%s}", file);
            return static_cast<int>(i) + 1;
        }
    LK_TRACE("LOCK: I do not have this File locked {%s}", file);
    return 0;
}

int mylock_build(const char* file, const char* data, int expires) {
    if (!file || !lock_data().init) return 0;
    // A lock file is made and recorded for the handler in one step.
    mylock_block_signals(true);
    int r = lock_data().nfs_server ? build_nfs(file, data, expires) : build_std(file, data, expires);
    mylock_block_signals(false);
    return r;
}

void mylock_block_signals(bool block) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGHUP, SIGQUIT, SIGINT}) sigaddset(&set, sig);
    sigprocmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void mylock_signal_release() {
    for (SafeLock& l : g_safe) {
        if (!l.armed) continue;
        struct stat sb;
        if (stat(l.lockname, &sb) == 0 && sb.st_dev == l.dev && sb.st_ino == l.ino) unlink(l.lockname);
        if (l.uniq[0]) unlink(l.uniq);
        l.armed = 0;
    }
}

int mylock_get(const char* file, const char* data, int timeout, int expires) {
    if (!file || !lock_data().init) return 0;
    if (int i = mylock_have(file)) return lock_data().files[i - 1].expires < 1 ? 3 : 4;
    // Up to `timeout` seconds of waiting, in steps that start short and grow
    // to 0.1 s: a lock given up a moment ago is taken at once, and a long
    // wait polls (over NFS) no more often than before.  No wait at all
    // after the last try: a request that only tries goes on at once.
    const long budget_ms = timeout > 0 ? timeout * 1000L : 0;
    long waited_ms = 0;
    int step_ms = 2;
    LK_TRACE("Retry for %ld ms", budget_ms);
    for (;;) {
        int r = mylock_build(file, data, expires);
        if (r == 1) {
            LK_TRACE("LOCK: Got lock on {%s}", file);
            return 1;
        }
        if (r == -2 || r == -3) return r;
        if (r == -1) {
            LK_ERROR("LOCK: Directory does not exists. (New User?) {%s}", file);
            return -1;
        }
        if (waited_ms >= budget_ms) {
            LK_TRACE("LOCK: Failed in getting lock on {%s}", file);
            return 0;
        }
        const int ms = static_cast<int>(std::min<long>(step_ms, budget_ms - waited_ms));
        pause_ms(ms);
        waited_ms += ms;
        step_ms = std::min(step_ms * 2, 100);
    }
}

int mylock_free(const char* file) {
    if (!file || !lock_data().init) return 0;
    int i = mylock_have(file);
    if (!i) {
        LK_TRACE("LOCK: lock for {%s} does not exist.", file);
        return 0;
    }
    LOCK& l = lock_data().files[i - 1];
    l.expires = static_cast<long>(time(nullptr)) + lock_data().force_wait;
    LK_TRACE("LOCK: Lock for (%d) {%s} expires in %d secs {%d}", i, file, lock_data().force_wait,
             static_cast<int>(l.expires));
    mylock_idle();
    return 1;
}

void mylock_idle() {
    if (!lock_data().init) return;
    auto& v = lock_data().files;
    long now = static_cast<long>(time(nullptr));
    for (std::size_t i = 0; i < v.size();) {
        if (v[i].expires != -1 && v[i].expires <= now) {
            LK_TRACE("LOCK: (%d){%s} Lock expired after %d secs", static_cast<int>(i), v[i].file.c_str(),
                     static_cast<int>(now - v[i].expires));
            mylock_kill(v[i]);
            v.erase(v.begin() + static_cast<long>(i));
        } else {
            LK_TRACE("LOCK: (%d){%s} Lock not expired yet (%d secs)", static_cast<int>(i), v[i].file.c_str(),
                     static_cast<int>(v[i].expires - now));
            ++i;
        }
    }
    LK_TRACE("LOCK: Finish Idle");
}

void mylock_clear() {
    FILE_LOCK& d = lock_data();
    if (!d.init) return;
    if (d.force_wait) {
        LK_TRACE("Clearing locking (Force Wait)");
        mylock_idle();
        // Waits for released locks only: a lock still held would never expire.
        auto released_left = [&] {
            for (const LOCK& l : d.files)
                if (l.expires != -1) return true;
            return false;
        };
        while (released_left()) {
            sleep(1);
            mylock_idle();
        }
    } else {
        LK_TRACE("Clearing locking");
    }
    for (LOCK& l : d.files) mylock_kill(l);
    d.files.clear();
}

int mylock_kill(LOCK& lock) {
    FILE_LOCK& d = lock_data();
    if (!d.init || lock.file.empty()) return 0;
    LK_TRACE("LOCK: Removal of Lock {%s}", lock.file.c_str());
    std::string lockname = mylock_lock_name(lock.file);
    std::string uniq = mylock_unique_name(lock.file);
    // From here to the end the handler must not run: it would find the
    // lock half removed.  A signal that comes meanwhile waits, then ends
    // the process with nothing left to remove.
    mylock_block_signals(true);
    struct Unblock {
        ~Unblock() { mylock_block_signals(false); }
    } unblock;
    safe_disarm(lockname);
    bool ours = still_ours(lock, lockname, uniq);
    if (lock.handle >= 0) {
        close(lock.handle);
        lock.handle = -1;
    }
    int ok = 1;
    if (d.nfs_server && clear_file(uniq.c_str()) != 0) {
        LK_ERROR("LOCK: Error removing unique file '%s', %s", uniq.c_str(), std::strerror(errno));
    }
    lock.file.clear();
    if (ours) {
        int r = d.nfs_server ? (unlink(lockname.c_str()) == 0 || errno == ENOENT ? 0 : -1)
                             : clear_file(lockname.c_str());
        if (r != 0) {
            LK_ERROR("LOCK: Error removing link '%s', %s", lockname.c_str(), std::strerror(errno));
            ok = 0;
        }
    }
    return ok;
}

int clear_file(const char* path) {
    if (!path) return -1;
    int r = remove(path);
    for (int i = 0; r != 0 && errno != ENOENT && i < 3; ++i) {
        LK_TRACE("LOCK: Failed removing file {%s}", path);
        sleep(1);
        r = remove(path);
    }
    return (r == 0 || errno == ENOENT) ? 0 : r;
}

int user_lock(const std::string& cmd) {
    if (ini_true(K_no_locks)) return 1;
    UserLockFlags& f = st().flags;
    auto setting = [](int key) {
        return ini_isset(key) ? wm_ini_get(key) : std::string(ini_default(key));
    };
    int lock_wait = std::atoi(setting(K_lock_wait).c_str());
    int lock_old = std::atoi(setting(K_lock_old).c_str());
    int force_wait = std::atoi(setting(K_lock_force_wait).c_str());
    const bool trace = log_has("lock");
    if (trace)
        imsg("user_lock: request lock for %s ro,nl,to,w=%d,%d,%d,%d", prof.xuser.c_str(), f.g_read_only,
             f.g_must_lock, f.g_try_only, lock_wait);
    if (!f.g_read_only && !f.g_must_lock && !f.g_try_only) {
        if (g.ui_changed) f.g_must_lock = 1;
        else if (!cmd.empty() && contains("login,loginframe,logout", cmd)) f.g_must_lock = 1;
        else if (user_form_has("must_lock") || user_form_has("login") || user_form_has("loginframe"))
            f.g_must_lock = 1;
        else if (!cmd.empty() && contains("purge", cmd)) f.g_read_only = 1;
        else if (user_form_has("read_only")) f.g_read_only = 1;
        else f.g_try_only = 1;
    }
    if (f.g_read_only && !f.g_must_lock) {
        if (trace) imsg("user_lock: read_only not locking");
        return 1;
    }
    mylock_init(wm_ini_get(K_lock_id).c_str(), ini_true(K_nfs) ? 1 : 0, force_wait, imsg,
                log_has("dotlock") ? imsg : nullptr);
    if (!prof.xuser.empty() && access(user_file().c_str(), F_OK) != 0) make_parent_dirs(user_file());
    std::string base = user_fname("user");
    if (f.g_must_lock) {
        f.user_locked = mylock_get(base.c_str(), cmd.c_str(), lock_wait, lock_old);
    } else {
        if (trace) imsg("user_lock: Don't NEED lock but quick try");
        f.user_locked = mylock_get(base.c_str(), cmd.c_str(), 0, lock_old);
        if (f.user_locked < 1) {
            f.g_read_only = 1;
            if (trace) imsg("user_lock: Didn't get lock setting ro");
        }
    }
    if (trace) {
        if (f.user_locked > 0) imsg("user_lock: Got lock for %s", prof.xuser.c_str());
        else imsg("user_lock: Didnt get lock for %s", prof.xuser.c_str());
    }
    int pause_s = std::atoi(wm_ini_get(K_pause).c_str());
    if (f.user_locked > 0 && pause_s > 0) {
        imsg("++Pause for %d secs", pause_s);
        sleep(static_cast<unsigned>(pause_s));
    }
    return f.user_locked > 0 ? 1 : 0;
}

namespace {
// Gives the lock file up (kept until it expires with lock_force_wait).
void release_free(UserLockFlags& f) {
    if (!f.user_locked) return;
    std::string base = user_fname("user");
    mylock_free(base.c_str());
    if (log_has("lock")) imsg("lock: freeing lock for %s", prof.xuser.c_str());
}
// The pause after a release, then what lock_force_wait keeps.
void release_finish(UserLockFlags& f) {
    if (!f.user_locked) return;
    pause_ms(100);
    mylock_idle();
    mylock_clear();
    f.user_locked = 0;
}
}  // namespace

int user_release() {
    UserLockFlags& f = st().flags;
    release_free(f);
    release_finish(f);
    return 1;
}

int user_release_detached() {
    UserLockFlags& f = st().flags;
    std::fflush(stdout);
    // The lock goes before the response ends: the next request of this
    // user, which a browser sends once it has the page, finds it free and
    // never waits for this process's pause.
    release_free(f);
    // The web server ends the response when our end of its pipe closes;
    // later stray writes go nowhere instead of failing.
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) {
        dup2(devnull, STDOUT_FILENO);
        close(devnull);
    }
    release_finish(f);
    return 1;
}

void lock_reset() {
    for (LOCK& l : st().data.files)
        if (l.handle >= 0) close(l.handle);
    st() = LockState{};
    for (SafeLock& l : g_safe) l.armed = 0;
}
