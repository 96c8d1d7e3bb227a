// Replies and forwards against scripted POP3 and SMTP servers: the compose
// page from a stored message, hostile headers, threading, the resend dialogue.
#include <gtest/gtest.h>

#include "process/cgi_harness.h"

namespace {

using lk_test::CgiResult;
using lk_test::has;
using lk_test::url_enc;

std::string many_addresses() {
    std::string s;
    for (int i = 0; i < 500; ++i) s += (i ? ", " : "") + std::string("r") + std::to_string(i) + "@example.test";
    return s;
}

std::string mailbox() {
    std::string s = "user ann " + lk_test::kPass + "\n";
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

// Logged in, the mailbox listed.
struct ReplyEnv : lk_test::Session {
    explicit ReplyEnv(const std::string& smtp_rules = "")
        : Session(mailbox(), "", "user ann " + lk_test::kPass + "\n" + smtp_rules, 60) {
        login();
        get("cmd=list&fld=0");
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
    std::string id = e.id_of("m1@example.test");
    ASSERT_FALSE(id.empty()) << e.pop.error() << e.index();
    std::string b = e.get("cmd=reply&fld=0&item=" + id).body();
    const std::pair<const char*, const char*> fields[] = {
        {"to", "zed@example.test"}, {"subject", "Re: Café plans"}, {"cc", ""},
        {"in_reply_to", "&lt;m1@example.test&gt;"},
        {"references", "&lt;root@example.test&gt; &lt;mid@example.test&gt; &lt;m1@example.test&gt;"}};
    for (const auto& [name, value] : fields) EXPECT_EQ(ReplyEnv::field(b, name), value) << name;
    std::string q = ReplyEnv::textarea(b);
    lk_test::expect_all(q, {"&gt;Café at noon &amp; &lt;bring&gt; cake.", "&gt;Second line"});
    EXPECT_FALSE(has(q, "=E9")) << "decoded, not the transfer encoding";
    // The message is marked, and a second reply does not mark it twice.
    e.get("cmd=reply&fld=0&item=" + id);
    EXPECT_EQ(lk_test::count_of(e.index(), "replied,"), 1) << e.index();
    // Reply to all leaves out the user and addresses named twice.
    EXPECT_EQ(ReplyEnv::field(e.get("cmd=replyall&fld=0&item=" + id).body(), "to"),
              "zed@example.test,bob@example.test,carol@example.test");

    // Sending the reply form carries the threading headers to the server.
    auto r = e.send({{"to", "zed@example.test"}, {"subject", "Re: x"}, {"message", "ok"},
                     {"in_reply_to", "<m1@example.test>"}, {"references", "<root@example.test> <m1@example.test>"}});
    ASSERT_TRUE(r.out_has("Your message was sent.")) << r.out;
    lk_test::expect_all(e.smtp->log(), {"\nIn-Reply-To: <m1@example.test>\n",
                                        "\nReferences: <root@example.test> <m1@example.test>\n"});
}

TEST(ReplyProcess, HostileStoredHeadersStayOneBoundedLine) {
    ReplyEnv e;
    std::string id = e.id_of("mallory@example.test");
    ASSERT_FALSE(id.empty());
    for (const char* cmd : {"reply", "replyall", "forward_edit"}) {
        auto r = e.get(std::string("cmd=") + cmd + "&fld=0&item=" + id);
        std::string b = r.body();
        std::string subj = ReplyEnv::field(b, "subject");
        EXPECT_EQ(subj.find_first_of("\r\n"), std::string::npos) << cmd;
        EXPECT_LE(subj.size(), 520u) << cmd;
        EXPECT_LE(ReplyEnv::field(b, "to").size(), 511u) << cmd;
        // Two ids where one belongs: no threading header.
        EXPECT_EQ(ReplyEnv::field(b, "in_reply_to"), "<absent>") << cmd;
        // The HTML-only message is quoted as its text.
        EXPECT_TRUE(has(ReplyEnv::textarea(b), "Only html here")) << cmd << b;
    }
    EXPECT_TRUE(has(e.index(), "forwarded,"));
}

CgiResult doforward(ReplyEnv& e, const std::string& list, const std::string& extra = "") {
    return e.post("cmd=doforward&fld=0&fwd_list=" + url_enc(list) + "&to=" + url_enc("bob@example.test") +
                  "&subject=" + url_enc("(Fwd: From message)") + extra);
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
    std::string log = e.smtp->log();
    lk_test::expect_all(log, {"RCPT TO:<bob@example.test>\n", "\nResent-to: bob@example.test\n",
                              "\nResent-from: ann@example.test\n"});
    // The stored subject goes out as stored: one Subject line, no header
    // made from the encoded line break.
    EXPECT_TRUE(has(log, "\nSubject: Fwd: =?UTF-8?Q?Hi=0D=0ABcc:_evil@example.test?=\n xxx"))
        << log.substr(log.find("ubject:") - 1, 200);
    for (const std::string& l : e.smtp->log_lines()) EXPECT_LE(l.size(), 998u) << l.substr(0, 60);
    EXPECT_FALSE(has(log, "\nBcc:")) << log.substr(0, 3000);
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
