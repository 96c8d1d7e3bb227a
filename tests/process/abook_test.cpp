// Address books: the saved file, refused names, names expanded when sending,
// pick lists, the recent list, collected text that must not forge entries.
#include <gtest/gtest.h>

#include <filesystem>

#include "process/cgi_harness.h"

namespace {

using lk_test::CgiResult;
using lk_test::has;
using lk_test::kPass;
using lk_test::url_enc;

// ann logged in (bob may log in too); work names the work area.
struct BookEnv : lk_test::Session {
    explicit BookEnv(const std::string& extra = "", const std::string& work = "@WORK@")
        : Session("user ann " + kPass + "\nuser bob " + kPass + "\n", extra, "user ann " + kPass + "\n", 60) {
        std::filesystem::create_directories(h.expand(work));
        ini.replace(ini.find("@WORK@"), 6, work);
        h.set_ini(ini);
        login();
    }
    CgiResult save(const std::string& name, const std::string& text, const std::string& extra = "") {
        return post("cmd=pick_set&page=pick&abook_edit=" + url_enc(name) + "&abook=" + url_enc(text) + extra);
    }
    std::string book(const std::string& name) { return file(name + ".abk"); }
};

TEST(AbookProcess, SavedBookHasTheExactFormatAndFeedsPickListsAndSending) {
    BookEnv e;
    ASSERT_FALSE(e.tok.empty());
    auto r = e.save("friends", "zed@example.test\r\n\r\nteam = a@example.test, b@example.test\nSolo=c@example.test\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(e.book("friends"), "Solo=c@example.test\nteam = a@example.test, b@example.test\nzed@example.test\n");
    // A group stays a name (expanded when sent); a single entry offers its address.
    lk_test::expect_all(r.body(), {"<option value=\"team\">team", "<option value=\"c@example.test\">Solo",
                                   "<option value=\"zed@example.test\">zed@example.test"});

    // The compose page offers the same list; sending to the names expands them.
    EXPECT_TRUE(has(e.get("cmd=new").body(), "<option value=\"team\">team"));
    r = e.send({{"tolist", "team"}, {"cc", "Solo, nobody"}, {"subject", "hi"}, {"message", "x"}});
    ASSERT_TRUE(r.out_has("Your message was sent.")) << r.out;
    lk_test::expect_all(e.smtp->log(), {"RCPT TO:<a@example.test>", "RCPT TO:<b@example.test>",
                                        "RCPT TO:<c@example.test>", "RCPT TO:<nobody@example.test>"});
}

TEST(AbookProcess, BadNamesAreRefusedAndNeverShareAFile) {
    BookEnv e;
    for (std::string name : {"a.b", "a b", "../x", "x\nfolder=evil"}) {
        std::string want = "Invalid address book name" + (has(name, "\n") ? "" : " " + name);
        EXPECT_TRUE(e.save(name, "one@example.test\n").out_has(want)) << name;
    }
    for (const char* f : {"a_b", "a.b", "a b", "main"}) EXPECT_FALSE(e.h.exists(e.dir + f + ".abk")) << f;
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
    EXPECT_FALSE(has(r.body(), ">r100@example.test<")) << "the oldest went";
    EXPECT_TRUE(has(r.body(), ">r130@example.test<"));
    // A sender differing only in case adds nothing; the page text is escaped.
    r = e.post("cmd=addfrom&h_from=" + url_enc("<script>x</script> R130@EXAMPLE.test"));
    EXPECT_TRUE(r.out_has("Added &lt;script&gt;x&lt;/script&gt; R130@EXAMPLE.test to your pick list")) << r.body();
    EXPECT_FALSE(r.out_has("<script>x"));
    EXPECT_FALSE(has(r.body(), ">R130@EXAMPLE.test<"));

    // Collection into a book: a received line break or "name=" forges nothing.
    e.save("col", "first@example.test\n", "&autoadda=on&add_book=col");
    e.post("cmd=addfroma&h_from=" + url_enc("boss=evil@example.test\nceo@example.test"));
    e.post("cmd=addfroma&h_from=" + url_enc("\"Dee = Boss\" <dee@example.test>"));
    EXPECT_EQ(e.book("col"), "first@example.test\ndee@example.test\n");

    // With pick_abook_max 3 only three book entries are offered.
    e.save("five", "a1@x.test\na2@x.test\na3@x.test\na4@x.test\na5@x.test\n");
    r = e.post("cmd=pick_edit");
    EXPECT_TRUE(has(r.body(), ">a3@x.test<")) << r.body();
    EXPECT_FALSE(has(r.body(), ">a4@x.test<"));
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
            EXPECT_TRUE(has(r.body(), "<option value=\"\">--public--</option>\n<option value=\"walkers\">walkers"))
                << r.body();
        }
    }
    auto r = e.send({{"tolist", "walkers"}, {"subject", "hi"}, {"message", "x"}});
    ASSERT_TRUE(r.out_has("Your message was sent.")) << r.out;
    lk_test::expect_all(e.smtp->log(), {"RCPT TO:<w1@example.test>", "RCPT TO:<w2@example.test>"});
}

}  // namespace
