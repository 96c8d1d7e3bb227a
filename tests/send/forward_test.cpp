// Forwarded and replied-to text against golden files, and the small
// parsers of the reply and forward paths.  tests/data/forward/<name>.eml is
// a stored message; <name>.<variant>.ref the exact text sent (a resend,
// with LF shown for CR LF) or quoted (a reply).  LK_UPDATE_GOLDEN=1
// rewrites the references (then read the diff).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "send/forward.h"
#include "send/reply.h"
#include "view/body.h"
#include "view/mime.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string dir() { return std::string(LK_SOURCE_DIR) + "/tests/data/forward/"; }

void golden(const std::string& ref, const std::string& got) {
    if (std::getenv("LK_UPDATE_GOLDEN")) {
        std::ofstream(ref, std::ios::binary) << got;
        return;
    }
    EXPECT_EQ(got, slurp(ref)) << ref;
}

std::string lf(std::string s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')) out += s[i];
    return out;
}

TEST(Forward, ResentTextGoldenFiles) {
    ini_reset();
    diag_reset();
    struct Case {
        const char* msg;
        const char* variant;
        const char* subject;
        const char* note;
        bool myfrom;
        const char* child;
    };
    const Case cases[] = {
        {"plain", "resend", "", "", false, nullptr},
        {"plain", "myfrom", "(Fwd: From message)", "", true, nullptr},
        {"plain", "child", "(From message)", "", false, "3"},
        {"encoded", "resend", "(Fwd: From message)", "", false, nullptr},
        {"multipart", "note", "Have a look", "Please see below.\nCafé at noon.", false, nullptr},
        {"flowed", "note", "", "A short note", false, nullptr},
    };
    for (const Case& c : cases) {
        ForwardText f;
        f.stored = slurp(dir() + c.msg + ".eml");
        ASSERT_FALSE(f.stored.empty()) << c.msg;
        f.subject = c.subject;
        f.from = "ann@example.test";
        f.resent_from = "ann@example.test";
        f.to_list = "bob@example.test";
        f.cc_list = c.myfrom ? "dan@example.test" : "";
        f.note = c.note;
        f.myfrom = c.myfrom;
        f.real_name = "Ann Émile";
        f.child_flags = c.child;
        f.child_user = "kid@example.test";
        f.date = "Wed, 3 Jan 2024 12:00:00 +0000";
        f.message_id = "<fixed.1@example.test>";
        std::string got = forward_build(f);
        // Every line ends in CR LF and none is a bare CR or LF.
        for (std::size_t i = 0; i < got.size(); ++i)
            if (got[i] == '\n') {
                ASSERT_TRUE(i > 0 && got[i - 1] == '\r') << c.msg << " at " << i;
            }
        golden(dir() + c.msg + "." + c.variant + ".ref", lf(got));
    }
}

TEST(Forward, ReplyQuoteGoldenFiles) {
    ini_reset();
    diag_reset();
    mime_reset();
    for (const char* name : {"flowed", "htmlonly", "multipart", "encoded"}) {
        BodyOptions o;
        o.quote = true;
        golden(dir() + name + ".quote.ref", render_body(slurp(dir() + name + ".eml"), o));
    }
}

TEST(Forward, ListsOfMessageNumbers) {
    std::string big;
    for (int i = 0; i < 1001; ++i) big += "1,";
    struct Case {
        std::string in;
        bool ok;
        std::vector<int> nums;
    } cases[] = {
        {"12,13,", true, {12, 13}},
        {" 7 , 8 9,", true, {7, 8, 9}},
        {"", true, {}},
        {"12,1x,", false, {}},
        {"-3,", false, {}},
        {"4;5,", false, {}},
        {std::string(500, ' ') + "123456789012,", false, {}},   // over 511 bytes: refused, never cut
        {big, false, {}},
    };
    for (const Case& c : cases) {
        std::vector<int> got;
        EXPECT_EQ(fwd_list_parse(c.in, got), c.ok) << c.in.substr(0, 40);
        if (c.ok) {
            EXPECT_EQ(got, c.nums) << c.in;
        }
    }
}

TEST(Reply, TidyListsAndThreading) {
    EXPECT_EQ(replyall_tidy("\"Ann, A\" <ANN@example.test>, bob@example.test (Bob), Bob <bob@EXAMPLE.test>, "
                            "carol@example.test",
                            "ann@example.test"),
              "bob@example.test,carol@example.test");
    EXPECT_EQ(addr_list_tidy("no address here"), "no address here");
    EXPECT_EQ(addr_list_tidy("Ann <ann@example.test>"), "ann@example.test");
    std::string many;
    for (int i = 0; i < 500; ++i) many += "someone" + std::to_string(i) + "@example.test, ";
    std::string t = replyall_tidy(many, "");
    EXPECT_LE(t.size(), 511u);
    EXPECT_EQ(t.back(), 't') << "whole addresses only";

    struct Case {
        const char* id;
        const char* refs;
        const char* irt;
        const char* out;
    } cases[] = {
        {"<a@x>", "", "<a@x>", "<a@x>"},
        {" <a@x> ", "<r@x> <m@x>", "<a@x>", "<r@x> <m@x> <a@x>"},
        {"<a@x>", "<r@x>\r\nBcc: evil@x <a@x>", "<a@x>", "<r@x> <a@x>"},
        {"<a@x> <b@x>", "", "", ""},
        {"a@x", "", "", ""},
        {"", "<r@x>", "", ""},
    };
    for (const Case& c : cases) {
        std::string irt, refs;
        reply_threading(c.id, c.refs, irt, refs);
        EXPECT_EQ(irt, c.irt) << c.id;
        EXPECT_EQ(refs, c.out) << c.id;
    }
    // A long thread keeps its root and newest ids within the bound.
    std::string chain;
    for (int i = 0; i < 100; ++i) chain += "<id" + std::to_string(i) + "@example.test> ";
    std::string irt, refs;
    reply_threading("<new@example.test>", chain, irt, refs);
    EXPECT_LE(refs.size(), 900u);
    EXPECT_EQ(refs.rfind("<id0@example.test> ", 0), 0u);
    EXPECT_NE(refs.find("<id99@example.test> <new@example.test>"), std::string::npos) << refs;

    EXPECT_EQ(one_line("a\r\nb\tc", 100), "a  b c");
    EXPECT_EQ(one_line("caf\xc3\xa9", 4), "caf") << "never half a character";
}

}  // namespace
