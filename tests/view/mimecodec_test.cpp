// Table tests of the transfer encodings and charset conversion.
#include <gtest/gtest.h>

#include "test_env.h"
#include "view/mimecodec.h"

namespace {

struct B64Case { const char* in; long n; std::string out; };

TEST(Base64, DecodeStrictTable) {
    const B64Case cases[] = {
        {"QUJD", 3, "ABC"},
        {"QUI=", 2, "AB"},
        {"QQ==", 1, "A"},
        {"", 0, ""},
        {"Q", 0, ""},                   // one character left over: ignored
        {"QUJDRA==", 4, "ABCD"},
        {"QU JD", -1, ""},              // a blank inside a group
        {"QUJ", -1, ""},                // a cut group
        {"Q=JD", -1, ""},               // padding in the second place
        {"QU=D", -1, ""},               // padding then data in one group
        {"QUJD\nQUJD", -1, ""},         // line ends must be removed first
        {"QQ==QUJD", 4, std::string("AABC")},   // two texts glued together
        {"////", 3, "\xff\xff\xff"},
    };
    for (const auto& c : cases) {
        std::string out;
        long n = decode_base64(c.in, out);
        EXPECT_EQ(n, c.n) << c.in;
        if (c.n >= 0) {
            EXPECT_EQ(out, c.out) << c.in;
        }
    }
    EXPECT_EQ(decode_base64s("QUJD"), "ABC");
    EXPECT_EQ(decode_base64s("Q!JD"), "");
    EXPECT_EQ(decode_base64s(std::string(4000, 'Q')).size(), 1999u);
}

TEST(Base64, StreamSkipsGarbageAndSplitsAnywhere) {
    const std::string text = "SGVsbG8s\r\nIHdvcmxk\nIQ==";   // "Hello, world!"
    for (std::size_t cut = 0; cut <= text.size(); cut++) {
        Base64Stream b;
        std::string out;
        b.feed(text.substr(0, cut), out);
        b.feed(text.substr(cut), out);
        b.finish(out);
        EXPECT_EQ(out, "Hello, world!") << cut;
        EXPECT_FALSE(b.saw_garbage());
    }
    Base64Stream b;
    std::string out;
    b.feed("QU*JD!", out);    // junk characters are skipped, as RFC 2045 allows
    b.finish(out);
    EXPECT_EQ(out, "ABC");
    EXPECT_TRUE(b.saw_garbage());
    Base64Stream m;
    std::string mo;
    m.feed("QUI", mo);        // missing padding still gives the whole bytes
    m.finish(mo);
    EXPECT_EQ(mo, "AB");
}

TEST(Base64, EncodeTable) {
    const std::pair<std::string, std::string> cases[] = {
        {"abc", "YWJj"}, {"abcd", "YWJjZA=="}, {"abcde", "YWJjZGU="}, {"", ""},
        {std::string("\0\xff", 2), "AP8="},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sencode_base64(c.first), c.second);
        std::string back;
        EXPECT_EQ(decode_base64(c.second, back), static_cast<long>(c.first.size()));
        EXPECT_EQ(back, c.first);
    }
    // Long texts have no length limit and no line breaks.
    std::string big(1000, 'x');
    EXPECT_EQ(sencode_base64(big).find('\n'), std::string::npos);
}

TEST(Base64, FileEncodingInLinesOf60) {
    lk_test::TempDir tmp;
    const std::string in = tmp.path + "/in", out = tmp.path + "/out";
    std::string data;
    for (int i = 0; i < 1000; i++) data += static_cast<char>(i * 7);
    lk_test::spit(in, data);
    EXPECT_EQ(base64_encode(std::fopen(in.c_str(), "rb"), std::fopen(out.c_str(), "wb")), 1);
    // 45 bytes a line: 60 characters and a line end, the last one shorter
    const std::string text = lk_test::slurp(out);
    ASSERT_EQ(text.back(), '\n');
    std::istringstream lines(text);
    std::string line, joined;
    int n = 0;
    while (std::getline(lines, line)) {
        EXPECT_EQ(line.size(), ++n < 23 ? 60u : 16u) << n;
        joined += line;
    }
    EXPECT_EQ(n, 23);
    std::string back;
    EXPECT_EQ(decode_base64(joined, back), 1000);
    EXPECT_EQ(back, data);
    EXPECT_EQ(base64_encode(nullptr, std::fopen(out.c_str(), "wb")), 0);
}

TEST(UU, LinesTable) {
    struct Case { std::string line; int n; std::string out; } cases[] = {
        {"#86)C", 3, "abc"},
        {"$86)C9```", 4, "abcd"},     // groups of four; the count ends it
        {"`", 0, ""},
        {"", 0, ""},
        {"M86)C", 3, "abc"},          // the count promises more than the line holds
        {"#8", 0, ""},                // a cut group holds no whole byte
        {"#86", 1, "a"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(decode_uu(c.line, out), c.n) << c.line;
        EXPECT_EQ(out, c.out) << c.line;
    }
}

TEST(QuotedPrintable, DecodeTable) {
    struct Case { const char* in; std::string out; const char* eol; } cases[] = {
        {"abc", "abc", "\n"},
        {"abc=", "abc", ""},             // soft line break
        {"abc=  ", "abc", ""},           // padding blanks after it
        {"=41", "A", "\n"},
        {"=3D", "=", "\n"},
        {"=3d", "=", "\n"},              // lower-case hex is accepted
        {"caf=E9", "caf\xE9", "\n"},
        {"a=ZZb", "a=ZZb", "\n"},        // not an escape: kept as written
        {"a=4", "a=4", "\n"},            // "=" and one character at the end
        {"x=4=", "x=4", ""},
        {"==41", "=A", "\n"},
        {"", "", "\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decode_quote(c.in), c.out) << c.in;
        EXPECT_STREQ(decode_quote_eol(), c.eol) << c.in;
    }
    // No limit of its own: a long line of escapes decodes whole.
    std::string longline;
    for (int i = 0; i < 5000; i++) longline += "=C3=A9";
    EXPECT_EQ(decode_quote(longline).size(), 10000u);
}

TEST(QuotedPrintable, EncodeTable) {
    EXPECT_EQ(qprint("\tx"), "=09x");
    EXPECT_EQ(qprint("plain letters"), "plain letters");
    EXPECT_EQ(qprint("a=b"), "a=3Db");
    EXPECT_EQ(qprint("caf\xE9"), "caf=E9");
    EXPECT_EQ(qprint("line \nnext"), "line=20\nnext");   // a blank before a line end would be lost
    EXPECT_EQ(qprint("a\r\nb"), "a\r\nb");
    // Long lines get soft breaks; decoding gives the text back.
    std::string text(200, 'x');
    text += "\xE9\xE9\xE9 end\nshort\n";
    std::string enc = qprint(text);
    std::string back;
    std::size_t start = 0;
    while (start < enc.size()) {
        std::size_t e = enc.find('\n', start);
        std::string line = enc.substr(start, e - start);
        EXPECT_LE(line.size(), 76u) << line;
        if (decode_quote_to(line, back)) back += '\n';
        start = e + 1;
    }
    EXPECT_EQ(back, text);
    EXPECT_EQ(printable("Hello\r\n\tthere\x1b"), 1);
    EXPECT_EQ(printable("caf\xE9"), 0);
    EXPECT_EQ(printable(std::string("a\0b", 3)), 0);
}

TEST(EncodedWords, DecodeTable) {
    struct Case { const char* in; const char* out; int words; } cases[] = {
        {"=?iso-8859-1?q?caf=E9?=", "caf\xC3\xA9", 1},
        {"=?ISO-8859-1?Q?caf=e9?=", "caf\xC3\xA9", 1},                  // lower-case hex
        {"=?utf-8?B?w6k=?=", "\xC3\xA9", 1},
        {"=?utf-8?b?w6k?=", "\xC3\xA9", 1},                                  // padding missing
        {"Re: =?utf-8?Q?a_b?= c", "Re: a b c", 1},
        {"=?utf-8?Q?a?= =?utf-8?Q?b?=", "ab", 2},                            // blanks between words go
        {"=?utf-8?Q?a?=\r\n =?utf-8?Q?b?=", "ab", 2},
        {"=?utf-8?B?4oKs?= x =?utf-8?Q?y?=", "\xE2\x82\xAC x y", 2},         // other text stays
        {"=?utf-8?X?abc?=", "=?utf-8?X?abc?=", 0},                            // unknown encoding
        {"=?utf-8?Q?abc", "=?utf-8?Q?abc", 0},                                // not closed
        {"a =? b", "a =? b", 0},
        {"=?koi8-r?B?8NLJ18XU?=", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", 1},
        {"=?no-such-charset?Q?caf=C3=A9?=", "caf\xC3\xA9", 1},               // unknown: UTF-8 when valid
        {"=?../../etc/passwd?Q?x?=", "x", 1},
        {"plain caf\xE9", "plain caf\xC3\xA9", 0},                            // raw 8-bit: Windows-1252
        {"=?utf-8?Q?=FF?=", "\xC3\xBF", 1},                                      // invalid UTF-8: Windows-1252
        {"=?utf-8*en?Q?hi?=", "hi", 1},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(decode_rfc1522(c.in, out, 2000), c.words) << c.in;
        EXPECT_EQ(out, c.out) << c.in;
    }
    // a word of an incomplete base64 group decodes to nothing useful, but safely
    std::string cut;
    EXPECT_EQ(decode_rfc1522("=?utf-8?B?w?= =?utf-8?B?qQ==?=", cut, 2000), 2);
    EXPECT_TRUE(valid_utf8(cut));
    EXPECT_EQ(rfc1522s("=?utf-8?Q?=C3=A9t=C3=A9?="), "\xC3\xA9t\xC3\xA9");
    // A split multi-byte character across words of one charset.
    EXPECT_EQ(rfc1522s("=?utf-8?Q?=C3?= =?utf-8?Q?=A9?="), "\xC3\xA9");
    // The bound is kept without cutting a character in two.
    std::string many;
    for (int i = 0; i < 3000; i++) many += "\xC3\xA9";
    std::string out;
    decode_rfc1522(many, out, 2000);
    EXPECT_EQ(out.size(), 1998u);
    EXPECT_TRUE(valid_utf8(out));
}

TEST(Charset, ToUtf8Table) {
    struct Case { std::string in; const char* cs; std::string out; } cases[] = {
        {"caf\xE9", "iso-8859-1", "caf\xC3\xA9"},
        {"\x80", "windows-1252", "\xE2\x82\xAC"},
        {"\x80", "ISO-8859-1", "\xE2\x82\xAC"},         // what mailers mean by it
        {"caf\xC3\xA9", "", "caf\xC3\xA9"},
        {"caf\xE9", "us-ascii", "caf\xC3\xA9"},          // mislabelled 8-bit text
        {"\xA4", "iso-8859-15", "\xE2\x82\xAC"},
        {"\x82\xA0", "shift_jis", "\xE3\x81\x82"},
        {"+AOk-", "utf-7", "\xC3\xA9"},
        {"\xFF\xFE", "utf-8", "\xC3\xBF\xC3\xBE"},       // invalid UTF-8 falls back
        {"abc", "x-unknown;rm -rf", "abc"},
    };
    for (const auto& c : cases) EXPECT_EQ(to_utf8(c.in, c.cs), c.out) << c.cs;
    // Bytes the charset cannot map never leave invalid UTF-8 behind.
    std::string bad = to_utf8("\x82\xFF\xFF", "shift_jis");
    EXPECT_TRUE(valid_utf8(bad));
    EXPECT_FALSE(valid_utf8("\xC0\xAF"));       // overlong
    EXPECT_FALSE(valid_utf8("\xED\xA0\x80"));   // surrogate
    EXPECT_EQ(utf8_cut("a\xC3\xA9", 2), "a");
}

}  // namespace
