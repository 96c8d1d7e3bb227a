#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <random>

#include "test_env.h"

namespace {
std::string data(const char* name) { return std::string(LK_SOURCE_DIR) + "/tests/data/store/" + name; }

std::string index_path(int fld) { return fld_file(fld, "index.dat"); }
}  // namespace

TEST(IndexLine, ValuesAndShortLines) {
    struct Case {
        std::string line;
        bool ok;
        bool short_line;
        std::string last;   // position 23
    };
    std::string t24, t23, t20, t13;
    for (int i = 0; i < 24; ++i) t24 += "f" + std::to_string(i) + "\t";
    for (int i = 0; i < 23; ++i) t23 += "f" + std::to_string(i) + "\t";
    for (int i = 0; i < 20; ++i) t20 += (i ? "\t" : "") + std::string("g") + std::to_string(i);
    for (int i = 0; i < 13; ++i) t13 += (i ? "\t" : "") + std::string("h") + std::to_string(i);
    const Case cases[] = {
        {t24, true, false, "f23"},
        {t23, true, false, ""},          // the text after the last TAB is value 24
        {t23 + "\r", true, false, ""},   // a CR before the LF is not data
        {t20, true, true, ""},
        {t13, false, true, ""},
        {"", false, true, ""},
    };
    for (const Case& c : cases) {
        Record r;
        bool sh = false;
        EXPECT_EQ(idx_parse_line(c.line, r, &sh), c.ok) << c.line;
        EXPECT_EQ(sh, c.short_line) << c.line;
        if (c.ok) {
            EXPECT_EQ(r[H_STATUS], c.last) << c.line;
        }
    }
    // More TABs than a record has: only the record's fields are stored.
    std::string many;
    for (int i = 0; i < 40; ++i) many += "x" + std::to_string(i) + "\t";
    Record r;
    ASSERT_TRUE(idx_parse_line(many, r, nullptr));
    EXPECT_EQ(r[H_STATUS], "x23");
}

TEST(IndexFile, CorruptIndexKeepsEveryValidLine) {
    StoreEnv env;
    StoreEnv::spit(index_path(0), StoreEnv::slurp(data("index_mixed.dat")));
    ASSERT_EQ(fld_readxov(0), 1);
    Index& m = mainidx();
    ASSERT_EQ(m.n, 4);
    EXPECT_EQ(m.recs[0][H_ID], "1");
    EXPECT_EQ(m.recs[0][H_STATUS], "RO");
    EXPECT_EQ(m.recs[1][H_BYTES], "999");
    EXPECT_EQ(m.recs[2][H_SUBJECT], "Twenty");
    EXPECT_EQ(m.recs[2][H_NWFLAGS], "");
    EXPECT_EQ(m.recs[3][H_ID], "5");
    EXPECT_EQ(m.recs[3][H_STATUS], "23");
    // one warning per read, however many short lines
    std::string log = env.log();
    std::size_t first = log.find("Too few headers");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("Too few headers", first + 1), std::string::npos);

    // The rewrite without extended_index: 23 fields, the golden bytes.
    ASSERT_EQ(fld_write(0), 1);
    EXPECT_EQ(StoreEnv::slurp(index_path(0)), StoreEnv::slurp(data("index_written.dat")));
    EXPECT_FALSE(StoreEnv::exists(fld_file_new(0)));

    // The folder page's figures count the same records.
    StoreEnv::spit(index_path(2), StoreEnv::slurp(data("index_mixed.dat")));
    Fld_stats st;
    ASSERT_EQ(fld_read_stats(2, st), 1);
    EXPECT_EQ(st.msgs, 4);
    EXPECT_EQ(st.size, (1200 + 999 + 10 + 14) / 1024);
    EXPECT_EQ(st.unread, 3);
    EXPECT_EQ(st.nnew, 1);
    EXPECT_EQ(curfld(), 2);

    // At the edge: a record of 14 values counts, one of 13 does not; only
    // "unseen," makes a message new ("new," alone is merely unread).
    auto rec = [](int values, const char* flags) {
        std::string line = "7\tuid-7\t" + std::string(flags);
        for (int i = 3; i < values; ++i) line += "\t";
        return line + "\n";
    };
    StoreEnv::spit(index_path(3), rec(14, "new,") + rec(13, "unseen,"));
    ASSERT_EQ(fld_read_stats(3, st), 1);
    EXPECT_EQ(st.msgs, 1);
    EXPECT_EQ(st.unread, 1);
    EXPECT_EQ(st.nnew, 0);
}

TEST(IndexFile, MissingIndexCreatedOrRebuilt) {
    StoreEnv env;
    ASSERT_EQ(fld_readxov(3), 1);
    EXPECT_EQ(mainidx().n, 0);
    EXPECT_TRUE(StoreEnv::exists(index_path(3)));

    // Message files but no index: rebuilt from their headers; the program's
    // own stub of a body on the server is left out (and left on disk), and a
    // flag line that came with a message sets nothing.
    StoreEnv::spit(fld_item(4, 7), "Subject: kept\r\nFrom: a@b\r\nMessage-ID: <k@x>\r\n\r\nbody\r\n");
    StoreEnv::spit(fld_item(4, 9), "Subject: stub\nLarkspur_flags: rbody,\n\nleft on server\n");
    StoreEnv::spit(fld_item(4, 11), "Subject: local\nLarkspur_flags: read,file,\n\nx\n");
    ASSERT_EQ(fld_readxov(4), 1);
    Index& m = mainidx();
    ASSERT_EQ(m.n, 2);
    EXPECT_TRUE(StoreEnv::exists(fld_item(4, 9)));
    int k = fld_findid(7), l = fld_findid(11);
    ASSERT_GE(k, 0);
    ASSERT_GE(l, 0);
    EXPECT_EQ(m.recs[k][H_SUBJECT], "kept");
    EXPECT_EQ(m.recs[k][H_MSGID], "<k@x>");
    EXPECT_EQ(m.recs[k][H_UIDL], "<k@x>");
    EXPECT_EQ(m.recs[k][H_REMOTE], "0");
    EXPECT_EQ(m.recs[l][H_FLAGS], "");
    EXPECT_GE(prof.xnextid, 12);
    EXPECT_TRUE(StoreEnv::exists(index_path(4)));
}

TEST(IndexFile, ExtendedIndexAndAppendedLines) {
    StoreEnv env;
    ASSERT_EQ(fld_readxov(0), 1);
    Record a = make_rec("<1@x>", "with\ttab");
    a[H_STATUS] = "RO";
    ASSERT_EQ(fld_addxov(a), 1);
    EXPECT_EQ(mainidx().recs[0][H_SUBJECT], "with tab");
    ASSERT_EQ(fld_write(0), 1);   // 23 fields: status dropped
    Record b = make_rec("<2@x>", "second");
    b[H_STATUS] = "O";
    ASSERT_EQ(fld_addxov(b), 2);   // appended with 24
    std::string text = StoreEnv::slurp(index_path(0));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\t'), 23 + 24);
    EXPECT_NE(text.find("with tab"), std::string::npos);
    ASSERT_EQ(fld_readxov(0), 1);
    ASSERT_EQ(mainidx().n, 2);
    EXPECT_EQ(mainidx().recs[0][H_STATUS], "");
    EXPECT_EQ(mainidx().recs[1][H_STATUS], "O");
    EXPECT_EQ(g.ui_changed, 2);
    EXPECT_EQ(prof.xnextid, 3);

    ini_set(K_extended_index, "true");
    ASSERT_EQ(fld_write(0), 1);
    text = StoreEnv::slurp(index_path(0));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\t'), 48);
}

// Deferred appends (a mail check) find duplicates through a Message-ID
// table; the answers are the same as the plain walk's.
class IndexDuplicate : public ::testing::TestWithParam<bool> {};

TEST_P(IndexDuplicate, MarksKeepAndAddsNothing) {
    StoreEnv env;
    ASSERT_EQ(fld_readxov(0), 1);
    fld_defer_appends(GetParam());
    Record a = make_rec("<1@x>", "one");
    a[H_UIDL] = "u1";
    a[H_POPHOST] = "h";
    a[H_POPUSER] = "ann";
    ASSERT_GT(fld_addxov(a), 0);
    struct Case { std::string uidl, host, user; int want_dup; } cases[] = {
        {"u1", "h", "ann", 1},
        {"", "h", "", 1},        // unset fields match anything
        {"u2", "h", "ann", 0},
        {"u1", "other", "ann", 0},
        {"u1", "h", "bob", 0},
    };
    for (const Case& c : cases) {
        Record b = make_rec("<1@x>", "again");
        b[H_UIDL] = c.uidl;
        b[H_POPHOST] = c.host;
        b[H_POPUSER] = c.user;
        int before = mainidx().n;
        mainidx().recs[0][H_FLAGS] = "";
        int r = fld_addxov(b);
        if (c.want_dup) {
            EXPECT_EQ(r, -1) << c.uidl << c.host << c.user;
            EXPECT_EQ(mainidx().n, before);
            EXPECT_EQ(mainidx().recs[0][H_FLAGS], "rkeep,");
        } else {
            EXPECT_GT(r, 0);
            EXPECT_EQ(mainidx().n, before + 1);
            fld_killrec(mainidx().n - 1);
        }
    }
    // Every record of a duplicated Message-ID is kept, also one added
    // after the table was made.
    Record other = make_rec("<2@x>", "two");
    ASSERT_GT(fld_addxov(other), 0);
    Record second = make_rec("<1@x>", "second copy");
    second[H_UIDL] = "u9";
    ASSERT_GT(fld_addxov(second), 0);
    for (Record& r : mainidx().recs) r[H_FLAGS] = "";
    Record again = make_rec("<1@x>", "again");
    EXPECT_EQ(fld_addxov(again), -1);
    for (const Record& r : mainidx().recs)
        EXPECT_EQ(r[H_FLAGS], r[H_MSGID] == "<1@x>" ? "rkeep," : "") << r[H_SUBJECT];
    fld_defer_appends(false);
}

INSTANTIATE_TEST_SUITE_P(Appends, IndexDuplicate, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Deferred" : "Direct"; });

TEST(IndexFile, FolderLimitIs9998) {
    StoreEnv env;
    ASSERT_EQ(fld_readxov(0), 1);
    Record r = make_rec("", "x");
    for (int i = 0; i < 9997; ++i) ASSERT_GE(idx_add(mainidx(), r), 0);
    Record last = make_rec("<last@x>", "9998th");
    EXPECT_GT(fld_addxov(last), 0);
    EXPECT_EQ(mainidx().n, 9998);
    f_error_clear();
    Record over = make_rec("<over@x>", "9999th");
    EXPECT_EQ(fld_addxov(over), -1);
    EXPECT_EQ(mainidx().n, 9998);
    EXPECT_NE(f_error_text().find("E34: Folder size exceeded 10001  10000"), std::string::npos);
    // the refused record did not reach the file either
    EXPECT_EQ(StoreEnv::slurp(index_path(0)).find("9999th"), std::string::npos);
}

TEST(IndexFile, AppendAfterTruncatedLineStartsANewLine) {
    StoreEnv env;
    Record a = make_rec("<a@x>", "whole");
    a[H_ID] = "1";
    std::string good = idx_format(a, 24);
    StoreEnv::spit(index_path(0), good + good.substr(0, 10));   // a writer killed mid-line
    ASSERT_EQ(fld_readxov(0), 1);
    EXPECT_EQ(mainidx().n, 1);
    Record b = make_rec("<b@x>", "after");
    ASSERT_GT(fld_addxov(b), 0);
    ASSERT_EQ(fld_readxov(0), 1);
    ASSERT_EQ(mainidx().n, 2);
    EXPECT_EQ(mainidx().recs[1][H_SUBJECT], "after") << StoreEnv::slurp(index_path(0));
}

TEST(IndexFile, KilledWriterLeavesAWholeIndex) {
    StoreEnv env;
    ASSERT_EQ(fld_readxov(0), 1);
    for (int i = 0; i < 3000; ++i) {
        Record r = make_rec("<" + std::to_string(i) + "@x>", std::string(100, 'a' + i % 26));
        ASSERT_GE(idx_add(mainidx(), r), 0);
    }
    ASSERT_EQ(fld_write(0), 1);
    for (int trial = 0; trial < 20; ++trial) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (;;) {
                mainidx().recs[0][H_SUBJECT] = std::to_string(getpid());
                fld_write(0);
            }
        }
        usleep(static_cast<useconds_t>(2000 + trial * 1500));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        index_reset();
        fld_set_missing_wait(0);
        ASSERT_EQ(fld_readxov(0), 1);
        ASSERT_EQ(mainidx().n, 3000) << "trial " << trial;
        EXPECT_EQ(mainidx().recs[2999][H_MSGID], "<2999@x>");
        unlink(fld_file(0, "index" + std::to_string(pid) + ".tmp").c_str());
        mainidx().recs[0][H_SUBJECT] = "x";
    }
}

TEST(IndexSort, KeysAndDirections) {
    StoreEnv env;
    Index idx;
    const char* subjects[] = {"Banana", "cherry", "\"apple", "apple"};
    const char* bytes[] = {"999", "1200", "5", "20000"};
    const char* dates[] = {"Mon, 5 Jan 1998 10:00:00 +0000", "", "Tue, 6 Jan 1998 10:00:00 +0000",
                           "Sun, 4 Jan 1998 10:00:00 +0000"};
    for (int i = 0; i < 4; ++i) {
        Record r = make_rec("", subjects[i]);
        r[H_BYTES] = bytes[i];
        r[H_DATE] = dates[i];
        r[H_ID] = std::to_string(i);
        idx_add(idx, r);
    }
    auto ids = [&] {
        std::string s;
        for (const Record& r : idx.recs) s += r[H_ID];
        return s;
    };
    struct Case {
        const char* key;
        std::string want;   // ids in order; "?" for equal neighbours either way
    } cases[] = {
        {"bytes:", "3102"},
        {"-bytes:", "2013"},
        {"datetime", "2031"},
        {"-datetime", "1302"},
        {"from:", ""},         // all equal: any order, but sorted afterwards
    };
    for (const Case& c : cases) {
        idx_sort(idx, c.key);
        if (!c.want.empty()) {
            EXPECT_EQ(ids(), c.want) << c.key;
        }
        EXPECT_EQ(idx_sorted(idx, c.key), 1) << c.key;
    }
    idx_sort(idx, "-subject:");
    // apple and "apple compare equal (one leading quote skipped)
    EXPECT_EQ(idx.recs[2][H_SUBJECT], "Banana");
    EXPECT_EQ(idx.recs[3][H_SUBJECT], "cherry");
    EXPECT_EQ(idx_sorted(idx, "subject:"), 0);
    idx_sort(idx, "subject:");
    EXPECT_EQ(idx.recs[0][H_SUBJECT], "cherry");
    EXPECT_EQ(idx.recs[1][H_SUBJECT], "Banana");

    std::string before = ids();
    idx_sort(idx, "nosuchkey:");
    EXPECT_EQ(ids(), before);
    EXPECT_EQ(idx_sorted(idx, "nosuchkey:"), 0);
    EXPECT_EQ(idx_sorted(idx, ""), 1);
    EXPECT_EQ(sort_key_of("Arrival"), "");
    EXPECT_EQ(sort_key_of("-date:"), "-date:");
}

TEST(IndexOps, FlagsPositionsAndNames) {
    StoreEnv env;
    std::string f;
    flag_add(f, "new,");
    flag_add(f, "unseen,");
    flag_add(f, "new,");
    EXPECT_EQ(f, "unseen,new,");
    EXPECT_EQ(flag_remove(f, "new,"), 1);
    EXPECT_EQ(flag_remove(f, "read,"), 0);
    EXPECT_EQ(f, "unseen,");
    std::string nw;
    set_nwflag(nw, 1);
    EXPECT_EQ(nw, "1");
    nw = "6";
    clear_nwflag(nw, 0);
    EXPECT_EQ(nw, "0");
    nw = "7";
    clear_nwflag(nw, 0);
    EXPECT_EQ(nw, "1");
    clear_nwflag(nw, 1);
    EXPECT_EQ(nw, "0");

    ASSERT_EQ(fld_readxov(0), 1);
    for (int i = 0; i < 3; ++i) {
        Record r = make_rec("<" + std::to_string(i) + ">", "s");
        r[H_REMOTE] = i == 1 ? "1" : "0";
        fld_addxov(r);
    }
    EXPECT_EQ(fld_findid(2), 1);
    EXPECT_EQ(fld_get_remote(1), 1);
    EXPECT_EQ(fld_get_remote(0), 0);
    f_error_clear();
    EXPECT_EQ(fld_delrec(3), 0);
    EXPECT_NE(f_error_text().find("E38: Delete past end of folder 3"), std::string::npos);
    EXPECT_EQ(fld_delrec(0), 1);
    EXPECT_EQ(mainidx().n, 3);
    EXPECT_EQ(fld_killrec(1), 1);
    EXPECT_EQ(mainidx().n, 2);
    ASSERT_EQ(fld_write(0), 1);
    ASSERT_EQ(fld_readxov(0), 1);
    ASSERT_EQ(mainidx().n, 1);
    EXPECT_EQ(mainidx().recs[0][H_ID], "3");

    fld_push();
    EXPECT_EQ(mainidx().n, 0);
    fld_pop();
    EXPECT_EQ(mainidx().n, 1);

    prof.xfld_name[0] = "New Mail";
    prof.xfld_name[3] = "Work";
    prof.xfld_name[4] = "work";
    EXPECT_EQ(fld_find("work"), 4);
    EXPECT_EQ(fld_find("WORK"), 3);
    EXPECT_EQ(fld_find("none"), -1);

    char text[] = "a\tb\tc";
    char* pieces[10];
    EXPECT_EQ(token_split2(text, pieces, "\t", 10), 3);
    EXPECT_STREQ(pieces[2], "c");
    char many[] = "1,2,3,4,5,6";
    EXPECT_EQ(token_split2(many, pieces, ",", 8), 3);
    EXPECT_EQ(pieces[3], nullptr);
}

TEST(IndexSort, FoldedKeysOrderLikeTheTextComparison) {
    std::mt19937 rng(3);
    const char alphabet[] = "aAbBzZ\"\x01\x7f\x80\xc3\xff 09";
    auto word = [&] {
        std::string w;
        int len = static_cast<int>(rng() % 6);
        for (int i = 0; i < len; ++i) w += alphabet[rng() % (sizeof alphabet - 1)];
        return w;
    };
    auto sign = [](int x) { return (x > 0) - (x < 0); };
    for (int i = 0; i < 20000; ++i) {
        std::string a = word(), b = word();
        int want = sign(idx_text_cmp(a, b));
        std::string ka = idx_fold_key(a), kb = idx_fold_key(b);
        EXPECT_EQ(sign(ka.compare(kb)), want) << "a=" << a << " b=" << b;
    }
    EXPECT_LT(idx_text_cmp("apple", "Banana"), 0);
    EXPECT_EQ(idx_text_cmp("\"apple", "apple"), 0);
    EXPECT_GT(idx_text_cmp("abc", "abc\xc3"), 0);   // signed: bytes from 0x80 sort below the end
}

TEST(IndexFile, MissingIndexFallsBackToOwnTemporary) {
    StoreEnv env;
    fld_set_missing_wait(1);
    Record a = make_rec("<t@x>", "from the temporary");
    a[H_ID] = "4";
    StoreEnv::spit(fld_file_new(5), idx_format(a, 24));
    ASSERT_EQ(fld_readxov(5), 1);
    ASSERT_EQ(mainidx().n, 1);
    EXPECT_EQ(mainidx().recs[0][H_SUBJECT], "from the temporary");
}
