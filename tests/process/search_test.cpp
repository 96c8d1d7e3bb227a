// Searching a mailbox of several charsets and encodings: words, dates,
// attachments, unread, folders, paging, and hostile words.
#include <gtest/gtest.h>

#include <regex>

#include "process/cgi_harness.h"

namespace {

using lk_test::CgiResult;
using lk_test::has;
using lk_test::subjects;
using lk_test::url_enc;

std::string mailbox_script() {
    using lk_test::pop_message;
    const std::string to = "To: ann@example.test\nDate: ";
    return "user ann " + lk_test::kPass + "\n" +
           pop_message("From: \"John Smith\" <john@example.test>\nSubject: Lunch menu\n" + to +
                           "Mon, 1 Jan 2024 10:00:00 +0000\nMIME-Version: 1.0\nContent-Type: text/plain; charset=UTF-8\n"
                           "Content-Transfer-Encoding: quoted-printable",
                       "We meet at the caf=C3=A9 on the corner; bring <the> plans.") +
           pop_message("From: Marie <marie@example.test>\nSubject: =?ISO-8859-1?Q?D=E9jeuner?=\n" + to +
                           "Wed, 3 Jan 2024 10:00:00 +0000\nMIME-Version: 1.0\n"
                           "Content-Type: text/plain; charset=ISO-8859-1\nContent-Transfer-Encoding: base64",
                       "Q3LobWUgYnL7bOllIGZvciBkZXNzZXJ0Lg==") +   // "Crème brûlée for dessert." in Latin-1
           pop_message("From: <pablo@example.test>\nSubject: Photos\n" + to +
                           "Fri, 5 Jan 2024 10:00:00 +0000\nMIME-Version: 1.0\n"
                           "Content-Type: multipart/mixed; boundary=\"OUT\"",
                       "--OUT\nContent-Type: text/html; charset=UTF-8\n\n"
                       "<html><body><p>El ni&ntilde;o en la <b>playa</b></p></body></html>\n"
                       "--OUT\nContent-Type: image/png; name=\"beach.png\"\nContent-Transfer-Encoding: base64\n"
                       "Content-Disposition: attachment; filename=\"beach.png\"\n\naGlkZGVud29yZA==\n--OUT--") +
           pop_message("From: Zed <zed@example.test>\nSubject: Stripes\n" + to + "Sun, 7 Jan 2024 10:00:00 +0000",
                       "A unique zebra, and a literal .* pattern (a+)+$ here.") +
           "messages 1 30000\n";   // larger than the cache limit: the text stays on the server
}

// Logged in, the mailbox fetched by the first list.
struct SearchEnv : lk_test::Session {
    explicit SearchEnv(const std::string& extra = "") : Session(mailbox_script(), extra) {}
    bool start() {
        login();
        return !tok.empty() && get("cmd=list&fld=0").status == 0;
    }
    CgiResult search(const std::string& params) { return get("cmd=search&fld=0&" + params); }
};

TEST(SearchProcess, FindsWordsInEveryCharsetAndEncodingAndNarrows) {
    SearchEnv E;
    ASSERT_TRUE(E.start()) << E.pop.error();
    // Open the lunch message: it is read from then on.
    ASSERT_EQ(E.get("cmd=item&fld=0&item=" + E.id_of("Lunch menu")).status, 0);

    const struct {
        const char* params;
        std::vector<std::string> rows;   // newest first
    } cases[] = {
        {"q=caf%C3%A9", {"Lunch menu"}},                          // quoted-printable UTF-8 text
        {"q=CR%C3%88ME+dessert", {"Déjeuner"}},                   // base64 Latin-1 text, any case
        {"q=d%C3%A9jeuner", {"Déjeuner"}},                        // an encoded word in the subject
        {"q=ni%C3%B1o+playa", {"Photos"}},                        // HTML text with an entity
        {"q=%22en+la+playa%22", {"Photos"}},                      // a phrase across mark-up
        {"q=hiddenword", {}},                                     // attachments are not text
        {"q=zebra+zed", {"Stripes"}},                             // one word in the sender, one in the text
        {"q=zebra+nowhere", {}},                                  // every word must be found
        {"q=example.test", {"generated message 5", "Stripes", "Photos", "Déjeuner", "Lunch menu"}},
        {"q=.*", {"Stripes"}},                                    // taken literally, never as a pattern
        {"q=%28a%2B%29%2B%24", {"Stripes"}},
        {"q=playa&att=1", {"Photos"}},
        {"q=lunch&att=1", {}},
        {"q=menu&unread=1", {}},
        {"q=example&unread=1", {"generated message 5", "Stripes", "Photos", "Déjeuner"}},
        {"q=&since=2024-01-03&until=2024-01-05", {"Photos", "Déjeuner"}},
        {"q=&since=2024-01-06", {"Stripes"}},
        {"q=example&since=not-a-day", {"generated message 5", "Stripes", "Photos", "Déjeuner", "Lunch menu"}},
    };
    for (const auto& c : cases) {
        auto r = E.search(c.params);
        EXPECT_EQ(r.status, 0) << c.params << r.log;
        EXPECT_EQ(subjects(r.body()), c.rows) << c.params;
        EXPECT_TRUE(has(r.body(), std::to_string(c.rows.size()) + " found among 5 messages")) << c.params;
    }

    // The match is shown in context, escaped, the word marked.
    auto r = E.search("q=caf%C3%A9");
    EXPECT_TRUE(has(r.body(), "We meet at the <mark>café</mark> on the corner; bring &lt;the&gt; plans.")) << r.body();
    // The text of the big message is still on the server: the page says so.
    r = E.search("q=generated+fill");
    EXPECT_TRUE(subjects(r.body()).empty());
    EXPECT_TRUE(has(r.body(), "1 message(s) whose text is still on the server were searched by their headers only"))
        << r.body();
    // A phone gets the same search as a deck.
    E.h.set_ini(E.ini + "wml true\n");
    r = E.search("q=zebra");
    EXPECT_TRUE(has(r.body(), "<b>zebra</b>")) << r.body();
}

TEST(SearchProcess, WordsFromTheRequestAreBoundedAndEscaped) {
    SearchEnv E;
    ASSERT_TRUE(E.start());
    auto r = E.search("q=" + url_enc("\"><script>alert(1)</script>"));
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(has(r.body(), "<script>"));
    EXPECT_TRUE(has(r.body(), "value=\"&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;\"")) << r.body();
    // A huge request keeps only the first 200 bytes of the words.
    r = E.search("q=" + std::string(1500, 'z'));
    EXPECT_TRUE(has(r.body(), "value=\"" + std::string(200, 'z') + "\""));
    EXPECT_FALSE(has(r.body(), std::string(201, 'z')));
}

TEST(SearchProcess, ResultsPageAcrossFoldersAndKeepTheirControls) {
    SearchEnv E("use_page_size true\n");
    ASSERT_TRUE(E.start());
    const std::string zid = E.id_of("Stripes");
    ASSERT_FALSE(zid.empty());
    // Paging keeps the search: two rows a page, the next link carries the words.
    ASSERT_EQ(E.get("cmd=list&fld=0&page_size=2").status, 0);
    auto p1 = E.search("q=example.test");
    EXPECT_EQ(subjects(p1.body()), (std::vector<std::string>{"generated message 5", "Stripes"}));
    lk_test::expect_all(p1.body(), {"Page 1 of 3", "&amp;fld=0&amp;q=example.test&amp;upto=2\" rel=\"next\""});
    auto p3 = E.search("q=example.test&upto=4");
    EXPECT_EQ(subjects(p3.body()), (std::vector<std::string>{"Lunch menu"}));
    // A column heading sorts the results; the order is the user's, kept for
    // the next search as for the list.
    auto sorted = E.search("q=example.test&sort_on=subject%3A");
    EXPECT_EQ(subjects(sorted.body()), (std::vector<std::string>{"Déjeuner", "generated message 5"}));
    EXPECT_TRUE(has(sorted.body(), "aria-sort=\"ascending\"><a href=\"/cgi-bin/larkspur?cmd=search&amp;"));
    EXPECT_EQ(subjects(E.search("q=example.test").body()), (std::vector<std::string>{"Déjeuner", "generated message 5"}));
    EXPECT_EQ(subjects(E.search("q=example.test&sort_on=-datetime").body()),
              (std::vector<std::string>{"Stripes", "Photos"}));

    // One folder's results carry the selection boxes its form acts on.
    auto one = E.search("q=zebra");
    EXPECT_TRUE(has(one.body(), "name=\"sel_" + zid + "\""));
    ASSERT_EQ(E.post("movesel=1&fld=0&dstfld=1&must_lock=1&sel_" + zid + "=on").status, 0);
    EXPECT_TRUE(subjects(E.search("q=zebra").body()).empty());
    // Searched in its new folder, the selection form names that folder.
    auto there = E.get("cmd=search&fld=1&q=zebra");
    EXPECT_EQ(subjects(there.body()), (std::vector<std::string>{"Stripes"}));
    EXPECT_TRUE(has(there.body(), "name=\"sel_"));   // a move gives it a new number
    EXPECT_TRUE(has(there.body(), "<input type=\"hidden\" name=\"fld\" value=\"1\">\n<input type=\"hidden\" name=\"must_lock\""))
        << there.body();
    // All folders: found in its new folder, linked there, without a box
    // the inbox's form would misread.
    auto all = E.search("q=zebra&sfld=all");
    EXPECT_EQ(subjects(all.body()), (std::vector<std::string>{"Stripes"}));
    EXPECT_FALSE(has(all.body(), "name=\"sel_"));
    std::smatch m;
    std::string body = all.body();
    ASSERT_TRUE(std::regex_search(body, m, std::regex("href=\"[^\"]*(cmd=item&amp;[^\"]*fld=1)\"")));
    std::string link = std::regex_replace(m[1].str(), std::regex("&amp;"), "&");
    auto item = E.h.get(link, E.env());
    EXPECT_TRUE(has(item.body(), "unique zebra")) << item.body();
}

}  // namespace
