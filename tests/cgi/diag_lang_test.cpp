// The log, the user-facing error channel, the error page, and language
// files.

#include "test_env.h"

namespace {

using DiagTest = CgiTest;

TEST_F(DiagTest, LogLinesAndEarlyBuffer) {
    imsg("early %d", 1);               // before the configuration: kept
    EXPECT_EQ(log_text(), "");
    diag_end_pre_ini();
    imsg("debug only");                // not in debug mode: dropped
    lmsg("always");
    std::string log = log_text();
    EXPECT_NE(log.find("early 1\n"), std::string::npos);
    EXPECT_LT(log.find("early 1"), log.find("always"));
    EXPECT_EQ(log.find("debug only"), std::string::npos);
    // "Mon dd hh:mm:ss pid: text", one line each.
    std::size_t at = log.find("always");
    std::size_t start = log.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    char month[4] = {0};
    int day = 0, hh = -1, mm = -1, ss = -1, pid = 0, used = 0;
    ASSERT_EQ(std::sscanf(log.c_str() + start, "%3s %d %d:%d:%d %d: %n", month, &day, &hh, &mm, &ss, &pid, &used), 6)
        << log;
    EXPECT_EQ(log.compare(start + static_cast<std::size_t>(used), 7, "always\n"), 0) << log;
    EXPECT_EQ(pid, static_cast<int>(getpid()));
    EXPECT_TRUE(day >= 1 && day <= 31 && hh >= 0 && hh < 24 && mm >= 0 && mm < 60);
    diag_set_debug(true);
    imsg("now shown");
    EXPECT_NE(log_text().find("now shown"), std::string::npos);
}

TEST_F(DiagTest, EmsgShowsAndLogsHtmlAndWml) {
    diag_end_pre_ini();
    std::string out = lk_test::capture([] { emsg("bad %s", "thing"); });
    EXPECT_NE(out.find("Content-type: text/html"), std::string::npos);
    EXPECT_NE(out.find("<br> Error: bad thing <br>"), std::string::npos);
    EXPECT_NE(log_text().find("bad thing"), std::string::npos);

    reset_all();
    g.gwml = 1;
    out = lk_test::capture([] { emsg("wml %s", "err"); });
    EXPECT_NE(out.find("<?xml version=\"1.0\"?>\n<!DOCTYPE wml PUBLIC"), std::string::npos);
    EXPECT_NE(out.find("<wml><p>Error: wml err </p></wml>"), std::string::npos);
}

TEST_F(DiagTest, UnwritableLogGoesToStderr) {
    g.log_file = dir + "/no/such/dir/x.log";
    diag_end_pre_ini();
    testing::internal::CaptureStderr();
    EXPECT_EQ(lmsg("lost"), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Can't open log file"), std::string::npos);
}

TEST_F(DiagTest, FErrorCollectsWithBreaks) {
    f_error("first %d", 1);
    f_error("second");
    EXPECT_EQ(f_error_text(), "first 1<br>second<br>");
    f_error("%s", std::string(600, 'x').c_str());
    EXPECT_EQ(f_error_text().size(), 511u);
    f_error_set();
    EXPECT_EQ(var_find("error"), f_error_text());
    f_error_clear();
    EXPECT_EQ(f_error_text(), "");
}

TEST_F(DiagTest, ErrorDoReplacesTheCommandOnce) {
    setenv("QUERY_STRING", "cmd=item&error_do=list", 1);
    query_get();
    EXPECT_EQ(f_error_do(), 0);      // nothing pending
    f_error("failed");
    EXPECT_EQ(f_error_do(), 1);
    EXPECT_EQ(query_find("cmd"), "list");
    EXPECT_EQ(f_error_text(), "");
    f_error("failed again");
    std::string out = lk_test::capture([] { EXPECT_EQ(f_error_do(), 0); });   // the second time the page is shown
    EXPECT_NE(out.find("failed again"), std::string::npos);
    EXPECT_EQ(var_find("error"), "failed again<br>");
}

TEST_F(DiagTest, PlainErrorPageEncodesMessages) {
    g.gbr = "<br>";
    f_error("bad name <script>alert(1)</script>");
    f_error("second & last");
    std::string out = lk_test::capture(error_page_plain);
    EXPECT_EQ(out.find("<script>"), std::string::npos);
    EXPECT_NE(out.find("bad name &lt;script&gt;alert(1)&lt;/script&gt;<br>\nsecond &amp; last"), std::string::npos);
    reset_all();
    g.gwml = 1;
    g.gbr = "<br/>";
    f_error("w <1>");
    out = lk_test::capture(error_page_plain);
    EXPECT_NE(out.find("<wml><card id=\"error\" title=\"Error\"><p>w &lt;1&gt;</p></card></wml>"), std::string::npos);
}

TEST_F(DiagTest, ErrorPagesLeadWithOneSentenceAndKeepEveryMessage) {
    struct Case {
        std::vector<std::string> msgs;
        int lead;                  // index given to f_error_lead, -1 for none
        std::string error_lead, error_details;
    };
    const Case cases[] = {
        {{"No message was chosen"}, -1, "No message was chosen", ""},
        {{"E12: Message must have been deleted"}, -1, "Message must have been deleted",
         "E12: Message must have been deleted"},
        {{"W10: Cannot login to host (h:1) \n", "W11: User or Password incorrect for a (-ERR no)\n",
          "W14: Login failed, try again\n", "W20: User login error"},
         2, "Login failed, try again",
         "W10: Cannot login to host (h:1) \n<br>W11: User or Password incorrect for a (-ERR no)\n<br>"
         "W14: Login failed, try again\n<br>W20: User login error"},
        {{"first", "second"}, -1, "first", "first<br>second"},
        {{"Error 2 reading index"}, -1, "Error 2 reading index", ""},   // a word, not a code
    };
    for (const Case& c : cases) {
        reset_all();
        g.gbr = "<br>";
        for (std::size_t i = 0; i < c.msgs.size(); ++i) {
            if (static_cast<int>(i) == c.lead) f_error_lead("%s", c.msgs[i].c_str());
            else f_error("%s", c.msgs[i].c_str());
        }
        f_error_set();
        EXPECT_EQ(var_find("error_lead"), c.error_lead) << c.msgs[0];
        EXPECT_EQ(var_find("error_details"), c.error_details) << c.msgs[0];
    }
}

TEST_F(DiagTest, QueryLogAndTopics) {
    diag_end_pre_ini();
    diag_set_debug(true);
    setenv("QUERY_STRING", "cmd=list&empty=&fld=3&x=a%0D%0AJan  1 00:00:00 1: forged%1B", 1);
    query_get();
    query_log();
    std::string log = log_text();
    EXPECT_NE(log.find("query_log: 0 cmd =  list"), std::string::npos);
    EXPECT_NE(log.find("query_log: 2 fld =  3"), std::string::npos);
    EXPECT_EQ(log.find("empty"), std::string::npos);
    // Request text cannot start a log line of its own.
    EXPECT_NE(log.find("x =  a\\r\\nJan  1 00:00:00 1: forged\\x1b\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("\nJan  1"), std::string::npos) << log;
    ini_set(K_log, "cookie form");
    EXPECT_TRUE(log_has("form"));
    EXPECT_FALSE(log_has("send"));
}

class LangTest : public CgiTest {
protected:
    std::string write_lang(const std::string& text) {
        std::string p = dir + "/lang.txt";
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }
};

TEST_F(LangTest, PairsEscapesCommentsAndEnd) {
    std::string p = write_lang("# header comment\n"
                               "E21: Unable\\n\nE21: Impossible\\n\r\n"
                               "Hello\nBonjour\n"
                               "Hello\nSalut\n"              // the first match wins
                               "Empty\n\n"                   // empty translation: the text itself
                               "Move\n# comment where a translation belongs\n"
                               "back\\slash\nkept\\x\n"
                               "\n"                          // ends the table
                               "After\nApres\n");
    EXPECT_EQ(lang_read(p), 1);
    EXPECT_STREQ(lang_get("E21: Unable\n"), "E21: Impossible\n");
    EXPECT_STREQ(lang_get("Hello"), "Bonjour");
    EXPECT_STREQ(lang_get("Empty"), "Empty");
    EXPECT_STREQ(lang_get("Move"), "# comment where a translation belongs");   // the empty line did not end it
    EXPECT_STREQ(lang_get("back\\slash"), "kept\\x");
    EXPECT_STREQ(lang_get("After"), "After");
    EXPECT_STREQ(lang_get(""), "");
    EXPECT_STREQ(nlang_get("Hello"), "Hello");
    EXPECT_EQ(lang_read(p), 1);       // the same file again costs nothing
    lang_english();
    EXPECT_STREQ(lang_get("Hello"), "Hello");
}

TEST_F(LangTest, MissingFileLeavesEnglish) {
    diag_end_pre_ini();
    std::string out = lk_test::capture([&] { EXPECT_EQ(lang_read(dir + "/none.txt"), 0); });
    EXPECT_NE(out.find("Could not open language file"), std::string::npos);
    EXPECT_STREQ(lang_get("Hello"), "Hello");
    EXPECT_EQ(lang_read(""), 0);
}

TEST_F(LangTest, SlashnAndOnePair) {
    // Not English and nothing loaded: the text comes back, and it is reported.
    diag_end_pre_ini();
    std::string p = write_lang("A\nB\n");
    lang_read(p);
    EXPECT_STREQ(lang_get("A"), "B");
    EXPECT_EQ(slashn("a\\nb\\rc\\t"), "a\nb\rc\\t");
    EXPECT_EQ(slashn(std::string(600, 'z')).size(), 511u);
}

}  // namespace
