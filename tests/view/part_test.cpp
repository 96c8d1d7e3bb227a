// Single parts for download: the bytes, and the header that keeps the
// browser from treating mail content as one of our pages.
#include "test_env.h"
#include "view/body.h"
#include "view/mime.h"
#include "view/mimecodec.h"
#include "view/part.h"

namespace {

std::string slurp(const std::string& name) { return lk_test::slurp(LK_SOURCE_DIR "/tests/data/mime/" + name); }

std::string bytes_of(std::string_view msg, int n, long* ret = nullptr) {
    std::string out;
    long r = part_write(msg, n, [&](std::string_view s) { out += s; });
    if (ret) *ret = r;
    return out;
}

class Part : public ::testing::Test {
protected:
    void SetUp() override {
        subsystems_reset();
    }
};

TEST_F(Part, PartsOfANestedMessage) {
    std::string msg = slurp("nested.eml");
    struct Case { int n; const char* type; const char* served; const char* name; bool inline_ok; } cases[] = {
        {5, "image/png", "image/png", "chart.png", true},
        {6, "application/pdf", "application/pdf", "Q3 r\xC3\xA9port.pdf", false},
        {4, "text/html", "application/octet-stream", "part4.html", false},
        {2, "text/plain", "text/plain; charset=utf-8", "part2.txt", false},
        {7, "message/rfc822", "message/rfc822", "message 1", false},
        {99, "multipart/mixed", "application/octet-stream", "attachment", false},
    };
    for (const auto& c : cases) {
        PartInfo info;
        ASSERT_TRUE(part_info(msg, c.n, info)) << c.n;
        EXPECT_EQ(info.type, c.type) << c.n;
        EXPECT_EQ(info.served_type, c.served) << c.n;
        EXPECT_EQ(info.name, c.name) << c.n;
        EXPECT_EQ(info.inline_ok, c.inline_ok) << c.n;
        long ret = 0;
        std::string b = bytes_of(msg, c.n, &ret);
        EXPECT_EQ(static_cast<long>(b.size()), info.length) << c.n;
        EXPECT_EQ(ret, info.length) << c.n;
    }
    EXPECT_EQ(bytes_of(msg, 6).substr(0, 8), "%PDF-1.4");
    std::string sent;
    EXPECT_EQ(part_send(msg, 6, [&](std::string_view s) { sent += s; }), 1);
    PartInfo pdf;
    ASSERT_TRUE(part_info(msg, 6, pdf));
    EXPECT_EQ(sent, part_headers(pdf) + bytes_of(msg, 6));
    EXPECT_EQ(part_send(msg, 8, [&](std::string_view s) { sent += s; }), 0);
    EXPECT_EQ(bytes_of(msg, 5).substr(1, 3), "PNG");
    EXPECT_EQ(bytes_of(msg, 2), "The report is attached. Caf\xC3\xA9 at 3?");
    EXPECT_EQ(bytes_of(msg, 7).substr(0, 25), "From: Frank <frank@exampl");
    PartInfo none;
    EXPECT_FALSE(part_info(msg, 1, none));   // a multipart has no bytes of its own
    EXPECT_FALSE(part_info(msg, 8, none));
    EXPECT_FALSE(part_info(msg, -3, none));
    long ret = 0;
    EXPECT_EQ(bytes_of(msg, 8, &ret), "");
    EXPECT_EQ(ret, -1);
}

TEST_F(Part, UuencodedFilesAndSingleAttachments) {
    std::string msg = slurp("uuencode.eml");
    std::string want;
    for (int k = 0; k < 2; k++)
        for (int i = 0; i < 256; i++) want += static_cast<char>(i);
    EXPECT_EQ(bytes_of(msg, 100), want);
    PartInfo info;
    ASSERT_TRUE(part_info(msg, 101, info));
    EXPECT_EQ(info.served_type, "image/gif");
    EXPECT_EQ(info.name, "dot.gif");
    EXPECT_TRUE(info.inline_ok);
    EXPECT_EQ(bytes_of(msg, 101).substr(0, 6), "GIF89a");
    EXPECT_EQ(static_cast<long>(bytes_of(msg, 101).size()), info.length);
    EXPECT_FALSE(part_info(msg, 102, info));

    std::string att = slurp("attachment.eml");
    ASSERT_TRUE(part_info(att, 99, info));
    EXPECT_EQ(info.served_type, "image/jpeg");
    EXPECT_EQ(info.name, "scan 1.jpg");
    EXPECT_EQ(bytes_of(att, 99).substr(0, 3), "\xFF\xD8\xFF");
}

TEST_F(Part, QuotedPrintableAndLargePartsStream) {
    std::string qp = slurp("qp.eml");
    MimeTree t;
    mime_parse(qp, t);
    EXPECT_EQ(bytes_of(qp, 99), part_decode(t.parts[0]));

    // 4 MB of data in base64: written in pieces, never more than 64 KB each.
    std::string data;
    for (int i = 0; i < (4 << 20); i++) data += static_cast<char>((i * 131) >> 3);
    std::string msg = "Content-Type: multipart/mixed; boundary=z\n\n--z\n\nhi\n--z\n"
                      "Content-Type: application/octet-stream; name=big.bin\n"
                      "Content-Transfer-Encoding: base64\n\n";
    std::string enc = sencode_base64(data);
    for (std::size_t i = 0; i < enc.size(); i += 76) msg += enc.substr(i, 76) + "\r\n";
    msg += "--z--\n";
    PartInfo info;
    ASSERT_TRUE(part_info(msg, 2, info));
    EXPECT_EQ(info.length, static_cast<long>(data.size()));
    std::string got;
    std::size_t pieces = 0, biggest = 0;
    part_write(msg, 2, [&](std::string_view s) {
        pieces++;
        biggest = std::max(biggest, s.size());
        got += s;
    });
    EXPECT_EQ(got, data);
    EXPECT_GT(pieces, 40u);
    EXPECT_LE(biggest, 65536u);
}

TEST_F(Part, ServedTypesNeverRenderAsPages) {
    const std::pair<std::pair<const char*, const char*>, const char*> cases[] = {
        {{"text/html", ""}, "application/octet-stream"},
        {{"image/svg+xml", ""}, "application/octet-stream"},
        {{"application/xhtml+xml", ""}, "application/octet-stream"},
        {{"text/xml", ""}, "application/octet-stream"},
        {{"application/xml", ""}, "application/octet-stream"},
        {{"application/javascript", ""}, "application/octet-stream"},
        {{"text/vnd.wap.wml", ""}, "application/octet-stream"},
        {{"multipart/x-mixed-replace", ""}, "application/octet-stream"},
        {{"IMAGE/JPG", ""}, "image/jpeg"},
        {{"image/png", ""}, "image/png"},
        {{"text/plain", "UTF-8"}, "text/plain; charset=utf-8"},
        {{"text/plain", "utf-8\r\nSet-Cookie: x=y"}, "text/plain"},
        {{"text/plain", "utf-8; x"}, "text/plain"},
        {{"", ""}, "application/octet-stream"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(part_safe_type(c.first.first, c.first.second), c.second) << c.first.first;
}

TEST_F(Part, FileNamesInTheHeaderTable) {
    const std::pair<const char*, const char*> cases[] = {
        {"report.pdf", "attachment; filename=\"report.pdf\""},
        {"Q3 r\xC3\xA9port.pdf", "attachment; filename=\"Q3 r_port.pdf\"; filename*=UTF-8''Q3%20r%C3%A9port.pdf"},
        {"../../etc/passwd", "attachment; filename=\"passwd\""},
        {"C:\\Windows\\evil.exe", "attachment; filename=\"evil.exe\""},
        {"a\"b\\c.txt", "attachment; filename=\"c.txt\""},
        {"say \"hi\".txt", "attachment; filename=\"say _hi_.txt\"; filename*=UTF-8''say%20%22hi%22.txt"},
        {"x\r\nSet-Cookie: a=b.txt", "attachment; filename=\" a=b.txt\""},
        {"", "attachment; filename=\"attachment\""},
        {"...", "attachment; filename=\"attachment\""},
        {"100%;.txt", "attachment; filename=\"100__.txt\"; filename*=UTF-8''100%25%3B.txt"},
    };
    for (const auto& c : cases) {
        std::string d = part_disposition(c.first, false);
        EXPECT_EQ(d, c.second) << c.first;
        EXPECT_EQ(d.find_first_of("\r\n"), std::string::npos);
    }
    EXPECT_EQ(part_disposition("a.png", true), "inline; filename=\"a.png\"");
    PartInfo info;
    info.served_type = "application/octet-stream";
    info.length = 42;
    info.name = "x.html";
    EXPECT_EQ(part_headers(info),
              "Content-Type: application/octet-stream\n"
              "Content-Length: 42\n"
              "Content-Disposition: attachment; filename=\"x.html\"\n"
              "X-Content-Type-Options: nosniff\n"
              "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; sandbox\n"
              "Cache-Control: no-store\nX-Frame-Options: SAMEORIGIN\nReferrer-Policy: no-referrer\n\n");
}

TEST_F(Part, MappedFilesGiveTheStoredBytes) {
    lk_test::TempDir tmp;
    const std::string path = tmp.path + "/m";
    for (std::string text : {"Subject: x\n\nbody\n", ""}) {   // an empty file maps as empty
        lk_test::spit(path, text);
        MappedFile m(path);
        ASSERT_TRUE(m.ok());
        EXPECT_EQ(m.view(), text);
    }
    MappedFile gone(tmp.path + "/gone");
    EXPECT_FALSE(gone.ok());
}

// A base64 attachment's declared length is the length of the bytes sent,
// and the bytes are the attachment, whatever the body's line breaks, stray
// characters or padding in the middle.
TEST_F(Part, Base64BodyLengthAndBytesAgree) {
    std::string data;
    for (int i = 0; i < 5000; ++i) data += static_cast<char>((i * 131 + i / 7) & 0xFF);
    const std::string enc = sencode_base64(data);
    auto lines = [](const std::string& e, std::size_t width, const char* eol) {
        std::string out;
        for (std::size_t i = 0; i < e.size(); i += width) out += e.substr(i, width) + eol;
        return out;
    };
    struct Case { const char* what; std::string body; std::string bytes; };
    const Case cases[] = {
        {"76 a line, LF", lines(enc, 76, "\n"), data},
        {"odd width, CRLF", lines(enc, 57, "\r\n"), data},
        {"a stray character inside a group", enc.substr(0, 10) + "*" + enc.substr(10) + "\n", data},
        {"padding in the middle", "QQ==\nQUI=\nQUJD\n", "AABABC"},
        {"no padding at the end", "QUJDRA\n", "ABCD"},
        {"spaces between groups", "QUJD QUJD\tQUJD\n", "ABCABCABC"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string msg = "Content-Type: multipart/mixed; boundary=B\n\n--B\nContent-Type: text/plain\n\nhi\n"
                                "--B\nContent-Type: application/octet-stream; name=a.bin\n"
                                "Content-Transfer-Encoding: base64\n\n" + c.body + "--B--\n";
        PartInfo info;
        ASSERT_TRUE(part_info(msg, 2, info));
        EXPECT_EQ(bytes_of(msg, 2), c.bytes);
        EXPECT_EQ(info.length, static_cast<long>(c.bytes.size()));
    }
}

}  // namespace
