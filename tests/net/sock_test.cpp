#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "test_env.h"

namespace {
// The mail socket on one end of a socket pair; the test writes the
// server's side on the other.
struct Pair {
    int peer = -1;
    Pair() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0) {
            msock().sk = sv[0];
            peer = sv[1];
        }
    }
    ~Pair() {
        if (peer >= 0) close(peer);
    }
    void send(const std::string& s) const { ASSERT_EQ(write(peer, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
    std::string recv_all() const {
        std::string out;
        char buf[4096];
        for (;;) {
            struct timeval tv = {0, 50000};
            fd_set fds;
            FD_ZERO(&fds);
            FD_SET(peer, &fds);
            if (select(peer + 1, &fds, nullptr, nullptr, &tv) <= 0) break;
            ssize_t n = read(peer, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }
};

int listen_local(int* port, int backlog) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(s, backlog);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return s;
}
}  // namespace

TEST(MailSocket, LinesBareLfAndWrapping) {
    StoreEnv env;
    Pair p;
    std::string big(5000, 'w');
    p.send("+OK one\r\ntwo\nstill two\r\n" + big + "\r\n+OK after\r\n");
    ASSERT_EQ(readln(), 1);
    EXPECT_EQ(msock().reason, "+OK one");
    ASSERT_EQ(readln(), 1);
    EXPECT_EQ(msock().reason, "two\nstill two");
    std::string joined;
    int pieces = 0;
    while (readln() && msock().reason != "+OK after") {
        EXPECT_LE(msock().reason.size(), 1999u);
        joined += msock().reason;
        ++pieces;
    }
    EXPECT_EQ(joined, big);
    EXPECT_GE(pieces, 3);
    EXPECT_EQ(msock().reason, "+OK after");
    EXPECT_NE(env.log().find("Line too long"), std::string::npos);

    // A three-line SMTP reply is consumed whole.
    p.send("250-first\r\n250-second\r\n250 last\r\n");
    ASSERT_EQ(readln_sm(), 1);
    EXPECT_EQ(msock().reason, "250 last");
}

TEST(MailSocket, TimeoutClosedAndInvalid) {
    StoreEnv env;
    ini_set(K_pop_timeout, "1");
    {
        Pair p;
        p.send("+OK partial");
        f_error_clear();
        EXPECT_EQ(readln(), 0);
        EXPECT_EQ(msock().reason, "");
        EXPECT_NE(f_error_text().find("E27: Timeout reading from pop/smtp server"), std::string::npos);
        EXPECT_GE(msock().sk, 0);   // a time-out keeps the connection
        close(p.peer);
        p.peer = -1;
        EXPECT_EQ(readln(), 0);
        EXPECT_EQ(msock().sk, -1);
    }
    f_error_clear();
    EXPECT_EQ(readln(), 0);
    EXPECT_NE(f_error_text().find("E26: Invalid socket in readln"), std::string::npos);
    EXPECT_EQ(readln_flush(), -1);

    Pair p2;
    p2.send("junk left over\r\nmore");
    usleep(20000);
    EXPECT_EQ(readln_flush(), 20);
    EXPECT_EQ(msock().rest, "");
}

TEST(MailSocket, WritesLoggedWithPasswordsMasked) {
    StoreEnv env;
    ini_set(K_log, "send");
    Pair p;
    std::string copy = env.root + "/copy.txt";
    tcp_logfile(copy.c_str());
    tcp_printf(msock().sk, "user %s\r\n", "alice");
    tcp_printf(msock().sk, "pass %s\r\n", "s3cret-word");
    tcp_printf(msock().sk, "PASS %s\r\n", "Upper-s3cret");
    tcp_logfile(nullptr);
    EXPECT_EQ(p.recv_all(), "user alice\r\npass s3cret-word\r\nPASS Upper-s3cret\r\n");
    std::string log = env.log();
    EXPECT_NE(log.find("-> user alice"), std::string::npos);
    EXPECT_NE(log.find("-> pass ****"), std::string::npos);
    EXPECT_EQ(log.find("s3cret"), std::string::npos);
    EXPECT_EQ(StoreEnv::slurp(copy), "user alice\npass s3cret-word\nPASS Upper-s3cret\n");

    tcp_printf(-1, "quit\r\n");
    EXPECT_NE(env.log().find("tcp_printf: with invalid socket parameter"), std::string::npos);
}

TEST(MailSocket, ReadskOneShot) {
    StoreEnv env;
    ini_set(K_pop_timeout, "1");
    Pair p;
    p.send("250 ok\r\nsecond line\r\n");
    EXPECT_EQ(readsk(msock().sk), 1);
    EXPECT_EQ(msock().reason, "250 ok\r");
    EXPECT_EQ(readsk(msock().sk), 0);
    EXPECT_EQ(msock().reason, "500 Timeout");
    close(p.peer);
    p.peer = -1;
    EXPECT_EQ(readsk(msock().sk), 0);
    EXPECT_EQ(msock().reason, "500 Closed");
}

TEST(MailSocket, OpenRefusedUnknownAndBounded) {
    StoreEnv env;
    ini_set(K_pop_timeout, "1");
    int port = 0;
    int ls = listen_local(&port, 4);
    std::string host = "LOCALHOST";
    int err = 7;
    int s = tcp_openx(host, port, &err);
    EXPECT_GE(s, 0);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(host, "localhost");
    if (s >= 0) close(s);
    close(ls);

    host = "127.0.0.1";
    EXPECT_EQ(tcp_openx(host, port, &err), -1);   // nobody listens now
    EXPECT_EQ(err, 0);
    host = "no-such-host.invalid";
    EXPECT_EQ(tcp_openx(host, 110, &err), -1);
    EXPECT_EQ(err, 1);

    // A listener that never accepts and whose queue is full: the SYN is
    // dropped, and the connect must give up after pop_timeout instead of
    // the system's minutes.
    ls = listen_local(&port, 0);
    std::vector<int> held;
    int last = 0;
    for (int i = 0; i < 8 && last >= 0; ++i) {
        host = "127.0.0.1";
        last = tcp_openx(host, port, &err);
        if (last >= 0) held.push_back(last);
    }
    EXPECT_EQ(last, -1);
    EXPECT_EQ(msock().werrno, ETIMEDOUT);
    for (int h : held) close(h);
    close(ls);

    // IPv6 loopback, when the machine has it.
    int s6 = socket(AF_INET6, SOCK_STREAM, 0);
    struct sockaddr_in6 a6 {};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    if (s6 >= 0 && bind(s6, reinterpret_cast<sockaddr*>(&a6), sizeof a6) == 0 && listen(s6, 4) == 0) {
        socklen_t len = sizeof a6;
        getsockname(s6, reinterpret_cast<sockaddr*>(&a6), &len);
        host = "::1";
        int c = tcp_openx(host, ntohs(a6.sin6_port), &err);
        EXPECT_GE(c, 0);
        if (c >= 0) close(c);
    }
    if (s6 >= 0) close(s6);
}
