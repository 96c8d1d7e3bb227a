// The message page's header helpers: bare addresses for the reply links
// and the character set of a content type.
#include <gtest/gtest.h>

#include "view/item.h"

namespace {

TEST(ItemHelpers, BareAddressOfHeaderTexts) {
    struct Case { const char* in; const char* out; };
    const Case cases[] = {
        {"\"John Smith\" <john@example.test>", "john@example.test"},
        {"john@example.test (John Smith)", "john@example.test"},
        {"plain@example.test", "plain@example.test"},
        {"Name <not-an-address>", ""},
        {"no address here", ""},
        {"<a@b", "a@b"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(item_bare_addr(c.in), c.out) << c.in;
}

TEST(ItemHelpers, CharsetOfContentType) {
    struct Case { const char* in; const char* out; };
    const Case cases[] = {
        {"text/plain; charset=\"ISO-8859-1\"", "ISO-8859-1"},
        {"text/plain; charset = utf-8; format=flowed", "utf-8"},
        {"text/html;charset=windows-1252", "windows-1252"},
        {"text/plain", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(item_charset(c.in), c.out) << c.in;
    EXPECT_EQ(item_charset("text/plain; charset=" + std::string(500, 'x')).size(), 99u);
}

}  // namespace
