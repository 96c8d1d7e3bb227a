#include "support/escape.h"

#include <gtest/gtest.h>

using namespace std::string_view_literals;

TEST(Escape, HtmlFamily) {
    struct Row { std::string_view in; unsigned flags; std::string_view out; } rows[] = {
        {"", kEscAttr, ""},
        {"a\0b"sv, kEscAttr, "a\0b"sv},   // bytes other than the specials pass through
        {"<a href=\"x\">&", kEscText, "&lt;a href=\"x\"&gt;&amp;"},
        {"\"'`", kEscText, "\"'`"}, {"\"'`", kEscHtml, "&quot;&#39;`"},
        {"\"'`", kEscAttr, "&quot;&#39;&#96;"},
        {"x onmouseover=`a`", kEscAttr, "x onmouseover=&#96;a&#96;"},
        {"caf\xc3\xa9 \xff", kEscAttr, "caf\xc3\xa9 \xff"},
    };
    for (const auto& r : rows) {
        const std::string want(r.out);
        EXPECT_EQ(html_escape(r.in, r.flags), want) << r.in << " flags " << r.flags;
        std::string appended = "pre";
        html_escape_to(appended, r.in, r.flags);
        EXPECT_EQ(appended, "pre" + want);
    }
    EXPECT_EQ(html_escape("'`"), "&#39;&#96;");   // the default is safe in any attribute
}

TEST(Escape, PercentEncoder) {
    static constexpr ByteSet kPath = ByteSet::unreserved().with("/:@");
    struct Row { std::string_view in; const ByteSet* keep; std::size_t stop; const char* out; } rows[] = {
        {"", nullptr, std::string::npos, ""}, {"\0"sv, nullptr, std::string::npos, "%00"},
        {"Az09-._~", nullptr, std::string::npos, "Az09-._~"},
        {"a b&c=d/e", nullptr, std::string::npos, "a%20b%26c%3Dd%2Fe"},
        {"\xc3\xa9\xff", nullptr, std::string::npos, "%C3%A9%FF"},
        {"ann@example.org/x:y?", &kPath, std::string::npos, "ann@example.org/x:y%3F"},
        {"abcdef", nullptr, 2, "abc"},         // stops once past 2 bytes
        {"a    ", nullptr, 2, "a%20"},         // never cuts an escape
    };
    for (const auto& r : rows) {
        const ByteSet& keep = r.keep ? *r.keep : ByteSet::unreserved();
        EXPECT_EQ(pct_encode(r.in, keep, r.stop), r.out) << r.in;
    }
}

TEST(Escape, PercentDecoder) {
    struct Row { std::string_view in; char escape; std::string_view out; } rows[] = {
        {"", '%', ""}, {"%", '%', "%"},
        {"%4", '%', "%4"},             // cut escape kept
        {"%zz%41", '%', "%zzA"},       // bad digits kept as written
        {"%%41", '%', "%A"}, {"%00x", '%', "\0x"sv}, {"a%2Bb%e2%82%AC", '%', "a+b\xe2\x82\xac"},
        {"=3D=3d%41", '=', "==%41"},
    };
    for (const auto& r : rows) EXPECT_EQ(pct_decode(r.in, r.escape), r.out) << r.in;
}

TEST(Escape, HexDigits) {
    struct Row { char hi, lo; int pair; } rows[] = {
        {'\0', '\0', -1}, {'0', '0', 0}, {'f', 'F', 255}, {'A', '9', 0xA9}, {'4', '1', 0x41},
        {'g', '1', -1},   {'1', 'g', -1}, {'/', '0', -1}, {':', '0', -1},   {'@', '0', -1},
        {'G', '0', -1},   {'`', '0', -1}, {' ', '1', -1}, {'\xff', '1', -1},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(hexpair(r.hi, r.lo), r.pair) << r.hi << r.lo;
        if (r.pair >= 0) {
            EXPECT_EQ(hexval(r.hi) * 16 + hexval(r.lo), r.pair);
        }
    }
}

TEST(Escape, CheckedNumberCode) {
    const char* bad[] = {"", "1", "12", "2246", "32461", "22462", "x2461", "2a461", "2-1", "1--21",
                         "0123456789012345678901",     // check digits right, but more than a long long
                         "91999999999999999999998"};  // longer than any code
    for (const char* b : bad) EXPECT_EQ(tdecode(b), 0) << b;
    EXPECT_EQ(tencode(123), "22461");
    EXPECT_EQ(tdecode("22461"), 123);
    for (long long n : {0LL, 1LL, 7LL, -42LL, 99999LL, 1733526000LL, (1LL << 62) - 1, -(1LL << 62)})
        EXPECT_EQ(tdecode(tencode(n)), n) << n;
}
