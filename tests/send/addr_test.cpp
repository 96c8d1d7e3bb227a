// Recipient lists: splitting, local completion, the site's rule and the
// checks that keep line breaks out of headers and commands.
#include <gtest/gtest.h>

#include "cgi/config.h"
#include "send/addr.h"

namespace {

TEST(RecipientLists, BareAddressesOfEveryForm) {
    struct { const char* list; std::vector<std::string> want; } cases[] = {
        {"\"Smith, John\" <john@example.test>, Ann <ann@example.test>", {"john@example.test", "ann@example.test"}},
        {"a@example.test b@example.test", {"a@example.test", "b@example.test"}},
        {"zed@example.test (Zed, the boss)", {"zed@example.test"}},
        {"Just A Name", {}}, {"<x@example.test>,,", {"x@example.test"}},
    };
    for (const auto& c : cases) EXPECT_EQ(addr_list(c.list), c.want) << c.list;
    EXPECT_EQ(brkt("a@b"), "<a@b>");
    EXPECT_EQ(brkt("<a@b>"), "<a@b>");
    EXPECT_EQ(strnqcpy("\"x, y\" <a@b>", 100), " <a@b>");
}

TEST(RecipientLists, LocalNamesGetTheDomainAndOverflowIsRefused) {
    std::string l = "bob, ann@example.test, \"Eve\" <eve@example.test>";
    ASSERT_TRUE(fix_local(l, 2048, "mail.test"));
    EXPECT_EQ(l, "bob@mail.test, ann@example.test, \"Eve\" <eve@example.test>");
    std::string big(2040, 'x');
    EXPECT_FALSE(fix_local(big, 2048, "mail.test")) << "a cut list must not be sent";
    EXPECT_EQ(big, std::string(2040, 'x'));
}

TEST(RecipientLists, FieldsWithLineBreaksOrOddMailboxesAreRefused) {
    struct { std::string v; bool clean; } lines[] = {
        {"ok value", true}, {"a\rb", false}, {"a\nBcc: x@y", false}, {std::string("a\0b", 3), false}};
    for (const auto& c : lines) EXPECT_EQ(line_clean(c.v), c.clean) << c.v;
    struct { const char* a; bool ok; } mboxes[] = {
        {"ann@example.test", true},   {"\"a b\"@example.test", true}, {"ann", false},
        {"a@b@c", false},             {"a b@example.test", false},     {"a@example.test>", false},
        {"caf\xc3\xa9@example.test", false},
    };
    for (const auto& c : mboxes) EXPECT_EQ(addr_sane(c.a), c.ok) << c.a;
}

}  // namespace
