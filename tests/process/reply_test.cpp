// Replies and forwards through the real program against scripted POP3 and
// SMTP servers: the compose page filled from a stored message (decoded
// quote, subject, recipients without the user, threading headers), the
// mark on the message, hostile stored headers kept to one bounded line,
// the threading headers reaching the server, and the resend dialogue with
// multi-line replies, refusals and delete-after-forwarding.
#include <gtest/gtest.h>

#include "fake/fake_server.h"
#include "process/cgi_harness.h"

namespace {

using lk_test::CgiHarness;
using lk_test::CgiResult;
using lk_test::url_enc;

constexpr const char* kPass = "Rp4-secretPW";

std::string many_addresses() {
    std::string s;
    for (int i = 0; i < 500; ++i) s += (i ? ", " : "") + std::string("r") + std::to_string(i) + "@example.test";
    return s;
}

std::string mailbox() {
    std::string s = std::string("user ann ") + kPass + "\n";
    s += "message <<EOM\n"
         "From: \"Zed Z\" <zed@example.test>\n"
         "To: ann@example.test, bob@example.test\n"
         "Cc: ANN@Example.test, carol@example.test, Bob <BOB@example.test>\n"
         "Subject: =?UTF-8?Q?Caf=C3=A9_plans?=\n"
         "Message-ID: <m1@example.test>\n"
         "References: <root@example.test> <mid@example.test>\n"
         "MIME-Version: 1.0\n"
         "Content-Type: text/plain; charset=ISO-8859-1\n"
         "Content-Transfer-Encoding: quoted-printable\n"
         "\n"
         "Caf=E9 at noon & <bring> cake.\n"
         "Second line\n"
         "EOM\n";
    s += "message <<EOM\n"
         "From: mallory@example.test\n"
         "Reply-To: " + many_addresses() + "\n"
         "To: ann@example.test\n"
         "Subject: =?UTF-8?Q?Hi=0D=0ABcc:_evil@example.test?= " + std::string(10000, 'x') + "\n"
         "Message-ID: <bad@example.test> <two@example.test>\n"
         "Content-Type: text/html\n"
         "\n"
         "<html><body><p>Only <b>html</b> here</p></body></html>\n"
         "EOM\n";
    return s;
}

struct ReplyEnv {
    FakeServer pop{"pop3", mailbox(), 60};
    FakeServer smtp;
    CgiHarness h{"", true};
    std::string tok, utokc;
    explicit ReplyEnv(const std::string& smtp_rules = "")
        : smtp("smtp", std::string("user ann ") + kPass + "\n" + smtp_rules, 60) {
        h.set_ini("templates @TPL@\nworkarea @WORK@\npophost 127.0.0.1\nport " + std::to_string(pop.port()) +
                  "\nsmtphost 127.0.0.1\nsmtp_port " + std::to_string(smtp.port()) +
                  "\ndomain example.test\ndebug true\npop_timeout 2\n");
        auto r = h.post("cmd=login&user=ann&pass=" + url_enc(kPass));
        tok = lk_test::cookie_value(r, "utok");
        utokc = lk_test::cookie_value(r, "utokc");
        get("cmd=list&fld=0");
    }
    std::map<std::string, std::string> env() const { return {{"HTTP_COOKIE", "utokc=" + utokc}}; }
    CgiResult get(const std::string& q) { return h.get(q + "&utoken=" + url_enc(tok), env()); }
    std::string index() { return h.read_file("work/u_an/ann@127_0_0_1/0/index.dat"); }
    std::string id_of(const std::string& text) {
        std::string idx = index();
        std::size_t p = idx.find(text);
        if (p == std::string::npos) return "";
        std::size_t b = idx.rfind('\n', p);
        b = b == std::string::npos ? 0 : b + 1;
        return idx.substr(b, idx.find('\t', b) - b);
    }
    // The value of the form field name on a page.
    static std::string field(const std::string& page, const std::string& name) {
        std::string key = "name=\"" + name + "\" value=\"";
        std::size_t p = page.find(key);
        if (p == std::string::npos) return "<absent>";
        p += key.size();
        return page.substr(p, page.find('"', p) - p);
    }
    static std::string textarea(const std::string& page) {
        std::size_t p = page.find("<textarea id=\"message\"");
        if (p == std::string::npos) return "<absent>";
        p = page.find('>', p) + 1;
        return page.substr(p, page.find("</textarea>", p) - p);
    }
};

TEST(ReplyProcess, ReplyQuotesTheDecodedTextAndThreads) {
    ReplyEnv e;
    ASSERT_TRUE(e.pop.ok()) << e.pop.error();
    std::string id = e.id_of("m1@example.test");
    ASSERT_FALSE(id.empty()) << e.index();
    auto r = e.get("cmd=reply&fld=0&item=" + id);
    std::string b = r.body();
    EXPECT_EQ(ReplyEnv::field(b, "to"), "zed@example.test") << b;
    EXPECT_EQ(ReplyEnv::field(b, "subject"), "Re: Café plans");
    EXPECT_EQ(ReplyEnv::field(b, "cc"), "");
    EXPECT_EQ(ReplyEnv::field(b, "in_reply_to"), "&lt;m1@example.test&gt;");
    EXPECT_EQ(ReplyEnv::field(b, "references"),
              "&lt;root@example.test&gt; &lt;mid@example.test&gt; &lt;m1@example.test&gt;");
    std::string q = ReplyEnv::textarea(b);
    EXPECT_NE(q.find("&gt;Café at noon &amp; &lt;bring&gt; cake."), std::string::npos) << q;
    EXPECT_NE(q.find("&gt;Second line"), std::string::npos) << q;
    EXPECT_EQ(q.find("=E9"), std::string::npos) << "decoded, not the transfer encoding";
    // The message is marked, and a second reply does not mark it twice.
    e.get("cmd=reply&fld=0&item=" + id);
    std::string idx = e.index();
    EXPECT_NE(idx.find("replied,"), std::string::npos) << idx;
    EXPECT_EQ(idx.find("replied,"), idx.rfind("replied,"));

    // Sending the reply form carries the threading headers to the server.
    std::vector<std::pair<std::string, std::string>> f = {
        {"utoken", e.tok}, {"cmd", "send"}, {"to", "zed@example.test"}, {"subject", "Re: x"},
        {"message", "ok"}, {"in_reply_to", "<m1@example.test>"},
        {"references", "<root@example.test> <m1@example.test>"}};
    r = e.h.post_multipart(f, {}, "", e.env());
    ASSERT_TRUE(r.out_has("Your message was sent.")) << r.out;
    std::string log = e.smtp.log();
    EXPECT_NE(log.find("\nIn-Reply-To: <m1@example.test>\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\nReferences: <root@example.test> <m1@example.test>\n"), std::string::npos) << log;
}

TEST(ReplyProcess, ReplyAllLeavesOutTheUserAndRepeats) {
    ReplyEnv e;
    auto r = e.get("cmd=replyall&fld=0&item=" + e.id_of("m1@example.test"));
    EXPECT_EQ(ReplyEnv::field(r.body(), "to"), "zed@example.test,bob@example.test,carol@example.test")
        << r.body();
}

TEST(ReplyProcess, HostileStoredHeadersStayOneBoundedLine) {
    ReplyEnv e;
    std::string id = e.id_of("mallory@example.test");
    ASSERT_FALSE(id.empty());
    for (const char* cmd : {"reply", "replyall", "forward_edit"}) {
        auto r = e.get(std::string("cmd=") + cmd + "&fld=0&item=" + id);
        std::string b = r.body();
        std::string subj = ReplyEnv::field(b, "subject");
        EXPECT_EQ(subj.find('\n'), std::string::npos) << cmd;
        EXPECT_EQ(subj.find('\r'), std::string::npos) << cmd;
        EXPECT_LE(subj.size(), 520u) << cmd;
        EXPECT_LE(ReplyEnv::field(b, "to").size(), 511u) << cmd;
        // Two ids where one belongs: no threading header.
        EXPECT_EQ(ReplyEnv::field(b, "in_reply_to"), "<absent>") << cmd;
        // The HTML-only message is quoted as its text.
        EXPECT_NE(ReplyEnv::textarea(b).find("Only html here"), std::string::npos) << cmd << b;
    }
    std::string idx = e.index();
    EXPECT_NE(idx.find("forwarded,"), std::string::npos);
}

CgiResult doforward(ReplyEnv& e, const std::string& list, const std::string& extra = "") {
    return e.h.post("cmd=doforward&fld=0&fwd_list=" + url_enc(list) + "&to=" + url_enc("bob@example.test") +
                        "&subject=" + url_enc("(Fwd: From message)") + extra + "&utoken=" + url_enc(e.tok),
                    "", e.env());
}

TEST(ForwardProcess, ResendsTheStoredMessageReadingWholeRepliesThenDeletes) {
    // Multi-line answers to every command: a reader that took one read per
    // reply would fall out of step and take a refusal for success.
    ReplyEnv e("on HELO* -> reply 250-fake.test\\r\\n250-more\\r\\n250 done\n"
               "on MAIL* -> reply 250-sender\\r\\n250 ok\n");
    std::string id = e.id_of("mallory@example.test");
    ASSERT_FALSE(id.empty());
    auto page = e.get("cmd=forward&fld=0&item=" + id);
    EXPECT_EQ(ReplyEnv::field(page.body(), "fwd_list"), id + ",") << page.body();
    auto r = doforward(e, id + ",", "&action_senddel=on&fwd_note=");
    ASSERT_TRUE(r.out_has("Your message was sent.")) << r.out << r.log;
    std::string log = e.smtp.log();
    EXPECT_NE(log.find("RCPT TO:<bob@example.test>\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\nResent-to: bob@example.test\n"), std::string::npos) << log;
    EXPECT_NE(log.find("\nResent-from: ann@example.test\n"), std::string::npos);
    // The stored subject goes out as stored: one Subject line, no header
    // made from the encoded line break.
    EXPECT_NE(log.find("\nSubject: Fwd: =?UTF-8?Q?Hi=0D=0ABcc:_evil@example.test?=\n xxx"), std::string::npos)
        << log.substr(log.find("ubject:") - 1, 200);
    for (const std::string& l : e.smtp.log_lines()) EXPECT_LE(l.size(), 998u) << l.substr(0, 60);
    EXPECT_EQ(log.find("\nBcc:"), std::string::npos) << log.substr(0, 3000);
    // Forwarded, then gone from the inbox.
    EXPECT_EQ(e.id_of("mallory@example.test"), "") << e.index();
}

TEST(ForwardProcess, RefusalsAndBadListsForwardNothingAndDeleteNothing) {
    struct Case {
        const char* rule;
        const char* list;   // "" = the message's own number
        const char* msg;
    } cases[] = {
        {"on RCPT* -> reply 550-5.1.1 no such user\\r\\n550 5.1.1 really", "", "W7: Didn't like to address bob@example.test"},
        {"on @data -> reply 552-too big\\r\\n552 5.3.4 message too big", "", "552 5.3.4 message too big"},
        {"", "1x,", "the list of messages is not valid"},
        {"", "9999,", "Cannot get message to forward"},
    };
    for (const Case& c : cases) {
        ReplyEnv e(std::string(c.rule) + "\n");
        std::string id = e.id_of("m1@example.test");
        auto r = doforward(e, *c.list ? c.list : id + ",", "&action_senddel=on");
        EXPECT_TRUE(r.out_has(c.msg)) << c.rule << r.out;
        EXPECT_EQ(e.id_of("m1@example.test"), id) << c.rule << ": nothing deleted" << e.index();
    }
}

}  // namespace
