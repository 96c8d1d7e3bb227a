// Outgoing encodings: header words, folded lines, attachment-name
// parameters, wrapping and the text part's transfer encoding.
#include <gtest/gtest.h>

#include "send/mailenc.h"
#include "support/escape.h"
#include "support/str.h"
#include "view/mimecodec.h"

namespace {

std::vector<std::string> words_of(const std::string& s) {
    std::vector<std::string> out;
    std::size_t p = 0;
    while ((p = s.find("=?", p)) != std::string::npos) {
        std::size_t e = s.find("?=", p + 10);
        out.push_back(s.substr(p, e + 2 - p));
        p = e + 2;
    }
    return out;
}

// Quoted-printable back to bytes, soft breaks joined.
std::string unqp(std::string enc) {
    for (std::size_t p; (p = enc.find("=\r\n")) != std::string::npos;) enc.erase(p, 3);
    return pct_decode(enc, '=');
}

TEST(HeaderWords, DecodeBackToTheTypedTextAndStayWithinTheLimits) {
    const std::string cases[] = {
        "Plain ASCII subject",
        "Caf\xc3\xa9 au lait",
        "R\xc3\xa9sum\xc3\xa9 de la r\xc3\xa9union \xc3\xa0 Z\xc3\xbcrich",
        // Greek, Cyrillic and emoji: long runs split between characters.
        "\xce\x9a\xce\xb1\xce\xbb\xce\xb7\xce\xbc\xce\xad\xcf\x81\xce\xb1 \xce\xba\xcf\x8c\xcf\x83\xce\xbc\xce\xb5 "
        "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xd0\xbc\xd0\xb8\xd1\x80 \xf0\x9f\x98\x80\xf0\x9f\x8e\x89 "
        "\xd0\x94\xd0\xbb\xd0\xb8\xd0\xbd\xd0\xbd\xd0\xb0\xd1\x8f\xd1\x81\xd1\x82\xd1\x80\xd0\xbe\xd0\xba\xd0\xb0\xd0\xb1\xd0\xb5\xd0\xb7\xd0\xbf\xd1\x80\xd0\xbe\xd0\xb1\xd0\xb5\xd0\xbb\xd0\xbe\xd0\xb2",
        "looks =?like?= a word",
    };
    for (const std::string& text : cases) {
        std::string enc = encode_rfc1522(text);
        EXPECT_EQ(rfc1522s(enc), text) << enc;
        for (const std::string& w : words_of(enc)) {
            EXPECT_LE(w.size(), 75u) << w;
            EXPECT_TRUE(valid_utf8(rfc1522s(w))) << "a word splits a character: " << w;
        }
        std::string folded = fold_header("Subject", enc);
        std::size_t start = 0, end;
        while ((end = folded.find("\r\n", start)) != std::string::npos) {
            EXPECT_LE(end - start, 78u) << folded;
            start = end + 2;
        }
        EXPECT_EQ(folded.find_first_of("\n", folded.size() - 1), folded.size() - 1);
    }
    EXPECT_EQ(encode_rfc1522("Plain ASCII subject"), "Plain ASCII subject");
}

TEST(HeaderWords, ControlBytesNeverReachTheHeader) {
    std::string enc = encode_rfc1522("a\x01" "b\x7f \xc3\xa9");
    EXPECT_EQ(enc.find_first_of(std::string("\x01\x7f\r\n", 4)), std::string::npos);
    EXPECT_EQ(rfc1522s(enc).find('\x01'), std::string::npos);
}

TEST(AddressHeaders, DisplayNamesAreQuotedOrEncodedAndAddressesKept) {
    struct { const char* in; const char* out; } cases[] = {
        {"Ann Lee <ann@example.test>", "Ann Lee <ann@example.test>"},
        {"\"Lee, Ann\" <ann@example.test>, bob@example.test", "\"Lee, Ann\" <ann@example.test>, bob@example.test"},
        {"Dr. O'Neil <o@example.test>", "\"Dr. O'Neil\" <o@example.test>"},
        {"J\xc3\xb6rg <j@example.test>", "=?UTF-8?B?SsO2cmc=?= <j@example.test>"},
    };
    for (const auto& c : cases) EXPECT_EQ(encode_addr_list(c.in), c.out) << c.in;
}

TEST(AttachmentNames, PlainNamesQuotedOthersInBothEncodedForms) {
    EXPECT_EQ(rfc2231_param("filename", "report.pdf"), "; filename=\"report.pdf\"");
    std::string p = rfc2231_param("filename", "r\xc3\xa9sum\xc3\xa9.txt");
    EXPECT_NE(p.find("filename*=UTF-8''r%C3%A9sum%C3%A9.txt"), std::string::npos) << p;
    EXPECT_NE(p.find("filename=\"=?UTF-8?B?"), std::string::npos) << p;
    // Long names continue over numbered pieces, never cutting an escape.
    std::string longname;
    for (int i = 0; i < 20; ++i) longname += "\xd0\x96";
    p = rfc2231_param("name", longname + ".bin");
    EXPECT_NE(p.find("name*0*=UTF-8''"), std::string::npos);
    EXPECT_NE(p.find("name*1*="), std::string::npos);
    std::string joined;
    for (std::size_t at = 0; (at = p.find("*=", at)) != std::string::npos; at += 2) {
        std::size_t end = p.find(';', at);
        std::string piece = p.substr(at + 2, end - at - 2);
        if (piece.rfind("UTF-8''", 0) == 0) piece.erase(0, 7);
        joined += piece;
    }
    EXPECT_EQ(pct_decode(joined), longname + ".bin");
    EXPECT_EQ(nopath(std::string_view("C:\\Users\\ann\\My Files\\plan.odt")), "plan.odt");
    EXPECT_EQ(nopath(std::string_view("a/b\r\n.txt")), "b.txt");
}

TEST(BodyText, WrapLinesAndTransferEncoding) {
    std::string t = "aaaa bbbb cccc dddd";
    do_wrap(t, 8);
    EXPECT_EQ(t, "aaaa bbbb\ncccc dddd");
    std::string esc = "aaaa bbbb \x1b cccc dddd eeee";
    do_wrap(esc, 8);
    EXPECT_EQ(esc, "aaaa bbbb\n\x1b cccc dddd eeee");

    EXPECT_EQ(to_crlf_lines(""), "\r\n");
    EXPECT_EQ(to_crlf_lines("a\rb\nc\r\n"), "a\r\nb\r\nc\r\n");
    EXPECT_EQ(to_crlf_lines("x\ny", "<br>"), "x<br>\r\ny<br>\r\n");

    struct { std::string text; bool no_qp; const char* cte; } cases[] = {
        {"plain text\r\n", false, "7bit"}, {"caf\xc3\xa9\r\n", false, "quoted-printable"},
        {"caf\xc3\xa9\r\n", true, "8bit"},
        {"\xce\x9a\xce\xb1\xce\xbb\xce\xb7\xce\xbc\xce\xad\xcf\x81\xce\xb1\r\n", false, "base64"},
        {std::string(1000, 'x') + "\r\n", false, "quoted-printable"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text_cte(c.text, c.no_qp), c.cte) << c.text.substr(0, 20);
        std::string enc = text_encode_cte(c.text, c.cte);
        std::string back;
        std::string cte = c.cte;
        if (cte == "base64") decode_base64(std::string(enc.begin(), enc.end() - 2), back);
        if (cte == "7bit" || cte == "8bit") back = enc;
        if (cte == "quoted-printable") back = unqp(enc);
        EXPECT_EQ(back, c.text) << c.cte;
    }
}

}  // namespace
