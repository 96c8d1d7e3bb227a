#include <gtest/gtest.h>

#include <cstring>

#include "test_env.h"

TEST(MsgBuffer, LoadAndLines) {
    StoreEnv env;
    std::string long_line(1200, 'L');
    StoreEnv::spit(fld_item(0, 5), "Subject: hi\n\n" + long_line + "\nlast without end");
    ASSERT_EQ(msg_load(0, 5), 1);
    EXPECT_EQ(msgbuf().text, "Subject: hi\r\n\r\n" + long_line + "\r\nlast without end");
    std::vector<std::string> got;
    while (const char* l = get_line()) got.push_back(l);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "Subject: hi");
    EXPECT_EQ(got[1], "");
    EXPECT_EQ(got[2].size(), 1200u);
    EXPECT_EQ(got[3], "last without end");
    EXPECT_EQ(get_line(), nullptr);
    get_line_rewind();   // the end mark stays until a reset
    EXPECT_EQ(get_line(), nullptr);
    get_line_reset();
    EXPECT_EQ(get_line(), nullptr);

    // Bare LF and CR LF both end a line once; a line over 2047 is cut.
    msg_add("a\nb\r\n" + std::string(3000, 'x') + "\r\n");
    EXPECT_STREQ(get_line(), "a");
    EXPECT_STREQ(get_line(), "b");
    EXPECT_EQ(std::strlen(get_line()), 2047u);
    EXPECT_STREQ(get_line(), "");
    EXPECT_EQ(get_line(), nullptr);

    f_error_clear();
    EXPECT_EQ(msg_load(0, 99), 0);
    EXPECT_NE(f_error_text().find("Can't read item file"), std::string::npos);
}

TEST(Headers, Matching) {
    StoreEnv env;
    struct Case { const char* key; const char* line; int ok; const char* value; } cases[] = {
        {"subject:", "Subject:  two blanks", 1, " two blanks"},
        {"subject:", "SUBJECT: Mixed Case Kept", 1, "Mixed Case Kept"},
        {"x-child-to", "X-Child-To: kid@x", 1, " kid@x"},
        {"subject:", "Subject:", 1, ""},
        {"subject:", "Subjec", 0, ""},
        {"from:", "Subject: x", 0, ""},
    };
    for (const Case& c : cases) {
        std::string v;
        EXPECT_EQ(head_get(c.key, v, c.line), c.ok) << c.line;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.line;
        }
    }
    std::string v(600, 'y');
    ASSERT_EQ(head_get("subject:", v, "Subject: " + std::string(700, 'z')), 1);
    EXPECT_EQ(v.size(), 511u);

    std::string subj = "earlier";
    EXPECT_EQ(head_getv("subject:", subj, "Subject:"), 0);
    EXPECT_EQ(subj, "earlier");
    EXPECT_EQ(head_catv(subj, " more"), 1);
    EXPECT_EQ(subj, "earlier more");
    EXPECT_EQ(head_catv(subj, std::string(500, 'c')), 0);
    EXPECT_EQ(subj, "earlier more");
}

TEST(Headers, IntoRecords) {
    StoreEnv env;
    Record r;
    int last = -1;
    const char* lines[] = {
        "Subject: first",
        "Subject: second",
        "\tcontinued",
        "From: Ann <ann@x>",
        "Priority: urgent",
        "Content-Disposition: inline",
        "_flags: deleted,",        // a received header cannot set local state
        "_remote1",
        "nwflags: 1",
        "pop_port: 25",
        "Subject:",
    };
    for (const char* l : lines) rec_head_line(r, l, &last);
    EXPECT_EQ(r[H_SUBJECT], "second\tcontinued");
    EXPECT_EQ(r[H_FROM], "Ann <ann@x>");
    EXPECT_EQ(r[H_PRIORITY], "urgent");
    EXPECT_EQ(r[H_CDISP], " inline");
    EXPECT_EQ(r[H_FLAGS], "");
    EXPECT_EQ(r[H_REMOTE], "");
    EXPECT_EQ(r[H_NWFLAGS], "");
    EXPECT_EQ(r[H_POPPORT], "");
}

TEST(Stub, FormatAndAccounting) {
    StoreEnv env;
    Record r = make_rec("<s@x>", "Big one");
    r[H_ID] = "12";
    r[H_FROM] = "ann@x";
    prof.xdiskuse = 100;
    ASSERT_EQ(msg_write_stub(0, r, "left on the server", 50000), 1);
    std::string want = "Subject: Big one\nFrom: ann@x\nLarkspur_flags: rbody,\n\nleft on the server\n";
    EXPECT_EQ(StoreEnv::slurp(fld_item(0, 12)), want);
    EXPECT_EQ(r[H_BYTES], "50000");
    EXPECT_EQ(r[H_REMOTE], "1");
    EXPECT_EQ(prof.xdiskuse, 100 + static_cast<long>(want.size()));
    EXPECT_EQ(myremove(fld_item(0, 12)), 0);
    EXPECT_EQ(prof.xdiskuse, 100);
}

TEST(Cache, EmptyNewReconciles) {
    StoreEnv env;
    prof.xpop_name[0] = "pop.x";
    prof.xpop_user[0] = "ann";
    ASSERT_EQ(fld_readxov(0), 1);
    struct Row {
        const char* flags;
        const char* remote;
        const char* host;
        bool stays;
        const char* flags_after;
    } rows[] = {
        {"new,unseen,rkeep,", "1", "pop.x", false, ""},   // body never fetched
        {"unseen,rkeep,", "1", "pop.x", true, "unseen,"}, // seen in this scan
        {"read,", "1", "pop.x", false, ""},               // gone from the server
        {"read,", "1", "other", true, "read,"},           // another account's
        {"read,", "0", "pop.x", true, "read,"},           // only kept locally
    };
    int i = 0;
    for (const Row& row : rows) {
        Record r = make_rec("<" + std::to_string(i++) + "@x>", "s");
        r[H_FLAGS] = row.flags;
        r[H_REMOTE] = row.remote;
        r[H_POPHOST] = row.host;
        r[H_POPUSER] = "ann";
        int id = fld_addxov(r);
        StoreEnv::spit(fld_item(0, id), "x\n");
    }
    EXPECT_EQ(empty_new(), 1);
    ASSERT_EQ(mainidx().n, 3);
    int k = 0;
    for (int j = 0; j < 5; ++j) {
        bool file = StoreEnv::exists(fld_item(0, j + 1));
        EXPECT_EQ(file, rows[j].stays) << j;
        if (rows[j].stays) {
            EXPECT_EQ(mainidx().recs[k][H_FLAGS], rows[j].flags_after) << j;
            ++k;
        }
    }
}
