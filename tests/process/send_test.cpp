// Sending through the real program against scripted POP3 and SMTP servers:
// what reaches the server (envelope, headers, dot-stuffed data, the
// attachment), the sent copy, every refusal step of the dialogue with its
// message and no copy filed, line breaks in every header field, attachment
// paths from the form, and credentials kept out of the log.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "fake/fake_server.h"
#include "process/cgi_harness.h"
#include "view/mimecodec.h"

namespace {

using lk_test::CgiHarness;
using lk_test::CgiResult;
using lk_test::url_enc;

constexpr const char* kPass = "Sd7-secretPW";

struct SendEnv {
    FakeServer pop;
    FakeServer smtp;
    CgiHarness h;
    std::string tok, utokc;
    // defaults: lines of the work area's default.dat, which new profiles start from.
    explicit SendEnv(const std::string& smtp_rules, const std::string& extra = "", const std::string& mailbox = "",
                     const std::string& defaults = "")
        : pop("pop3", std::string("user ann ") + kPass + "\n" + mailbox, 60),
          smtp("smtp", std::string("user ann ") + kPass + "\n" + smtp_rules, 60),
          h("", true) {
        h.set_ini("templates @TPL@\nworkarea @WORK@\npophost 127.0.0.1\nport " + std::to_string(pop.port()) +
                  "\nsmtphost 127.0.0.1\nsmtp_port " + std::to_string(smtp.port()) +
                  "\nsmtp_auth true\ndomain example.test\ndebug true\nlog send\npop_timeout 2\n" + extra);
        if (!defaults.empty()) h.write_file("work/default.dat", defaults);
        auto r = h.post("cmd=login&user=ann&pass=" + url_enc(kPass));
        tok = lk_test::cookie_value(r, "utok");
        utokc = lk_test::cookie_value(r, "utokc");
    }
    std::map<std::string, std::string> env() const { return {{"HTTP_COOKIE", "utokc=" + utokc}}; }
    CgiResult send(std::vector<std::pair<std::string, std::string>> fields,
                   const std::vector<CgiHarness::FilePart>& files = {}, const std::string& query = "") {
        fields.emplace_back("utoken", tok);
        fields.emplace_back("cmd", "send");
        return h.post_multipart(fields, files, query, env());
    }
    // Index lines of the copies folder (folder 2 of a new profile).
    std::string copies() { return h.read_file("work/u_an/ann@127_0_0_1/2/index.dat"); }
    std::vector<std::string> data() {
        std::vector<std::string> out;
        bool in = false;
        for (const std::string& l : smtp.log_lines()) {
            if (l == "DATA") { in = true; continue; }
            if (in && l == ".") break;
            if (in) out.push_back(l);
        }
        return out;
    }
};

std::vector<std::pair<std::string, std::string>> basic(const std::string& subject = "Hello there") {
    return {{"to", "Bob <bob@example.test>"}, {"subject", subject}, {"message", "line one\n.\n.dot line\nend"},
            {"copyself", "on"}};
}

TEST(SendProcess, SendsTheMessageDotStuffedAndFilesTheCopy) {
    SendEnv e("");
    ASSERT_FALSE(e.tok.empty());
    auto r = e.send(basic(), {{"attach", "C:\\docs\\notes.bin", "application/octet-stream",
                               std::string("\x00\x01\xff\r\n.\r\nbytes", 12)}});
    EXPECT_TRUE(r.out_has("Your message was sent.")) << r.out << r.log;
    const auto log = e.smtp.log_lines();
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(log[0], "EHLO example.test");
    EXPECT_EQ(log[1].rfind("AUTH PLAIN ", 0), 0u);
    EXPECT_EQ(log[2], "MAIL FROM:<ann@example.test>");
    EXPECT_EQ(log[3], "RCPT TO:<bob@example.test>");
    auto d = e.data();
    std::string all;
    for (const auto& l : d) all += l + "\n";
    EXPECT_NE(all.find("\n..\n..dot line\n"), std::string::npos) << all;
    EXPECT_NE(all.find("To: Bob <bob@example.test>\n"), std::string::npos);
    EXPECT_NE(all.find("filename=\"notes.bin\""), std::string::npos);
    EXPECT_NE(all.find(sencode_base64(std::string("\x00\x01\xff\r\n.\r\nbytes", 12))), std::string::npos);
    EXPECT_NE(e.copies().find("Hello there"), std::string::npos);
    // The password never reaches the log, neither typed nor in base64.
    std::string blob = std::string("\0ann\0", 5) + kPass;
    EXPECT_EQ(r.log.find(kPass), std::string::npos);
    EXPECT_EQ(r.log.find(sencode_base64(blob)), std::string::npos);
    EXPECT_EQ(r.log.find(log[1].substr(11)), std::string::npos);
}

TEST(SendProcess, AuthLoginExchangeIsMaskedAndServersWithoutAuthGetHelo) {
    SendEnv e("on EHLO* -> reply 250-fake.test\\r\\n250 AUTH LOGIN\n");
    auto r = e.send(basic());
    EXPECT_TRUE(r.out_has("Your message was sent.")) << r.out;
    EXPECT_EQ(e.smtp.log_lines()[1], "AUTH LOGIN");
    for (const std::string& secret : {sencode_base64("ann"), sencode_base64(kPass)}) {
        EXPECT_NE(e.smtp.log().find(secret), std::string::npos);
        EXPECT_EQ(r.log.find(secret), std::string::npos) << secret;
    }
    SendEnv plain("on EHLO* -> reply 250 fake.test\n");
    r = plain.send(basic());
    EXPECT_TRUE(r.out_has("Your message was sent.")) << r.out;
    EXPECT_EQ(plain.smtp.log().find("AUTH"), std::string::npos);
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
        EXPECT_TRUE(r.out_has(c.msg)) << c.rule << "\n" << r.out;
        EXPECT_TRUE(r.out_has("The message was not sent.")) << c.rule;
        EXPECT_TRUE(r.out_has("value=\"Kept subject\"")) << c.rule;
        EXPECT_TRUE(r.out_has("keep_attach0")) << c.rule << ": the file stays attached";
        EXPECT_EQ(e.copies().find("Kept subject"), std::string::npos) << c.rule;
        EXPECT_EQ(r.status, 1) << c.rule;
    }
}

TEST(SendProcess, AKeptFileIsSentOnTheNextTry) {
    SendEnv e("once on @data -> reply 451 4.3.0 try again\n");
    auto r = e.send(basic(), {{"attach", "kept.txt", "text/plain", "kept file body"}});
    ASSERT_TRUE(r.out_has("keep_attach0")) << r.out;
    auto fields = basic();
    fields.emplace_back("keep_attach0", "on");
    r = e.send(fields);
    EXPECT_TRUE(r.out_has("Your message was sent.")) << r.out;
    std::string all = e.smtp.log();
    EXPECT_NE(all.rfind(sencode_base64("kept file body")), all.find(sencode_base64("kept file body")))
        << "sent in both tries";
}

TEST(SendProcess, LineBreaksInAnyHeaderFieldRefuseTheSendBeforeTheServer) {
    const char* fields[] = {"to", "cc", "bcc", "subject", "reply", "h_priority", "content_type", "send_date"};
    SendEnv e("");
    for (const char* f : fields) {
        auto v = basic();
        bool set = false;
        for (auto& [n, val] : v)
            if (n == f) { val += "\r\nBcc: evil@example.test"; set = true; }
        if (!set) v.emplace_back(f, "x\nRCPT TO:<evil@example.test>");
        auto r = e.send(v);
        EXPECT_TRUE(r.out_has("Send failed: the " + std::string(f) + " field holds a line break")) << f << r.out;
    }
    EXPECT_EQ(e.smtp.log(), "") << "no command reached the server";
}

TEST(SendProcess, ComposePageInHtmlAndWmlWithTheFromAddress) {
    SendEnv e("", "body_add ~/bin/echo -- sent from the web\n");
    auto r = e.h.get("cmd=new&to=" + url_enc("Bob <bob@example.test>") + "&utoken=" + url_enc(e.tok), e.env());
    EXPECT_TRUE(r.out_has("name=\"reply\" value=\"ann@example.test\"")) << r.out;
    EXPECT_TRUE(r.out_has("value=\"Bob &lt;bob@example.test&gt;\"")) << r.out;
    EXPECT_TRUE(r.out_has("enctype=\"multipart/form-data\""));
    // The trailer program's output ends the text.
    r = e.send(basic());
    EXPECT_TRUE(r.out_has("Your message was sent.")) << r.out;
    EXPECT_NE(e.smtp.log().find("\n-- sent from the web\n"), std::string::npos) << e.smtp.log();
    e.h.set_ini(e.h.read_file("larkspur.ini") + "wml true\n");
    for (const char* q : {"cmd=new", "cmd=send"}) {
        r = e.h.get(std::string(q) + "&utoken=" + url_enc(e.tok), e.env());
        ASSERT_NE(r.header().find("text/vnd.wap.wml"), std::string::npos) << r.out;
        e.h.write_file("deck.wml", r.body());
        std::string cmd = "xmllint --noout " + e.h.path("deck.wml") + " 2>&1";
        FILE* p = popen(cmd.c_str(), "r");
        char buf[512];
        std::string lint;
        while (p && fgets(buf, sizeof buf, p)) lint += buf;
        EXPECT_EQ(p ? pclose(p) : -1, 0) << lint << r.body();
    }
}

TEST(SendProcess, AForwardCarriesTheNamedPartsOfTheStoredMessage) {
    SendEnv e("", "", "message <<EOM\n"
                      "From: zed@example.test\nTo: ann@example.test\nSubject: Photo\nMessage-ID: <ph@example.test>\n"
                      "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"XB\"\n\n"
                      "--XB\nContent-Type: text/plain\n\nthe text part stays behind\n"
                      "--XB\nContent-Type: image/png; name=\"dot.png\"\nContent-Transfer-Encoding: base64\n\n"
                      "iVBORw0KGgo=\n--XB--\nEOM\n");
    e.h.get("cmd=list&fld=0&utoken=" + url_enc(e.tok), e.env());
    std::string idx = e.h.read_file("work/u_an/ann@127_0_0_1/0/index.dat");
    ASSERT_FALSE(idx.empty());
    auto v = basic();
    v.insert(v.end(), {{"fwdedit_attachments", "1"}, {"fld", "0"}, {"item", idx.substr(0, idx.find('\t'))}});
    auto r = e.send(v);
    EXPECT_TRUE(r.out_has("Your message was sent.")) << r.out;
    std::string all;
    for (const auto& l : e.data()) all += l + "\n";
    EXPECT_NE(all.find("Content-Type: image/png; name=\"dot.png\"\nContent-Transfer-Encoding: base64\n\n"
                       "iVBORw0KGgo=\n"),
              std::string::npos)
        << all;
    EXPECT_EQ(all.find("the text part stays behind"), std::string::npos);
    EXPECT_NE(all.find("Content-Type: multipart/mixed"), std::string::npos);
}

TEST(SendProcess, FilesBeyondTheUsersLimitAreReportedAndLeftOut) {
    SendEnv e("", "", "", "umax_attach 3\n");
    auto r = e.send(basic(), {{"attach", "two.bin", "application/octet-stream", std::string(2048, 'a')},
                              {"attach2", "big.bin", "application/octet-stream", std::string(2048, 'b')}});
    EXPECT_TRUE(r.out_has("Your message was sent.")) << r.out;
    EXPECT_TRUE(r.out_has("E19: Attach file 2 (big.bin) 2 kbytes too large to send")) << r.out;
    EXPECT_NE(e.smtp.log().find("two.bin"), std::string::npos);
    EXPECT_EQ(e.smtp.log().find("big.bin"), std::string::npos);
}

TEST(SendProcess, OnlyFilesOfThisUploadAreAttached) {
    SendEnv e("");
    std::string secret = e.h.dir + "/secret.txt";
    lk_test::spit(secret, "not yours to mail");
    auto v = basic();
    v.emplace_back("attach2", secret);
    auto r = e.send(v, {}, "attach=" + url_enc(secret));
    EXPECT_TRUE(r.out_has("Your message was sent.")) << r.out;
    EXPECT_EQ(e.smtp.log().find(sencode_base64("not yours to mail")), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(secret)) << "the named file is left alone";
}

TEST(SendProcess, RecipientRulesAndLimits) {
    SendEnv e("", "valid_to *@example.test\nmax_sends 1\n");
    auto v = basic();
    v[0].second = "bob@elsewhere.test";
    auto r = e.send(v);
    EXPECT_TRUE(r.out_has("invalid to address bob@elsewhere.test")) << r.out;
    v = basic();
    v.emplace_back("bcc", "b1@example.test, b2@example.test");
    r = e.send(v);
    EXPECT_TRUE(r.out_has("send failed not allowed &gt; 1 messages in 1 day") ||
                r.out_has("send failed not allowed > 1 messages in 1 day")) << r.out;
    v = basic();
    v.emplace_back("pgpto", "bob key");
    r = e.send(v);
    EXPECT_TRUE(r.out_has("Unable to encrypt message no PGP engine is configured")) << r.out;
    v = basic();
    v[0].second = "To";
    r = e.send(v);
    EXPECT_TRUE(r.out_has("To: must be specified")) << r.out;
    EXPECT_EQ(e.smtp.log(), "");

    // Yesterday's count does not hold today back.
    std::time_t now = std::time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    SendEnv next("", "max_sends 1\n", "", "sends 5\nsend_day " + std::to_string((lt.tm_yday + 1) % 366) + "\n");
    v = basic();
    v.emplace_back("bcc", "b1@example.test");
    r = next.send(v);
    EXPECT_TRUE(r.out_has("Your message was sent.")) << r.out;
}

}  // namespace

TEST(SendProcess, PublicKeyOfTheSignatureGoesToTheServerOnly) {
    const std::string key = lk_test::slurp(std::string(LK_SOURCE_DIR) + "/tests/data/pgp/alice.asc");
    SendEnv e("", "", "message <<EOM\nFrom: a@example.test\nSubject: key\n\n" + key + "EOM\n");
    auto post = [&e](const std::string& body) {
        return e.h.post(body + "&utoken=" + url_enc(e.tok), "", e.env());
    };
    ASSERT_EQ(e.h.get("cmd=list&fld=0&utoken=" + url_enc(e.tok), e.env()).status, 0);
    ASSERT_EQ(post("keyadd=1&fld=0&item=0").status, 0);
    ASSERT_EQ(post("cmd_keyuid_0=7D0CB7802BAD7664&cmd_keysig_0=Use+in+Sig").status, 0);

    auto v = basic();
    v.emplace_back("send_addpgp", "on");
    auto r = e.send(v);
    ASSERT_EQ(r.status, 0) << r.out << r.log;
    const auto data = e.data();
    auto begin = std::find(data.begin(), data.end(), "-----BEGIN PGP PUBLIC KEY BLOCK-----");
    ASSERT_NE(begin, data.end());
    EXPECT_LT(std::find(data.begin(), data.end(), "end"), begin) << "the key follows the text";
    EXPECT_EQ(data.back(), "-----END PGP PUBLIC KEY BLOCK-----");
    std::string copy;
    for (const auto& f : std::filesystem::directory_iterator(e.h.path("work/u_an/ann@127_0_0_1/2")))
        if (f.path().filename().string().rfind("m_", 0) == 0) copy += lk_test::slurp(f.path().string());
    EXPECT_NE(copy.find("Hello there"), std::string::npos);
    EXPECT_EQ(copy.find("BEGIN PGP"), std::string::npos) << "the filed copy stays as written";
}
