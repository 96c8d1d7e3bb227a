// Filter rules, the settings page and the password change through the real
// program, against scripted POP3 and poppassd servers.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "process/cgi_harness.h"

namespace {

using lk_test::CgiResult;
using lk_test::has;
using lk_test::url_enc;

struct Msg {
    const char* from;
    const char* subject;
    const char* body;
};

// Logged in to a mailbox of msgs (Message-IDs <m1@example.test> on).
struct OrgEnv : lk_test::Session {
    OrgEnv(const std::vector<Msg>& msgs, const std::string& extra_ini, const std::string& default_dat = "")
        : Session(mailbox(msgs), extra_ini) {
        if (!default_dat.empty()) h.write_file("work/default.dat", default_dat);
        login();
    }
    static std::string mailbox(const std::vector<Msg>& msgs) {
        std::string s = "user ann " + lk_test::kPass + "\n";
        int i = 0;
        for (const Msg& m : msgs)
            s += lk_test::pop_message(std::string("From: ") + m.from + "\nSubject: " + m.subject + "\nMessage-ID: <m" +
                                          std::to_string(++i) + "@example.test>",
                                      m.body);
        return s;
    }
    // The profile lines that begin with key and a space.
    std::vector<std::string> lines(const std::string& key) {
        std::vector<std::string> out;
        std::istringstream in(file("user.dat"));
        for (std::string l; std::getline(in, l);)
            if (l.rfind(key + " ", 0) == 0) out.push_back(l);
        return out;
    }
    // Message-ID -> number of records of a folder holding it.
    std::map<std::string, int> records(int fld) {
        std::map<std::string, int> out;
        for (const auto& f : lk_test::index_records(index(fld)))
            if (f.size() > 3) ++out[f[3]];
        return out;
    }
};

TEST(RulesProcess, FetchAppliesRulesOnceAndKeepsWhatWasNotForwarded) {
    const std::string dflt =
        "folder 0 New Mail\nfolder 1 Trash Can\nfolder 2 Copies to self\nfolder 3 Bills\n"
        "rule 0 Subject\tinvoice\tMove\tBills\t\t0\t\n"
        "rule 1 From\tspam@\tDelete\t\t\t0\t\n"
        "rule 2 Body\tKITTEN\tCopy\tBills\t\t0\t\n"
        "rule 3 Subject\tfwdme\tForward\t\tbob@example.test\t0\t\n"
        "rule 4 Subject\tfwdme\tDelete\t\t\t0\t\n"
        "rule 5 Subject\tloopme\tForward\t\tANN@127.0.0.1\t0\t\n"
        "rule 6 (No Rule)\tplain\tDelete\t\t\t0\t\n"
        "rule 7 Subject\tMissing\tMove\tNowhere\t\t1\t\n";
    OrgEnv e({{"a@example.test", "Your INVOICE <b>42</b>", "pay"},
              {"spam@junk.test", "buy", "now"},
              {"c@example.test", "pets", "a kitten here"},
              {"d@example.test", "fwdme", "x"},
              {"e@example.test", "plain", "x"},
              {"f@example.test", "loopme", "x"},
              {"g@example.test", "missing", "case differs"}},
             "pop_delete_default false\nlog rules\n", dflt);
    CgiResult list = e.get("cmd=list&fld=0");
    ASSERT_EQ(list.status, 0) << list.out << list.log;

    auto inbox = e.records(0), bills = e.records(3), trash = e.records(1);
    EXPECT_EQ(bills.count("<m1@example.test>"), 1u) << "moved";
    EXPECT_EQ(inbox.count("<m1@example.test>"), 0u);
    EXPECT_EQ(trash.count("<m2@example.test>"), 1u) << "deleted into the trash";
    EXPECT_EQ(inbox.count("<m2@example.test>"), 0u);
    EXPECT_EQ(bills.count("<m3@example.test>"), 1u) << "copied on a body match, case ignored";
    EXPECT_EQ(inbox.count("<m3@example.test>"), 1u);
    EXPECT_EQ(inbox.count("<m4@example.test>"), 1u) << "a forward that failed keeps the message";
    EXPECT_EQ(inbox.count("<m5@example.test>"), 1u) << "(No Rule) never fires";
    EXPECT_EQ(inbox.count("<m6@example.test>"), 1u);
    EXPECT_EQ(inbox.count("<m7@example.test>"), 1u) << "case-respecting rule";
    // Moved and deleted mail goes from the server too; nothing else does.
    std::string wire = e.pop.log();
    EXPECT_EQ(lk_test::count_of(wire, "dele "), 2) << wire;

    EXPECT_TRUE(list.log_has("Forward failed; the message is kept")) << list.log;   // no SMTP server here
    EXPECT_TRUE(list.log_has("your own address")) << list.log;
    // The rule log reaches the page escaped.
    EXPECT_TRUE(has(list.body(), "INVOICE &lt;b&gt;42&lt;/b&gt;")) << list.body();
    EXPECT_FALSE(has(list.body(), "<b>42"));

    // Logging out empties the cache of mail kept on the server; the next
    // login fetches it again as new, but the rules do not act twice.
    e.get("cmd=logout");
    e.login();
    CgiResult again = e.get("cmd=list&fld=0");
    ASSERT_EQ(again.status, 0) << again.log;
    EXPECT_EQ(e.records(3)["<m3@example.test>"], 1) << "copied once only";
    EXPECT_EQ(e.records(0).count("<m4@example.test>"), 1u);
    EXPECT_TRUE(again.log_has("handled before")) << again.log;
}

std::string account_fields(int i) {
    std::string n = std::to_string(i);
    return "&pop_name" + n + "=host" + n + ".example.test&pop_port" + n + "=11" + n + "&pop_user" + n + "=user" + n +
           "&pop_pass" + n + "=pw" + n + "&pop_reply" + n + "=r" + n + "%40example.test" +
           (i % 2 ? "&pop_del" + n + "=on" : "");
}

std::string rule_fields(int i, const std::string& contains) {
    std::string n = std::to_string(i);
    return "&r_header" + n + "=Subject&r_contains" + n + "=" + url_enc(contains) + "&r_action" + n +
           "=Copy&r_dstfld" + n + "=Trash+Can&r_addr" + n + "=&r_iscase" + n + (i % 3 ? "=on" : "=");
}

TEST(SettingsProcess, HundredRulesSixAccountsRoundTripAndNoFieldAddsALine) {
    OrgEnv e({}, "default_max_dkbytes 500\n");
    std::string form = "saveconfig=1&must_lock=1";
    form += "&real_name=" + url_enc("Ann\r\nsig injected") + "&dflt_reply=" + url_enc("ann@example.test\nfolder 9 Evil");
    form += "&sig=" + url_enc("line one\nline two") + "&nm_sound=" + url_enc(std::string(400, 's'));
    form += "&max_download_kbytes=900&refresh=0&pop_cur=6&sort_on=ARRIVAL";
    for (int i = 0; i < 6; ++i) form += account_fields(i);
    for (int i = 0; i < 100; ++i) form += rule_fields(i, "word " + std::to_string(i) + (i == 7 ? "\ttab\nnl" : ""));
    form += "&r_header500=Subject&r_contains500=far&r_action500=Delete";   // far past the rows in use
    CgiResult r = e.post(form);
    EXPECT_TRUE(r.out_has("Download size limited to 500 by ini setting")) << r.out;

    std::vector<std::string> rules = e.lines("rule");
    ASSERT_EQ(rules.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        std::string want = "rule " + std::to_string(i) + " Subject\tword " + std::to_string(i) + (i == 7 ? " tab nl" : "") +
                           "\tCopy\tTrash Can\t\t" + (i % 3 ? "1" : "0") + "\t";
        EXPECT_EQ(rules[static_cast<std::size_t>(i)], want);
    }
    std::vector<std::string> pops = e.lines("pophost");
    ASSERT_EQ(pops.size(), 6u);
    for (int i = 0; i < 6; ++i) {
        std::string n = std::to_string(i);
        std::regex want("pophost " + n + " host" + n + "\\.example\\.test\tuser" + n + "\t[0-9a-f]+\t" + (i % 2 ? "1" : "0") + "\tr" + n +
                        "@example\\.test\t11" + n);
        EXPECT_TRUE(std::regex_match(pops[static_cast<std::size_t>(i)], want)) << pops[static_cast<std::size_t>(i)];
    }
    EXPECT_EQ(e.lines("real_name"), std::vector<std::string>{"real_name Ann sig injected"});
    EXPECT_EQ(e.lines("dflt_reply"), std::vector<std::string>{"dflt_reply ann@example.test folder 9 Evil"});
    EXPECT_TRUE(e.lines("folder 9").empty());
    EXPECT_EQ(e.lines("nm_sound")[0].size(), std::string("nm_sound ").size() + 255);
    EXPECT_EQ(e.lines("pop_cur"), std::vector<std::string>{"pop_cur 0"}) << "there is no slot 6";

    // Loaded back: the page shows every value, and saving the page's own
    // values again leaves the profile's lines as they were.
    CgiResult page = e.get("cmd=config");
    ASSERT_EQ(page.status, 0) << page.out << page.log;
    lk_test::expect_all(page.out, {"value=\"word 99\"", "value=\"host5.example.test\"", "name=\"r_header103\""});
    lk_test::expect_none(page.out, {"name=\"r_header104\"", "pw3"});
    std::string again = "saveconfig=1";
    for (int i = 0; i < 6; ++i) {
        std::string n = std::to_string(i);
        again += "&pop_name" + n + "=host" + n + ".example.test&pop_pass" + n + "=***&pop_user" + n + "=user" + n +
                 (i % 2 ? "&pop_del" + n + "=on" : "");
    }
    e.post(again);
    EXPECT_EQ(e.lines("pophost"), pops) << "*** keeps the stored passwords";
    EXPECT_EQ(e.lines("rule"), rules);

    // The list page's view controls save through the same command.
    e.post("saveconfig=1&fld=0&sort_on=from%3A&page_size=25");
    EXPECT_EQ(e.lines("page_size"), std::vector<std::string>{"page_size 25"});
    EXPECT_EQ(e.lines("sort_on"), std::vector<std::string>{"sort_on from:"});
    EXPECT_EQ(e.lines("rule"), rules) << "a form without rule rows leaves the rules";
}

// The password change against a scripted poppassd.
TEST(PasswordProcess, OnlyANumericYesChangesTheStoredPassword) {
    struct {
        const char* name;
        const char* script_extra;   // poppassd rules
        const char *old_pass, *new1, *new2;
        bool changed;
        const char* page_has;
        bool connects;
    } cases[] = {
        {"accepted", "", "old-Pw1", "new-Pw2", "new-Pw2", true, "Password change succeeded", true},
        {"mismatch", "", "old-Pw1", "new-Pw2", "new-Pw3", false, "dont match", false},
        {"old refused", "", "wrong-Pw", "new-Pw2", "new-Pw2", false, "Incorrect Username/Password (500", true},
        {"not poppassd", "on newpass * -> reply OK changed\n", "old-Pw1", "new-Pw2", "new-Pw2", false,
         "Change password failed", true},
        {"line break", "", "old-Pw1", "new-Pw2\r\nquit", "new-Pw2\r\nquit", false, "printable", false},
        {"too long", "", "old-Pw1", "", "", false, "too long", false},
        {"accented", "", "old-Pw1", "caf\xc3\xa9-Pw", "caf\xc3\xa9-Pw", false, "printable", false},
        {"other host", "", "old-Pw1", "new-Pw2", "new-Pw2", false, "not one of your accounts", false},
    };
    OrgEnv e({}, "");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeServer pp("poppassd", std::string("user ann old-Pw1\n") + c.script_extra);
        ASSERT_TRUE(pp.ok()) << pp.error();
        e.h.set_ini(e.ini + "poppassd_port " + std::to_string(pp.port()) + "\n");
        // Every case starts from the login password.
        e.login();
        std::string stored = e.lines("pophost").at(0);
        std::string n1 = c.new1, n2 = c.new2;
        if (std::string(c.name) == "too long") n1 = n2 = std::string(100, 'p');
        e.h.clear_log();
        std::string host = std::string(c.name) == "other host" ? "127.0.0.2" : "127.0.0.1";
        CgiResult r = e.post("do_ch_pass=1&pop_name=" + host + "&pop_user=ann&old_pass=" + url_enc(c.old_pass) +
                             "&new_pass1=" + url_enc(n1) + "&new_pass2=" + url_enc(n2));
        EXPECT_TRUE(r.out_has(c.page_has)) << r.body();
        EXPECT_EQ(e.lines("pophost").at(0) != stored, c.changed);
        EXPECT_EQ(!pp.log().empty(), c.connects) << pp.log();
        for (const std::string& secret : {std::string(c.old_pass), n1}) {
            if (secret.empty()) continue;
            EXPECT_FALSE(has(r.out, secret)) << "page shows a password";
            EXPECT_FALSE(has(r.log, secret)) << "log shows a password";
        }
    }
    // The page for an account shows its host and user.
    CgiResult page = e.post("set_pass0=1");
    EXPECT_TRUE(page.out_has("name=\"pop_user\" value=\"ann\"")) << page.out;
    FakeServer gone("poppassd", "");
    int port = gone.port();
    gone.stop();
    e.h.set_ini(e.ini + "poppassd_port " + std::to_string(port) + "\n");
    CgiResult r = e.post("do_ch_pass=1&pop_name=127.0.0.1&pop_user=ann&old_pass=a&new_pass1=b&new_pass2=b");
    EXPECT_TRUE(r.out_has("Failed to Connected to &#39;invalid ip address&#39;")) << r.body();
}

}  // namespace
