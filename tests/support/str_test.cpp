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
