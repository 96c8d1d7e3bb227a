// The list page's helpers and row loop: display names, shortened subjects,
// priorities, the folder choice, and which rows a page gets (page size,
// the phone limit, match rules).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <functional>

#include "test_env.h"
#include "store/index.h"
#include "store/listpos.h"
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

// A folder's list page read through its line table is the page the whole
// index gives, and a table that no longer fits index.dat is passed over.
class ListStored : public ListPage {
protected:
    void SetUp() override {
        ListPage::SetUp();
        ini_set(K_workarea, (dir / "work").string());
        ini_set(K_use_page_size, "true");
        prof.xuser = "tester";
        prof.xpage_size = 4;
        fld_set_missing_wait(0);
        write_tpl("list.tpl", "%%nitems%% %%tunread%% %%upto%% %%pages%%\n%%begin_list%%<row %%item%% %%h_subject%% "
                              "%%h_isread%% %%list_m%%>\n%%end_list%%");
        fill(25);
        ASSERT_EQ(fld_write(0), 1);
        idx_free(mainidx());
        page();   // the first list saves the table
        ASSERT_TRUE(lk_test::file_exists(listpos_file(0)));
    }
    // One list page as a request shows it; windowed: the table was used.
    std::string page(bool* windowed = nullptr) {
        list_reset();
        idx_free(mainidx());
        std::string out = capture([&] {
            if (list_read_stored(0)) fld_show(0);
        });
        if (windowed) *windowed = list_state().windowed;
        return out;
    }
    std::string full_page() {
        std::remove(listpos_file(0).c_str());
        return page();
    }
    void patch(const std::string& path, std::size_t at, const std::string& text) {
        std::string s = lk_test::slurp(path);
        s.replace(at, text.size(), text);
        lk_test::spit(path, s);
    }
};

TEST_F(ListStored, TableGivesTheSamePageOrIsPassedOver) {
    const std::string idx = fld_file(0, "index.dat");
    struct Case {
        const char* what;
        const char* upto;
        std::function<void()> change;   // done after the table is saved
        bool windowed;
    };
    const Case cases[] = {
        {"current, last page", "", [] {}, true},
        {"current, middle page", "13", [] {}, true},
        {"current, first page cut short", "2", [] {}, true},
        {"current, upto past the end", "999", [] {}, true},
        {"missing", "", [&] { std::remove(listpos_file(0).c_str()); }, false},
        {"index.dat appended", "", [&] { lk_test::spit(idx, lk_test::slurp(idx) + "99\tu\t\t<x@y>\tlate one\tf\t" + std::string(18, '\t') + "\n"); }, false},
        {"index.dat rewritten in another order", "", [&] {
             idx_sort(mainidx(), "-subject:");
             fld_write(0);
         }, false},
        {"table cut short", "", [&] { lk_test::spit(listpos_file(0), lk_test::slurp(listpos_file(0)).substr(0, 120)); }, false},
        {"table damaged", "", [&] { patch(listpos_file(0), lk_test::slurp(listpos_file(0)).size() - 6, "\x7f"); }, false},
        {"table of another sort order", "", [&] { prof.xsort_on = "subject:"; }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        prof.xsort_on.clear();
        ASSERT_EQ(fld_write(0), 1);   // index.dat as the fixture made it, and its table
        idx_free(mainidx());
        page();
        ASSERT_TRUE(fld_readxov(0));
        form_put("upto", c.upto);
        c.change();
        bool windowed = false;
        std::string got = page(&windowed);
        EXPECT_EQ(windowed, c.windowed);
        std::string table = lk_test::slurp(listpos_file(0));
        EXPECT_EQ(got, full_page());
        EXPECT_NE(got.find("<row"), std::string::npos);
        lk_test::spit(listpos_file(0), table);
    }
}

TEST_F(ListStored, RecordsComeFromIndexDatNotTheTable) {
    // The same bytes in other places: a subject edited in place (size and
    // times kept) shows, and a line boundary that moved sends the page to
    // the whole index.
    const std::string idx = fld_file(0, "index.dat");
    struct stat before;
    ASSERT_EQ(stat(idx.c_str(), &before), 0);
    auto keep_times = [&] {
        struct timespec t[2] = {before.st_atim, before.st_mtim};
        utimensat(AT_FDCWD, idx.c_str(), t, 0);
    };
    std::string text = lk_test::slurp(idx);
    patch(idx, text.find("subject 25"), "SUBJECT 25");
    keep_times();
    bool windowed = false;
    std::string got = page(&windowed);
    EXPECT_TRUE(windowed);
    EXPECT_NE(got.find("<row 25 SUBJECT 25 "), std::string::npos);
    patch(idx, text.find("subject 24") - 3, "\n");   // the line of record 24 now starts early
    keep_times();
    got = page(&windowed);
    EXPECT_FALSE(windowed);
    EXPECT_EQ(got, full_page());
}
