// Search words, the readable text of stored messages, matching and the
// context line shown under a result.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_env.h"
#include "view/mimecodec.h"
#include "view/search.h"

namespace {

using Words = std::vector<std::string>;

TEST(SearchFold, FoldsCapitalsAndBlanksKeepingTheLength) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"Hello WORLD", "hello world"},
        {"CAF\xC3\x89 \xC3\x9C" "ber", "caf\xC3\xA9 \xC3\xBC" "ber"},   // É, Ü
        {"x\xC3\x97y", "x\xC3\x97y"},                                   // the multiplication sign has no small form
        {"a\tb\r\nc", "a b  c"},
        {"\xCE\xA9", "\xCE\xA9"},                                       // outside Latin-1: as it is
        {"\xC3", "\xC3"},                                               // a lone lead byte at the end
    };
    for (const auto& c : cases) {
        std::string f = search_fold(c.in);
        EXPECT_EQ(f, c.out) << c.in;
        EXPECT_EQ(f.size(), std::string(c.in).size());
    }
}

TEST(SearchWords, SplitsFoldsAndBounds) {
    const struct {
        std::string in;
        Words out;
    } cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"  Hello   world ", {"hello", "world"}},
        {"\"Quick  Brown\" fox", {"quick brown", "fox"}},
        {"say\"hi there\"", {"say", "hi there"}},
        {"\"unterminated phrase", {"unterminated phrase"}},
        {"\"\" a", {"a"}},
        {"Dup dup DUP", {"dup"}},
        {"ctl\x01word", {"ctl", "word"}},
        {"caf\xC3\x89", {"caf\xC3\xA9"}},
        {"a b c d e f g h i j", {"a", "b", "c", "d", "e", "f", "g", "h"}},
        {std::string(63, 'x') + "\xC3\xA9", {std::string(63, 'x')}},   // never a cut character
        {std::string(199, 'y') + " z", {std::string(64, 'y')}},        // only the first 200 bytes count
    };
    for (const auto& c : cases) EXPECT_EQ(search_words(c.in), c.out) << c.in;
}

// A message as stored: header lines, an empty line, the body.
std::string msg(const std::string& head, const std::string& body) { return head + "\n" + body; }

TEST(SearchMessageText, DecodesEveryTextPartAndNothingElse) {
    const std::string mixed = msg(
        "Subject: x\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"B\"\n",
        "--B\nContent-Type: multipart/alternative; boundary=\"A\"\n\n"
        "--A\nContent-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n\n"
        "Soft=\nbreak caf=C3=A9\n"
        "--A\nContent-Type: text/html; charset=iso-8859-1\n\n"
        "<p>Cr\xE8me <b>br&ucirc;l&eacute;e</b></p><script>hidden()</script>\n"
        "--A--\n"
        "--B\nContent-Type: text/plain; charset=iso-8859-1\nContent-Transfer-Encoding: base64\n\n"
        "Tk/LbCBzdXIgbGEgcGxhZ2U=\n"   // "NOËl sur la plage" in Latin-1
        "--B\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n\n"
        "U0VDUkVUV09SRA==\n"           // "SECRETWORD": binary parts are not text
        "--B--\n");
    const struct {
        std::string name, message;
        Words in, out;
    } cases[] = {
        {"multipart", mixed,
         {"Softbreak caf\xC3\xA9", "NO\xC3\x8Bl sur la plage"},
         {"SECRETWORD", "Soft=", "caf=C3", "Cr\xC3\xA8me"}},   // the HTML alternative repeats the plain one
        {"html alone", msg("Content-Type: text/html; charset=iso-8859-1\n",
                           "<p>Cr\xE8me <b>br&ucirc;l&eacute;e</b></p><script>hidden()</script>\n"),
         {"Cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e"}, {"<p>", "hidden"}},
        {"no content type", msg("Subject: plain\n", "Just words here\n"), {"Just words here"}, {"Subject"}},
        {"windows-1252 undeclared", msg("Content-Type: text/plain\n", "na\xEFve\n"), {"na\xC3\xAFve"}, {}},
        {"only an attachment", msg("Content-Type: image/png\nContent-Transfer-Encoding: base64\n", "aGVsbG8=\n"), {},
         {"hello"}},
    };
    for (const auto& c : cases) {
        std::string text = search_message_text(c.message);
        EXPECT_TRUE(valid_utf8(text)) << c.name;
        for (const std::string& w : c.in) EXPECT_NE(text.find(w), std::string::npos) << c.name << ": " << w << "\n" << text;
        for (const std::string& w : c.out) EXPECT_EQ(text.find(w), std::string::npos) << c.name << ": " << w;
    }
}

TEST(SearchMatch, EveryWordMustBeFoundAcrossHeadersAndText) {
    const Words words = search_words("ann \"CAF\xC3\x89 au lait\" invoice");
    std::vector<char> found(words.size(), 0);
    EXPECT_FALSE(search_words_in(words, search_fold("From: Ann <ann@example.test>\nSubject: Invoice"), found));
    EXPECT_EQ(found, (std::vector<char>{1, 0, 1}));
    // the phrase over a line break in the text completes the match
    EXPECT_TRUE(search_words_in(words, search_fold("a Caf\xC3\xA9 au\nLait here"), found));

    std::vector<char> none(words.size(), 0);
    EXPECT_FALSE(search_words_in(words, search_fold("cafe au lait, ann, invoice"), none)) << "é is not e";
}

TEST(SearchSnippet, ShowsTheWordsInContextEscaped) {
    const Words words = search_words("quick <b>");
    auto snip = [&](const std::string& text) {
        return search_snippet(text, search_fold(text), words, "<mark>", "</mark>");
    };
    EXPECT_EQ(snip("The Quick fox\n\n  jumps"), "The <mark>Quick</mark> fox jumps");
    EXPECT_EQ(snip("a <B> tag and a quick one"), "a <mark>&lt;B&gt;</mark> tag and a <mark>quick</mark> one");
    EXPECT_EQ(snip("nothing here"), "");

    // a long text: a window with marks of elision, never a cut character
    std::string pad;
    for (int i = 0; i < 60; ++i) pad += "\xC3\xA9";
    std::string s = snip(pad + " quick " + pad + pad);
    EXPECT_EQ(s.rfind("... ", 0), 0u) << s;
    EXPECT_EQ(s.substr(s.size() - 4), " ...") << s;
    EXPECT_NE(s.find("<mark>quick</mark>"), std::string::npos);
    EXPECT_TRUE(valid_utf8(s)) << s;
}

TEST(SearchDay, TakesOnlyWellFormedDays) {
    const struct {
        const char* in;
        long out;
    } cases[] = {
        {"2024-01-02", 1704153600}, {"1970-01-01", 0},   {"2024-1-02", -1}, {"2024-13-01", -1},
        {"2024-00-10", -1},         {"20x4-01-01", -1},  {"", -1},          {"2024-01-02 ", -1},
        {"2024-02-30", -1},         {"2024-02-29", 1709164800},
    };
    for (const auto& c : cases) EXPECT_EQ(search_day(c.in), c.out) << c.in;
}

}  // namespace
