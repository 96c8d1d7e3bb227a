// Starts tests/fake/fakeserver.py from a C++ test, scripted by text the test
// writes, and stops it again by the PID it was started with.
//
//   FakeServer pop("pop3", "user alice secret\n"
//                          "once on PASS * -> reply -ERR busy, try again\n");
//   ASSERT_TRUE(pop.ok()) << pop.error();
//   ... connect the code under test to 127.0.0.1:pop.port() ...
//   EXPECT_EQ(pop.log_lines()[0], "USER alice");
//
// The script language is described at the top of fakeserver.py.  Each
// instance gets its own directory under /tmp (script, log, transcript),
// removed again by the destructor.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

class FakeServer {
public:
    // proto: "pop3", "smtp" or "poppassd".  idle: seconds of silence after
    // which the server leaves on its own (a safety net for crashed tests).
    FakeServer(const std::string& proto, const std::string& script, int idle = 30) {
        start(proto, script, idle);
    }
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;
    ~FakeServer() {
        stop();
        if (!dir_.empty()) {
            for (const char* f : {"/script.txt", "/log.txt", "/transcript.txt"})
                ::unlink((dir_ + f).c_str());
            ::rmdir(dir_.c_str());
        }
    }

    bool ok() const { return port_ > 0; }
    int port() const { return port_; }
    const std::string& error() const { return error_; }

    // Every line the server received, without line ends, in order.
    std::string log() const {
        std::ifstream in(dir_ + "/log.txt", std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::vector<std::string> log_lines() const {
        std::vector<std::string> out;
        std::istringstream in(log());
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }

    // SIGTERM, then SIGKILL if it has not gone within two seconds.
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            int status = 0;
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_ || (r < 0 && errno == ECHILD)) {
                pid_ = -1;
                return;
            }
            ::usleep(10000);
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    // Where fakeserver.py is: $LK_FAKESERVER, else the source tree.
    static std::string script_path() {
        if (const char* p = std::getenv("LK_FAKESERVER"); p && *p) return p;
#ifdef LK_SOURCE_DIR
        return std::string(LK_SOURCE_DIR) + "/tests/fake/fakeserver.py";
#else
        return "tests/fake/fakeserver.py";
#endif
    }

private:
    void start(const std::string& proto, const std::string& script, int idle) {
        char tmpl[] = "/tmp/lkfakeXXXXXX";
        if (!::mkdtemp(tmpl)) {
            error_ = std::string("mkdtemp: ") + std::strerror(errno);
            return;
        }
        dir_ = tmpl;
        {
            std::ofstream out(dir_ + "/script.txt", std::ios::binary);
            out << script;
            if (!out) {
                error_ = "cannot write the script file";
                return;
            }
        }
        int fds[2];
        if (::pipe(fds) != 0) {
            error_ = std::string("pipe: ") + std::strerror(errno);
            return;
        }
        std::string idle_s = std::to_string(idle);
        std::string parent = std::to_string(::getpid());
        std::string prog = script_path(), scr = dir_ + "/script.txt", logp = dir_ + "/log.txt",
                    trp = dir_ + "/transcript.txt";
        // Debian's interpreter first: the fake needs nothing beyond it.
        const char* py = ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
        pid_ = ::fork();
        if (pid_ < 0) {
            error_ = std::string("fork: ") + std::strerror(errno);
            ::close(fds[0]);
            ::close(fds[1]);
            return;
        }
        if (pid_ == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            ::close(fds[1]);
            ::execlp(py, py, prog.c_str(), proto.c_str(), scr.c_str(), "--log", logp.c_str(),
                     "--transcript", trp.c_str(), "--idle", idle_s.c_str(), "--parent",
                     parent.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        // The first line on its standard output is the port it listens on.
        std::string line;
        char c;
        while (line.size() < 16) {
            ssize_t n = ::read(fds[0], &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || c == '\n') break;
            line += c;
        }
        ::close(fds[0]);
        port_ = std::atoi(line.c_str());
        if (port_ <= 0) {
            error_ = "fakeserver did not report a port (bad script? see stderr)";
            stop();
        }
    }

    std::string dir_;
    std::string error_;
    pid_t pid_ = -1;
    int port_ = 0;
};
