#include "test_env.h"

using EncodeTest = PageTest;

struct Row { const char* in; const char* out; };

TEST_F(EncodeTest, ValueEncodeHtmlAndWml) {
    const Row html[] = {
        {"<a href=\"x\">&'", "&lt;a href=&quot;x&quot;&gt;&amp;&#39;"},
        {"$`{|}", "$&#96;{|}"},   // a value may stand in an unquoted attribute
        {"tab\there\n", "tab\there\n"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},                  // UTF-8 kept whole
        {"\xe2\x80\x9c<b>", "\xe2\x80\x9c&lt;b&gt;"},   // a stray high byte never swallows "<"
        {"\x1b$B<x\x1b(B<", "\x1b$B&lt;x\x1b(B&lt;"},     // double-byte stretch still escapes markup
    };
    for (const auto& r : html) EXPECT_EQ(value_encode(r.in), r.out) << r.in;
    EXPECT_EQ(value_encode(static_cast<const char*>(nullptr)), "");
    g.gwml = 1;
    const Row wml[] = {
        {"\"'", "&quot;&apos;"},
        {"$`{|}\x7f", "&#36;&#36;&#96;&#123;&#124;&#125;&#127;"},
        {"a\nbc", "a#c"},              // control byte shown as "#", next byte dropped
        {"\x0e" "ab\x0f" "cd", "###d"},   // shift-out stretch: every byte "#"
    };
    for (const auto& r : wml) EXPECT_EQ(value_encode(r.in), r.out) << r.in;
}

TEST_F(EncodeTest, EightBitRules) {
    EXPECT_EQ(value_encode("\xe9t\xe9"), "\xe9t\xe9");   // pairs with the next byte, unchanged
    ini_set(K_iso, "true");
    EXPECT_EQ(value_encode("\xe9<"), "&#233;&lt;");
    ini_set(K_swedish, "true");
    EXPECT_EQ(value_encode("\xe5\xe4\xf6\xc5\xc4\xd6\xe9"), "&aring;&auml;&ouml;&Aring;&Auml;&Ouml;&#233;");
    encode_state().eight_bit = true;
    EXPECT_EQ(value_encode("\xe5\xe9"), "\xe5\xe9");
}

TEST_F(EncodeTest, OutputIsBounded) {
    std::string big(6000, '<');
    EXPECT_LE(value_encode(big).size(), 4994u);
    EXPECT_GT(value_encode(big).size(), 4990u);
    EXPECT_EQ(url_encode(std::string(4500, 'a')).size(), 4000u);   // input read up to 4000
    EXPECT_EQ(quote_encode(std::string(6000, '"')).size(), 4992u);
    EXPECT_EQ(text_encode2(std::string(20000, 'a'), 20000).size(), 11000u);
    EXPECT_EQ(text_encode2("abcdef", 3), "abc");
}

TEST_F(EncodeTest, SmallEncoders) {
    EXPECT_EQ(url_encode("a b&c+d/e?f#g\"h%i'j"), "a%20b%26c%2Bd/e?f%23g%22h%25i%27j");
    EXPECT_EQ(url_encode(static_cast<const char*>(nullptr)), "");
    EXPECT_EQ(quote_encode("say \"hi\" <b>"), "say &quot;hi&quot; <b>");
    EXPECT_EQ(quote_encode(static_cast<const char*>(nullptr)), "");
    EXPECT_EQ(text_encode2("<\"&>'`", 100), "&lt;&quot;&amp;&gt;&#39;`");
    EXPECT_EQ(text_encode4("a<b\r\nc\n"), "a&lt;b<br>c<br>");
    EXPECT_EQ(text_encode3("x&y"), "x&amp;y");
    encode_state().v_font = true;
    EXPECT_EQ(text_encode3("x&y"), "x&amp;y<br>");
    encode_state().v_asis = true;
    EXPECT_EQ(text_encode3("<b>"), "<b>");
    EXPECT_EQ(text_encode("<b>"), "<b>");
    encode_state() = EncodeState{};
    g.gwml = 1;
    EXPECT_EQ(text_encode2("'", 5), "&apos;");
    EXPECT_EQ(text_encode3("a\tb'"), "a&apos;");   // control byte dropped with the byte after it
    EXPECT_EQ(text_encode4("a\nb"), "a<br/>b");
    EXPECT_EQ(url_encode("a$b"), "a%24b");
    EXPECT_EQ(hexbyte(nullptr), -1);
    EXPECT_EQ(hexbyte(""), -1);
    EXPECT_EQ(hexbyte("3D"), 61);
    std::string out = "ab";
    EXPECT_EQ(pcat(&out, "cd"), 2u);
    EXPECT_EQ(out, "abcd");
    EXPECT_EQ(pcat(&out, nullptr), 0u);
    EXPECT_EQ(pcat(nullptr, "x"), 0u);
}

TEST_F(EncodeTest, WrapPlain) {
    ini_set(K_read_wrap, "10");
    const Row rows[] = {
        {"short", "short"},
        {"aaaa bbbb cccc dddd", "aaaa bbbb\ncccc dddd"},
        {"abcdefghijklmnopqrstuvwxy", "abcdefghij\nklmnopqrst\nuvwxy"},    // no blank: cut at the limit
        {"a &amp; b &lt; c &gt; d e", "a &amp; b &lt; c\n&gt; d e"},      // an entity is one column
        {"aaaa\nbbbb cccc dddd", "aaaa\nbbbb cccc\ndddd"},
        {"one two three four five", "one two\nthree four\nfive"},
        {"\x1b$Bxxxxxxxxxxxxxxxx", "\x1b$Bxxxxxxxxxxxxxxxx"},           // escape: left alone
    };
    for (const auto& r : rows) EXPECT_EQ(wrap_encode(r.in), r.out) << r.in;
    ini_set(K_read_wrap, "-1");
    EXPECT_EQ(wrap_encode("aaaa bbbb cccc dddd"), "aaaa bbbb cccc dddd");
    ini_set(K_read_wrap, "1");
    EXPECT_EQ(wrap_encode("End of sentence."), "End of sentence.<p>");
    EXPECT_EQ(wrap_encode("No full stop"), "No full stop");
    ini_unset(K_read_wrap);
    EXPECT_EQ(get_read_wrap(), 85);
}

TEST_F(EncodeTest, WrapProportional) {
    ini_set(K_read_wrap, "10");
    encode_state().v_font = true;
    const Row rows[] = {
        {"aaaa bbbb cccc dddd<br>", "aaaa bbbb<br>cccc dddd<br>"},
        {"aaaaaaa<br>bbbb cccc dd", "aaaaaaa<br>bbbb cccc<br>dd"},
        {"abcdefghijklmnop", "abcdefghij<br>klmnop"},
    };
    for (const auto& r : rows) EXPECT_EQ(wrap_encode(r.in), r.out) << r.in;
}

TEST_F(EncodeTest, WebLinks) {
    ini_set(K_no_cmd_url, "true");
    ini_set(K_url_newpage, "false");
    const Row direct[] = {
        {"see http://a.example/x.", "see <a  href=\"http://a.example/x\">http://a.example/x</a>."},
        {"(https://a.example/p?q=1&amp;r=2)",
         "(<a  href=\"https://a.example/p?q=1&amp;r=2\">https://a.example/p?q=1&amp;r=2</a>)"},
        {"&lt;ftp://f.example/&gt;", "&lt;<a  href=\"ftp://f.example/\">ftp://f.example/</a>&gt;"},
        {"&quot;http://q.example/&quot;", "&quot;<a  href=\"http://q.example/\">http://q.example/</a>&quot;"},
        {"http: alone", "http: alone"},
        {"http://a.example/it&#39;s", "<a  href=\"http://a.example/it&#39;s\">http://a.example/it&#39;s</a>"},
        {"\xe9http://x.example/", "\xe9http://x.example/"},
    };
    for (const auto& r : direct) EXPECT_EQ(ref_encode(r.in), r.out) << r.in;
    ini_set(K_url_newpage, "true");
    ini_set(K_inline_options, "class=\"ext\"");
    EXPECT_EQ(ref_encode("http://a.example/"),
              "<a target=\"newpage\" class=\"ext\" href=\"http://a.example/\">http://a.example/</a>");
    // through the redirect command: the address is one whole request field
    ini_set(K_no_cmd_url, "");
    ini_set(K_inline_options, "");
    EXPECT_EQ(ref_encode("http://a.example/p?q=1&amp;r=a+b#top"),
              "<a target=\"newpage\"  href=\"/cgi-bin/lk?cmd=url&amp;url=http://a.example/"
              "p%3Fq%3D1%26r%3Da%2Bb%23top\">http://a.example/p?q=1&amp;r=a+b#top</a>");
    ini_set(K_no_ref_encode, "true");
    EXPECT_EQ(ref_encode("http://a.example/"), "http://a.example/");
}

TEST_F(EncodeTest, MailLinks) {
    const Row mailto[] = {
        {"write to bob@example.com.", "write to <a href=\"mailto:bob@example.com\">bob@example.com</a>."},
        {"Bob &lt;bob@example.com&gt;",
         "Bob <a href=\"mailto:%3Cbob@example.com%3E\">&lt;bob@example.com&gt;</a>"},
        {"&quot;bob+x@example.com&quot;",
         "&quot;<a href=\"mailto:bob%2Bx@example.com\">bob+x@example.com</a>&quot;"},
        {"@alone and x@ and a@@b", "@alone and x@ and a@@b"},
        {"a@b,c@d", "<a href=\"mailto:a@b\">a@b</a>,<a href=\"mailto:c@d\">c@d</a>"},
        {"\xe9@x", "\xe9@x"},
        {"to o&#39;brien@example.org", "to <a href=\"mailto:o%27brien@example.org\">o&#39;brien@example.org</a>"},
    };
    for (const auto& r : mailto) EXPECT_EQ(ref_encode(r.in), r.out) << r.in;
    encode_state().send_link = "/lk?cmd=send&amp;utoken=T&amp;to=";
    EXPECT_EQ(ref_encode("bob@example.com"),
              "<a href=\"/lk?cmd=send&amp;utoken=T&amp;to=bob@example.com\">bob@example.com</a>");
    // a web link holding an "@" is left to the web link maker
    ini_set(K_no_cmd_url, "true");
    ini_set(K_url_newpage, "false");
    EXPECT_EQ(ref_encode("http://u@h.example/ and c@d"),
              "<a  href=\"http://u@h.example/\">http://u@h.example/</a> and "
              "<a href=\"/lk?cmd=send&amp;utoken=T&amp;to=c@d\">c@d</a>");
}

TEST_F(EncodeTest, TextEncodeChain) {
    ini_set(K_read_wrap, "20");
    ini_set(K_no_cmd_url, "true");
    ini_set(K_url_newpage, "false");
    EXPECT_EQ(text_encode("<see> http://a.example/ now please"),
              "&lt;see&gt;\n<a  href=\"http://a.example/\">http://a.example/</a>\nnow please");
    EXPECT_EQ(text_encode(static_cast<const char*>(nullptr)), "");
}
