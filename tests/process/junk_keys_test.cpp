// The junk-mail introduction page and the key pages through the real
// program, against a scripted POP3 server.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "process/cgi_harness.h"

namespace {

using lk_test::CgiResult;
using lk_test::expect_all;
using lk_test::has;
using lk_test::url_enc;

// Logged in, with one message from Alice on the server.
struct Env : lk_test::Session {
    explicit Env(const std::string& message_body = "hello")
        : Session("user ann " + lk_test::kPass + "\n" +
                      lk_test::pop_message("From: Alice <alice@example.test>\nSubject: my key\n"
                                           "Message-ID: <k1@example.test>",
                                           message_body),
                  "smtphost smtp.example.test\nfetch_min 0\n") {
        login();
    }
};

}  // namespace

TEST(JunkProcess, DefaultsOnceThenTheUsersOwnListsSavedInOrder) {
    Env e;
    e.h.write_file("work/jdefault.dat",
                   "smtp_address elsewhere.test\r\ncheck_mins 20\r\nfriend postmaster@example.test\r\n"
                   "offer Please <introduce> yourself\r\n");
    CgiResult page = e.get("cmd=jconf");
    ASSERT_EQ(page.status, 0) << page.out << page.log;
    // List texts are escaped for the page.
    expect_all(page.out, {"postmaster@example.test", "Please &lt;introduce&gt; yourself"});
    std::string made = e.file("juser.dat");
    expect_all(made, {"smtp_address smtp.example.test\r\n", "check_mins 20\r\n"});

    // The agent's own lines survive our save.
    e.h.write_file(e.dir + "juser.dat", made + "agent_note keep me\r\n");
    CgiResult saved = e.post("savejconf=1&j_check_mins=45&j_report_days=2&j_hold_days=9&refresh=0&j_friends=" +
                             url_enc("zed@example.test\r\n<script>@evil.test\r\namy@example.test\r\n") +
                             "&j_hostile=&j_wild_friends=&j_wild_hostile=&j_offer=" + url_enc("Hi\nthere"));
    ASSERT_EQ(saved.status, 0) << saved.out << saved.log;
    EXPECT_TRUE(saved.out_has("Kestrel settings saved"));
    std::string file = e.file("juser.dat");
    expect_all(file, {"friend zed@example.test\r\nfriend <script>@evil.test\r\nfriend amy@example.test\r\n",
                      "offer Hi\r\noffer there\r\n", "check_mins 45\r\nlast_report", "agent_note keep me\r\n"});
    EXPECT_FALSE(has(file, "postmaster@example.test")) << "the list was replaced";

    CgiResult again = e.get("cmd=jconf");
    EXPECT_TRUE(again.out_has("&lt;script&gt;@evil.test"));
    EXPECT_FALSE(again.out_has("<script>@evil.test"));
    EXPECT_EQ(e.file("juser.dat"), file) << "showing the page does not rewrite a file it could read";

    ASSERT_EQ(e.post("dfltjconf=1").status, 0);
    expect_all(e.file("juser.dat"), {"friend postmaster@example.test\r\n", "agent_note keep me\r\n"});
}

TEST(JunkProcess, AFileThatCannotBeReadIsNeverReplaced) {
    Env e;
    e.h.write_file("work/jdefault.dat", "friend postmaster@example.test\r\n");
    // Something that is not a readable settings file stands where juser.dat goes.
    std::string blocked = e.h.path(e.dir + "juser.dat");
    ASSERT_EQ(mkdir(blocked.c_str(), 0700), 0);
    e.h.write_file(e.dir + "juser.dat/keep", "x");
    CgiResult page = e.get("cmd=jconf");
    EXPECT_FALSE(page.out_has("postmaster@example.test")) << page.out;
    CgiResult saved = e.post("savejconf=1&j_friends=a%40b.test");
    EXPECT_TRUE(saved.out_has("Error saving Kestrel settings")) << saved.out;
    EXPECT_TRUE(e.h.exists(e.dir + "juser.dat/keep"));
}

// Adding, listing and deleting are proven in the browser; here the row
// buttons' rules and the send that must not go out in clear.
TEST(KeysProcess, RowButtonsAndTheRecipientKey) {
    Env e("Here is my key.\n" + lk_test::slurp(std::string(LK_SOURCE_DIR) + "/tests/data/pgp/alice.asc"));
    ASSERT_EQ(e.get("cmd=list&fld=0").status, 0);
    CgiResult added = e.post("keyadd=1&fld=0&item=0");
    ASSERT_TRUE(added.out_has("name=\"cmd_keyuid_0\" value=\"7D0CB7802BAD7664\"")) << added.out << added.log;

    CgiResult sent = e.post("cmd=send&to=alice%40example.test&subject=s&message=secret&pgpto=7D0CB7802BAD7664");
    EXPECT_NE(sent.status, 0);
    EXPECT_TRUE(sent.out_has("Unable to encrypt message no PGP engine is configured")) << sent.out;

    // A form with both row buttons is a signature choice.
    CgiResult sig = e.post("cmd_keyuid_0=7D0CB7802BAD7664&cmd_keysig_0=Use+in+Sig&cmd_keydel_0=Delete");
    ASSERT_EQ(sig.status, 0) << sig.out;
    EXPECT_TRUE(has(e.file("pgp.sig"), "BEGIN PGP PUBLIC KEY BLOCK"));
    EXPECT_TRUE(has(e.file("user.dat"), "dflt_key 7D0CB7802BAD7664"));

    CgiResult del = e.post("cmd_keyuid_0=7D0CB7802BAD7664&cmd_keydel_0=Delete");
    EXPECT_TRUE(del.out_has("Your key ring is empty")) << del.out;
    EXPECT_FALSE(e.h.exists(e.dir + "pgp.sig")) << "the signature's key went with it";
    EXPECT_FALSE(has(e.file("user.dat"), "dflt_key 7D0"));
}

TEST(KeysProcess, WhatNeedsAnEngineSaysSo) {
    Env e("-----BEGIN PGP MESSAGE-----\n\nhQEMA\n-----END PGP MESSAGE-----\n");
    ASSERT_EQ(e.get("cmd=list&fld=0").status, 0);
    const std::pair<const char*, const char*> cases[] = {
        {"r_keymake=1&key_name=Ann&key_email=ann%40example.test&key_pass=x", "PGP key creation failed"},
        {"r_keyread=1&fld=0&item=0&sec=1", "Password Phrase must be specified"},
        {"r_keyread=1&fld=0&item=0&sec=1&keypass=pw", "Unable to decode message"},
        {"r_keysave=1&fld=0&item=0&sec=2&keypass=pw", "There is no encrypted section 2"},
        {"keyadd=1&fld=0&item=0", "PGP addkeys failed"},
    };
    for (const auto& [body, expected] : cases) expect_all(e.post(body).out, {expected}, body);
    EXPECT_FALSE(e.h.exists(e.dir + "tmp.in")) << "the section copy is removed";
    EXPECT_TRUE(e.get("cmd=item_pgp&fld=0&item=0&sec=1").out_has("name=\"keypass\""));
}
