// Query, URL-encoded and multipart decoding, and the field lookups.

#include <vector>

#include "test_env.h"

namespace {

using FormTest = CgiTest;

// What url_unescape adds to the percent decoder (escape_test has its edges).
TEST(FormCodec, UnescapeEdges) {
    struct Case { const char* in; std::string out; } cases[] = {
        {"a+b", "a b"}, {"%41%62c", "Abc"},
        {"ab%00cd", "ab"},         // a NUL byte ends the text
        {"%2B+", "+ "},            // an encoded plus is not a blank
    };
    for (const auto& c : cases) EXPECT_EQ(url_unescape(c.in), c.out) << c.in;
}

// Passwords and session tokens never reach the log, however the name is written.
TEST(FormCodec, SecretValuesMaskedForTheLog) {
    const std::pair<const char*, const char*> cases[] = {
        {"cmd=login&user=ann&pass=x%26y", "cmd=login&user=ann&pass=****"},
        {"utoken=ann@h_123&fld=0", "utoken=****&fld=0"},
        {"newpass1=a&Pass=b&lkssig=9", "newpass1=****&Pass=****&lkssig=****"},
        {"%70ass=hidden", "%70ass=****"}, {"a&&b=1&", "a&&b=1&"}, {"pass", "pass"}, {"", ""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(field_text_for_log(in), out) << in;
}

TEST(FormCodec, ConvertCrlf) {
    struct Case { std::string in, out; } cases[] = {
        {"a\r\nb", "a\nb"},
        {"a\r\r\nb", "a\r\nb"},   // the character after a CR is kept as it is
        {"end\r", "end"},          // a CR last is dropped
        {"\r", ""}, {"plain", "plain"},
    };
    for (auto& c : cases) {
        std::string s = c.in;
        convert_crlf(s);
        EXPECT_EQ(s, c.out);
    }
}

TEST(FormCodec, GetQuote) {
    struct Case { const char* in; const char* out; } cases[] = {
        {"\"a b\"; rest", "a b"}, {"\"unterminated", "unterminated"}, {"word;x", "word"},
        {"w,x", "w"},             {"w x", "w"},                       {"w\nx", "w"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(get_quote(c.in), c.out) << c.in;
    EXPECT_EQ(get_quote(std::string(600, 'q')).size(), 511u);
}

TEST_F(FormTest, QueryDecoding) {
    setenv("QUERY_STRING", "cmd=item&fld=In+box&amp;item=3&x%3Dy=a%26b&noval&set_color=red&page?z=1&&=e", 1);
    ASSERT_EQ(query_get(), 1);
    EXPECT_EQ(query_find("cmd"), "item");
    EXPECT_EQ(query_find("fld"), "In box");
    EXPECT_EQ(query_find("item"), "3");          // "&amp;" separators decode like "&"
    EXPECT_EQ(query_find("x"), "y=a&b");         // decoded before the split at "="
    ASSERT_NE(nquery_find("noval"), nullptr);
    EXPECT_EQ(*nquery_find("noval"), "");
    EXPECT_EQ(nquery_find("absent"), nullptr);
    EXPECT_EQ(query_find("absent"), "");
    EXPECT_EQ(query_find("color"), "red");       // "set_" is dropped ...
    EXPECT_EQ(var_find("color"), "red");         // ... and sets the variable
    EXPECT_EQ(query_find("z"), "1");             // only the part after "?"
    EXPECT_EQ(*nquery_find(""), "e");
}

TEST_F(FormTest, QueryLimits) {
    setenv("QUERY_STRING", std::string(2049, 'a').c_str(), 1);
    EXPECT_EQ(query_get(), 0);
    EXPECT_EQ(query_n(), 0);
    form_reset();
    setenv("QUERY_STRING", ("v=" + std::string(2046, 'b')).c_str(), 1);   // exactly 2048
    EXPECT_EQ(query_get(), 1);
    EXPECT_EQ(query_find("v").size(), 1997u);   // a piece holds at most 1999 characters
    form_reset();
    unsetenv("QUERY_STRING");
    g.cl_query = "cmd=test";
    EXPECT_EQ(query_get(), 1);
    EXPECT_EQ(query_find("cmd"), "test");
}

TEST_F(FormTest, QueryNewframeAndQueryPut) {
    setenv("QUERY_STRING", "cmd=list&newframe=1&utoken=T", 1);
    query_get();
    // The parameter is cut as its name, "=" and one character.
    EXPECT_EQ(var_find("docmd"), "cmd=list&&utoken=T");
    query_put("cmd", "b");   // replaces
    query_put("new", "c");   // appends
    EXPECT_EQ(query_find("cmd"), "b");
    EXPECT_EQ(query_find("new"), "c");
    EXPECT_EQ(query_n(), 4);
}

TEST_F(FormTest, UrlEncodedBody) {
    setenv("QUERY_STRING", "only=q&both=query", 1);
    query_get();
    set_body("both=form&msg=line1%0D%0Aline2&set_title=Hi+there&flag=none&empty=&u_x=1&u_y=2");
    setenv("CONTENT_TYPE", "application/x-www-form-urlencoded", 1);
    form_get();
    EXPECT_EQ(form_find("both"), "form");      // the form wins over the query
    EXPECT_EQ(form_find("only"), "q");         // the query stands in
    EXPECT_EQ(form_find("msg"), "line1\nline2");
    EXPECT_EQ(var_find("title"), "Hi there");
    EXPECT_TRUE(form_true("flag"));            // "none" contains "on"
    EXPECT_FALSE(form_true("empty"));
    EXPECT_FALSE(form_true("absent"));
    EXPECT_EQ(form_find_i("only", 0), "");     // form only
    EXPECT_EQ(form_user_prefix(), 2);
    EXPECT_EQ(var_find("u_y"), "2");
    EXPECT_EQ(query_user_prefix(), 0);
    ASSERT_NE(form_findn("ms"), nullptr);
    EXPECT_EQ(*form_findn("ms"), "msg");
    EXPECT_EQ(form_findn("only"), nullptr);    // form only
}

// CONTENT_LENGTH bounds the read; a body shorter than it is read whole,
// and a missing or unusable length reads nothing.
TEST_F(FormTest, ContentLengthBoundsTheRead) {
    struct Case { const char* length; const char* body; int fields; const char* b; } cases[] = {
        {"100000", "a=1&b=2", 2, "2"},
        {"5", "a=1&b=2&c=3", 2, ""},   // "b" with its value cut off, "c" never read
        {"-5", "a=1", 0, ""}, {"junk", "a=1", 0, ""}, {"", "a=1", 0, ""}, {"0", "a=1", 0, ""}, {nullptr, "a=1", 0, ""},
    };
    for (const Case& c : cases) {
        reset_all();
        set_body(c.body);
        if (c.length) setenv("CONTENT_LENGTH", c.length, 1);
        else unsetenv("CONTENT_LENGTH");
        form_get();
        EXPECT_EQ(form_n(), c.fields) << (c.length ? c.length : "unset");
        if (c.fields) {
            EXPECT_EQ(form_find("a"), "1");
            EXPECT_EQ(form_find("b"), c.b);
        }
    }
}

TEST_F(FormTest, FormEntryLimit) {
    std::string b;
    for (int i = 0; i < 1200; ++i) b += "f" + std::to_string(i) + "=v&";
    set_body(b);
    form_get();
    EXPECT_EQ(form_n(), 999);
    form_put("extra", "x");
    EXPECT_EQ(nform_find("extra"), nullptr);
    form_put("f3", "changed");                 // replacing still works
    EXPECT_EQ(form_find("f3"), "changed");
}

TEST_F(FormTest, IndexedAndListLookups) {
    set_body("attach2=p2&on1=checked+on&lines=a%0D%0Ab%0D%0A%0D%0Ac&lines=x%0Ay");
    form_get();
    EXPECT_EQ(form_findi("attach", 2), "p2");
    ASSERT_NE(nform_findi("attach", 2), nullptr);
    EXPECT_EQ(nform_findi("attach", 3), nullptr);
    EXPECT_TRUE(form_truei("on", 1));
    std::vector<std::string> l;
    EXPECT_TRUE(form_get_list("lines", l));    // first field, lines reversed
    EXPECT_EQ(l, (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_FALSE(form_get_list("nolines", l));
    form_find_list("lines", l);                // last field, in order
    EXPECT_EQ(l, (std::vector<std::string>{"x", "y"}));
    std::string n, v;
    EXPECT_TRUE(form_get_pair(0, n, v));
    EXPECT_EQ(n + "=" + v, "attach2=p2");
    EXPECT_FALSE(form_get_pair(form_n(), n, v));
    EXPECT_FALSE(form_get_pair(-1, n, v));
}

TEST_F(FormTest, ClearVars) {
    EXPECT_EQ(clear_vars(), 0);
    var_set("u_a", "1");
    var_set("other", "2");
    set_body("clear_uvars=u_a%2C+other+u_b");
    form_get();
    EXPECT_EQ(clear_vars(), 2);
    EXPECT_EQ(var_find("u_a"), "");
    EXPECT_EQ(var_find("other"), "2");
}

const char* const kBoundary = "XyZ";

std::string part(const std::string& headers, const std::string& content) {
    return std::string("--") + kBoundary + "\r\n" + headers + "\r\n\r\n" + content + "\r\n";
}
std::string field(const std::string& name, const std::string& value) {
    return part("Content-Disposition: form-data; name=\"" + name + "\"", value);
}
std::string upload(const std::string& name, const std::string& fname, const std::string& content,
                   const std::string& type = "application/octet-stream") {
    return part("Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fname +
                    "\"\r\nContent-Type: " + type,
                content);
}
std::string closing() { return std::string("--") + kBoundary + "--\r\n"; }

TEST_F(FormTest, MultipartFieldsAndFiles) {
    static const char kBinary[] = "\x00\x01\r\n\r\nbin\r\n\xff";
    const std::string binary(kBinary, sizeof kBinary - 1);
    set_body("preamble ignored\r\n" + field("cmd", "send") + field("text", "line1\r\nline2") +
             field("set_subject", "Hello") + upload("attach", "../../etc/passwd", binary) +
             upload("attach2", "note.txt", "text\r\n", "text/plain") + field("after", "ok") + closing() +
             "epilogue=ignored");
    setenv("CONTENT_TYPE", "multipart/form-data; boundary=XyZ", 1);
    form_get();
    EXPECT_EQ(form_find("cmd"), "send");
    EXPECT_EQ(form_find("text"), "line1\r\nline2");
    EXPECT_EQ(var_find("subject"), "Hello");
    EXPECT_EQ(form_find("after"), "ok");
    EXPECT_EQ(nform_find("epilogue"), nullptr);
    // Files land in the program's own temporary files; the browser's name
    // is only remembered.
    const std::string& p0 = attach_fname(0);
    EXPECT_EQ(form_find("attach"), p0);
    EXPECT_EQ(p0.rfind(dir + "/at", 0), 0u) << p0;
    EXPECT_EQ(slurp(p0), binary);
    EXPECT_EQ(attach_name(0), "../../etc/passwd");
    EXPECT_EQ(attach_type(0), "application/octet-stream");
    EXPECT_EQ(slurp(attach_fname(1)), "text\r\n");
    EXPECT_EQ(attach_type(1), "text/plain");
    EXPECT_EQ(attach_name(1), "note.txt");
    EXPECT_EQ(form_find("attach2"), attach_fname(1));
    EXPECT_FALSE(std::filesystem::exists("/etc/passwd.tmp"));
    // Slots outside 0-3 mean slot 0.
    EXPECT_EQ(attach_fname(7), p0);
    EXPECT_EQ(attach_name(-1), attach_name(0));
    form_reset();   // the request's temporary files go with it
    EXPECT_FALSE(std::filesystem::exists(p0));
}

TEST_F(FormTest, MultipartFifthFileReusesSlotZero) {
    std::string b;
    for (int i = 0; i < 5; ++i) b += upload("f" + std::to_string(i), "n" + std::to_string(i), "c" + std::to_string(i));
    set_body(b + closing());
    setenv("CONTENT_TYPE", "multipart/form-data; boundary=\"XyZ\"", 1);
    form_get();
    EXPECT_EQ(attach_name(0), "n4");
    EXPECT_EQ(slurp(attach_fname(0)), "c4");
    EXPECT_EQ(slurp(attach_fname(3)), "c3");
    EXPECT_EQ(form_find("f0"), form_find("f4"));
}

TEST_F(FormTest, MultipartDefects) {
    struct Case { const char* what; std::string type, body; long length; int fields; } cases[] = {
        {"no boundary", "multipart/form-data", field("a", "1") + closing(), -1, 0},
        {"truncated inside a part", "multipart/form-data; boundary=XyZ", field("a", "1") + "--XyZ\r\nContent-Disp", -1, 1},
        {"no closing line", "multipart/form-data; boundary=XyZ", field("a", "1") + field("b", "2"), -1, 1},
        {"content length beyond the body", "multipart/form-data; boundary=XyZ", field("a", "1") + closing(), 1 << 20, 1},
        {"garbage", "multipart/form-data; boundary=XyZ", std::string("\x00\xff\r\r\n--\n--Xy", 12), -1, 0},
        {"part without a name", "multipart/form-data; boundary=XyZ", part("Content-Type: text/plain", "x") + closing(), -1, 0},
    };
    for (const auto& c : cases) {
        reset_all();
        set_body(c.body, c.length);
        setenv("CONTENT_TYPE", c.type.c_str(), 1);
        form_get();
        EXPECT_EQ(form_n(), c.fields) << c.what;
    }
    // The missing boundary is logged (not shown on the page).
    reset_all();
    diag_end_pre_ini();
    set_body(field("a", "1"));
    setenv("CONTENT_TYPE", "multipart/form-data", 1);
    form_get();
    EXPECT_NE(log_text().find("E9: Can't find boundary in mime contents multipart/form-data"), std::string::npos);
}

TEST_F(FormTest, MultipartLongLinesAndBigValues) {
    std::string longline(1000, 'x');
    std::string big(70000, 'y');
    std::string file_content = std::string(399, 'a') + "\r\n" + std::string(401, 'b');   // CR LF across a 400-byte piece
    set_body(field("long", longline) + field("big", big) + upload("f", "f.bin", file_content) + closing());
    setenv("CONTENT_TYPE", "multipart/form-data; boundary=XyZ", 1);
    form_get();
    EXPECT_EQ(form_find("long"), longline);
    EXPECT_GE(form_find("big").size(), 59601u);
    EXPECT_LT(form_find("big").size(), 60100u);
    EXPECT_EQ(slurp(attach_fname(0)), file_content);
}

TEST_F(FormTest, MultipartTextStdin) {
    ini_set(K_text_stdin, "true");
    set_body(field("t", "a\r\nb") + upload("f", "x", "1\r\n2") + closing());
    setenv("CONTENT_TYPE", "multipart/form-data; boundary=XyZ", 1);
    form_get();
    EXPECT_EQ(form_find("t"), "a\nb");
    EXPECT_EQ(slurp(attach_fname(0)), "1\n2");
}

TEST_F(FormTest, LookupsStayValidWhenFieldsAreAdded) {
    set_body("first=1");
    form_get();
    const std::string& first = form_find("first");
    for (int i = 0; i < 500; ++i) form_put("f" + std::to_string(i), "v");
    EXPECT_EQ(first, "1");
    const std::string* q = nullptr;
    query_put("a", "x");
    q = nquery_find("a");
    for (int i = 0; i < 500; ++i) query_put("q" + std::to_string(i), "v");
    EXPECT_EQ(*q, "x");
}

}  // namespace
