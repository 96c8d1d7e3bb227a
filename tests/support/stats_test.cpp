#include "support/stats.h"

#include <sys/wait.h>

#include "test_env.h"

namespace {
using lk_test::slurp;

struct StatsTest : ::testing::Test {
    lk_test::TempDir tmp{"lkstats"};
    std::string dir = tmp.path;
    void SetUp() override {
        lk_test::fresh_process(dir);
        diag_end_pre_ini();
    }
    void TearDown() override { subsystems_reset(); }
};

std::time_t local_time(int year, int mon, int day) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon;
    tm.tm_mday = day;
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}
}  // namespace

TEST_F(StatsTest, DayPartHasTwoDigitDay) {
    EXPECT_EQ(mmmdd(local_time(2026, 11, 5)), "Dec05");
    EXPECT_EQ(mmmdd(local_time(2026, 0, 31)), "Jan31");
    EXPECT_EQ(mmmdd().size(), 5u);
    EXPECT_EQ(stats_login_file(local_time(2026, 11, 5)), "");
    ini_set(K_stats_path, dir);
    EXPECT_EQ(stats_login_file(local_time(2026, 11, 5)), dir + "/quorlDec05.stats");
}

TEST_F(StatsTest, LoginLogLines) {
    EXPECT_EQ(log_stats("joe", "127.0.0.1", 3, 12), 1);   // no stats_path: nothing written
    ini_set(K_stats_path, dir);
    std::time_t before = std::time(nullptr);
    EXPECT_EQ(log_stats("joe", "127.0.0.1", 3, 12), 1);
    EXPECT_EQ(log_stats("evil\nname x", "::1", 0, 0, "extra"), 1);
    std::string text = slurp(stats_login_file(std::time(nullptr)));
    std::istringstream in(text);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    long t = std::atol(line.c_str());
    EXPECT_GE(t, before);
    EXPECT_EQ(line.substr(line.find(' ')), " joe 127.0.0.1 3 12 ");   // empty extra: ends in a blank
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line.substr(line.find(' ')), " evil_name_x ::1 0 0 extra");
    EXPECT_FALSE(std::getline(in, line));

    ini_set(K_stats_path, dir + "/missing");
    EXPECT_EQ(log_stats("joe", "1.2.3.4", 1, 1), 0);
    EXPECT_NE(slurp(g.log_file).find("log_stats: Open failed for stats file"), std::string::npos);
}

TEST_F(StatsTest, TemplateCounters) {
    ini_set(K_stats_path, dir);
    EXPECT_EQ(stats_tpl_count("login"), 1);               // `stats` off: not counted
    EXPECT_NE(access((dir + "/login_tpl.s").c_str(), F_OK), 0);
    ini_set(K_stats, "true");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(stats_tpl_count("login"), 1);
    EXPECT_EQ(slurp(dir + "/login_tpl.s"), "+++");
    EXPECT_EQ(stats_tpl_count("../escape"), 0);
    EXPECT_EQ(stats_tpl_count(""), 0);

    ini_set(K_stats_path, "");
    EXPECT_EQ(stats_tpl_file("list"), file_work("stat_list_tpl.s"));
}

// Concurrent requests: every record arrives whole and none is lost.
TEST_F(StatsTest, ConcurrentAppendsLoseNothing) {
    ini_set(K_stats_path, dir);
    ini_set(K_stats, "1");
    const int kProcs = 8, kEach = 150;
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::string user = "user" + std::to_string(p);
            for (int i = 0; i < kEach; ++i) {
                stats_tpl_count("list");
                log_stats(user, "10.0.0." + std::to_string(p), i, p, "");
            }
            _exit(0);
        }
        kids.push_back(pid);
    }
    for (pid_t k : kids) {
        int status = 0;
        ASSERT_EQ(waitpid(k, &status, 0), k);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    struct stat sb{};
    ASSERT_EQ(stat((dir + "/list_tpl.s").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_size, kProcs * kEach);

    std::istringstream in(slurp(stats_login_file(std::time(nullptr))));
    std::string line;
    int lines = 0;
    std::vector<int> per(kProcs, 0);
    while (std::getline(in, line)) {
        ++lines;
        long t;
        char user[32], addr[32];
        int msgs, disk;
        ASSERT_EQ(std::sscanf(line.c_str(), "%ld user%31s 10.0.0.%31s %d %d ", &t, user, addr, &msgs, &disk), 5)
            << line;
        int p = std::atoi(user);
        ASSERT_TRUE(p >= 0 && p < kProcs);
        EXPECT_EQ(disk, p);
        EXPECT_EQ(msgs, per[p]++);   // each process's lines in its own order
        EXPECT_EQ(line.back(), ' ');
    }
    EXPECT_EQ(lines, kProcs * kEach);
}
