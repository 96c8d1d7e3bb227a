// TLS against the scripted server with the test certificates: a login over
// POP3S, and each refusal in the user's words with the detail in the log.
#include <gtest/gtest.h>

#include "process/cgi_harness.h"

namespace {

using lk_test::has;
using lk_test::kPass;

// The test certificates, made once (empty when they cannot be made).
const std::string& certs() {
    static std::string dir;
    if (dir.empty()) {
        std::string d = std::string(LK_BINARY_DIR) + "/testcerts";
        std::string cmd = "bash '" + std::string(LK_SOURCE_DIR) + "/scripts/testcerts.sh' '" + d + "' >/dev/null";
        if (std::system(cmd.c_str()) == 0) dir = d;
    }
    return dir;
}

// A POP3 server speaking TLS (tls_mode "implicit" or "starttls") with cert.
struct TlsLogin : lk_test::Session {
    TlsLogin(const char* tls_mode, const char* cert, const std::string& extra)
        : Session("user ann " + kPass + "\nmessages 2\n" +
                      (tls_mode ? std::string("tls ") + tls_mode + " " + certs() + "/" + cert + " " + certs() +
                                      "/server.key\n"
                                : ""),
                  "tls_ca_file " + certs() + "/ca.pem\n" + extra, std::nullopt, 60) {}
};

}  // namespace

TEST(TlsProcess, LoginAndListOverPop3s) {
    ASSERT_FALSE(certs().empty());
    TlsLogin L("implicit", "server.pem", "");
    ASSERT_TRUE(L.pop.ok()) << L.pop.error();
    L.h.set_ini(L.ini + "pop_tls_ports 995," + std::to_string(L.pop.port()) + "\n");
    auto r = L.login();
    ASSERT_FALSE(L.tok.empty()) << r.out;
    auto list = L.get("cmd=list&fld=0");
    EXPECT_TRUE(has(list.body(), "generated message 2")) << list.body();
    EXPECT_TRUE(has(list.log, "TLS to POP server 127.0.0.1: TLS")) << list.log;
    auto wire = L.pop.log_lines();
    ASSERT_GE(wire.size(), 1u);
    EXPECT_EQ(wire[0], "user ann");   // implicit TLS: no CAPA, no STLS
}

TEST(TlsProcess, RefusalsNameTheFaultOnThePageAndTheDetailInTheLog) {
    ASSERT_FALSE(certs().empty());
    struct Case {
        const char* tls_mode;
        const char* cert;
        const char* extra;
        const char* page;   // the user's words
        const char* log;    // the detail
    };
    const Case cases[] = {
        {"implicit", "wrongname.pem", "pop_tls implicit\n", "is for another name", "IP address mismatch"},
        {"implicit", "expired.pem", "pop_tls implicit\n", "has expired", "certificate has expired"},
        {"starttls", "unknownca.pem", "", "is not trusted", "unable to get local issuer certificate"},
        {nullptr, "", "pop_tls required\n", "does not offer a secure connection (TLS), which this site requires",
         "STLS not offered"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        TlsLogin L(c.tls_mode, c.cert, c.extra);
        ASSERT_TRUE(L.pop.ok()) << L.pop.error();
        auto r = L.login();
        EXPECT_TRUE(lk_test::cookie_value(r, "utok").empty()) << "logged in";
        EXPECT_TRUE(has(r.body(), c.page)) << r.body();
        EXPECT_TRUE(has(r.log, c.log)) << r.log;
        for (const std::string& line : L.pop.log_lines()) EXPECT_NE(line.rfind("pass", 0), 0u) << line;
    }
}
