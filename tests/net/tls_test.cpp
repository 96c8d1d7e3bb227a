// TLS of the mail socket against the scripted fake server speaking TLS with
// the test certificates of scripts/testcerts.sh: the mode of a port, each
// POP mode, the certificate refusals in the user's words, a server without
// STLS/STARTTLS where TLS is required, and a reply injected before the
// handshake.  No password may reach a server unless the connection is
// allowed to carry it.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake/fake_server.h"
#include "net/tls.h"
#include "test_env.h"

namespace {

// The test certificates, made once per build directory.
const std::string& certs() {
    static std::string dir;
    if (dir.empty()) {
        std::string d = std::string(LK_BINARY_DIR) + "/testcerts";
        std::string cmd = "bash '" + std::string(LK_SOURCE_DIR) + "/scripts/testcerts.sh' '" + d + "' >/dev/null";
        if (std::system(cmd.c_str()) == 0) dir = d;
    }
    return dir;
}

std::string tls_line(const char* mode, const char* cert) {
    return std::string("tls ") + mode + " " + certs() + "/" + cert + " " + certs() + "/server.key\n";
}

struct TlsEnv : StoreEnv {
    explicit TlsEnv(const FakeServer& srv, const std::string& host = "127.0.0.1") {
        sock_reset();
        pop_reset();
        f_error_clear();
        prof.xpop_name[0] = host;
        prof.xpop_user[0] = "alice";
        prof.xpop_pass[0] = "pw-Secret";
        ini_set(K_port, std::to_string(srv.port()));
        ini_set(K_pop_timeout, "3");
        ini_set(K_pop_retry, "0");
        ini_set(K_tls_ca_file, certs() + "/ca.pem");
    }
    ~TlsEnv() { sock_reset(); }
};

bool sent(const std::vector<std::string>& wire, const std::string& prefix) {
    return std::any_of(wire.begin(), wire.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

}  // namespace

TEST(TlsMode, FollowsThePortThenTheSetting) {
    struct Case {
        const char* mode;
        const char* ports;   // nullptr: the default list
        int port;
        int want;
    };
    const Case cases[] = {
        {nullptr, nullptr, 995, TLS_IMPLICIT},  {nullptr, nullptr, 110, TLS_OPTIONAL},
        {"none", nullptr, 995, TLS_IMPLICIT},   {"none", nullptr, 110, TLS_NONE},
        {"Required", nullptr, 110, TLS_REQUIRED}, {"implicit", nullptr, 110, TLS_IMPLICIT},
        {nullptr, " 995 , 28995", 28995, TLS_IMPLICIT}, {nullptr, "", 995, TLS_OPTIONAL},
        {"sometimes", nullptr, 110, TLS_REQUIRED},  // a typo must not weaken the connection
    };
    for (const Case& c : cases) {
        StoreEnv env;
        if (c.mode) ini_set(K_pop_tls, c.mode);
        if (c.ports) ini_set(K_pop_tls_ports, c.ports);
        EXPECT_EQ(tls_mode(TLS_POP, c.port), c.want) << (c.mode ? c.mode : "-") << " " << c.port;
    }
    StoreEnv env;
    EXPECT_EQ(tls_mode(TLS_SMTP, 465), TLS_IMPLICIT);
    EXPECT_EQ(tls_mode(TLS_SMTP, 587), TLS_OPTIONAL);
}

TEST(TlsMode, CapabilityLines) {
    EXPECT_TRUE(tls_capability("STLS", TLS_POP));
    EXPECT_TRUE(tls_capability("stls ", TLS_POP));
    EXPECT_FALSE(tls_capability("STLSX", TLS_POP));
    EXPECT_TRUE(tls_capability("250-STARTTLS", TLS_SMTP));
    EXPECT_TRUE(tls_capability("250 starttls", TLS_SMTP));
    EXPECT_FALSE(tls_capability("250-AUTH STARTTLS", TLS_SMTP));
    EXPECT_FALSE(tls_capability("STARTTLS", TLS_SMTP));
}

// Each POP mode and each certificate fault: whether the login goes through,
// the words of the error page, and the commands the server saw.
TEST(TlsPop, ModesAndRefusals) {
    ASSERT_FALSE(certs().empty()) << "scripts/testcerts.sh failed";
    struct Case {
        const char* name;
        std::string script;
        const char* mode;
        const char* host;
        const char* noverify;
        bool ok;
        const char* error;                    // part of the error page
        std::vector<std::string> wire_start;  // first commands the server read
    };
    const std::string user = "user alice pw-Secret\nmessages 1\n";
    const Case cases[] = {
        {"implicit", user + tls_line("implicit", "server.pem"), "implicit", "127.0.0.1", "", true, "",
         {"user alice", "pass pw-Secret"}},
        {"implicit by name", user + tls_line("implicit", "server.pem"), "implicit", "localhost", "", true, "",
         {"user alice"}},
        {"stls when offered", user + tls_line("starttls", "server.pem"), "optional", "127.0.0.1", "", true, "",
         {"capa", "stls", "user alice", "pass pw-Secret"}},
        {"stls required", user + tls_line("starttls", "server.pem"), "required", "127.0.0.1", "", true, "",
         {"capa", "stls", "user alice"}},
        {"plain server, optional", user, "optional", "127.0.0.1", "", true, "", {"capa", "user alice"}},
        {"none asks nothing", user + tls_line("starttls", "server.pem"), "none", "127.0.0.1", "", true, "",
         {"user alice"}},
        {"plain server, required", user, "required", "127.0.0.1", "", false,
         "does not offer a secure connection (TLS), which this site requires", {"capa"}},
        {"stls refused, required", user + "on STLS -> reply -ERR not now\n" + tls_line("starttls", "server.pem"),
         "required", "127.0.0.1", "", false, "does not offer a secure connection", {"capa", "stls"}},
        {"wrong name", user + tls_line("implicit", "wrongname.pem"), "implicit", "127.0.0.1", "", false,
         "is for another name", {}},
        {"wrong name by stls", user + tls_line("starttls", "wrongname.pem"), "optional", "localhost", "", false,
         "is for another name", {"capa", "stls"}},
        {"expired", user + tls_line("implicit", "expired.pem"), "implicit", "127.0.0.1", "", false, "has expired",
         {}},
        {"unknown CA", user + tls_line("implicit", "unknownca.pem"), "implicit", "127.0.0.1", "", false,
         "is not trusted", {}},
        {"unknown CA, noverify for this host", user + tls_line("implicit", "unknownca.pem"), "implicit",
         "127.0.0.1", "127.0.0.1", true, "", {"user alice"}},
        {"noverify for another host", user + tls_line("implicit", "unknownca.pem"), "implicit", "127.0.0.1",
         "mail.example.test", false, "is not trusted", {}},
        // A reply sent in the same packet as the go-ahead was written before
        // TLS: read as the answer to USER it would end the login.
        {"reply injected with +OK Begin TLS",
         user + "on STLS -> raw +OK Begin TLS\\r\\n-ERR injected\\r\\n ;; starttls\n" +
             tls_line("starttls", "server.pem"),
         "required", "127.0.0.1", "", true, "", {"capa", "stls", "user alice", "pass pw-Secret"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeServer srv("pop3", c.script);
        ASSERT_TRUE(srv.ok()) << srv.error();
        TlsEnv env(srv, c.host);
        ini_set(K_pop_tls, c.mode);
        ini_set(K_tls_noverify, c.noverify);
        int got = pop_open(0);
        EXPECT_EQ(got == 1, c.ok) << f_error_text();
        if (c.ok) {
            EXPECT_TRUE(tls_active() == (std::string(c.mode) != "none" && c.script.find("tls ") != std::string::npos));
            EXPECT_EQ(get_uidl(), 1);
            pop_close();
        } else {
            EXPECT_NE(f_error_text().find(c.error), std::string::npos) << f_error_text();
            EXPECT_EQ(tls_failure().empty(), false);
        }
        std::vector<std::string> wire = srv.log_lines();
        ASSERT_GE(wire.size(), c.wire_start.size()) << ::testing::PrintToString(wire);
        EXPECT_EQ(std::vector<std::string>(wire.begin(), wire.begin() + static_cast<long>(c.wire_start.size())),
                  c.wire_start);
        if (!c.ok) {
            EXPECT_FALSE(sent(wire, "pass")) << "password sent on a refused connection";
            EXPECT_FALSE(sent(wire, "user")) << "user name sent on a refused connection";
        }
    }
}

// The SMTP side of the layer: EHLO, STARTTLS, EHLO again, then AUTH over
// the protected session; a server without STARTTLS when TLS is required
// never sees AUTH.
TEST(TlsSmtp, HelloStartsTlsOrRefuses) {
    ASSERT_FALSE(certs().empty());
    struct Case {
        const char* name;
        std::string script;
        const char* mode;
        bool ok;
        bool secure;
        std::vector<std::string> wire_start;
    };
    const std::string user = "user alice pw-Secret\n";
    const Case cases[] = {
        {"starttls", user + tls_line("starttls", "server.pem"), "optional", true, true,
         {"EHLO client.test", "STARTTLS", "EHLO client.test"}},
        {"implicit", user + tls_line("implicit", "server.pem"), "implicit", true, true, {"EHLO client.test"}},
        {"plain, optional", user, "optional", true, false, {"EHLO client.test"}},
        {"plain, required", user, "required", false, false, {"EHLO client.test"}},
        {"injected 250 with the go-ahead",
         user + "on STARTTLS -> raw 220 go ahead\\r\\n250 injected\\r\\n ;; starttls\n" +
             tls_line("starttls", "server.pem"),
         "required", true, true, {"EHLO client.test", "STARTTLS", "EHLO client.test"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeServer srv("smtp", c.script);
        ASSERT_TRUE(srv.ok()) << srv.error();
        TlsEnv env(srv);
        ini_set(K_smtp_tls, c.mode);
        std::string host = "127.0.0.1";
        ASSERT_EQ(tls_open(host, srv.port(), TLS_SMTP), 1) << f_error_text();
        ASSERT_EQ(readln(), 1);
        std::vector<std::string> ehlo;
        int got = tls_smtp_hello(host, srv.port(), "client.test", &ehlo);
        EXPECT_EQ(got == 1, c.ok) << f_error_text();
        EXPECT_EQ(tls_active(), c.secure);
        if (got) {
            EXPECT_TRUE(std::any_of(ehlo.begin(), ehlo.end(), [](const std::string& l) { return l == "250 SMTPUTF8"; }));
            // "AUTH PLAIN" with "\0alice\0pw-Secret"
            tcp_printf(msock().sk, "AUTH PLAIN AGFsaWNlAHB3LVNlY3JldA==\r\n");
            EXPECT_EQ(readln(), 1);
            EXPECT_EQ(msock().reason.substr(0, 3), "235") << msock().reason;
        } else {
            EXPECT_NE(f_error_text().find("does not offer a secure connection"), std::string::npos);
        }
        tcp_close();
        std::vector<std::string> wire = srv.log_lines();
        ASSERT_GE(wire.size(), c.wire_start.size()) << ::testing::PrintToString(wire);
        EXPECT_EQ(std::vector<std::string>(wire.begin(), wire.begin() + static_cast<long>(c.wire_start.size())),
                  c.wire_start);
        if (!c.ok) {
            EXPECT_FALSE(sent(wire, "AUTH"));
        }
    }
}
