// Spell checker pieces that need no request: the word finder, scores and
// buckets, the two layouts of the word list, suggestions, the saved state's
// round trip (and its distrust of tampered word lines), and the page wrap.
#include "send/spell.h"
#include "test_env.h"

namespace {

struct TempFile {
    lk_test::TempDir dir{"lkspell"};
    std::string path = dir.path + "/words";
    explicit TempFile(const std::string& text) { lk_test::spit(path, text); }
};

std::vector<std::pair<std::size_t, std::string>> words_of(const std::string& text) {
    std::vector<std::pair<std::size_t, std::string>> out;
    std::size_t pos = 0, start = 0;
    std::string w;
    while (spell_next_word(text, pos, start, w)) out.emplace_back(start, w);
    return out;
}

TEST(SpellWords, FinderSkipsTrimsAndCountsCharacters) {
    using W = std::vector<std::pair<std::size_t, std::string>>;
    struct Case { std::string text; W want; } cases[] = {
        {"", {}},
        {"an ox ate hay", {{6, "ate"}, {10, "hay"}}},              // two letters never, three always
        {"in (2019) we met.", {{13, "met"}}},                       // digits and brackets yield nothing
        {"\"Quoted,\" he said; [done]!", {{1, "Quoted"}, {13, "said"}, {20, "done"}}},
        {"don't stop...", {{0, "don't"}, {6, "stop"}}},
        {"caf\xc3\xa9 n\xc3\xa9 na\xc3\xafve", {{0, "caf\xc3\xa9"}, {10, "na\xc3\xafve"}}},   // né is two characters
        {"\r\n\tline\r\nend", {{3, "line"}, {9, "end"}}},
        {std::string(30, 'x') + " " + std::string(29, 'y'), {{31, std::string(29, 'y')}}},
    };
    for (const auto& c : cases) EXPECT_EQ(words_of(c.text), c.want) << c.text;
}

TEST(SpellWords, ScoresAndBuckets) {
    struct Case { const char* w; const char* c; int score; } cases[] = {
        {"house", "house", 15},   // a word against itself: 3 per letter
        {"abcd", "abxcd", 9},     // inserted letter: 3+3 before it, 2+2 after, less 1
        {"hosue", "house", 11},   // swapped pair
        {"abc", "", -3}, {"", "abc", -3},
    };
    for (const auto& c : cases) EXPECT_EQ(spell_score(c.w, c.c), c.score) << c.w << " " << c.c;
    EXPECT_EQ(spell_hash("aa"), 19 * 26 + 19);
    EXPECT_EQ(spell_hash("a"), 19 * 26);
    EXPECT_EQ(spell_hash("\xc3\xa9t"), (0xFFFFFFC3u % 26) * 26 + (0xFFFFFFA9u % 26));
    EXPECT_EQ(spell_hash("house"), spell_hash("hotel"));
    EXPECT_NE(spell_hash("house"), spell_hash("mouse"));
}

class SpellDict : public ::testing::TestWithParam<bool> {
protected:
    void TearDown() override { spell_reset(); }
};

// The same words found whether the list is in the sorted layout (searched
// in place) or a hand-made one (read into memory).
TEST_P(SpellDict, FindsListAndPersonalWords) {
    const std::string sorted = "caf\xc3\xa9\nhotel\nhouse\nhouses\nmouse\nzebra\n";
    const std::string loose = "zebra house\r\nmouse  hotel\ncaf\xc3\xa9 houses";
    TempFile dict(GetParam() ? sorted : loose);
    TempFile own("Larkspur\tna\xc3\xafve\n\nQwerty");
    std::string err;
    ASSERT_EQ(spell_init(dict.path, &own.path, err), 1) << err;
    struct Case {
        const char* w;
        int found;
    } cases[] = {{"house", 1},  {"House", 1}, {"HOUSES", 1}, {"hous", 0},   {"housess", 0}, {"caf\xc3\xa9", 1},
                 {"zebra", 1},  {"aardvark", 0}, {"larkspur", 1}, {"na\xc3\xafve", 1}, {"qwerty", 1}, {"", 0}};
    for (const auto& c : cases) EXPECT_EQ(spell_find(c.w), c.found) << c.w;
    spell_add("alpha beta\r\ngamma");
    EXPECT_EQ(spell_find("Beta"), 1);
    EXPECT_EQ(spell_find("gamma"), 1);
}
INSTANTIATE_TEST_SUITE_P(Layouts, SpellDict, ::testing::Bool());

TEST(SpellDictLoad, MissingListFailsMissingPersonalDoesNot) {
    std::string err;
    EXPECT_EQ(spell_init("/nonexistent/words.dat", nullptr, err), 0);
    EXPECT_EQ(err.rfind("Could not read /nonexistent/words.dat ", 0), 0u) << err;
    TempFile dict("word\n");
    std::string none = "/nonexistent/words.usr";
    EXPECT_EQ(spell_init(dict.path, &none, err), 1);
    EXPECT_EQ(spell_find("word"), 1);
    spell_reset();
}

TEST(SpellSuggest, RankedWithinTheBucketAtMostTwenty) {
    std::string list;
    for (char a = 'a'; a <= 'z'; ++a)
        for (char b = 'a'; b <= 'z'; ++b) list += std::string("ho") + a + b + "\n";   // 676 "ho" words
    list += "house\nmouse\n";
    TempFile dict(list);
    std::string err;
    ASSERT_EQ(spell_init(dict.path, nullptr, err), 1);
    std::vector<std::string> out;
    EXPECT_EQ(spell_similar("Housr", out), 20);
    ASSERT_EQ(out.size(), 20u);
    EXPECT_EQ(out[0], "house");
    for (const std::string& w : out) EXPECT_EQ(w.substr(0, 2), "ho") << w;   // never "mouse"
    for (std::size_t i = 1; i < out.size(); ++i)
        EXPECT_GE(spell_score("housr", out[i - 1]), spell_score("housr", out[i]));
    spell_reset();
}

TEST(SpellState, RoundTripKeepsFieldsOnOneLineAndDropsBadWordLines) {
    SpellState s;
    s.to = "Ann <ann@example.test>\nword 0 0 evil";
    s.subject = "back\\slash";
    s.attach[2] = "notes.txt";
    s.msg = "Teh cat jumpd";
    s.words = {{0, "Teh"}, {8, "jumpd"}};
    const std::string dat = spell_dat_text(s);
    EXPECT_EQ(std::count(dat.begin(), dat.end(), '\n'), 12);   // 6 fields, 4 slots, 2 words
    SpellState back;
    std::string err;
    ASSERT_TRUE(spell_dat_parse(dat, s.msg, back, err));
    EXPECT_EQ(back.to, s.to);
    EXPECT_EQ(back.subject, s.subject);
    EXPECT_EQ(back.attach[2], "notes.txt");
    ASSERT_EQ(back.words.size(), 2u);
    EXPECT_EQ(back.words[1].offset, 8u);

    // Lines that do not point at their word in the body are never used.
    const std::string tampered = "to x\nword 0 0 Teh\nword 1 99999 jumpd\nword 2 4 dog\nword 3 18446744073709551615 x\n";
    ASSERT_TRUE(spell_dat_parse(tampered, s.msg, back, err));
    ASSERT_EQ(back.words.size(), 1u);
    EXPECT_EQ(back.words[0].word, "Teh");
    EXPECT_FALSE(spell_dat_parse("", s.msg, back, err));
}

TEST(SpellReplace, ChecksTheOldWordAndTheLength) {
    std::string text = "Teh cat";
    std::string err;
    EXPECT_EQ(str_replace(text, 0, "cat", "dog", err), 0);
    EXPECT_EQ(err, "str_replace failed as old word missing\n");
    EXPECT_EQ(str_replace(text, 50, "cat", "dog", err), 0);
    EXPECT_EQ(str_replace(text, 0, "Teh", std::string(904, 'x'), err), 0);
    EXPECT_EQ(err, "str_replace failed as new word too long\n");
    EXPECT_EQ(str_replace(text, 0, "Teh", "The", err), 1);
    EXPECT_EQ(str_replace(text, 4, "cat", "", err), 1);
    EXPECT_EQ(text, "The ");
}

TEST(SpellWrap, BreaksAtBlanksNeverInsideMarkupEntitiesOrCharacters) {
    struct Case { std::string in; int width; std::string out; } cases[] = {
        {"short", 10, "short"}, {"aaa bbb ccc ddd", 8, "aaa bbb\nccc ddd"},
        {"a <a href=\"x?a=1&amp;b=2\">bb</a> cc dd", 6, "a <a href=\"x?a=1&amp;b=2\">bb</a>\ncc dd"},
        {"&lt;&lt;&lt; &gt;&gt;&gt;", 4, "&lt;&lt;&lt;\n&gt;&gt;&gt;"},
        {"caf\xc3\xa9 caf\xc3\xa9", 5, "caf\xc3\xa9\ncaf\xc3\xa9"},
        {"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 2, "\xc3\xa9\xc3\xa9\xc3\xa9\n\xc3\xa9"},
        {"aaa bbb\x1b ccc ddd eee", 4, "aaa\nbbb\x1b ccc ddd eee"},
        {"aaaa bbbb", 0, "aaaa bbbb"},
    };
    for (const auto& c : cases) EXPECT_EQ(wrap(c.in, c.width), c.out) << c.in;
}

TEST(SpellEdit, EditorTextStopsAtItsLimitAndCountsWhatItShows) {
    std::size_t shown = 0;
    EXPECT_EQ(spell_edit_text({"a", "b", "c", "d", "e"}, shown), "a b c d\ne\n");
    EXPECT_EQ(shown, 5u);
    std::vector<std::string> many(2000, "wordy");
    std::string t = spell_edit_text(many, shown);
    EXPECT_LE(t.size(), 7000u);
    EXPECT_EQ(shown, 7000u / 6);
    EXPECT_EQ(spell_split_words("a,b;c\td\r\ne  f"), (std::vector<std::string>{"a", "b", "c", "d", "e", "f"}));
}

}  // namespace
