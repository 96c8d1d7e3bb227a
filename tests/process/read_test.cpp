// Reading mail through the real program against a scripted POP3 server:
// the list after login with its rows, paging and sorting, the message page
// of plain, quoted-printable, multipart and hostile HTML messages, part
// downloads with their safe headers, the raw message, a body left on the
// server and fetched on demand, the folder page and the phone decks.
#include <gtest/gtest.h>

#include <regex>
#include <map>
#include <functional>
#include <filesystem>

#include "fake/fake_server.h"
#include "process/cgi_harness.h"

namespace {

using lk_test::CgiHarness;
using lk_test::CgiResult;

constexpr const char* kPass = "Rd9-secretPW";

using lk_test::url_enc;

std::string cookie_of(const CgiResult& r, const std::string& name) { return lk_test::cookie_value(r, name); }

const char* kAttachment = "\x01\x02" "binary\xff\xfe attachment bytes\n";

std::string mailbox_script() {
    std::string s = std::string("user ann ") + kPass + "\n";
    s += "message <<EOM\n"
         "From: \"John Smith\" <john@example.test>\n"
         "To: ann@example.test\n"
         "Subject: Plain hello\n"
         "Date: Mon, 1 Jan 2024 10:00:00 +0000\n"
         "Message-ID: <p1@example.test>\n"
         "\n"
         "Hello plain world & <friends>\n"
         "EOM\n";
    s += "message <<EOM\n"
         "From: zed@example.test (Zed Zulu)\n"
         "To: ann@example.test\n"
         "Subject: =?UTF-8?Q?Caf=C3=A9_menu?=\n"
         "Date: Wed, 3 Jan 2024 10:00:00 +0000\n"
         "Message-ID: <p2@example.test>\n"
         "MIME-Version: 1.0\n"
         "Content-Type: text/plain; charset=UTF-8\n"
         "Content-Transfer-Encoding: quoted-printable\n"
         "\n"
         "Soft=\n"
         "break caf=C3=A9 today\n"
         "EOM\n";
    s += "message <<EOM\n"
         "From: <alice@example.test>\n"
         "To: ann@example.test\n"
         "Subject: Files attached\n"
         "Date: Tue, 2 Jan 2024 10:00:00 +0000\n"
         "Message-ID: <p3@example.test>\n"
         "MIME-Version: 1.0\n"
         "Content-Type: multipart/mixed; boundary=\"BOUND\"\n"
         "\n"
         "--BOUND\n"
         "Content-Type: text/plain\n"
         "\n"
         "See the files.\n"
         "--BOUND\n"
         "Content-Type: application/octet-stream; name=\"../../etc/data.bin\"\n"
         "Content-Transfer-Encoding: base64\n"
         "Content-Disposition: attachment; filename=\"../../etc/data.bin\"\n"
         "\n"
         "AQJiaW5hcnn//iBhdHRhY2htZW50IGJ5dGVzCg==\n"
         "--BOUND\n"
         "Content-Type: text/html\n"
         "Content-Disposition: attachment; filename=\"evil\\\"\r\nX-Bad: 1.html\"\n"
         "\n"
         "<script>alert(1)</script>\n"
         "--BOUND--\n"
         "EOM\n";
    s += "message <<EOM\n"
         "From: Mallory <mallory@example.test>\n"
         "To: ann@example.test\n"
         "Subject: Hostile page\n"
         "Date: Thu, 4 Jan 2024 10:00:00 +0000\n"
         "Message-ID: <p4@example.test>\n"
         "MIME-Version: 1.0\n"
         "Content-Type: text/html\n"
         "\n"
         "<html><body><script>alert(1)</script><p onclick=\"alert(2)\">Visible words</p>\n"
         "<img src=\"javascript:alert(3)\"><iframe src=\"http://127.0.0.1:9/x\"></iframe>\n"
         "<a href=\"javascript:alert(4)\">link</a></body></html>\n"
         "EOM\n";
    // Larger than the cache limit: only a stub is kept at login.
    s += "messages 1 30000\n";
    return s;
}

struct ReadEnv {
    FakeServer pop;
    CgiHarness h;
    std::string tok, utokc;
    std::string ini;
    CgiResult welcome;
    explicit ReadEnv(const std::string& extra = "") : pop("pop3", mailbox_script(), 60), h("", true) {
        ini = "templates @TPL@\nworkarea @WORK@\npophost 127.0.0.1\nport " + std::to_string(pop.port()) +
              "\ndebug true\n" + extra;
        h.set_ini(ini);
    }
    CgiResult login() {
        auto r = h.post("cmd=login&user=ann&pass=" + url_enc(kPass));
        tok = cookie_of(r, "utok");
        utokc = cookie_of(r, "utokc");
        welcome = r;
        if (tok.empty()) return r;
        return get("cmd=list&fld=0");   // the list checks the server
    }
    std::map<std::string, std::string> env() const { return {{"HTTP_COOKIE", "utokc=" + utokc}}; }
    CgiResult get(const std::string& q) { return h.get(q + "&utoken=" + url_enc(tok), env()); }
    CgiResult post(const std::string& body) { return h.post(body + "&utoken=" + url_enc(tok), "", env()); }
    std::string index() { return h.read_file("work/u_an/ann@127_0_0_1/0/index.dat"); }
    // Message number of the index line whose subject field holds text.
    std::string id_of(const std::string& subject) {
        std::string idx = index();
        std::size_t p = idx.find(subject);
        if (p == std::string::npos) return "";
        std::size_t b = idx.rfind('\n', p);
        b = b == std::string::npos ? 0 : b + 1;
        return idx.substr(b, idx.find('\t', b) - b);
    }
};

// Rows of the list body in order: the subjects between the row links.
std::vector<std::string> subjects(const std::string& page) {
    std::vector<std::string> out;
    std::regex re("cmd=item[^\"]*\">([^<]*)</a>");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), re); it != std::sregex_iterator(); ++it)
        out.push_back((*it)[1].str());
    return out;
}

TEST(ReadProcess, LoginListsTheMailboxWithDecodedRowsAndLeavesBigBodiesOnTheServer) {
    ReadEnv E;
    ASSERT_TRUE(E.pop.ok()) << E.pop.error();
    auto r = E.login();
    ASSERT_FALSE(E.tok.empty()) << E.welcome.out;
    // A new user's first page is the welcome page; its "skip" link lists
    // the inbox, checking the server.
    EXPECT_NE(E.welcome.body().find("cmd=list&amp;utoken="), std::string::npos);
    std::string b = r.body();
    auto subj = subjects(b);
    ASSERT_EQ(subj.size(), 5u) << b;
    // Arrival order, newest first.
    EXPECT_EQ(subj[0], "generated message 5");
    EXPECT_EQ(subj[4], "Plain hello");
    EXPECT_NE(b.find("Café menu"), std::string::npos);
    for (const char* from : {">John Smith<", ">Zed Zulu<", ">alice@example.test<", ">Mallory <"})
        EXPECT_NE(b.find(from), std::string::npos) << from;
    EXPECT_NE(b.find("5 messages, 5 unread"), std::string::npos);
    EXPECT_NE(b.find("<strong>5 new</strong>"), std::string::npos);
    EXPECT_NE(b.find("1 Jan 2024"), std::string::npos);
    std::string idx = E.index();
    EXPECT_NE(idx.find("rbody,"), std::string::npos) << idx;
    EXPECT_EQ(r.status, 0) << r.log;
}

TEST(ReadProcess, PagingSortingAndPageSizeFollowTheRequest) {
    ReadEnv E("use_page_size true\n");
    ASSERT_TRUE(E.pop.ok());
    E.login();
    auto p1 = E.get("cmd=list&fld=0&page_size=2");
    auto s1 = subjects(p1.body());
    ASSERT_EQ(s1.size(), 2u) << p1.body();
    EXPECT_NE(p1.body().find("Page 1 of 3"), std::string::npos);
    EXPECT_NE(p1.body().find("cmd=list&amp;upto=2&amp;"), std::string::npos) << "next page link";
    auto p3 = E.get("cmd=list&fld=0&upto=0");
    auto s3 = subjects(p3.body());
    ASSERT_EQ(s3.size(), 1u);
    EXPECT_EQ(s3[0], "Plain hello");
    EXPECT_NE(p3.body().find("Page 3 of 3"), std::string::npos);
    EXPECT_NE(p3.body().find("rel=\"prev\""), std::string::npos);
    EXPECT_EQ(p3.body().find("rel=\"next\""), std::string::npos);

    struct Case { const char* key; std::vector<std::string> first; };
    const Case cases[] = {
        {"subject:", {"Café menu", "Files attached"}},
        {"-subject:", {"Plain hello", "Hostile page"}},
        {"datetime", {"Plain hello", "generated message 5"}},   // the generated one is dated 1 Jan 10:05
        {"-datetime", {"Hostile page", "Café menu"}},
    };
    for (const Case& c : cases) {
        auto r = E.get(std::string("cmd=list&fld=0&page_size=2&sort_on=") + url_enc(c.key));
        EXPECT_EQ(subjects(r.body()), c.first) << c.key;
    }
    // The order chosen is kept for the next list.
    auto again = E.get("cmd=list&fld=0");
    EXPECT_EQ(subjects(again.body()), cases[3].first);
}

TEST(ReadProcess, MessagePagesShowDecodedBodiesMarkReadAndLinkNeighbours) {
    ReadEnv E;
    ASSERT_TRUE(E.pop.ok());
    E.login();
    std::string plain = E.id_of("Plain hello"), qp = E.id_of("Caf");
    ASSERT_FALSE(plain.empty());
    auto r = E.get("cmd=item&fld=0&item=" + plain);
    std::string b = r.body();
    EXPECT_NE(b.find("Hello plain world &amp; &lt;friends&gt;"), std::string::npos) << b;
    EXPECT_NE(b.find("Message 5 of 5"), std::string::npos);
    EXPECT_NE(b.find("rel=\"prev\""), std::string::npos);
    EXPECT_EQ(b.find("rel=\"next\""), std::string::npos) << "the oldest has no next";
    EXPECT_NE(r.header().find("charset"), std::string::npos);
    EXPECT_NE(E.index().find("read,"), std::string::npos);
    auto q = E.get("cmd=item&fld=0&item=" + qp);
    EXPECT_NE(q.body().find("Softbreak café today"), std::string::npos) << q.body();
    EXPECT_NE(q.body().find("Café menu"), std::string::npos);
    EXPECT_NE(q.body().find("Zed Zulu"), std::string::npos);

    // The raw message is plain text, never a page.
    auto raw = E.get("cmd=raw&fld=0&item=" + qp);
    EXPECT_NE(raw.header().find("Content-type: text/plain"), std::string::npos) << raw.out.substr(0, 300);
    EXPECT_NE(raw.body().find("caf=C3=A9"), std::string::npos);

    // A body still on the server is fetched when the message is opened.
    std::string big = E.id_of("generated message 5");
    auto g = E.get("cmd=item&fld=0&item=" + big);
    EXPECT_NE(g.body().find("Line of message 5, generated"), std::string::npos) << g.body().substr(0, 2000) << g.log;
    EXPECT_EQ(E.index().find("rbody,"), std::string::npos);

    // A number beyond an int is no message, never one it wraps around to.
    for (const char* item : {"9999", "4294967296", "99999999999999999999"}) {
        auto missing = E.get(std::string("cmd=item&fld=0&item=") + item);
        EXPECT_NE(missing.out.find("E12"), std::string::npos) << item << missing.out.substr(0, 2000);
    }
}

// A message that is read and cached is shown from its own record and its
// neighbours, found through the folder's line table; the page is the one
// the whole index gives, and a table that no longer fits index.dat is
// passed over.
TEST(ReadProcess, MessagePageUsesTheLineTableOnlyWhileItFits) {
    ReadEnv E;
    ASSERT_TRUE(E.pop.ok());
    E.login();
    const std::string table = "work/u_an/ann@127_0_0_1/0/listpos.dat";
    const std::string index = "work/u_an/ann@127_0_0_1/0/index.dat";
    std::vector<std::string> ids;
    for (const char* subj : {"Plain hello", "Caf", "Files attached", "Hostile page", "generated message 5"})
        ids.push_back(E.id_of(subj));
    auto windowed = [&](const CgiResult& r) { return r.log.find("through the folder's line table") != std::string::npos; };
    // First openings change the record (read, or the body fetched): the
    // whole index is read and the table saved.
    for (const std::string& id : ids) {
        ASSERT_FALSE(id.empty());
        E.h.clear_log();
        EXPECT_FALSE(windowed(E.get("cmd=item&fld=0&item=" + id))) << id;
        EXPECT_TRUE(std::filesystem::exists(E.h.path(table))) << id;
    }
    std::map<std::string, std::string> full;
    for (const std::string& id : ids) {
        std::filesystem::remove(E.h.path(table));
        full[id] = E.get("cmd=item&fld=0&item=" + id).body();
    }
    struct Case {
        const char* what;
        std::function<void()> change;   // after the table is current
        bool windowed;
    };
    const Case cases[] = {
        {"current", [] {}, true},
        {"no table", [&] { std::filesystem::remove(E.h.path(table)); }, false},
        {"index.dat replaced by a copy", [&] {
             E.h.write_file(index + ".copy", E.index());
             std::filesystem::rename(E.h.path(index + ".copy"), E.h.path(index));
         }, false},
        {"table damaged", [&] {
             std::string t = E.h.read_file(table);
             t[t.size() - 3] ^= 0x55;
             E.h.write_file(table, t);
         }, false},
    };
    for (const Case& c : cases)
        for (const std::string& id : ids) {
            SCOPED_TRACE(std::string(c.what) + " item " + id);
            E.get("cmd=item&fld=0&item=" + ids[0]);   // the table made current
            ASSERT_TRUE(windowed(E.get("cmd=item&fld=0&item=" + ids[0])));
            c.change();
            E.h.clear_log();
            CgiResult r = E.get("cmd=item&fld=0&item=" + id);
            EXPECT_EQ(windowed(r), c.windowed);
            EXPECT_EQ(r.body(), full[id]);
        }
    // The raw message comes through the table too.
    E.h.clear_log();
    auto raw = E.get("cmd=raw&fld=0&item=" + ids[1]);
    EXPECT_TRUE(windowed(raw));
    EXPECT_NE(raw.body().find("caf=C3=A9"), std::string::npos);
}

TEST(ReadProcess, PartsDownloadAsAttachmentsWithSafeNamesAndTypes) {
    ReadEnv E;
    ASSERT_TRUE(E.pop.ok());
    E.login();
    std::string id = E.id_of("Files attached");
    auto page = E.get("cmd=item&fld=0&item=" + id);
    EXPECT_NE(page.body().find("See the files."), std::string::npos);
    EXPECT_NE(page.body().find("part=2"), std::string::npos) << "attachment link";
    auto bin = E.get("cmd=item&fld=0&item=" + id + "&part=2");
    std::string h = bin.header();
    EXPECT_NE(h.find("Content-Disposition: attachment; filename=\"data.bin\""), std::string::npos) << h;
    EXPECT_NE(h.find("X-Content-Type-Options: nosniff"), std::string::npos);
    EXPECT_EQ(bin.body(), kAttachment);
    auto html = E.get("cmd=item&fld=0&item=" + id + "&part=3");
    std::string hh = html.header();
    EXPECT_EQ(hh.find("text/html"), std::string::npos) << hh;
    EXPECT_NE(hh.find("attachment;"), std::string::npos);
    EXPECT_EQ(hh.find("X-Bad"), std::string::npos) << "header injection through the name";
    auto none = E.get("cmd=item&fld=0&item=" + id + "&part=9");
    EXPECT_NE(none.out.find("no part 9"), std::string::npos);
}

TEST(ReadProcess, HostileHtmlShownAsIsRunsNothing) {
    ReadEnv E;
    ASSERT_TRUE(E.pop.ok());
    E.login();
    std::string id = E.id_of("Hostile page");
    for (const char* body : {"setview=1&v_asis=on", "setview=1&v_asis=on&v_exec=on"}) {
        auto r = E.post(std::string(body) + "&fld=0&item=" + id);
        std::string b = r.body();
        EXPECT_NE(b.find("Visible words"), std::string::npos) << body << b;
        std::string main = b.substr(b.find("Visible words") - 200);
        for (const char* bad : {"<script>alert", "onclick", "javascript:", "<iframe"})
            EXPECT_EQ(main.find(bad), std::string::npos) << body << " " << bad;
    }
}

TEST(ReadProcess, EveryListCommandListsItsFolderAndChecksOnlyWhenAsked) {
    ReadEnv E("fetch_min 0\n");   // checks asked for are never too soon here
    ASSERT_TRUE(E.pop.ok());
    E.login();
    auto pop_logins = [&] {
        int k = 0;
        for (const auto& l : E.pop.log_lines()) k += l.rfind("user ", 0) == 0;
        return k;
    };
    const int base = pop_logins();
    struct Case { std::string request; std::string shows; int checks; };
    const Case cases[] = {
        {"cmd=list&fld=0", "5 messages", 0},               // not asked for
        {"cmd=list&fld=0&checknew=false", "5 messages", 0},
        {"cmd=list&fld=0&checknew=1", "5 messages", 1},
        {"cmd=checknew", "5 messages", 1},
        {"cmd=list_waste", "<h1>Trash Can</h1>", 0},
        {"cmd=list_copy", "<h1>Copies to self</h1>", 0},
        {"cmd=stub", "<h1>New mail</h1>", 1},
        {"cmd=list&fld=77", "5 messages", 0},              // no such folder: new mail
    };
    int expected = base;
    for (const Case& c : cases) {
        auto r = E.get(c.request);
        expected += c.checks;
        EXPECT_NE(r.body().find(c.shows), std::string::npos) << c.request << " " << r.body().substr(r.body().find("<main"), 400);
        EXPECT_EQ(pop_logins(), expected) << c.request;
    }
    // The held folder is listed from a form.
    auto held = E.post("cmd=list_held");
    EXPECT_NE(held.body().find("<h1>held</h1>"), std::string::npos) << held.body().substr(held.body().find("<main"), 400);
    auto sw = E.post("switch=1&dstfld=1");
    EXPECT_NE(sw.body().find("<h1>Trash Can</h1>"), std::string::npos) << sw.out.substr(0, 2000);
    EXPECT_NE(sw.body().find("This folder is empty"), std::string::npos);
}

TEST(ReadProcess, FolderPageAndPhoneDecks) {
    ReadEnv E;
    ASSERT_TRUE(E.pop.ok());
    E.login();
    auto f = E.get("cmd=fld_manage");
    EXPECT_NE(f.body().find(">5<"), std::string::npos) << f.body();
    E.h.set_ini(E.ini + "wml true\n");
    auto l = E.get("cmd=list&fld=0");
    EXPECT_NE(l.header().find("text/vnd.wap.wml"), std::string::npos);
    std::string deck = l.body();
    auto well_formed = [&](const std::string& text) {
        E.h.write_file("deck.wml", text);
        std::string cmd = "xmllint --noout " + E.h.path("deck.wml") + " 2>&1";
        FILE* p = popen(cmd.c_str(), "r");
        std::string out;
        char buf[512];
        while (p && fgets(buf, sizeof buf, p)) out += buf;
        int rc = p ? pclose(p) : -1;
        return rc == 0 ? std::string() : "xmllint: " + out;
    };
    EXPECT_EQ(well_formed(deck), "") << deck;
    EXPECT_NE(deck.find("<wml>"), std::string::npos);
    EXPECT_NE(deck.find("</wml>"), std::string::npos);
    EXPECT_EQ(deck.find("selected"), std::string::npos);
    std::string id = E.id_of("Plain hello");
    auto i = E.get("cmd=item&fld=0&item=" + id);
    EXPECT_NE(i.body().find("Hello plain world &amp; &lt;friends&gt;"), std::string::npos) << i.body();
    EXPECT_EQ(well_formed(i.body()), "") << i.body();
}

}  // namespace

// A handled post ends normally: status 0, and the profile fields the form
// carried are written (the key checks of the posted-form dispatcher have
// nothing to handle in this installation and raise no error).
TEST(ReadProcess, APostedFormKeepsItsProfileFields) {
    ReadEnv E;
    ASSERT_TRUE(E.pop.ok());
    E.login();
    auto r = E.post("cmd=list_held&uvar1=kept+note&uaddress=ann%40home.example");
    EXPECT_EQ(r.status, 0) << r.out.substr(0, 600);
    EXPECT_EQ(r.log.find("not available"), std::string::npos) << r.log;
    std::string profile = E.h.read_file("work/u_an/ann@127_0_0_1/user.dat");
    EXPECT_NE(profile.find("kept note"), std::string::npos) << profile;
    EXPECT_NE(profile.find("ann@home.example"), std::string::npos) << profile;
}
