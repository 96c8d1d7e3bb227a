// Checks fake_server.h itself: start by script, port, log, stop by PID.
// Built and run by scripts/test.sh (g++ ... -lgtest_main), not by CMake.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "fake_server.h"

namespace {

int connect_to(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string read_line(int fd) {
    std::string s;
    char c;
    while (::read(fd, &c, 1) == 1) {
        s += c;
        if (c == '\n') break;
    }
    return s;
}

std::string say(int fd, const std::string& cmd) {
    std::string line = cmd + "\r\n";
    EXPECT_EQ(::write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    return read_line(fd);
}

bool alive(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto p = all.rfind(')');
    return p != std::string::npos && p + 2 < all.size() && all[p + 2] != 'Z';
}

TEST(FakeServerHeader, ScriptedPop3SessionIsLoggedAndStopped) {
    pid_t pid;
    std::string dir;
    {
        FakeServer pop("pop3",
                       "user alice s3cret\n"
                       "once on PASS * -> reply -ERR [IN-USE] busy, try again\n");
        ASSERT_TRUE(pop.ok()) << pop.error();
        pid = pop.pid();
        dir = pop.dir();
        int fd = connect_to(pop.port());
        ASSERT_GE(fd, 0);
        EXPECT_EQ(read_line(fd).substr(0, 3), "+OK");
        EXPECT_EQ(say(fd, "USER alice"), "+OK\r\n");
        EXPECT_EQ(say(fd, "PASS s3cret"), "-ERR [IN-USE] busy, try again\r\n");
        EXPECT_EQ(say(fd, "PASS s3cret"), "+OK Logged in.\r\n");
        EXPECT_EQ(say(fd, "QUIT"), "+OK bye\r\n");
        ::close(fd);
        std::vector<std::string> want = {"USER alice", "PASS s3cret", "PASS s3cret", "QUIT"};
        EXPECT_EQ(pop.log_lines(), want);
        EXPECT_TRUE(alive(pid));
        pop.stop();
        EXPECT_FALSE(alive(pid));
    }
    struct stat st;
    EXPECT_NE(::stat(dir.c_str(), &st), 0) << "scratch directory left behind";
}

TEST(FakeServerHeader, BadScriptFailsCleanly) {
    FakeServer bad("smtp", "on HELO * -> nonsense\n");
    EXPECT_FALSE(bad.ok());
    EXPECT_FALSE(bad.error().empty());
    EXPECT_LT(bad.pid(), 0);
}

}  // namespace
