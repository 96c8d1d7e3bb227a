#include "support/wild.h"

#include "test_env.h"

TEST(Wild, DomatchTable) {
    struct Case { const char* pat; const char* text; int want; };
    const Case cases[] = {
        {"a*b", "ab", 1},        {"a*b", "axxb", 1},      {"a*b", "axxc", -1},   {"a*b", "ba", 0},
        {"a*b", "a", -1},        {"?", "", -1},           {"a?", "a", -1},      {"?", "x", 1},
        {"??", "x", -1},         {"*", "", 1},            {"***", "abc", 1},    {"a**c", "abbc", 1},
        {"abc", "abc", 1},       {"abc", "abd", 0},       {"abc", "ab", -1},    {"ab", "abc", 0},
        {"ABC", "abc", 0},       {"", "", 1},             {"", "a", 0},
        {"[abc]x", "bx", 1},     {"[abc]x", "dx", 0},     {"[a-c]", "b", 1},    {"[a-c]", "d", 0},
        {"[^a-c]", "d", 1},      {"[^a-c]", "a", 0},      {"[]]", "]", 1},      {"[]a]", "a", 1},
        {"[-a]", "-", 1},        {"[^-a]", "-", 0},       {"[^]]", "x", 1},     {"[a-]", "-", 1},
        {"[0-9][0-9]", "42", 1}, {"[0-9]", "", -1},       {"[ab", "a", 1},      {"[ab", "c", 0},
        {"\\*", "*", 1},         {"\\*", "a", 0},         {"a\\?b", "a?b", 1},  {"a\\?b", "axb", 0},
        {"a\\", "a\\", 1},       {"*.example.com", "mail.example.com", 1},
        {"*.example.com", "example.com", -1},               {"192.168.*", "192.168.1.7", 1},
        {"*x*y", "axbxcy", 1},   {"*x*y", "axbxc", -1},
    };
    for (const Case& c : cases) EXPECT_EQ(domatch(c.text, c.pat), c.want) << c.pat << " ~ " << c.text;
}

TEST(Wild, MatchWildAndLists) {
    EXPECT_EQ(match_wild("*", ""), 1);
    EXPECT_EQ(match_wild("a*b", "ab"), 1);
    EXPECT_EQ(match_wild("a*b", "a"), 0);      // give-up is no match
    EXPECT_EQ(match_wild("a?", "a"), 0);

    struct Case { const char* list; const char* text; int want; };
    const Case cases[] = {
        {"", "anything", 0}, {"*", "", 1}, {"*,!*@bad.com", "joe@bad.com", 0},
        {"*,!*@bad.com", "joe@good.com", 1},
        {"!*@bad.com,*", "joe@bad.com", 1},        // the last match decides
        {"*@Good.COM", "JOE@good.com", 1},         // both sides lowered
        {"a@x.com, b@x.com", "b@x.com", 1},        // blanks around commas
        {"a@x.com,,b@x.com", "", 0},               // empty patterns match nothing
        {"!*", "x", 0}, {"10.0.0.*,!10.0.0.13", "10.0.0.13", 0}, {"10.0.0.*,!10.0.0.13", "10.0.0.14", 1},
        {"127.0.0.1", "127.0.0.10", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(list_match(c.list, c.text), c.want) << c.list << " ~ " << c.text;

    // Patterns are cut at 100 characters, texts at 511.
    std::string longpat = std::string(100, 'a') + "b";
    EXPECT_EQ(list_match(longpat, std::string(100, 'a')), 1);
    std::string longtext = std::string(511, 'a') + "b";
    EXPECT_EQ(list_match("*b", longtext), 0);
    EXPECT_EQ(list_match("*a", longtext), 1);
}

TEST(Wild, DirectoryScans) {
    lk_test::TempDir tmp;
    const std::string dir = tmp.path;
    for (const char* n : {"a1.dat", "a2.dat", "b1.dat", "a3.txt", "c4.dat"}) lk_test::spit(dir + "/" + n, "");
    mkdir((dir + "/sub").c_str(), 0700);

    std::vector<std::string> names;
    EXPECT_EQ(wild_find2(dir, "a*.dat", names, 10), 2);
    EXPECT_EQ(names, (std::vector<std::string>{"a1.dat", "a2.dat"}));
    names.clear();
    EXPECT_EQ(wild_find2(dir, "*", names, 100), 6);   // never "." or ".."
    for (const std::string& n : names) EXPECT_TRUE(n != "." && n != "..");
    names.clear();
    EXPECT_EQ(wild_find2(dir, "*.dat", names, 2), 2);   // limit holds
    EXPECT_EQ(names.size(), 2u);
    names.clear();
    EXPECT_EQ(wild_find2(dir + "/none", "*", names, 5), 0);

    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    EXPECT_EQ(wild_find("?1.dat", names, 10), 2);
    ASSERT_EQ(chdir(cwd), 0);

    EXPECT_EQ(wild_find_any(dir, "c?.dat"), 1);
    EXPECT_EQ(wild_find_any(dir, "z*"), 0);
    EXPECT_EQ(wild_find_any(dir + "/sub", "*"), 0);      // empty directory
    EXPECT_EQ(dir_exists(dir), 1);
    EXPECT_EQ(dir_exists(dir + "/a1.dat"), 0);
    EXPECT_EQ(dir_exists(dir + "/none"), 0);
}
