#include "support/buf.h"

#include <gtest/gtest.h>

#include "cgi/request.h"
#include "subsystems.h"

TEST(Buf, GrowsInStepsAndKeepsText) {
    subsystems_reset();
    bf_init();
    EXPECT_EQ(bf_size(), 100u);
    EXPECT_EQ(bf_str(), "");
    bf_add("hello", 5);
    EXPECT_EQ(bf_size(), 100u);
    std::string big(95, 'x');
    bf_add(big.c_str(), big.size());            // 5 + 95 reaches the size
    EXPECT_EQ(bf_size(), 200u);
    EXPECT_EQ(bf_len(), 100u);
    bf_add("abc", 2);
    EXPECT_EQ(bf_str(), "hello" + big + "ab");
    bf_add(nullptr, 3);
    EXPECT_EQ(bf_len(), 102u);

    // A large append in one go: never written past what is held.
    std::string huge(70001, 'y');
    bf_add(huge);
    EXPECT_EQ(bf_len(), 102u + 70001u);
    EXPECT_GE(bf_size(), bf_len() + 1);
    bf_init();
    EXPECT_EQ(bf_len(), 0u);
}

TEST(Buf, EncodeAndRemoveCr) {
    subsystems_reset();
    bf_init();
    bf_add_encode("<a href=\"x\">&'</a> tail", 14);
    EXPECT_EQ(bf_str(), "&lt;a href=&quot;x&quot;&gt;&amp;&#39;");
    g.gwml = 1;
    bf_init();
    bf_add_encode("it's", 100);                 // n beyond the text: stops at its end
    EXPECT_EQ(bf_str(), "it&apos;s");
    g.gwml = 0;

    bf_init();
    bf_add(std::string_view("a\r\nb\r\r\nc\r"));
    bf_remove_cr();
    EXPECT_EQ(bf_str(), "a\nb\nc");
    subsystems_reset();
}
