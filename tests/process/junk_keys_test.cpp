// The junk-mail introduction page and the key pages through the real
// program, against a scripted POP3 server.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "fake/fake_server.h"
#include "process/cgi_harness.h"

namespace {

using lk_test::CgiHarness;
using lk_test::CgiResult;
using lk_test::url_enc;

constexpr const char* kPass = "Fo7-secretPW";
constexpr const char* kUserDir = "work/u_an/ann@127_0_0_1/";

std::string key_block(const char* name) {
    return lk_test::slurp(std::string(LK_SOURCE_DIR) + "/tests/data/pgp/" + name);
}

struct Env {
    FakeServer pop;
    CgiHarness h;
    std::string tok, utokc;
    explicit Env(const std::string& message_body = "hello")
        : pop("pop3", std::string("user ann ") + kPass +
                          "\nmessage <<EOM\nFrom: Alice <alice@example.test>\nSubject: my key\n"
                          "Message-ID: <k1@example.test>\n\n" + message_body + "\nEOM\n",
              120),
          h("", true) {
        h.set_ini("templates @TPL@\nworkarea @WORK@\npophost 127.0.0.1\nport " + std::to_string(pop.port()) +
                  "\nsmtphost smtp.example.test\nfetch_min 0\n");
        auto r = h.post("cmd=login&user=ann&pass=" + url_enc(kPass) + "&tcode=1001");
        tok = lk_test::cookie_value(r, "utok");
        utokc = lk_test::cookie_value(r, "utokc");
    }
    std::map<std::string, std::string> env() const { return {{"HTTP_COOKIE", "utokc=" + utokc}}; }
    CgiResult get(const std::string& q) { return h.get(q + "&utoken=" + url_enc(tok), env()); }
    CgiResult post(const std::string& body) { return h.post(body + "&utoken=" + url_enc(tok), "", env()); }
    std::string juser() { return h.read_file(std::string(kUserDir) + "juser.dat"); }
};

}  // namespace

TEST(JunkProcess, DefaultsOnceThenTheUsersOwnListsSavedInOrder) {
    Env e;
    e.h.write_file("work/jdefault.dat",
                   "smtp_address elsewhere.test\r\ncheck_mins 20\r\nfriend postmaster@example.test\r\n"
                   "offer Please <introduce> yourself\r\n");
    CgiResult page = e.get("cmd=jconf");
    ASSERT_EQ(page.status, 0) << page.out << page.log;
    EXPECT_TRUE(page.out_has("postmaster@example.test"));
    EXPECT_TRUE(page.out_has("Please &lt;introduce&gt; yourself")) << "list texts are escaped for the page";
    std::string made = e.juser();
    EXPECT_NE(made.find("smtp_address smtp.example.test\r\n"), std::string::npos) << made;
    EXPECT_NE(made.find("check_mins 20\r\n"), std::string::npos);

    // The agent's own lines survive our save.
    e.h.write_file(std::string(kUserDir) + "juser.dat", made + "agent_note keep me\r\n");
    CgiResult saved = e.post("savejconf=1&j_check_mins=45&j_report_days=2&j_hold_days=9&refresh=0&j_friends=" +
                             url_enc("zed@example.test\r\n<script>@evil.test\r\namy@example.test\r\n") +
                             "&j_hostile=&j_wild_friends=&j_wild_hostile=&j_offer=" + url_enc("Hi\nthere"));
    ASSERT_EQ(saved.status, 0) << saved.out << saved.log;
    EXPECT_TRUE(saved.out_has("Kestrel settings saved"));
    std::string file = e.juser();
    EXPECT_NE(file.find("friend zed@example.test\r\nfriend <script>@evil.test\r\nfriend amy@example.test\r\n"),
              std::string::npos)
        << file;
    EXPECT_EQ(file.find("postmaster@example.test"), std::string::npos) << "the list was replaced";
    EXPECT_NE(file.find("offer Hi\r\noffer there\r\n"), std::string::npos);
    EXPECT_NE(file.find("check_mins 45\r\nlast_report"), std::string::npos);
    EXPECT_NE(file.find("agent_note keep me\r\n"), std::string::npos);

    CgiResult again = e.get("cmd=jconf");
    EXPECT_TRUE(again.out_has("&lt;script&gt;@evil.test"));
    EXPECT_FALSE(again.out_has("<script>@evil.test"));
    EXPECT_EQ(e.juser(), file) << "showing the page does not rewrite a file it could read";

    CgiResult reset = e.post("dfltjconf=1");
    ASSERT_EQ(reset.status, 0);
    EXPECT_NE(e.juser().find("friend postmaster@example.test\r\n"), std::string::npos);
    EXPECT_NE(e.juser().find("agent_note keep me\r\n"), std::string::npos);
}

TEST(JunkProcess, AFileThatCannotBeReadIsNeverReplaced) {
    Env e;
    e.h.write_file("work/jdefault.dat", "friend postmaster@example.test\r\n");
    // Something that is not a readable settings file stands where juser.dat goes.
    std::string blocked = e.h.path(std::string(kUserDir) + "juser.dat");
    ASSERT_EQ(mkdir(blocked.c_str(), 0700), 0);
    e.h.write_file(std::string(kUserDir) + "juser.dat/keep", "x");
    CgiResult page = e.get("cmd=jconf");
    EXPECT_FALSE(page.out_has("postmaster@example.test")) << page.out;
    CgiResult saved = e.post("savejconf=1&j_friends=a%40b.test");
    EXPECT_TRUE(saved.out_has("Error saving Kestrel settings")) << saved.out;
    EXPECT_TRUE(e.h.exists(std::string(kUserDir) + "juser.dat/keep"));
}

// Adding, listing and deleting are proven in the browser; here the row
// buttons' rules and the send that must not go out in clear.
TEST(KeysProcess, RowButtonsAndTheRecipientKey) {
    Env e("Here is my key.\n" + key_block("alice.asc"));
    ASSERT_EQ(e.get("cmd=list&fld=0").status, 0);
    CgiResult added = e.post("keyadd=1&fld=0&item=0");
    ASSERT_TRUE(added.out_has("name=\"cmd_keyuid_0\" value=\"7D0CB7802BAD7664\"")) << added.out << added.log;

    CgiResult sent = e.post("cmd=send&to=alice%40example.test&subject=s&message=secret&pgpto=7D0CB7802BAD7664");
    EXPECT_NE(sent.status, 0);
    EXPECT_TRUE(sent.out_has("no PGP engine is configured")) << sent.out;

    // A form with both row buttons is a signature choice.
    CgiResult sig = e.post("cmd_keyuid_0=7D0CB7802BAD7664&cmd_keysig_0=Use+in+Sig&cmd_keydel_0=Delete");
    ASSERT_EQ(sig.status, 0) << sig.out;
    EXPECT_NE(e.h.read_file(std::string(kUserDir) + "pgp.sig").find("BEGIN PGP PUBLIC KEY BLOCK"), std::string::npos);
    EXPECT_NE(e.h.read_file(std::string(kUserDir) + "user.dat").find("dflt_key 7D0CB7802BAD7664"), std::string::npos);

    CgiResult del = e.post("cmd_keyuid_0=7D0CB7802BAD7664&cmd_keydel_0=Delete");
    EXPECT_TRUE(del.out_has("Your key ring is empty")) << del.out;
    EXPECT_FALSE(e.h.exists(std::string(kUserDir) + "pgp.sig")) << "the signature's key went with it";
    EXPECT_EQ(e.h.read_file(std::string(kUserDir) + "user.dat").find("dflt_key 7D0"), std::string::npos);
}

TEST(KeysProcess, WhatNeedsAnEngineSaysSo) {
    Env e("-----BEGIN PGP MESSAGE-----\n\nhQEMA\n-----END PGP MESSAGE-----\n");
    ASSERT_EQ(e.get("cmd=list&fld=0").status, 0);
    struct Case {
        std::string body;
        const char* expected;
    } cases[] = {
        {"r_keymake=1&key_name=Ann&key_email=ann%40example.test&key_pass=x", "PGP key creation failed"},
        {"r_keyread=1&fld=0&item=0&sec=1", "Password Phrase must be specified"},
        {"r_keyread=1&fld=0&item=0&sec=1&keypass=pw", "Unable to decode message"},
        {"r_keysave=1&fld=0&item=0&sec=2&keypass=pw", "There is no encrypted section 2"},
        {"keyadd=1&fld=0&item=0", "PGP addkeys failed"},
    };
    for (const Case& c : cases) {
        CgiResult r = e.post(c.body);
        EXPECT_TRUE(r.out_has(c.expected)) << c.body << "\n" << r.out;
    }
    EXPECT_FALSE(e.h.exists(std::string(kUserDir) + "tmp.in")) << "the section copy is removed";
    EXPECT_TRUE(e.get("cmd=item_pgp&fld=0&item=0&sec=1").out_has("name=\"keypass\""));
}
