// Sending against scripted POP3 and SMTP servers: what reaches the server, the
// sent copy, every refusal step, header line breaks, attachments, secrets.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "process/cgi_harness.h"
#include "view/mimecodec.h"

namespace {

using lk_test::CgiResult;
using lk_test::has;
using lk_test::kPass;
using lk_test::url_enc;

const char* const kSent = "Your message was sent.";

// Logged in; defaults are lines of the work area's default.dat, which new
// profiles start from.
struct SendEnv : lk_test::Session {
    explicit SendEnv(const std::string& smtp_rules, const std::string& extra = "", const std::string& mailbox = "",
                     const std::string& defaults = "")
        : Session("user ann " + kPass + "\n" + mailbox, "smtp_auth true\nlog send\n" + extra,
                  "user ann " + kPass + "\n" + smtp_rules, 60) {
        if (!defaults.empty()) h.write_file("work/default.dat", defaults);
        login();
    }
    std::string wire() const { return smtp->log(); }
    std::string data() const {   // the first message's DATA, as sent
        auto m = lk_test::smtp_messages(*smtp);
        return m.empty() ? "" : m[0];
    }
};

std::vector<std::pair<std::string, std::string>> basic(const std::string& subject = "Hello there") {
    return {{"to", "Bob <bob@example.test>"}, {"subject", subject}, {"message", "line one\n.\n.dot line\nend"},
            {"copyself", "on"}};
}

TEST(SendProcess, SendsTheMessageDotStuffedAndFilesTheCopy) {
    SendEnv e("");
    ASSERT_FALSE(e.tok.empty());
    const std::string bytes("\x00\x01\xff\r\n.\r\nbytes", 12);
    auto r = e.send(basic(), {{"attach", "C:\\docs\\notes.bin", "application/octet-stream", bytes}});
    EXPECT_TRUE(r.out_has(kSent)) << r.out << r.log;
    const auto log = e.smtp->log_lines();
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(log[0], "EHLO example.test");
    EXPECT_EQ(log[1].rfind("AUTH PLAIN ", 0), 0u);
    EXPECT_EQ(log[2], "MAIL FROM:<ann@example.test>");
    EXPECT_EQ(log[3], "RCPT TO:<bob@example.test>");
    lk_test::expect_all(e.data(), {"\n..\n..dot line\n", "To: Bob <bob@example.test>\n", "filename=\"notes.bin\"",
                                   sencode_base64(bytes)});
    EXPECT_TRUE(has(e.index(2), "Hello there"));
    // The password never reaches the log, neither typed nor in base64.
    lk_test::expect_none(r.log, {kPass, sencode_base64(std::string("\0ann\0", 5) + kPass), log[1].substr(11)});
}

TEST(SendProcess, AuthLoginExchangeIsMaskedAndServersWithoutAuthGetHelo) {
    SendEnv e("on EHLO* -> reply 250-fake.test\\r\\n250 AUTH LOGIN\n");
    auto r = e.send(basic());
    EXPECT_TRUE(r.out_has(kSent)) << r.out;
    EXPECT_EQ(e.smtp->log_lines()[1], "AUTH LOGIN");
    for (const std::string& secret : {sencode_base64("ann"), sencode_base64(kPass)}) {
        EXPECT_TRUE(has(e.wire(), secret));
        EXPECT_FALSE(has(r.log, secret)) << secret;
    }
    SendEnv plain("on EHLO* -> reply 250 fake.test\n");
    EXPECT_TRUE(plain.send(basic()).out_has(kSent));
    EXPECT_FALSE(has(plain.wire(), "AUTH"));
}

// Every step of the dialogue refused (or the server gone): the message for
// that step, the compose page again with the text typed, no copy filed.
TEST(SendProcess, EveryRefusalStepShowsItsMessageAndFilesNoCopy) {
    struct { const char* rule; const char* msg; } cases[] = {
        {"on @connect -> close 554 5.3.2 not now", "W1: Send failed greeting"},
        {"on AUTH* -> reply 535 5.7.8 bad credentials", "W1: Send failed AUTH"},
        {"on MAIL* -> reply 553 5.7.1 sender refused", "MAIL FROM: 553 5.7.1 sender refused"},
        {"on RCPT* -> reply 550 5.1.1 no such user", "Rcpt to bob@example.test failed:550 5.1.1 no such user"},
        {"on DATA -> reply 554 5.5.1 no valid recipients", "W1: Send failed DATA"},
        {"on @data -> reply 552 5.3.4 message too big", "552 5.3.4 message too big"},
        {"on @data -> stall", "E27: Timeout reading from pop/smtp server"},
        {"on RCPT* -> drop", "Rcpt to bob@example.test failed"},
    };
    for (const auto& c : cases) {
        SendEnv e(std::string(c.rule) + "\n");
        auto r = e.send(basic("Kept subject"), {{"attach", "a.txt", "text/plain", "attached text"}});
        // The file stays attached (keep_attach0) and no copy is filed.
        lk_test::expect_all(r.out, {c.msg, "The message was not sent.", "value=\"Kept subject\"", "keep_attach0"}, c.rule);
        EXPECT_FALSE(has(e.index(2), "Kept subject")) << c.rule;
        EXPECT_EQ(r.status, 1) << c.rule;
    }
}

TEST(SendProcess, AKeptFileIsSentOnTheNextTry) {
    SendEnv e("once on @data -> reply 451 4.3.0 try again\n");
    auto r = e.send(basic(), {{"attach", "kept.txt", "text/plain", "kept file body"}});
    ASSERT_TRUE(r.out_has("keep_attach0")) << r.out;
    auto fields = basic();
    fields.emplace_back("keep_attach0", "on");
    EXPECT_TRUE(e.send(fields).out_has(kSent));
    EXPECT_EQ(lk_test::count_of(e.wire(), sencode_base64("kept file body")), 2) << "sent in both tries";
}

TEST(SendProcess, LineBreaksInAnyHeaderFieldRefuseTheSendBeforeTheServer) {
    SendEnv e("");
    for (const char* f : {"to", "cc", "bcc", "subject", "reply", "h_priority", "content_type", "send_date"}) {
        auto v = basic();
        bool set = false;
        for (auto& [n, val] : v)
            if (n == f) val += "\r\nBcc: evil@example.test", set = true;
        if (!set) v.emplace_back(f, "x\nRCPT TO:<evil@example.test>");
        EXPECT_TRUE(e.send(v).out_has("Send failed: the " + std::string(f) + " field holds a line break")) << f;
    }
    EXPECT_EQ(e.wire(), "") << "no command reached the server";
}

TEST(SendProcess, ComposePageInHtmlAndWmlWithTheFromAddress) {
    SendEnv e("", "body_add ~/bin/echo -- sent from the web\n");
    auto r = e.get("cmd=new&to=" + url_enc("Bob <bob@example.test>"));
    lk_test::expect_all(r.out, {"name=\"reply\" value=\"ann@example.test\"", "value=\"Bob &lt;bob@example.test&gt;\"",
                                "enctype=\"multipart/form-data\""});
    // The trailer program's output ends the text.
    EXPECT_TRUE(e.send(basic()).out_has(kSent));
    EXPECT_TRUE(has(e.wire(), "\n-- sent from the web\n")) << e.wire();
    e.h.set_ini(e.ini + "wml true\n");
    for (const char* q : {"cmd=new", "cmd=send"}) {
        r = e.get(q);
        ASSERT_TRUE(has(r.header(), "text/vnd.wap.wml")) << r.out;
        EXPECT_EQ(lk_test::xml_errors(e.h, r.body()), "") << q;
    }
}

TEST(SendProcess, AForwardCarriesTheNamedPartsOfTheStoredMessage) {
    SendEnv e("", "", "message <<EOM\n"
                      "From: zed@example.test\nTo: ann@example.test\nSubject: Photo\nMessage-ID: <ph@example.test>\n"
                      "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"XB\"\n\n"
                      "--XB\nContent-Type: text/plain\n\nthe text part stays behind\n"
                      "--XB\nContent-Type: image/png; name=\"dot.png\"\nContent-Transfer-Encoding: base64\n\n"
                      "iVBORw0KGgo=\n--XB--\nEOM\n");
    e.get("cmd=list&fld=0");
    ASSERT_NE(e.id_of("Photo"), "");
    auto v = basic();
    v.insert(v.end(), {{"fwdedit_attachments", "1"}, {"fld", "0"}, {"item", e.id_of("Photo")}});
    EXPECT_TRUE(e.send(v).out_has(kSent));
    lk_test::expect_all(e.data(), {"Content-Type: image/png; name=\"dot.png\"\nContent-Transfer-Encoding: base64\n\n"
                                   "iVBORw0KGgo=\n",
                                   "Content-Type: multipart/mixed"});
    EXPECT_FALSE(has(e.data(), "the text part stays behind"));
}

TEST(SendProcess, FilesBeyondTheUsersLimitAreReportedAndLeftOut) {
    SendEnv e("", "", "", "umax_attach 3\n");
    auto r = e.send(basic(), {{"attach", "two.bin", "application/octet-stream", std::string(2048, 'a')},
                              {"attach2", "big.bin", "application/octet-stream", std::string(2048, 'b')}});
    lk_test::expect_all(r.out, {kSent, "E19: Attach file 2 (big.bin) 2 kbytes too large to send"});
    EXPECT_TRUE(has(e.wire(), "two.bin"));
    EXPECT_FALSE(has(e.wire(), "big.bin"));
}

TEST(SendProcess, OnlyFilesOfThisUploadAreAttached) {
    SendEnv e("");
    std::string secret = e.h.dir + "/secret.txt";
    lk_test::spit(secret, "not yours to mail");
    auto v = basic();
    v.emplace_back("attach2", secret);
    EXPECT_TRUE(e.send(v, {}, "attach=" + url_enc(secret)).out_has(kSent));
    EXPECT_FALSE(has(e.wire(), sencode_base64("not yours to mail")));
    EXPECT_TRUE(std::filesystem::exists(secret)) << "the named file is left alone";
}

TEST(SendProcess, RecipientRulesAndLimits) {
    SendEnv e("", "valid_to *@example.test\nmax_sends 1\n");
    struct { const char* field; const char* value; bool replace; const char* msg; } cases[] = {
        {"to", "bob@elsewhere.test", true, "invalid to address bob@elsewhere.test"},
        {"bcc", "b1@example.test, b2@example.test", false, "send failed not allowed &gt; 1 messages in 1 day"},
        {"to", "To", true, "To: must be specified"},
    };
    for (const auto& c : cases) {
        auto v = basic();
        if (c.replace) v[0].second = c.value;
        else v.emplace_back(c.field, c.value);
        EXPECT_TRUE(e.send(v).out_has(c.msg)) << c.msg;
    }
    EXPECT_EQ(e.wire(), "");
    // Yesterday's count does not hold today back.
    std::time_t now = std::time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    SendEnv next("", "max_sends 1\n", "", "sends 5\nsend_day " + std::to_string((lt.tm_yday + 1) % 366) + "\n");
    auto v = basic();
    v.emplace_back("bcc", "b1@example.test");
    EXPECT_TRUE(next.send(v).out_has(kSent));
}

}  // namespace

TEST(SendProcess, PublicKeyOfTheSignatureGoesToTheServerOnly) {
    const std::string key = lk_test::slurp(std::string(LK_SOURCE_DIR) + "/tests/data/pgp/alice.asc");
    SendEnv e("", "", "message <<EOM\nFrom: a@example.test\nSubject: key\n\n" + key + "EOM\n");
    ASSERT_EQ(e.get("cmd=list&fld=0").status, 0);
    ASSERT_EQ(e.post("keyadd=1&fld=0&item=0").status, 0);
    ASSERT_EQ(e.post("cmd_keyuid_0=7D0CB7802BAD7664&cmd_keysig_0=Use+in+Sig").status, 0);
    auto v = basic();
    v.emplace_back("send_addpgp", "on");
    auto r = e.send(v);
    ASSERT_EQ(r.status, 0) << r.out << r.log;
    const std::string data = e.data(), end = "-----END PGP PUBLIC KEY BLOCK-----\n";
    std::size_t begin = data.find("\n-----BEGIN PGP PUBLIC KEY BLOCK-----\n");
    ASSERT_NE(begin, std::string::npos);
    EXPECT_LT(data.find("\nend\n"), begin) << "the key follows the text";
    EXPECT_EQ(data.substr(data.size() - end.size()), end);
    std::string copy;
    for (const auto& f : std::filesystem::directory_iterator(e.h.path(e.dir + "2")))
        if (f.path().filename().string().rfind("m_", 0) == 0) copy += lk_test::slurp(f.path().string());
    EXPECT_TRUE(has(copy, "Hello there"));
    EXPECT_FALSE(has(copy, "BEGIN PGP")) << "the filed copy stays as written";
}
