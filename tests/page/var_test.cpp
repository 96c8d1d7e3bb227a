#include "test_env.h"
#include "support/list.h"

using VarTest = PageTest;

TEST_F(VarTest, SetReplaceFindAndLimit) {
    var_set("a", "1");
    var_set("a", "2");
    EXPECT_EQ(var_find("a"), "2");
    EXPECT_EQ(var_count(), 1);
    EXPECT_EQ(var_find("A"), "");   // case matters
    var_set("b", nullptr);          // a null value is ignored
    EXPECT_EQ(var_count(), 1);
    var_set(nullptr, "x");
    EXPECT_NE(log_text().find("Attempt to set NULL variable"), std::string::npos);
    for (int i = 1; i < 500; ++i) var_set("v" + std::to_string(i), std::to_string(i));
    EXPECT_EQ(var_count(), 500);
    std::string page = capture([] { var_set("one_too_many", "x"); });
    EXPECT_EQ(var_count(), 500);
    EXPECT_EQ(var_find("one_too_many"), "");
    EXPECT_NE(log_text().find("Too many var_sets 500 one_too_many=x"), std::string::npos);
    EXPECT_EQ(var_find("v499"), "499");
    var_set("v7", "changed");   // replacing still works when full
    EXPECT_EQ(var_find("v7"), "changed");
}

TEST_F(VarTest, Lists) {
    std::vector<std::string> items{"a<b", "c"};
    var_set_list("l", &items);
    EXPECT_EQ(var_find("l"), "a<b\nc\n");
    std::vector<std::string> none;
    var_set_list("e", &none);
    EXPECT_EQ(var_find("e"), "");
    var_set_list("n", static_cast<const std::vector<std::string>*>(nullptr));
    EXPECT_NE(log_text().find("Attempt to use NULL link list"), std::string::npos);

    char x[] = "x", y[] = "y";
    list_struct n2{nullptr, y, nullptr};
    list_struct n1{nullptr, x, &n2};
    n2.pre = &n1;
    LINK_LIST ll;
    ll.init_value = 32000;
    ll.num = 2;
    ll.first = &n1;
    ll.last = &n2;
    ll.current = &n2;   // the list's own position is not where reading starts
    var_set_list("ll", &ll);
    EXPECT_EQ(var_find("ll"), "x\ny\n");
    EXPECT_EQ(ll.current, &n2);

    var_setl("s", items);   // encoded for a form value
    EXPECT_EQ(var_find("s"), "a&lt;b\nc\n");
    std::vector<std::string> big(300, "abcd");
    var_setl("big", big);
    EXPECT_EQ(var_find("big").size(), 999u);
}

// The golden directives.tpl proves esc, left, left+ and unscanned values;
// these are the edges of the forms.
TEST_F(VarTest, ReferenceForms) {
    var_set("name", "abcdef");
    var_set("short", "ab");
    var_set("u", "\xc3\xa9\xc3\xa9");   // two two-byte characters
    struct Case { const char* in; const char* out; } cases[] = {
        {"%%name%%left+%%5%%", "ab..."},
        {"%%name%%left+%%6%%", "abc..."},   // exactly n characters also gets the dots
        {"%%name%%left+%%7%%", "abcdef"},
        {"%%name%%left+%%3%%", "abc"},      // no dots for n of 3 or less
        {"%%short%%left+%%5%%", "ab"},
        {"%%u%%left%%3%%", "\xc3\xa9"},     // never a character split
        {"%%name%%left%%0%%.", "."},
        {"a %%name%% b %% c", "a abcdef b %% c"},
        {"100%", "100%"},
        {"%%name%%leftover", "abcdefleftover"},
        {"%%name%%left%%1234567890%% rest %%name%%", "%%name%%left%%1234567890%% rest %%name%%"},
        {"%%name%% %%name%%left%%2", "abcdef %%name%%left%%2"},
    };
    for (const auto& c : cases) {
        std::string line = c.in;
        EXPECT_EQ(tpl_replace_vars(line), c.out) << c.in;
    }
    // a name too long is no reference: scanning goes on after its opening
    // marker, so its closing marker opens the next one
    std::string longname = "x %%" + std::string(600, 'n') + "%% %%name%%";
    std::string expect = "x %%" + std::string(600, 'n') + "name%%";
    EXPECT_EQ(tpl_replace_vars(longname), expect);
}

TEST_F(VarTest, ExpandedLineIsBoundedAndLinear) {
    var_set("big", std::string(5000, 'x'));
    std::string line;
    for (int i = 0; i < 100; ++i) line += "%%big%%";
    tpl_replace_vars(line);
    EXPECT_EQ(line.size(), kTplLineMax);
    // a long line of many references: each is replaced once
    var_set("c", "y");
    std::string many;
    for (int i = 0; i < 20000; ++i) many += "%%c%%";
    tpl_replace_vars(many);
    EXPECT_EQ(many, std::string(20000, 'y'));
    std::string l2 = "abcdef";
    tpl_replace_var(l2, 1, 2, "XYZ");
    EXPECT_EQ(l2, "aXYZdef");
}

// Values from a request are outside input: escaped for text and quoted
// attributes, and a script address is dropped, whatever the name.
TEST_F(VarTest, OutsideValuesAreEscapedAndScriptAddressesDropped) {
    const struct { const char* in; const char* out; } cases[] = {
        {"<img src=x onerror=alert(1)>", "&lt;img src=x onerror=alert(1)&gt;"},
        {"x\" onfocus=\"alert(2)", "x&quot; onfocus=&quot;alert(2)"},
        {"a&b", "a&amp;b"},
        {"javascript:alert(1)", ""},
        {" JaVa\tScRipt:alert(1)", ""},
        {"vbscript:x", ""},
        {"data:text/html,<b>", ""},
        {"https://example.org/?a=1&b=2", "https://example.org/?a=1&amp;b=2"},
        {"Subject: plain text", "Subject: plain text"},
        {"", ""},
    };
    for (const auto& c : cases) {
        var_set_outside("u_any", c.in);
        EXPECT_EQ(var_find("u_any"), c.out) << c.in;
    }
}
