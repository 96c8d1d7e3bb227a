#include "user/codec.h"

#include <gtest/gtest.h>

#include "user/profile.h"

TEST(UserCodec, HideRoundTripsSevenBitText) {
    std::string text;
    for (int len = 0; len <= 99; ++len) {
        text.clear();
        for (int i = 0; i < len; ++i) text += static_cast<char>(1 + (i * 37 + len) % 126);
        for (long seed : {0L, 1L, 200L, kHideSeed, 100000L}) {
            for (const char* key : {"", "ann@pop.example", "k"}) {
                std::string h = x_hide(key, text, seed);
                ASSERT_EQ(h.size(), 2 * (text.size() + 1));
                EXPECT_EQ(h.substr(h.size() - 2), "00");
                EXPECT_EQ(h.find_first_not_of("0123456789abcdef"), std::string::npos);
                EXPECT_EQ(x_unhide(key, h, seed), text) << len << " " << seed << " " << key;
            }
        }
    }
}

TEST(UserCodec, HideDependsOnKeyAndSeed) {
    std::string a = x_hide("ann", "secret", 10);
    EXPECT_NE(a, x_hide("bob", "secret", 10));
    EXPECT_NE(a, x_hide("ann", "secret", 11));
    EXPECT_NE(x_unhide("ann", a, 11), "secret");
    // the empty key is the built-in default key
    EXPECT_EQ(x_hide("", "x", 5), x_hide("quietlanternfoldsunderbluepin", "x", 5));
}

TEST(UserCodec, HexHelpers) {
    EXPECT_EQ(bintostr(std::string("\x00\x7f\xff", 3)), "007fff");
    EXPECT_EQ(strtobin("007fff"), std::string("\x00\x7f\xff", 3));
    EXPECT_EQ(strtobin("abc"), "\xab");   // odd digit ignored
    EXPECT_EQ(strtobin("41zz42"), "A");   // stops at the damage
    EXPECT_EQ(x_unhide("k", "", 1), "");
    EXPECT_EQ(x_unhide("k", "zz", 1), "");
}

TEST(UserCodec, CrEncoding) {
    struct Case { const char* plain; const char* coded; } cases[] = {
        {"line1\nline2", "line1\\nline2"}, {"a\\b", "a\\\\b"}, {"", ""}, {"\\n", "\\\\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cr_encode(c.plain), c.coded);
        EXPECT_EQ(cr_decode(c.coded), c.plain);
    }
    EXPECT_EQ(cr_encode("a\r\nb"), "a\\nb");
    EXPECT_EQ(cr_decode("a\\xb"), "ab");   // unknown escape drops both
    EXPECT_EQ(cr_decode("a\\"), "a");
}

TEST(UserCodec, PassEncrypt) {
    EXPECT_EQ(pass_encrypt(""), "0");
    EXPECT_EQ(pass_encrypt("a"), "0");              // position 0 contributes nothing
    EXPECT_EQ(pass_encrypt("ab"), "62");            // 98 * 1
    EXPECT_EQ(pass_encrypt("abc"), "d06");          // 98*32 + 99*2 = 3334
    EXPECT_LE(pass_encrypt(std::string(500, 'z')).size(), 5u);
    EXPECT_NE(pass_encrypt("secret1"), pass_encrypt("secret2"));
}

