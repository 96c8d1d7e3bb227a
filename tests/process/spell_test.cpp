// The spell check: check, fix, add, back to the compose page; outside text
// escaped; the word-list editor keeps what it did not show; -spell.
#include <gtest/gtest.h>

#include "process/cgi_harness.h"

namespace {

using lk_test::CgiHarness;
using lk_test::CgiResult;
using lk_test::has;

const std::string kWords = "brown\ncaf\xc3\xa9\ndog\nfox\njumped\njumps\nlazy\nover\nquick\nthe\n";

struct SpellEnv : lk_test::Session {
    SpellEnv() : Session("user ann " + lk_test::kPass + "\n", "domain example.test\npop_timeout 2\n") {
        h.write_file("templates/words.dat", kWords);
        login();
    }
    // A posted form with the named button pressed.
    CgiResult press(const std::string& button, std::vector<std::pair<std::string, std::string>> fields = {}) {
        fields.emplace_back("utoken", tok);
        fields.emplace_back(button, "1");
        return h.post_multipart(fields, {}, "", env());
    }
    CgiResult check(const std::string& message, const std::string& to = "Bob <bob@example.test>") {
        return press("spell_check", {{"cmd", "send"}, {"to", to}, {"subject", "Hi <b>"}, {"message", message}});
    }
};

int links(const CgiResult& r) {
    int n = 0;
    for (std::size_t p = 0; (p = r.out.find("cmd=spell_fix", p)) != std::string::npos; ++p) ++n;
    return n;
}

TEST(SpellProcess, CheckFixAddAndBackToTheComposePage) {
    SpellEnv e;
    ASSERT_FALSE(e.tok.empty());
    auto r = e.check("Teh quick brown fox jumpd over the lazy dog (2019), caf\xc3\xa9 na\xc3\xafve <i>");
    ASSERT_TRUE(r.out_has("Words not found: 3")) << r.out << r.log;
    EXPECT_EQ(links(r), 3);
    lk_test::expect_all(r.out, {">Teh</a>", ">na\xc3\xafve</a>", "&lt;i&gt;"});
    EXPECT_FALSE(r.out_has("<i>"));

    // Suggestions for "jumpd" (word 1): the closest first.
    r = e.get("cmd=spell_fix&wordi=1");
    lk_test::expect_all(r.out, {"<option>jumped</option>", "<option value=\"jumps\">jumps"});

    // Replacing word 0 with a longer word moves the later offsets: word 1
    // is still found where it now stands.
    r = e.press("spell_set", {{"wordi", "0"}, {"spell_value", "thee"}});
    EXPECT_TRUE(r.out_has(">jumpd</a>")) << r.out;
    r = e.press("spell_alt", {{"wordi", "1"}, {"altword", "jumped"}});
    EXPECT_TRUE(r.out_has("Words not found: 3"));
    EXPECT_TRUE(e.file("spell.msg").find("Thee quick brown fox jumped over") == 0) << e.file("spell.msg");

    // A word added to the user's list stops being a link now and next time.
    r = e.press("spell_add", {{"spell_value", "Na\xc3\xafve"}});
    EXPECT_FALSE(r.out_has(">na\xc3\xafve</a>")) << r.out;
    EXPECT_EQ(e.file("words.usr"), "Na\xc3\xafve\n");

    r = e.press("spell_done");
    lk_test::expect_all(r.out, {"value=\"Bob &lt;bob@example.test&gt;\"", "value=\"Hi &lt;b&gt;\"",
                                ">Thee quick brown fox jumped over the lazy dog (2019), caf\xc3\xa9 na\xc3\xafve &lt;i&gt;"});
    EXPECT_FALSE(e.h.exists(e.dir + "spell.dat"));
    EXPECT_FALSE(e.h.exists(e.dir + "spell.msg"));

    r = e.check("the naive na\xc3\xafve dog");
    lk_test::expect_all(r.out, {"Words not found: 1", ">naive</a>"});
}

TEST(SpellProcess, BadWordNumbersAndTamperedStateChangeNothing) {
    SpellEnv e;
    e.check("Teh dog");
    const std::string before = e.file("spell.msg");
    for (const char* w : {"5", "-1", "99999", "abc"}) {
        auto r = e.press("spell_set", {{"wordi", w}, {"spell_value", "The"}});
        EXPECT_EQ(e.file("spell.msg"), before) << w;
        EXPECT_TRUE(r.out_has("Words not found: 1")) << w << r.out;
    }
    // A word line pointing elsewhere in the body is dropped, never used.
    e.h.write_file("work/u_an/ann@127_0_0_1/spell.dat", "to x\nword 0 4 Teh\n");
    auto r = e.press("spell_set", {{"wordi", "0"}, {"spell_value", "The"}});
    EXPECT_EQ(e.file("spell.msg"), before);
    EXPECT_TRUE(r.out_has("Words not found: 0")) << r.out;
}

TEST(SpellProcess, SavingTheEditorKeepsWordsItDidNotShow) {
    SpellEnv e;
    e.check("Teh dog");
    std::string list;
    for (int i = 0; i < 1500; ++i) list += "word" + std::to_string(i) + "\n";
    e.h.write_file("work/u_an/ann@127_0_0_1/words.usr", list);
    auto r = e.press("spell_edit");
    const std::string key = "name=\"spellshown\" value=\"";
    std::size_t at = r.out.find(key);
    ASSERT_NE(at, std::string::npos) << r.out;
    const int shown = std::atoi(r.out.c_str() + at + key.size());
    ASSERT_GT(shown, 0);
    ASSERT_LT(shown, 1500);
    // The user replaces what the box showed with two words.
    e.press("spell_save", {{"spelledit", "alpha, beta;<script>"}, {"spellshown", std::to_string(shown)}});
    const std::string saved = e.file("words.usr");
    EXPECT_EQ(saved.rfind("alpha\nbeta\n<script>\nword" + std::to_string(shown) + "\n", 0), 0u) << saved.substr(0, 80);
    EXPECT_TRUE(has(saved, "word1499\n"));
    EXPECT_FALSE(has(saved, "word0\n"));
    r = e.press("spell_edit");
    EXPECT_TRUE(r.out_has("alpha beta &lt;script&gt;")) << r.out;
}

TEST(SpellProcess, CommandLineAnswersEachWordUntilTheEnd) {
    CgiHarness h;
    h.write_file("words.dat", kWords);
    // A request in the environment is not served: the answers are all there is.
    auto r = h.run({{"QUERY_STRING", "cmd=test"}}, "the\nTeh\nCAF\xc3\x89\ncaf\xc3\xa9\r\n", {"-spell"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Enter word Right\nEnter word Wrong\nEnter word Wrong\nEnter word Right\nEnter word \n");
    std::remove(h.path("words.dat").c_str());
    r = h.run({}, "the\n", {"-spell"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "Could not read words.dat")) << r.err;
}

}  // namespace
