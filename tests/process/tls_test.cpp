// TLS through the real program against the scripted server speaking TLS
// with the test certificates: a login and a list with the mail check over
// POP3S, and the error page of each refusal in the user's words, with the
// detail in the log and no password on the wire.
#include <gtest/gtest.h>

#include "fake/fake_server.h"
#include "process/cgi_harness.h"

namespace {

using lk_test::has;

using lk_test::CgiHarness;
using lk_test::CgiResult;
using lk_test::url_enc;

constexpr const char* kPass = "Tl5-secretPW";

const std::string& certs() {
    static std::string dir;
    if (dir.empty()) {
        std::string d = std::string(LK_BINARY_DIR) + "/testcerts";
        std::string cmd = "bash '" + std::string(LK_SOURCE_DIR) + "/scripts/testcerts.sh' '" + d + "' >/dev/null";
        if (std::system(cmd.c_str()) == 0) dir = d;
    }
    return dir;
}

struct TlsLogin {
    FakeServer pop;
    CgiHarness h;
    TlsLogin(const char* tls_mode, const char* cert, const std::string& extra)
        : pop("pop3",
              std::string("user ann ") + kPass + "\nmessages 2\n" +
                  (tls_mode ? std::string("tls ") + tls_mode + " " + certs() + "/" + cert + " " + certs() +
                                  "/server.key\n"
                            : ""),
              60),
          h("", true) {
        h.set_ini("templates @TPL@\nworkarea @WORK@\npophost 127.0.0.1\nport " + std::to_string(pop.port()) +
                  "\ndebug true\ntls_ca_file " + certs() + "/ca.pem\n" + extra);
    }
    CgiResult login() { return h.post("cmd=login&user=ann&pass=" + url_enc(kPass)); }
};

}  // namespace

TEST(TlsProcess, LoginAndListOverPop3s) {
    ASSERT_FALSE(certs().empty());
    TlsLogin L("implicit", "server.pem", "");
    ASSERT_TRUE(L.pop.ok()) << L.pop.error();
    L.h.set_ini("templates @TPL@\nworkarea @WORK@\npophost 127.0.0.1\nport " + std::to_string(L.pop.port()) +
                "\ndebug true\ntls_ca_file " + certs() + "/ca.pem\npop_tls_ports 995," +
                std::to_string(L.pop.port()) + "\n");
    auto r = L.login();
    std::string tok = lk_test::cookie_value(r, "utok");
    ASSERT_FALSE(tok.empty()) << r.out;
    auto list = L.h.get("cmd=list&fld=0&utoken=" + url_enc(tok),
                        {{"HTTP_COOKIE", "utokc=" + lk_test::cookie_value(r, "utokc")}});
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
