#include "support/spawn.h"

#include "subsystems.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <set>

namespace {
std::vector<std::string> g_msgs;
void keep(const char* t) { g_msgs.emplace_back(t); }

int count_fds() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;   // the directory's own descriptor
}

bool reaped(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == -1 && errno == ECHILD; }

// A process that is gone, or a zombie waiting for init.
bool dead(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    if (!f) return true;
    std::string line;
    std::getline(f, line);
    std::size_t p = line.rfind(')');
    return p != std::string::npos && p + 2 < line.size() && line[p + 2] == 'Z';
}

std::vector<std::string> all_lines(SpawnHandle* sp, std::size_t size = 1024) {
    std::vector<std::string> out;
    std::string line;
    while (sp_gets(sp, line, size, 10) > 0) out.push_back(line);
    return out;
}

SpawnHandle* sh(const std::string& script) { return sp_do_argv({"/bin/sh", "-c", script}); }

struct SpawnTest : ::testing::Test {
    void SetUp() override {
        subsystems_reset();
        g_msgs.clear();
        sp_init(keep, keep, nullptr);
    }
    void TearDown() override { subsystems_reset(); }
};
}  // namespace

// A child gone before its input is written must not end the request.
TEST_F(SpawnTest, InitIgnoresSigpipe) {
    struct sigaction sa{};
    sigaction(SIGPIPE, nullptr, &sa);
    EXPECT_EQ(sa.sa_handler, SIG_IGN);
}

TEST_F(SpawnTest, CommandLineSplitsAtEverySingleBlank) {
    struct Case { const char* cmd; std::vector<std::string> want; };
    const Case cases[] = {
        {"/bin/echo a b", {"a b\n"}},
        {"/bin/echo a  b", {"a  b\n"}},          // empty argument between the blanks
        {"/bin/echo a\tb", {"a\tb\n"}},          // tabs do not separate
        {"/bin/echo", {"\n"}},
    };
    for (const Case& c : cases) {
        SpawnHandle* sp = sp_do(c.cmd);
        ASSERT_NE(sp, nullptr) << c.cmd;
        EXPECT_EQ(all_lines(sp), c.want) << c.cmd;
        EXPECT_EQ(sp_close(sp), 1);
        EXPECT_EQ(sp, nullptr);
    }
    // At most 94 arguments: the rest of the line is dropped and reported.
    std::string many = "/bin/echo";
    for (int i = 0; i < 120; ++i) many += " x";
    SpawnHandle* sp = sp_do(many);
    ASSERT_NE(sp, nullptr);
    std::vector<std::string> out = all_lines(sp, 4096);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].size(), 93u * 2);            // 93 "x" and blanks, then "\n"
    EXPECT_NE(std::string(sp_msg(nullptr)).find("E40: Too many tokens"), std::string::npos);
    sp_close(sp);
}

TEST_F(SpawnTest, ExecFailureIsTheFirstLine) {
    SpawnHandle* sp = sp_do("/nonexistent/prog arg");
    ASSERT_NE(sp, nullptr);
    std::string line;
    ASSERT_GT(sp_gets(sp, line, 1024, 10), 0);
    EXPECT_EQ(line.rfind("-ERR Spawn error on exec /nonexistent/prog ", 0), 0u) << line;
    EXPECT_EQ(sp_gets(sp, line, 1024, 10), -1);
    EXPECT_EQ(sp_close(sp), 1);
    // No PATH search: a bare name is not found either.
    sp = sp_do("echo hi");
    ASSERT_NE(sp, nullptr);
    ASSERT_GT(sp_gets(sp, line, 1024, 10), 0);
    EXPECT_EQ(line.rfind("-ERR Spawn error on exec echo", 0), 0u) << line;
    sp_close(sp);
}

TEST_F(SpawnTest, LinesLongAndCut) {
    // 1500 bytes without a line feed: the first 1024 are thrown away when
    // the line buffer fills, and reading goes on with the rest.
    SpawnHandle* sp = sh("head -c 1500 /dev/zero | tr '\\0' x; echo; echo next; printf tail");
    ASSERT_NE(sp, nullptr);
    std::vector<std::string> out = all_lines(sp);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], std::string(1500 - 1024, 'x') + "\n");
    EXPECT_EQ(out[1], "next\n");
    EXPECT_EQ(out[2], "tail");                   // the last line without a line feed
    ASSERT_FALSE(g_msgs.empty());
    EXPECT_EQ(g_msgs.back().rfind("sp_gets: line too long throwing away line starting " + std::string(100, 'x') + "\n", 0), 0u);
    sp_close(sp);

    // A line longer than the caller's buffer is cut; its rest is dropped.
    sp = sh("echo abcdefghijklmnop; echo second");
    std::string line;
    EXPECT_EQ(sp_gets(sp, line, 10, 10), 9);
    EXPECT_EQ(line, "abcdefghi");
    EXPECT_EQ(g_msgs.back(), "sp_gets: line too long returning 9 of 17 chars\n");
    EXPECT_EQ(sp_gets(sp, line, 10, 10), 7);
    EXPECT_EQ(line, "second\n");
    sp_close(sp);
}

TEST_F(SpawnTest, PipesBothWays) {
    SpawnHandle* sp = sp_do("/bin/cat");
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(sp_write(sp, "hello\n", 6), 6);
    EXPECT_EQ(sp_printf(sp, "%s %d\n", "n", 42), 5);
    std::string big(2000, 'y');
    EXPECT_EQ(sp_printf(sp, "%s", big.c_str()), -1);
    EXPECT_NE(std::string(sp_msg(sp)).find("Fatal error print overuns buffer 2000>1024"), std::string::npos);
    std::string line;
    EXPECT_EQ(sp_gets(sp, line, 1024, 10), 6);
    EXPECT_EQ(line, "hello\n");
    char buf[16] = {0};
    EXPECT_EQ(sp_read(sp, buf, 2), 2);          // raw read: "n "
    EXPECT_EQ(std::string(buf), "n ");
    EXPECT_EQ(sp_close_input(sp), 1);           // cat sees end of input
    EXPECT_EQ(sp_gets(sp, line, 1024, 10), 3);
    EXPECT_EQ(line, "42\n");
    EXPECT_EQ(sp_gets(sp, line, 1024, 10), -1);
    EXPECT_EQ(sp_write(sp, "x", 1), -1);
    EXPECT_EQ(sp_close(sp), 1);
}

TEST_F(SpawnTest, ChildSeesOnlyItsPipesAndTwoVariables) {
    int leak = open("/dev/null", O_RDONLY);    // deliberately without O_CLOEXEC
    ASSERT_GE(leak, 3);
    SpawnHandle* sp = sp_do("/bin/ls /proc/self/fd");
    std::set<std::string> fds;
    for (std::string& l : all_lines(sp)) fds.insert(l);
    sp_close(sp);
    close(leak);
    // 0-2 and the descriptor ls opened to list the directory.
    EXPECT_EQ(fds, (std::set<std::string>{"0\n", "1\n", "2\n", "3\n"}));

    sp = sp_do("/bin/readlink /proc/self/fd/2");
    EXPECT_EQ(all_lines(sp), std::vector<std::string>{"/dev/null\n"});
    sp_close(sp);

    setenv("TIMEZONE", "EST5", 1);
    setenv("SECRET_FROM_REQUEST", "x", 1);
    sp = sp_do("/usr/bin/env");
    std::vector<std::string> env = all_lines(sp);
    sp_close(sp);
    unsetenv("SECRET_FROM_REQUEST");
    unsetenv("TIMEZONE");
    ASSERT_EQ(env.size(), 2u);
    EXPECT_EQ(env[0].rfind("PATH=", 0), 0u);
    EXPECT_EQ(env[1], "TIMEZONE=EST5\n");

    // Signals the request ignores are back to their defaults in the program.
    std::signal(SIGVTALRM, SIG_IGN);
    sp = sh("grep SigIgn /proc/self/status");
    std::vector<std::string> ign = all_lines(sp);
    sp_close(sp);
    std::signal(SIGVTALRM, SIG_DFL);
    ASSERT_EQ(ign.size(), 1u);
    EXPECT_EQ(ign[0], "SigIgn:\t0000000000000000\n");
}

TEST_F(SpawnTest, TimeoutsFlushAndInvalidHandles) {
    SpawnHandle* sp = sp_do("/bin/sleep 30");
    ASSERT_NE(sp, nullptr);
    std::string line;
    EXPECT_EQ(sp_gets(sp, line, 1024, 0), -2);   // nothing waiting: at once
    EXPECT_EQ(sp_gets(sp, line, 1024, 1), -2);   // nothing within a second
    pid_t pid = sp_pid(sp);
    sp_set_grace(100, 5000);
    EXPECT_EQ(sp_close(sp), 1);                 // ended by SIGTERM
    EXPECT_TRUE(reaped(pid));
    EXPECT_NE(std::string(sp_msg(nullptr)).size(), 0u);

    sp = sh("printf 'a\\nb\\nc\\n'; sleep 30");
    ASSERT_EQ(sp_gets(sp, line, 1024, 10), 2);
    EXPECT_EQ(sp_flush(sp), 4);
    EXPECT_EQ(sp_gets(sp, line, 1024, 0), -2);
    sp_close(sp);

    SpawnHandle* none = nullptr;
    EXPECT_EQ(sp_gets(none, line, 10, 0), -1);
    EXPECT_STREQ(sp_msg(nullptr), "sp_gets: Invalid sp pointer\n");
    EXPECT_EQ(sp_write(none, "x", 1), -1);
    EXPECT_STREQ(sp_msg(nullptr), "sp_write: Invalid sp pointer\n");
    EXPECT_EQ(sp_read(none, &line[0], 1), -1);
    EXPECT_EQ(sp_printf(none, "x"), -1);
    EXPECT_EQ(sp_flush(none), -1);
    EXPECT_STREQ(sp_msg(nullptr), "sp_flush: Invalid sp pointer\n");
    EXPECT_EQ(sp_close(none), 0);
}

TEST_F(SpawnTest, StubbornChildAndItsGroupAreKilled) {
    sp_set_grace(50, 300);
    // Ignores SIGTERM (and so does its own child, which inherits that).
    SpawnHandle* sp = sh("trap '' TERM; sleep 60 & echo $!; wait");
    ASSERT_NE(sp, nullptr);
    std::string line;
    ASSERT_GT(sp_gets(sp, line, 1024, 10), 0);
    pid_t grandchild = std::atoi(line.c_str());
    pid_t pid = sp_pid(sp);
    EXPECT_EQ(sp_close(sp), 0);                 // needed SIGKILL
    EXPECT_TRUE(reaped(pid));
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        gone = dead(grandchild);
        if (!gone) usleep(10000);
    }
    EXPECT_TRUE(gone) << "grandchild " << grandchild << " outlived its group";
}

TEST_F(SpawnTest, ManyRunsLeaveNoDescriptorOrZombie) {
    int before = count_fds();
    std::vector<pid_t> pids;
    for (int i = 0; i < 200; ++i) {
        SpawnHandle* sp = sp_do("/bin/echo run " + std::to_string(i));
        ASSERT_NE(sp, nullptr);
        std::string line;
        ASSERT_GT(sp_gets(sp, line, 1024, 10), 0);
        EXPECT_EQ(line, "run " + std::to_string(i) + "\n");
        pids.push_back(sp_pid(sp));
        ASSERT_EQ(sp_close(sp), 1);
    }
    sp_set_grace(100, 5000);
    SpawnHandle* hang = sp_do("/bin/sleep 60");
    std::string line;
    EXPECT_EQ(sp_gets(hang, line, 1024, 1), -2);
    pids.push_back(sp_pid(hang));
    sp_close(hang);
    EXPECT_EQ(count_fds(), before);
    for (pid_t p : pids) EXPECT_TRUE(reaped(p)) << p;
}
