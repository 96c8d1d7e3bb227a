#include "user/lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <random>

#include "support/str.h"
#include "test_env.h"

using lk_test::file_exists;
using lk_test::slurp;
using lk_test::spit;

namespace {

const std::string kData = std::string(LK_SOURCE_DIR) + "/tests/data/user/";

// Runs f in a child process; its result is the exit status.
template <class F>
pid_t spawn(F f) {
    pid_t pid = fork();
    if (pid == 0) {
        int rc = 1;
        try {
            rc = f();
        } catch (...) {
        }
        _exit(rc);
    }
    return pid;
}

int wait_status(pid_t pid) {
    int st = 0;
    if (waitpid(pid, &st, 0) != pid) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// A one-byte message through a pipe: how parent and child take turns.
struct Baton {
    int fd[2];
    Baton() { EXPECT_EQ(pipe(fd), 0); }
    ~Baton() {
        close(fd[0]);
        close(fd[1]);
    }
    void pass() { EXPECT_EQ(write(fd[1], "x", 1), 1); }
    void take() {
        char c;
        EXPECT_EQ(read(fd[0], &c, 1), 1);
    }
};

class LockTest : public UserTest {
protected:
    std::string base;
    void SetUp() override {
        UserTest::SetUp();
        base = work + "/res";
    }
    void as_user(const std::string& extra, const std::string& cmd = "list") {
        configure(extra);
        prof.xuser = "ann@pop.example";
        g.gcmd = cmd;
    }
    std::string lockfile() { return user_fname("user_lock"); }

    // One request of a concurrent crowd: read under must-lock, check that
    // nobody else is inside, add one to nextid, write, release.  Exit 0
    // when every step worked.
    int increment_request(const std::string& extra) {
        as_user("lock_wait 120\n" + extra, "login");
        if (user_getinfo(0, 1) != 1) {
            std::fprintf(stderr, "child %d: %s\n", static_cast<int>(getpid()), f_error_text().c_str());
            return 2;
        }
        std::string inside = user_fname("inside");
        int fd = open(inside.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
        if (fd < 0) return 3;   // someone else holds the lock too
        close(fd);
        ++prof.xnextid;
        g.ui_changed = 1;
        usleep(2000);
        int ok = user_write();
        unlink(inside.c_str());
        user_release();
        return ok == 1 ? 0 : 4;
    }
};

}  // namespace

TEST_F(LockTest, StandardModeLifecycle) {
    EXPECT_EQ(mylock_get(base.c_str(), "x", 0, 300), 0);   // not initialised
    mylock_init("", 0, 0, imsg, imsg);
    EXPECT_EQ(lock_data().id, std::to_string(getpid()) + "_");
    EXPECT_EQ(mylock_get(nullptr, "x", 0, 300), 0);
    EXPECT_EQ(mylock_get(base.c_str(), "login", 0, 300), 1);
    EXPECT_EQ(slurp(base + "_lock"), "PID=" + std::to_string(getpid()) + ", DATA=login\n");
    EXPECT_EQ(mylock_get(base.c_str(), "again", 0, 300), 3);
    EXPECT_EQ(mylock_have(base.c_str()), 1);
    EXPECT_EQ(mylock_free(base.c_str()), 1);
    EXPECT_FALSE(file_exists(base + "_lock"));
    EXPECT_EQ(mylock_free(base.c_str()), 0);
    EXPECT_EQ(mylock_have(base.c_str()), 0);
    EXPECT_EQ(mylock_get((work + "/no/such/dir/res").c_str(), nullptr, 0, 300), -1);
    EXPECT_EQ(mylock_get(base.c_str(), nullptr, 0, 300), 1);
    EXPECT_EQ(slurp(base + "_lock"), "PID=" + std::to_string(getpid()) + ", DATA=NULL\n");
    mylock_clear();
    EXPECT_FALSE(file_exists(base + "_lock"));
    EXPECT_TRUE(lock_data().files.empty());
}

TEST_F(LockTest, ForceWaitKeepsAReleasedLockUntilItExpires) {
    mylock_init(nullptr, 0, 2, imsg, imsg);
    EXPECT_EQ(lock_data().id, std::to_string(getpid()));
    ASSERT_EQ(mylock_get(base.c_str(), "x", 0, 300), 1);
    EXPECT_EQ(mylock_free(base.c_str()), 1);
    EXPECT_TRUE(file_exists(base + "_lock"));
    EXPECT_EQ(mylock_get(base.c_str(), "x", 0, 300), 4);
    mylock_clear();   // waits for the expiry
    EXPECT_FALSE(file_exists(base + "_lock"));
}

TEST_F(LockTest, NfsModeUsesAUniqueFileNamedAfterTheServer) {
    mylock_init("web1.example:8080", 1, 0, imsg, imsg);
    const std::string id = std::to_string(getpid()) + "_web1_example";
    EXPECT_EQ(lock_data().id, id);
    ASSERT_EQ(mylock_get(base.c_str(), "list", 0, 300), 1);
    struct stat su, sl;
    ASSERT_EQ(stat((base + "_" + id).c_str(), &su), 0);
    ASSERT_EQ(stat((base + "_lock").c_str(), &sl), 0);
    EXPECT_EQ(su.st_nlink, 2u);
    EXPECT_EQ(su.st_ino, sl.st_ino);
    EXPECT_EQ(mylock_free(base.c_str()), 1);
    EXPECT_FALSE(file_exists(base + "_lock"));
    EXPECT_FALSE(file_exists(base + "_" + id));
    // an id cannot name another directory
    mylock_init("../../x/y", 1, 0, imsg, imsg);
    EXPECT_EQ(lock_data().id.find('/'), std::string::npos);
}

TEST_F(LockTest, OtherProcessesWaitForTheHolder) {
    for (int nfs = 0; nfs < 2; ++nfs) {
        Baton locked, go;
        pid_t child = spawn([&] {
            mylock_init("c", nfs, 0, imsg, imsg);
            if (mylock_get(base.c_str(), "child", 0, 300) != 1) return 1;
            locked.pass();
            go.take();
            mylock_free(base.c_str());
            return 0;
        });
        locked.take();
        mylock_init("p", nfs, 0, imsg, imsg);
        EXPECT_EQ(mylock_get(base.c_str(), "parent", 0, 300), 0) << nfs;
        EXPECT_EQ(mylock_get(base.c_str(), "parent", 0, -1), 0) << nfs;
        go.pass();
        EXPECT_EQ(wait_status(child), 0);
        EXPECT_EQ(mylock_get(base.c_str(), "parent", 5, 300), 1) << nfs;
        EXPECT_EQ(mylock_free(base.c_str()), 1);
        EXPECT_FALSE(file_exists(base + "_lock"));
    }
}

TEST_F(LockTest, StaleLockIsBrokenAfterLockOldAndNotBefore) {
    as_user("lock_old 3\nlock_wait 0\n", "login");
    pid_t child = spawn([&] {
        if (user_lock("login") != 1) return 1;
        raise(SIGKILL);   // dies holding the lock
        return 0;
    });
    EXPECT_EQ(wait_status(child), 128 + SIGKILL);
    ASSERT_TRUE(file_exists(lockfile()));
    EXPECT_EQ(user_getinfo(0, 1), 0);   // not yet stale
    EXPECT_NE(f_error_text().find("Server busy, please try again."), std::string::npos);
    struct stat sb;
    ASSERT_EQ(stat(lockfile().c_str(), &sb), 0);
    while (time(nullptr) <= sb.st_ctime + 4) usleep(100000);
    as_user("lock_old -1\nlock_wait 0\n", "login");
    EXPECT_EQ(user_lock("login"), 0);   // -1: never broken
    as_user("lock_old 3\nlock_wait 0\n", "login");
    EXPECT_EQ(user_lock("login"), 1);
    EXPECT_EQ(slurp(lockfile()).find("PID=" + std::to_string(getpid())), 0u);
    user_release();
    EXPECT_FALSE(file_exists(lockfile()));
}

TEST_F(LockTest, ModeChoice) {
    struct Case {
        const char* extra;
        const char* cmd;
        int changed;
        int result, must, read_only, try_only;
        bool lock_file;
    } cases[] = {
        {"no_locks true\n", "login", 0, 1, 0, 0, 0, false},
        {"", "login", 0, 1, 1, 0, 0, true},
        {"", "logout", 0, 1, 1, 0, 0, true},
        {"", "loginframe", 0, 1, 1, 0, 0, true},
        {"", "purge", 0, 1, 0, 1, 0, false},
        {"", "list", 0, 1, 0, 0, 1, true},
        {"", "list", 1, 1, 1, 0, 0, true},
        {"", "", 0, 1, 0, 0, 1, true},
    };
    for (const Case& c : cases) {
        as_user(c.extra, c.cmd);
        g.ui_changed = c.changed;
        EXPECT_EQ(user_lock(c.cmd), c.result) << c.cmd;
        const UserLockFlags& f = user_lock_flags();
        EXPECT_EQ(f.g_must_lock, c.must) << c.extra << c.cmd;
        EXPECT_EQ(f.g_read_only, c.read_only) << c.extra << c.cmd;
        EXPECT_EQ(f.g_try_only, c.try_only) << c.extra << c.cmd;
        EXPECT_EQ(file_exists(lockfile()), c.lock_file) << c.extra << c.cmd;
        if (c.lock_file) {
            EXPECT_EQ(user_lock(c.cmd), 1);   // held already: files untouched
            user_release();
            EXPECT_FALSE(file_exists(lockfile()));
        }
    }
}

TEST_F(LockTest, FormFieldsChooseTheMode) {
    struct Case { const char* field; const char* cmd; int must, read_only; } cases[] = {
        {"read_only", "list", 0, 1},
        {"read_only", "login", 1, 0},   // a login always locks
        {"must_lock", "list", 1, 0},
        {"login", "list", 1, 0},
        {"loginframe", "item", 1, 0},
    };
    for (const Case& c : cases) {
        as_user("", c.cmd);
        form_reset();
        form_put(c.field, "1");
        EXPECT_EQ(user_lock(c.cmd), 1);
        EXPECT_EQ(user_lock_flags().g_must_lock, c.must) << c.field << " " << c.cmd;
        EXPECT_EQ(user_lock_flags().g_read_only, c.read_only) << c.field << " " << c.cmd;
        EXPECT_EQ(file_exists(lockfile()), c.read_only == 0);
        user_release();
    }
    form_reset();
}

TEST_F(LockTest, TryOnlyWithoutTheLockGoesReadOnlyAndNeverWrites) {
    as_user("");
    spit(user_file(), slurp(kData + "full.dat"));
    Baton locked, go;
    pid_t holder = spawn([&] {
        as_user("", "login");
        if (user_lock("login") != 1) return 1;
        locked.pass();
        go.take();
        user_release();
        return 0;
    });
    locked.take();
    as_user("", "list");
    EXPECT_EQ(user_getinfo(0, 1), 1) << f_error_text();
    EXPECT_TRUE(user_read_only());
    prof.xrefresh = 1234;
    g.ui_changed = 1;
    EXPECT_EQ(user_write(), 1);
    EXPECT_EQ(slurp(user_file()), slurp(kData + "full.dat"));
    // a must-lock request fails instead
    as_user("lock_wait 0\n", "login");
    EXPECT_EQ(user_getinfo(1, 1), 0);
    EXPECT_NE(f_error_text().find("Server busy"), std::string::npos);
    go.pass();
    EXPECT_EQ(wait_status(holder), 0);
}

// Concurrent requests of one user, on one web server and on two sharing
// the work area over NFS: no update is lost, no lock or unique file stays.
TEST_F(LockTest, ConcurrentRequestsLoseNoUpdate) {
    struct Case { int n; bool nfs; } cases[] = {{20, false}, {12, true}};
    for (const Case& c : cases) {
        as_user("");
        spit(user_file(), slurp(kData + "full.dat"));
        std::vector<pid_t> kids;
        for (int i = 0; i < c.n; ++i) {
            std::string extra = !c.nfs ? "" : std::string("nfs true\nlock_id ") + (i % 2 ? "web1.example" : "web2.example") + "\n";
            kids.push_back(spawn([&, extra] { return increment_request(extra); }));
        }
        for (pid_t k : kids) EXPECT_EQ(wait_status(k), 0);
        as_user("");
        user_lock_flags().g_read_only = 1;
        ASSERT_EQ(user_getinfo(0, 1), 1);
        EXPECT_EQ(prof.xnextid, 77 + c.n) << c.nfs;
        for (const auto& e : std::filesystem::directory_iterator(user_dir()))
            EXPECT_EQ(e.path().filename().string().rfind("user_", 0), std::string::npos) << e.path();
    }
}

TEST_F(LockTest, WriterKilledAnywhereLeavesAWholeProfile) {
    std::mt19937 rng(12345);
    for (const char* mode : {"", "no_rename true\n"}) {
        as_user(mode);
        std::filesystem::remove_all(user_dir());
        // a big profile: 200 folders, 30 From entries, 100 rules
        spit(user_file_new(), "");
        for (int i = 0; i < 200; ++i) add_folder(sfmt("%d Folder number %d", i, i));
        for (int i = 0; i < 30; ++i) prof.xfrom.push_back(sfmt("Sender %d <s%d@example.org>", i, i));
        for (int i = 0; i < 100; ++i) prof.rules.push_back({"Subject", sfmt("m%d", i), "move", "3", "", 0});
        prof.xpop_name[0] = "pop.example";
        prof.xpop_user[0] = "ann";
        prof.xsig = "v0";
        unlink(user_file_new().c_str());
        g.ui_changed = 1;
        ASSERT_EQ(user_write(), 1) << f_error_text();
        for (int trial = 0; trial < 120; ++trial) {
            pid_t writer = spawn([&] {
                as_user(std::string("no_locks true\n") + mode);
                if (user_getinfo(0, 1) != 1) return 1;
                for (int k = 1;; ++k) {
                    prof.xsig = sfmt("v%d", k);
                    prof.xnextid = k;
                    g.ui_changed = 1;
                    if (user_write() != 1) return 2;
                }
            });
            usleep(std::uniform_int_distribution<int>(0, 15000)(rng));
            kill(writer, SIGKILL);
            ASSERT_EQ(wait_status(writer), 128 + SIGKILL) << trial;
            as_user(mode);
            user_lock_flags().g_read_only = 1;
            ASSERT_EQ(user_getinfo(0, 1), 1) << mode << " trial " << trial << ": " << f_error_text();
            EXPECT_EQ(prof.nxfld, 200) << prof.red_file << " " << slurp(prof.red_file).size();
            EXPECT_EQ(prof.xfrom.size(), 30u);
            EXPECT_EQ(prof.rules.size(), 100u);
            EXPECT_EQ(prof.xsig, sfmt("v%ld", prof.xnextid));
            EXPECT_EQ(log_text().find("checksum error"), std::string::npos) << trial;
            unlink((dir + "/lk.log").c_str());
        }
    }
}

// The response ends before the release pause.  The lock itself goes before
// the response ends, so the user's next request (sent once the page is
// there) takes it at once, in both modes; lock_force_wait keeps it longer.
TEST_F(LockTest, DetachedReleaseEndsTheResponseBeforeThePause) {
    struct Case { const char* extra; bool held_at_end; };
    const Case cases[] = {
        {"lock_force_wait 2\n", true},
        {"", false},
        {"nfs true\nlock_id web1\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra);
        as_user("");
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        pid_t child = spawn([&] {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            as_user(c.extra, "login");
            if (user_lock("login") != 1) return 1;
            std::fputs("Content-type: text/html\n\npage", stdout);
            user_release_detached();
            return file_exists(lockfile()) && !c.held_at_end ? 3 : 0;
        });
        close(out[1]);
        std::string got;
        char buf[256];
        ssize_t n;
        while ((n = read(out[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
        close(out[0]);
        EXPECT_EQ(got, "Content-type: text/html\n\npage");
        // the response is complete while the process is still in its pause
        EXPECT_EQ(waitpid(child, nullptr, WNOHANG), 0);
        EXPECT_EQ(file_exists(lockfile()), c.held_at_end);
        if (!c.held_at_end) {
            // the next request only tries: it gets the lock, not read-only
            as_user(c.extra, "list");
            EXPECT_EQ(user_lock("list"), 1);
            EXPECT_FALSE(user_read_only());
            user_release();
        }
        EXPECT_EQ(wait_status(child), 0);
        EXPECT_FALSE(file_exists(lockfile()));
        lock_reset();
    }
}

// What a signal handler removes: this process's lock files (both modes),
// never a file another process made after a stale break, and only once.
TEST_F(LockTest, SignalReleaseRemovesOnlyOurOwnLockFiles) {
    for (int nfs : {0, 1}) {
        lock_reset();
        mylock_init("h", nfs, 0, imsg, imsg);
        const std::string a = base + "a", b = base + "b";
        ASSERT_EQ(mylock_get(a.c_str(), "x", 0, 300), 1) << nfs;
        ASSERT_EQ(mylock_get(b.c_str(), "x", 0, 300), 1) << nfs;
        // b was broken as stale and taken by someone else meanwhile.
        ASSERT_EQ(unlink((b + "_lock").c_str()), 0);
        {
            std::ofstream other(b + "_lock");
            other << "PID=1, DATA=other\n";
        }
        mylock_signal_release();
        EXPECT_FALSE(file_exists(a + "_lock")) << nfs;
        EXPECT_FALSE(file_exists(mylock_unique_name(a))) << nfs;
        EXPECT_EQ(slurp(b + "_lock"), "PID=1, DATA=other\n") << nfs;
        // A lock given up normally is not the handler's any more.
        lock_reset();
        mylock_init("h", nfs, 0, imsg, imsg);
        ASSERT_EQ(mylock_get(a.c_str(), "y", 0, 300), 1) << nfs;
        mylock_clear();
        std::ofstream(a + "_lock") << "PID=1, DATA=next\n";
        mylock_signal_release();
        EXPECT_TRUE(file_exists(a + "_lock")) << nfs;
        unlink((a + "_lock").c_str());
        unlink((b + "_lock").c_str());
    }
}
