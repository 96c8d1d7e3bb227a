// The list page's helpers and row loop: display names, shortened subjects,
// priorities, the folder choice, and which rows a page gets (page size,
// the phone limit, match rules).
#include <gtest/gtest.h>

#include <fstream>

#include "test_env.h"
#include "store/index.h"
#include "view/list.h"

namespace {

TEST(ListHelpers, FromTrimFindsTheDisplayName) {
    struct Case { const char* in; const char* out; };
    const Case cases[] = {
        {"\"John Smith\" <john@example.test>", "John Smith"},
        {"<john@example.test>", "john@example.test"},
        {"john@example.test (John Smith)", "John Smith"},
        {"john@example.test (John", "john@example.test (John"},   // "(" without ")": whole text
        {"\"John <john@x>", "\"John <john@x>"},                     // unterminated quote: whole text
        {"\"\" <a@b>", "a@b"},                                       // empty quotes dropped
        {"  plain@example.test   more", "plain@example.test"},
        {"Ann Other <ann@x>", "Ann Other "},
        {"<broken@x", "<broken@x"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(h_from_trim(c.in), c.out) << c.in;
    EXPECT_EQ(h_from_trim(std::string(2000, 'a')).size(), 511u);
}

TEST(ListHelpers, TrimShortensWithoutBreakingCharactersOrEntities) {
    std::string s45(45, 'x'), s40(40, 'y');
    struct Case { std::string in; int w; std::string out; };
    const Case cases[] = {
        {s45, 40, std::string(40, 'x') + "..."},
        {s40, 40, s40},
        {"a&amp;b", 2, "a&amp;..."},                 // the entity is one position
        {"ab&amp;", 2, "ab..."},
        {"caf\xc3\xa9s", 4, "caf\xc3\xa9..."},       // a UTF-8 character is never split
        {"\xc3\xa9\xc3\xa9", 2, "\xc3\xa9\xc3\xa9"},  // four bytes, two characters: whole
        {"a\x0e" "bcd", 2, "a\x0e" "bcd\x0f"},       // an open shift-out is closed
        {"a\x0e" "bcd", 1, "a..."},
        {"a\x1b$Babc", 3, "a\x1b$Bab\x1b(B"},        // odd two-byte run cut back and closed
        {"", 5, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(h_trim(c.in, c.w), c.out) << c.in << " " << c.w;
    EXPECT_LE(h_trim(std::string(5000, 'z'), 600).size(), 512u);
}

TEST(ListHelpers, PriorityWords) {
    struct Case { const char* in; const char* out; };
    const Case cases[] = {
        {"1 (Highest)", "High"}, {"2", "High"}, {"3 (Normal)", "Normal"}, {"4", "Low"}, {"5 (Lowest)", "Low"},
        {"URGENT", "High"},      {"normal", "Normal"}, {"", "Normal"},
    };
    for (const Case& c : cases) EXPECT_STREQ(show_priority(c.in), c.out) << c.in;
}

class ListPage : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        index_reset();
        list_reset();
        prof.xfld_name[0] = "Inbox";
        prof.xfld_name[1] = "Trash <Can>";
        prof.xfld_name[5] = "Work";
    }
    void fill(int n) {
        Index& idx = mainidx();
        idx_free(idx);
        for (int i = 0; i < n; ++i) {
            Record r;
            r[H_ID] = std::to_string(i + 1);
            r[H_SUBJECT] = "subject " + std::to_string(i + 1);
            r[H_FROM] = i % 2 ? "\"Odd One\" <odd@x>" : "even@x";
            r[H_BYTES] = "2048";
            r[H_FLAGS] = i % 3 ? "read," : "";
            idx_add(idx, r);
        }
    }
    int rows(const std::string& out) {
        int k = 0;
        for (std::size_t p = 0; (p = out.find("<row", p)) != std::string::npos; ++p) ++k;
        return k;
    }
};

TEST_F(ListPage, FolderChoiceMarksTheChosenFolderOnlyInHtml) {
    std::string html = fld_options(5, false);
    EXPECT_EQ(html, "<option value=\"0\">Inbox</option>\n<option value=\"1\">Trash &lt;Can&gt;</option>\n"
                    "<option value=\"5\" selected>Work");
    std::string wml = fld_options(5, true);
    EXPECT_EQ(wml.find("selected"), std::string::npos);
    EXPECT_NE(wml.find("<option value=\"5\">Work"), std::string::npos);
}

TEST_F(ListPage, RowsFollowPageSizeAndPhoneLimit) {
    fill(25);
    const std::string block = "<row %%item%% %%list_i%% %%list_m%% %%h_from_trim%% %%h_kbytes%% %%h_isread%%>";
    // Without use_page_size every record gets a row, newest position first.
    std::string all = capture([&] { tpl_show_list(block); });
    EXPECT_EQ(rows(all), 25);
    EXPECT_EQ(all.substr(0, all.find('\n')), "<row 25 1 1 even@x 2 0>");
    // With it, the page starts at upto and holds the page size.
    ini_set(K_use_page_size, "true");
    list_state().list_ps = 10;
    form_put("upto", "14");
    std::string page = capture([&] { tpl_show_list(block); });
    EXPECT_EQ(rows(page), 10);
    EXPECT_EQ(page.substr(0, page.find('\n')), "<row 15 1 11 even@x 2 1>");
    // The phone limit: no room at all gives no rows; some room gives some.
    ini_set(K_limit_list, "true");
    prof.xbody_limit = 0;
    EXPECT_EQ(rows(capture([&] { tpl_show_list(block); })), 0);
    prof.xbody_limit = static_cast<int>(gsent()) + 150;
    int some = rows(capture([&] { tpl_show_list(block); }));
    EXPECT_GT(some, 0);
    EXPECT_LT(some, 10);
}

TEST_F(ListPage, MatchRulesAndSubjectFallback) {
    std::string ini = (dir / "m").string();   // the program path: its settings are m.ini
    std::ofstream(ini + ".ini") << "match from \"odd@\" is_odd yes please\n"
                          "match subject \"!subject 2\" not_two 1\n";
    std::string vhost;
    g.rootname = "m";
    ASSERT_EQ(ini_read(ini, vhost), 1);
    fill(2);
    mainidx().recs[1][H_SUBJECT] = " \t ";
    std::string out = capture([&] { tpl_show_list("<row %%is_odd%%|%%not_two%%|%%h_subject%%>"); });
    EXPECT_EQ(out, "<row yes please|1|(no subject)>\n<row |1|subject 1>\n");
}

}  // namespace
