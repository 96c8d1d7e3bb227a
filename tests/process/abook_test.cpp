// Address books through the real program: the exact book file a save
// writes, names that are refused, entry names expanded when sending, the
// pick lists and their budget, the recent list's bound and case rule, and
// received text that must not forge entries or reach the page raw.
#include <gtest/gtest.h>

#include <filesystem>

#include "fake/fake_server.h"
#include "process/cgi_harness.h"

namespace {

using lk_test::CgiHarness;
using lk_test::CgiResult;
using lk_test::url_enc;

constexpr const char* kPass = "Ab3-secretPW";
const std::string kDir = "work/u_an/ann@127_0_0_1/";

struct BookEnv {
    FakeServer pop{"pop3", std::string("user ann ") + kPass + "\nuser bob " + kPass + "\n", 60};
    FakeServer smtp{"smtp", std::string("user ann ") + kPass + "\n", 60};
    CgiHarness h{"", true};
    std::string tok, utokc;
    explicit BookEnv(const std::string& extra = "", const std::string& work = "@WORK@") {
        std::filesystem::create_directories(h.expand(work));
        h.set_ini("templates @TPL@\nworkarea " + work + "\npophost 127.0.0.1\nport " + std::to_string(pop.port()) +
                  "\nsmtphost 127.0.0.1\nsmtp_port " + std::to_string(smtp.port()) +
                  "\ndomain example.test\ndebug true\npop_timeout 2\n" + extra);
        login("ann");
    }
    void login(const std::string& user) {
        auto r = h.post("cmd=login&user=" + user + "&pass=" + url_enc(kPass));
        tok = lk_test::cookie_value(r, "utok");
        utokc = lk_test::cookie_value(r, "utokc");
    }
    std::map<std::string, std::string> env() const { return {{"HTTP_COOKIE", "utokc=" + utokc}}; }
    CgiResult post(const std::string& body) { return h.post(body + "&utoken=" + url_enc(tok), "", env()); }
    CgiResult save(const std::string& name, const std::string& text, const std::string& extra = "") {
        return post("cmd=pick_set&page=pick&abook_edit=" + url_enc(name) + "&abook=" + url_enc(text) + extra);
    }
    std::string book(const std::string& name) { return h.read_file(kDir + name + ".abk"); }
    bool has_book(const std::string& name) { return std::filesystem::exists(h.path(kDir + name + ".abk")); }
};

TEST(AbookProcess, SavedBookHasTheExactFormatAndFeedsPickListsAndSending) {
    BookEnv e;
    ASSERT_FALSE(e.tok.empty());
    auto r = e.save("friends", "zed@example.test\r\n\r\nteam = a@example.test, b@example.test\nSolo=c@example.test\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(e.book("friends"), "Solo=c@example.test\nteam = a@example.test, b@example.test\nzed@example.test\n");
    std::string b = r.body();
    // A group stays a name (expanded when sent); a single entry offers its address.
    EXPECT_NE(b.find("<option value=\"team\">team"), std::string::npos) << b;
    EXPECT_NE(b.find("<option value=\"c@example.test\">Solo"), std::string::npos);
    EXPECT_NE(b.find("<option value=\"zed@example.test\">zed@example.test"), std::string::npos);

    // The compose page offers the same list; sending to the names expands them.
    auto c = e.h.get("cmd=new&utoken=" + url_enc(e.tok), e.env());
    EXPECT_NE(c.body().find("<option value=\"team\">team"), std::string::npos) << c.body();
    r = e.h.post_multipart({{"utoken", e.tok}, {"cmd", "send"}, {"tolist", "team"}, {"cc", "Solo, nobody"},
                            {"subject", "hi"}, {"message", "x"}},
                           {}, "", e.env());
    ASSERT_TRUE(r.out_has("Your message was sent.")) << r.out;
    std::string log = e.smtp.log();
    for (const char* rc : {"RCPT TO:<a@example.test>", "RCPT TO:<b@example.test>", "RCPT TO:<c@example.test>",
                           "RCPT TO:<nobody@example.test>"})
        EXPECT_NE(log.find(rc), std::string::npos) << rc << "\n" << log;
}

TEST(AbookProcess, BadNamesAreRefusedAndNeverShareAFile) {
    BookEnv e;
    struct Case {
        const char* name;
        const char* msg;
    } cases[] = {
        {"a.b", "Invalid address book name a.b"},
        {"a b", "Invalid address book name a b"},
        {"../x", "Invalid address book name ../x"},
        {"x\nfolder=evil", "Invalid address book name"},
    };
    for (const Case& c : cases) {
        auto r = e.save(c.name, "one@example.test\n");
        EXPECT_TRUE(r.out_has(c.msg)) << c.name << r.out;
    }
    for (const char* f : {"a_b", "a.b", "a b", "main"}) EXPECT_FALSE(e.has_book(f)) << f;
    EXPECT_FALSE(std::filesystem::exists(e.h.path("work/u_an/x.abk")));
    // Too many entries: refused whole, not cut.
    std::string big;
    for (int i = 0; i < 10001; ++i) big += "u" + std::to_string(i) + "@example.test\n";
    auto r = e.save("big", big);
    EXPECT_TRUE(r.out_has("more than 10000 entries")) << r.out.substr(0, 400);
    EXPECT_EQ(e.book("big"), "");
}

TEST(AbookProcess, RecentListBoundCaseRuleAndCollectedText) {
    BookEnv e("pick_abook_max 3\n");
    std::string lines;
    for (int i = 0; i < 31; ++i) lines += "r" + std::to_string(100 + i) + "@example.test\n";
    auto r = e.post("cmd=pick_set&page=pick&toedit=" + url_enc(lines));
    std::string b = r.body();
    EXPECT_EQ(b.find(">r100@example.test<"), std::string::npos) << "the oldest went";
    EXPECT_NE(b.find(">r130@example.test<"), std::string::npos) << b;
    // A sender differing only in case adds nothing; the page text is escaped.
    r = e.post("cmd=addfrom&h_from=" + url_enc("<script>x</script> R130@EXAMPLE.test"));
    EXPECT_TRUE(r.out_has("Added &lt;script&gt;x&lt;/script&gt; R130@EXAMPLE.test to your pick list")) << r.body();
    EXPECT_FALSE(r.out_has("<script>x"));
    EXPECT_EQ(r.body().find(">R130@EXAMPLE.test<"), std::string::npos);

    // Collection into a book: a received line break or "name=" forges nothing.
    e.save("col", "first@example.test\n", "&autoadda=on&add_book=col");
    e.post("cmd=addfroma&h_from=" + url_enc("boss=evil@example.test\nceo@example.test"));
    e.post("cmd=addfroma&h_from=" + url_enc("\"Dee = Boss\" <dee@example.test>"));
    EXPECT_EQ(e.book("col"), "first@example.test\ndee@example.test\n");

    // With pick_abook_max 3 only three book entries are offered.
    e.save("five", "a1@x.test\na2@x.test\na3@x.test\na4@x.test\na5@x.test\n");
    r = e.post("cmd=pick_edit");
    EXPECT_NE(r.body().find(">a3@x.test<"), std::string::npos) << r.body();
    EXPECT_EQ(r.body().find(">a4@x.test<"), std::string::npos);
}

// A group book is read from its owner's directory, also when the work area's
// own path holds a dot; its entry is offered by name and expanded when sent.
TEST(AbookProcess, GroupBookOfAnotherUserUnderADottedWorkArea) {
    BookEnv e("", "@DIR@/mail.d");
    ASSERT_FALSE(e.tok.empty());
    e.save("public_walkers", "walkers = w1@example.test, w2@example.test\n");
    ASSERT_TRUE(std::filesystem::exists(e.h.path("mail.d/u_an/ann@127_0_0_1/public_walkers.abk")));

    e.login("bob");
    ASSERT_FALSE(e.tok.empty());
    struct Case {
        const char* refs;
        const char* problem;   // "" when the references are taken
    } cases[] = {
        {"ann@127.0.0.1", "No / in ann@127.0.0.1"},
        {"ann@127.0.0.1/", "Invalid group address book name: ann@127.0.0.1/"},
        {"../ann@127.0.0.1/walkers", "Invalid group address book name"},
        {"ann@127.0.0.1/nobook", "open global address book"},
        {"ann@127.0.0.1/walkers", ""},
    };
    for (const Case& c : cases) {
        auto r = e.post("cmd=pick_set&page=pick&gaddr_books=" + url_enc(c.refs));
        if (*c.problem) {
            EXPECT_TRUE(r.out_has(c.problem)) << c.refs << "\n" << r.body();
        } else {
            EXPECT_FALSE(r.out_has("role=\"alert\"")) << r.body();
            EXPECT_NE(r.body().find("<option value=\"\">--public--</option>\n<option value=\"walkers\">walkers"),
                      std::string::npos)
                << r.body();
        }
    }
    auto r = e.h.post_multipart({{"utoken", e.tok}, {"cmd", "send"}, {"tolist", "walkers"}, {"subject", "hi"},
                                 {"message", "x"}},
                                {}, "", e.env());
    ASSERT_TRUE(r.out_has("Your message was sent.")) << r.out;
    for (const char* rc : {"RCPT TO:<w1@example.test>", "RCPT TO:<w2@example.test>"})
        EXPECT_NE(e.smtp.log().find(rc), std::string::npos) << rc << "\n" << e.smtp.log();
}

}  // namespace
