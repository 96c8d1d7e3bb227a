// The MIME structure: boundary list, header parameters, part numbering,
// named parts and their links, lookup by Content-ID, and hostile shapes.
#include <gtest/gtest.h>

#include <string>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "view/links.h"
#include "view/mime.h"

namespace {

class Mime : public ::testing::Test {
protected:
    void SetUp() override {
        ini_reset();
        diag_reset();
        mime_reset();
    }
};

TEST_F(Mime, BoundaryListTable) {
    boundary_add("Content-Type: multipart/mixed; boundary=\"abc def\"; charset=x");
    boundary_add("Content-Type: multipart/mixed; Boundary=xyz;charset=x");
    boundary_add("\tBOUNDARY=last stuff");
    boundary_add("no boundary here");
    boundary_add("boundary=");
    ASSERT_EQ(boundary_count(), 3);
    EXPECT_EQ(get_boundary(0), "--abc def");
    EXPECT_EQ(get_boundary(1), "--xyz");
    EXPECT_EQ(get_boundary(2), "--last");
    EXPECT_EQ(get_boundary(3), "");
    EXPECT_EQ(get_boundary(-1), "");
    struct Case { const char* line; int is; bool end; } cases[] = {
        {"--abc def", 1, false}, {"--abc def--", 1, true}, {"--xyz  ", 1, false}, {"--xyzzy", 1, false},
        {"-xyz", 0, false},      {"text --xyz", 0, false}, {"--last--x", 1, true}, {"", 0, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(boundary_check(c.line), c.is) << c.line;
        EXPECT_EQ(boundary_endbound(), c.end) << c.line;
    }
    boundary_clear();
    EXPECT_EQ(boundary_count(), 0);
    EXPECT_EQ(boundary_check("--xyz"), 0);
}

TEST_F(Mime, BoundaryListBeyondItsSize) {
    // Seen again: not stored twice, so the list never fills with repeats.
    for (int i = 0; i < 1000; i++) boundary_add("boundary=same");
    EXPECT_EQ(boundary_count(), 1);
    // More than the list holds: the first ones (the outer levels) stay.
    for (int i = 0; i < 300; i++) boundary_add("boundary=b" + std::to_string(i));
    EXPECT_EQ(boundary_count(), kMaxBoundaries);
    EXPECT_EQ(get_boundary(1), "--b0");
    EXPECT_EQ(get_boundary(kMaxBoundaries - 1), "--b198");
    EXPECT_EQ(boundary_check("--c250"), 0);
    std::string huge = "boundary=" + std::string(2000, 'q');
    boundary_clear();
    boundary_add(huge);
    EXPECT_EQ(get_boundary(0).size(), 2u + 502u);
}

TEST_F(Mime, HeaderParametersTable) {
    struct Case { const char* value; const char* param; const char* out; } cases[] = {
        {"multipart/mixed; boundary=\"a;b\"; charset=x", "boundary", "a;b"},
        {"multipart/mixed; boundary=abc;charset=x", "boundary", "abc"},
        {"text/plain; CHARSET=\"UTF-8\"", "charset", "UTF-8"},
        {"text/plain; name=\"a \\\"q\\\" b.txt\"", "name", "a \"q\" b.txt"},
        {"attachment; filename*=UTF-8''caf%C3%A9.pdf", "filename", "caf\xC3\xA9.pdf"},
        {"attachment; filename*=iso-8859-1'en'caf%E9.pdf", "filename", "caf\xC3\xA9.pdf"},
        {"attachment; filename*0=\"long\"; filename*1=\"name.txt\"", "filename", "longname.txt"},
        {"attachment; filename*1*=%A9.txt; filename*0*=utf-8''caf%C3", "filename", "caf\xC3\xA9.txt"},
        {"attachment; filename=\"plain.txt\"; filename*=UTF-8''better.txt", "filename", "better.txt"},
        {"attachment; filename=my file.pdf", "filename", "my file.pdf"},
        {"text/plain; xname=a; name=b", "name", "b"},
        {"text/plain", "charset", ""},
        {"text/plain; charset", "charset", ""},
        {"text/plain; charset=\"unterminated", "charset", "unterminated"},
    };
    for (const auto& c : cases) EXPECT_EQ(mime_param(c.value, c.param), c.out) << c.value;
    const char* head =
        "Subject: x\r\n"
        "Content-Type: text/plain;\r\n"
        "\tcharset=\"utf-8\"\r\n"
        "Content-Type: text/html\r\n"
        "X-Content-Type: no\r\n";
    EXPECT_EQ(mime_header_value(head, "content-type"), "text/plain;\tcharset=\"utf-8\"");
    EXPECT_EQ(mime_header_value(head, "content-id"), "");
    MimeHeader h = mime_parse_header(
        "Content-Type: IMAGE/PNG; name=\"=?utf-8?Q?b=C3=A9b=C3=A9.png?=\"\n"
        "Content-Transfer-Encoding: Base64\n"
        "Content-ID: <img1@x>\n"
        "Content-Disposition: INLINE\n",
        false);
    EXPECT_EQ(h.type, "image/png");
    EXPECT_EQ(h.encoding, "base64");
    EXPECT_EQ(h.content_id, "img1@x");
    EXPECT_EQ(h.disposition, "inline");
    EXPECT_EQ(h.name, "b\xC3\xA9" "b\xC3\xA9.png");
    EXPECT_EQ(mime_parse_header("Content-Type: garbage\n", false).type, "text/plain");
    EXPECT_EQ(mime_parse_header("", true).type, "message/rfc822");
}

const char* kMixed =
    "From: a@example.com\n"
    "Subject: two files\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"outer\"\n"
    "\n"
    "This is a multi-part message in MIME format.\n"
    "--outer\n"
    "Content-Type: text/plain\n"
    "\n"
    "Hello\n"
    "--outer\n"
    "Content-Type: application/pdf; name=\"a/b\\\\c:report.pdf\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "JVBERg==\n"
    "--outer\n"
    "Content-Type: image/png\n"
    "Content-ID: <logo@x>\n"
    "Content-Disposition: attachment; filename=\"<img src=x onerror=alert(1)>.png\"\n"
    "\n"
    "iVBORw==\n"
    "--outer--\n"
    "epilogue\n";

TEST_F(Mime, PartsOfAMultipartAreNumberedInOrder) {
    MimeTree t;
    mime_parse(kMixed, t);
    ASSERT_EQ(t.parts.size(), 4u);
    EXPECT_EQ(t.parts[0].children.size(), 3u);
    EXPECT_EQ(t.parts[1].body, "Hello");
    EXPECT_EQ(t.parts[2].body, "JVBERg==");
    EXPECT_EQ(t.parts[3].h.content_id, "logo@x");
    EXPECT_EQ(t.by_number(3), 3);
    EXPECT_EQ(t.by_number(4), -1);

    part_source(kMixed);
    std::string name;
    EXPECT_EQ(part_next(name, 0), 2);
    EXPECT_EQ(name, "report.pdf");
    EXPECT_EQ(part_next(name, 2), 3);
    EXPECT_EQ(name, "<img src=x onerror=alert(1)>.png");
    EXPECT_EQ(part_next(name, 3), -1);
    EXPECT_EQ(name, "");
    EXPECT_EQ(part_find("<logo@x>"), 3);
    EXPECT_EQ(part_find("logo@x"), 3);
    EXPECT_EQ(part_find("other@x"), -1);
    EXPECT_EQ(part_find(""), -1);

    std::string_view line;
    part_rewind();
    ASSERT_TRUE(part_line(line));
    EXPECT_EQ(line, "From: a@example.com");
}

TEST_F(Mime, AttachmentLinksEscapeTheNameFromTheMail) {
    PartLinkInfo li;
    li.script = "/cgi-bin/lk";
    li.item = "12";
    li.fld = 3;
    li.utoken = "t&k n";
    part_set_link_info(li);
    part_source(kMixed);
    EXPECT_EQ(part_list(),
              "<a href=\"/cgi-bin/lk/report.pdf?cmd=item&amp;item=12&amp;utoken=t%26k%20n&amp;part=2&amp;fld=3"
              "&amp;/report.pdf\">report.pdf</a> , "
              "<a href=\"/cgi-bin/lk/imgsrcxonerroralert1.png?cmd=item&amp;item=12&amp;utoken=t%26k%20n&amp;part=3&amp;fld=3"
              "&amp;/imgsrcxonerroralert1.png\">&lt;img src=x onerror=alert(1)&gt;.png</a> ");
    EXPECT_EQ(part_names(), "report.pdf imgsrcxonerroralert1.png ");
    ini_set(K_no_slash_filename, "true");
    EXPECT_EQ(part_list().substr(0, 40), "<a href=\"/cgi-bin/lk?cmd=item&amp;item=1");
    li.wml = true;
    part_set_link_info(li);
    EXPECT_EQ(part_list(), "report.pdf , imgsrcxonerroralert1.png ");
}

TEST_F(Mime, NestedMultipartsAndAttachedMessages) {
    const char* msg =
        "Content-Type: multipart/mixed; boundary=A\n"
        "\n"
        "--A\n"
        "Content-Type: multipart/alternative; boundary=B\n"
        "\n"
        "--B\n"
        "Content-Type: text/plain\n"
        "\n"
        "plain\n"
        "--B\n"
        "Content-Type: text/html\n"
        "\n"
        "<b>html</b>\n"
        "--B--\n"
        "--A\n"
        "Content-Type: message/rfc822\n"
        "\n"
        "Subject: inner\n"
        "Content-Type: multipart/mixed; boundary=C\n"
        "\n"
        "--C\n"
        "Content-Type: text/plain\n"
        "\n"
        "inner text\n"
        "--C\n"
        "Content-Type: text/plain; name=inner.txt\n"
        "\n"
        "file\n"
        "--C--\n"
        "--A--\n";
    MimeTree t;
    mime_parse(msg, t);
    // Numbers follow the opening boundary lines: 1 alternative, 2 plain,
    // 3 html, 4 the message, 5 and 6 inside it.
    std::vector<std::pair<int, std::string>> want = {
        {0, "multipart/mixed"}, {1, "multipart/alternative"}, {2, "text/plain"}, {3, "text/html"},
        {4, "message/rfc822"},  {-1, "multipart/mixed"},      {5, "text/plain"}, {6, "text/plain"}};
    ASSERT_EQ(t.parts.size(), want.size());
    for (std::size_t i = 0; i < want.size(); i++) {
        EXPECT_EQ(t.parts[i].number, want[i].first) << i;
        EXPECT_EQ(t.parts[i].h.type, want[i].second) << i;
    }
    EXPECT_EQ(t.parts[3].body, "<b>html</b>");
    EXPECT_EQ(t.parts[6].body, "inner text");
    EXPECT_EQ(t.parts[7].body, "file");
    EXPECT_EQ(t.parts[5].depth, 2);
    part_source(msg);
    std::string name;
    EXPECT_EQ(part_next(name, 0), 4);
    EXPECT_EQ(name, "message 1");
    EXPECT_EQ(part_next(name, 4), 6);
    EXPECT_EQ(name, "inner.txt");
}

TEST_F(Mime, MalformedStructureTable) {
    struct Case {
        const char* name;
        std::string msg;
        std::size_t parts;
        std::string last_body;
        bool truncated;
    } cases[] = {
        {"closing boundary missing",
         "Content-Type: multipart/mixed; boundary=x\n\n--x\nContent-Type: text/plain\n\ncut off", 2, "cut off", true},
        {"no boundary parameter", "Content-Type: multipart/mixed\n\n--x\nbody\n", 1, "--x\nbody\n", false},
        {"part without a header", "Content-Type: multipart/mixed; boundary=x\n\n--x\nno header here\n--x--\n", 2,
         "no header here", false},
        {"cut inside a part header",
         "Content-Type: multipart/mixed; boundary=x\n\n--x\nContent-Type: text/html\nContent-", 2, "Content-", true},
        {"boundary that is a prefix of another",
         "Content-Type: multipart/mixed; boundary=ab\n\n--ab\nContent-Type: multipart/mixed; boundary=abcd\n\n"
         "--abcd\n\none\n--abcd--\n--ab--\n",
         3, "one", false},
        {"close of an outer boundary ends the inner parts",
         "Content-Type: multipart/mixed; boundary=o\n\n--o\nContent-Type: multipart/mixed; boundary=i\n\n--i\n\n"
         "inner\n--o--\n",
         3, "inner", false},
        {"CR LF line ends", "Content-Type: multipart/mixed; boundary=x\r\n\r\n--x\r\n\r\ncrlf\r\n--x--\r\n", 2, "crlf",
         false},
        {"empty message", "", 1, "", false},
        {"header only", "Subject: x", 1, "", false},
    };
    for (const auto& c : cases) {
        MimeTree t;
        mime_parse(c.msg, t);
        ASSERT_EQ(t.parts.size(), c.parts) << c.name;
        EXPECT_EQ(t.parts.back().body, c.last_body) << c.name;
        EXPECT_EQ(t.parts[0].truncated, c.truncated) << c.name;
    }
}

TEST_F(Mime, HostileSizesStayBounded) {
    // Nesting 100 deep: parsed to the depth limit, the rest is opaque data.
    std::string deep;
    for (int i = 0; i < 100; i++)
        deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n--b" + std::to_string(i) + "\n";
    deep += "Content-Type: text/plain\n\nbottom\n";
    MimeTree t;
    mime_parse(deep, t);
    EXPECT_TRUE(t.limited);
    EXPECT_EQ(static_cast<int>(t.parts.size()), kMaxMimeDepth + 1);
    // Attached messages nest the same way.
    std::string msgs;
    for (int i = 0; i < 100; i++) msgs += "Content-Type: message/rfc822\n\n";
    mime_parse(msgs, t);
    EXPECT_TRUE(t.limited);
    EXPECT_LE(static_cast<int>(t.parts.size()), kMaxMimeDepth + 1);
    // Too many parts: the rest stays body text of the last part.
    std::string many = "Content-Type: multipart/mixed; boundary=x\n\n";
    for (int i = 0; i < kMaxMimeParts + 50; i++) many += "--x\n\np\n";
    mime_parse(many, t);
    EXPECT_EQ(static_cast<int>(t.parts.size()), kMaxMimeParts);
    EXPECT_TRUE(t.limited);
    // A 10 MB line.
    std::string big = "Content-Type: multipart/mixed; boundary=x\n\n--x\n\n" + std::string(10 << 20, '-') + "\n--x--\n";
    mime_parse(big, t);
    ASSERT_EQ(t.parts.size(), 2u);
    EXPECT_EQ(t.parts[1].body.size(), static_cast<std::size_t>(10 << 20));
}

TEST_F(Mime, SafeFileNamesTable) {
    const std::pair<const char*, const char*> cases[] = {
        {"report.pdf", "report.pdf"}, {"my file (1).pdf", "myfile1.pdf"}, {" / / ", "attach"},
        {"", "attach"},               {"..", "attach"},                  {"caf\xC3\xA9.txt", "caf.txt"},
        {"a\"b<c>.html", "abc.html"}, {"../../etc/passwd", "....etcpasswd"},
    };
    for (const auto& c : cases) EXPECT_EQ(nice_fname(c.first), c.second) << c.first;
    EXPECT_EQ(nice_fname(std::string(2000, 'a')).size(), 511u);
    EXPECT_EQ(id_unbracket(" <abc@x> trailing"), "abc@x");
    EXPECT_EQ(id_unbracket("plain"), "plain");
}

}  // namespace
