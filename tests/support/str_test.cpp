#include "support/str.h"

#include <gtest/gtest.h>

TEST(Str, SfmtGrowsPastSmallBuffer) {
    std::string big(2000, 'x');
    EXPECT_EQ(sfmt("<%s>", big.c_str()).size(), 2002u);
    EXPECT_EQ(sfmt("%d-%s", 7, "a"), "7-a");
}

TEST(Str, NcpyAndCaseFolding) {
    EXPECT_EQ(ncpy("abcdef", 3), "abc");
    EXPECT_EQ(ncpy("ab", 3), "ab");
    EXPECT_EQ(lower("AbC\xC3\x89"), "abc\xC3\x89");
    EXPECT_TRUE(lc_equal("Inbox", "INBOX"));
    EXPECT_FALSE(lc_equal("Inbox", "INBOXx"));
    // only characters above 64 fold: '@' (64) and '`' (96) differ
    EXPECT_FALSE(lc_equal("@", "`"));
}

#include <cstring>

#include "cgi/config.h"
#include "subsystems.h"

TEST(Str, FixedBufferCopies) {
    char buf[8];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_STREQ(ncpy(buf, "abcdef", 3), "abc");
    EXPECT_EQ(buf[3], '\0');
    EXPECT_STREQ(ncpy(buf, nullptr, 3), "");
    EXPECT_STREQ(ncpy(buf, "ab", 7), "ab");
    EXPECT_EQ(buf[7], '\0');

    char cat[8] = "abc";
    EXPECT_STREQ(ncat(cat, "defgh", 5), "abcde");
    EXPECT_STREQ(ncat(cat, "zz", 5), "abcde");   // already full: nothing appended
    char over[8] = "abcdefg";
    EXPECT_STREQ(ncat(over, "z", 4), "abcd");    // longer than n: cut at n
    char nul[8] = "ab";
    EXPECT_STREQ(ncat(nul, nullptr, 5), "ab");

    std::string s = "abc";
    EXPECT_EQ(ncat(s, "defgh", 5), "abcde");
    EXPECT_EQ(ncat(s, "x", 5), "abcde");
    EXPECT_EQ(ncat(s, "x", 2), "ab");
}

TEST(Str, SsnprintfAlwaysTerminates) {
    char buf[6];
    EXPECT_EQ(ssnprintf(buf, sizeof buf, "%s", "abcdefgh"), 8);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(ssnprintf(buf, sizeof buf, "%d", 42), 2);
    EXPECT_STREQ(buf, "42");
    EXPECT_EQ(ssnprintf(buf, 0, "%d", 42), 0);
}

TEST(Str, Comparisons) {
    struct Case { const char* a; const char* b; int sign; };
    const Case nc[] = {
        {"Hello", "hELLO", 0}, {"abc", "abd", -1}, {"abd", "ABC", 1}, {"ab", "abc", -1},
        {"", "", 0},           {"@", "`", -1},     {"\xC9", "\xE9", -1},  // only A-Z fold
    };
    for (const Case& c : nc) {
        int r = strcmpnc(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
    }
    EXPECT_EQ(strncmpnc("HELLO world", "hello WORLD!", 11), 0);
    EXPECT_NE(strncmpnc("HELLO world", "hello WORLD!", 12), 0);
    EXPECT_EQ(strncmpnc("abc", "abd", 2), 0);

    EXPECT_EQ(s_strcmp(nullptr, "a"), 1);
    EXPECT_EQ(s_strcmp("a", nullptr), 1);
    EXPECT_EQ(s_strcmp("a", "a"), 0);
    EXPECT_LT(s_strcmp("a", "b"), 0);

    struct NiCase { const char* a; const char* b; std::size_t n; int want; };
    const NiCase ni[] = {
        {"HeLLo", "hello", 5, 0},
        {"Hello there", "hello world", 5, 0},   // only the first n count
        {nullptr, "abc", 2, 1},
        {"abc", nullptr, 2, 1},
        {"ab", "abc", 3, 1},                   // shorter than n
        {"abc", "ab", 3, 1},
        {"axc", "ayc", 3, 1},                  // differ before the n-th
        {"abc", "abd", 3, 'c' - 'd'},          // differ at the n-th: the difference
        {"abz", "ABa", 3, 'z' - 'a'},
        {"", "", 0, 0},
    };
    for (const NiCase& c : ni)
        EXPECT_EQ(s_strnicmp(c.a, c.b, c.n), c.want) << (c.a ? c.a : "(null)") << " / " << (c.b ? c.b : "(null)");
}

TEST(Str, InPlaceEdits) {
    std::string s = "MiXeD \xC9";
    EXPECT_EQ(strlwr(s), "mixed \xC9");
    char cs[] = "ABC";
    EXPECT_STREQ(s_strlwr(cs), "abc");
    EXPECT_EQ(s_strlwr(nullptr), nullptr);

    struct Trm { const char* in; const char* strtrm_out; const char* s_strtrm_out; };
    const Trm trims[] = {
        {"abc  ", "abc", "abc"},
        {"abc \r\ndef", "abc", "abc \r\ndef"},
        {"a b\tc \n  ", "a b\tc", "a b\tc \n"},
        {"   ", "", ""},
        {"\nabc", "", "\nabc"},
        {"", "", ""},
    };
    for (const Trm& t : trims) {
        std::string a = t.in, b = t.in;
        EXPECT_EQ(strtrm(a), t.strtrm_out) << t.in;
        EXPECT_EQ(s_strtrm(b), 1);
        EXPECT_EQ(b, t.s_strtrm_out) << t.in;
        char buf[32];
        std::strcpy(buf, t.in);
        EXPECT_STREQ(strtrm(buf), t.strtrm_out);
    }
    EXPECT_EQ(s_strtrm(static_cast<char*>(nullptr)), 0);

    std::string path = "c:\\dir\\file.txt";
    EXPECT_EQ(ifix_slash(path), "c:/dir/file.txt");

    struct Br { std::string in, out; };
    const Br br[] = {
        {"<user@host>", "user@host"},
        {"<user@host> trailing", "user@host"},
        {"<unclosed", "unclosed"},
        {"plain <x>", "plain <x>"},
        {"<>", ""},
        {"<" + std::string(600, 'a') + ">", std::string(511, 'a')},
    };
    for (const Br& b : br) {
        std::string x = b.in;
        EXPECT_EQ(strip_brackets(x), b.out);
    }
}

TEST(Str, MakeniceKeepsOnlyFileSafeCharacters) {
    std::string id = "<abc.123@host-x/y>";
    EXPECT_EQ(makenice(id), "_abc_123@host_x_y_");

    struct Case { const char* dot; const char* dash; const char* slash; const char* in; const char* out; };
    const Case cases[] = {
        {"", "", "", "jo.ann-b/c@x%y", "jo_ann_b_c@x%y"},
        {"true", "", "", "jo.ann-b/c@x%y", "jo.ann_b_c@x%y"},
        {"", "1", "", "jo.ann-b/c@x%y", "jo_ann-b_c@x%y"},
        {"", "", "TRUE", "jo.ann-b/c@x%y", "jo_ann_b/c@x%y"},
        {"true", "true", "true", "jo.ann-b/c@x%y", "jo.ann-b/c@x%y"},
        {"false", "no", "0", "a b\t\xC3\xA9:\\", "a_b_____"},
    };
    for (const Case& c : cases) {
        subsystems_reset();
        ini_set(K_allow_dot, c.dot);
        ini_set(K_allow_dash, c.dash);
        ini_set(K_allow_slash, c.slash);
        std::string s = c.in;
        EXPECT_EQ(makenice3(s), c.out) << c.dot << "/" << c.dash << "/" << c.slash;
    }
    ini_reset();
}

TEST(Str, TestsAndPaths) {
    EXPECT_TRUE(whitespace(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(whitespace(""));
    EXPECT_TRUE(whitespace(" \t\r\n"));
    EXPECT_FALSE(whitespace(" x "));
    EXPECT_FALSE(whitespace(std::string("\v")));
    EXPECT_TRUE(null_or_empty(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(null_or_empty(""));
    EXPECT_FALSE(null_or_empty(" "));

    EXPECT_STREQ(nopath("c:\\docs\\a.txt"), "a.txt");
    EXPECT_STREQ(nopath("/tmp/x/b.pdf"), "b.pdf");
    EXPECT_STREQ(nopath("d:c.doc"), "c.doc");
    EXPECT_STREQ(nopath("plain"), "plain");
    EXPECT_STREQ(nopath("dir/"), "");
    EXPECT_EQ(nopath(std::string("a/b\\c:d")), "d");
}
