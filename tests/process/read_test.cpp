// Reading mail against a scripted POP3 server: the list, paging and sorting,
// message pages, parts, the raw message, bodies fetched on demand, phone decks.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "process/cgi_harness.h"

namespace {

using lk_test::CgiResult;
using lk_test::expect_all;
using lk_test::expect_none;
using lk_test::has;
using lk_test::subjects;

const char* kAttachment = "\x01\x02" "binary\xff\xfe attachment bytes\n";

std::string mailbox_script() {
    using lk_test::pop_message;
    return "user ann " + lk_test::kPass + "\n" +
           pop_message("From: \"John Smith\" <john@example.test>\nTo: ann@example.test\nSubject: Plain hello\n"
                       "Date: Mon, 1 Jan 2024 10:00:00 +0000\nMessage-ID: <p1@example.test>",
                       "Hello plain world & <friends>") +
           pop_message("From: zed@example.test (Zed Zulu)\nTo: ann@example.test\nSubject: =?UTF-8?Q?Caf=C3=A9_menu?=\n"
                       "Date: Wed, 3 Jan 2024 10:00:00 +0000\nMessage-ID: <p2@example.test>\nMIME-Version: 1.0\n"
                       "Content-Type: text/plain; charset=UTF-8\nContent-Transfer-Encoding: quoted-printable",
                       "Soft=\nbreak caf=C3=A9 today") +
           pop_message("From: <alice@example.test>\nTo: ann@example.test\nSubject: Files attached\n"
                       "Date: Tue, 2 Jan 2024 10:00:00 +0000\nMessage-ID: <p3@example.test>\nMIME-Version: 1.0\n"
                       "Content-Type: multipart/mixed; boundary=\"BOUND\"",
                       "--BOUND\nContent-Type: text/plain\n\nSee the files.\n"
                       "--BOUND\nContent-Type: application/octet-stream; name=\"../../etc/data.bin\"\n"
                       "Content-Transfer-Encoding: base64\n"
                       "Content-Disposition: attachment; filename=\"../../etc/data.bin\"\n\n"
                       "AQJiaW5hcnn//iBhdHRhY2htZW50IGJ5dGVzCg==\n"
                       "--BOUND\nContent-Type: text/html\n"
                       "Content-Disposition: attachment; filename=\"evil\\\"\r\nX-Bad: 1.html\"\n\n"
                       "<script>alert(1)</script>\n--BOUND--") +
           pop_message("From: Mallory <mallory@example.test>\nTo: ann@example.test\nSubject: Hostile page\n"
                       "Date: Thu, 4 Jan 2024 10:00:00 +0000\nMessage-ID: <p4@example.test>\nMIME-Version: 1.0\n"
                       "Content-Type: text/html",
                       "<html><body><script>alert(1)</script><p onclick=\"alert(2)\">Visible words</p>\n"
                       "<img src=\"javascript:alert(3)\"><iframe src=\"http://127.0.0.1:9/x\"></iframe>\n"
                       "<a href=\"javascript:alert(4)\">link</a></body></html>") +
           "messages 1 30000\n";   // larger than the cache limit: only a stub is kept at login
}

// Logged in, the inbox listed (which checks the server).
struct ReadEnv : lk_test::Session {
    CgiResult welcome, list;
    explicit ReadEnv(const std::string& extra = "") : Session(mailbox_script(), extra) {
        welcome = login();
        if (!tok.empty()) list = get("cmd=list&fld=0");
    }
};

TEST(ReadProcess, LoginListsTheMailboxWithDecodedRowsAndLeavesBigBodiesOnTheServer) {
    ReadEnv E;
    ASSERT_FALSE(E.tok.empty()) << E.pop.error() << E.welcome.out;
    // A new user's first page is the welcome page; its "skip" link lists the inbox.
    EXPECT_TRUE(has(E.welcome.body(), "cmd=list&amp;utoken="));
    std::string b = E.list.body();
    auto subj = subjects(b);
    ASSERT_EQ(subj.size(), 5u) << b;
    EXPECT_EQ(subj[0], "generated message 5");   // arrival order, newest first
    EXPECT_EQ(subj[4], "Plain hello");
    expect_all(b, {"Café menu", ">John Smith<", ">Zed Zulu<", ">alice@example.test<", ">Mallory <",
                   "5 messages, 5 unread", "<strong>5 new</strong>", "1 Jan 2024"});
    EXPECT_TRUE(has(E.index(), "rbody,")) << E.index();
    EXPECT_EQ(E.list.status, 0) << E.list.log;
}

TEST(ReadProcess, PagingSortingAndPageSizeFollowTheRequest) {
    ReadEnv E("use_page_size true\n");
    auto p1 = E.get("cmd=list&fld=0&page_size=2");
    EXPECT_EQ(subjects(p1.body()).size(), 2u) << p1.body();
    expect_all(p1.body(), {"Page 1 of 3", "cmd=list&amp;upto=2&amp;"});
    auto p3 = E.get("cmd=list&fld=0&upto=0");
    EXPECT_EQ(subjects(p3.body()), std::vector<std::string>{"Plain hello"});
    expect_all(p3.body(), {"Page 3 of 3", "rel=\"prev\""});
    expect_none(p3.body(), {"rel=\"next\""});
    struct Case { const char* key; std::vector<std::string> first; };
    const Case cases[] = {
        {"subject:", {"Café menu", "Files attached"}},
        {"-subject:", {"Plain hello", "Hostile page"}},
        {"datetime", {"Plain hello", "generated message 5"}},   // the generated one is dated 1 Jan 10:05
        {"-datetime", {"Hostile page", "Café menu"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(subjects(E.get("cmd=list&fld=0&page_size=2&sort_on=" + lk_test::url_enc(c.key)).body()), c.first)
            << c.key;
    // The order chosen is kept for the next list.
    EXPECT_EQ(subjects(E.get("cmd=list&fld=0").body()), cases[3].first);
}

TEST(ReadProcess, MessagePagesShowDecodedBodiesMarkReadAndLinkNeighbours) {
    ReadEnv E;
    std::string plain = E.id_of("Plain hello"), qp = E.id_of("Caf");
    ASSERT_FALSE(plain.empty());
    auto r = E.get("cmd=item&fld=0&item=" + plain);
    expect_all(r.body(), {"Hello plain world &amp; &lt;friends&gt;", "Message 5 of 5", "rel=\"prev\""});
    expect_none(r.body(), {"rel=\"next\""}, "the oldest has no next");
    EXPECT_TRUE(has(r.header(), "charset"));
    EXPECT_TRUE(has(E.index(), "read,"));
    expect_all(E.get("cmd=item&fld=0&item=" + qp).body(), {"Softbreak café today", "Café menu", "Zed Zulu"});
    // The raw message is plain text, never a page.
    auto raw = E.get("cmd=raw&fld=0&item=" + qp);
    EXPECT_TRUE(has(raw.header(), "Content-type: text/plain")) << raw.out.substr(0, 300);
    EXPECT_TRUE(has(raw.body(), "caf=C3=A9"));
    // A body still on the server is fetched when the message is opened.
    auto g = E.get("cmd=item&fld=0&item=" + E.id_of("generated message 5"));
    EXPECT_TRUE(has(g.body(), "Line of message 5, generated")) << g.log;
    EXPECT_FALSE(has(E.index(), "rbody,"));
    // A number beyond an int is no message, never one it wraps around to.
    for (const char* item : {"9999", "4294967296", "99999999999999999999"})
        EXPECT_TRUE(E.get(std::string("cmd=item&fld=0&item=") + item).out_has("E12")) << item;
}

// A message that is read and cached is shown from its own record and its
// neighbours, found through the folder's line table; the page is the one
// the whole index gives, and a table that no longer fits index.dat is
// passed over.
TEST(ReadProcess, MessagePageUsesTheLineTableOnlyWhileItFits) {
    ReadEnv E;
    const std::string table = E.dir + "0/listpos.dat", index = E.dir + "0/index.dat";
    std::vector<std::string> ids;
    for (const char* subj : {"Plain hello", "Caf", "Files attached", "Hostile page", "generated message 5"})
        ids.push_back(E.id_of(subj));
    auto windowed = [&](const CgiResult& r) { return r.log_has("through the folder's line table"); };
    // First openings change the record (read, or the body fetched): the
    // whole index is read and the table saved.
    for (const std::string& id : ids) {
        ASSERT_FALSE(id.empty());
        E.h.clear_log();
        EXPECT_FALSE(windowed(E.get("cmd=item&fld=0&item=" + id))) << id;
        EXPECT_TRUE(E.h.exists(table)) << id;
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
    EXPECT_TRUE(has(raw.body(), "caf=C3=A9"));
}

TEST(ReadProcess, PartsDownloadAsAttachmentsWithSafeNamesAndTypes) {
    ReadEnv E;
    std::string id = E.id_of("Files attached");
    expect_all(E.get("cmd=item&fld=0&item=" + id).body(), {"See the files.", "part=2"});
    auto bin = E.get("cmd=item&fld=0&item=" + id + "&part=2");
    expect_all(bin.header(), {"Content-Disposition: attachment; filename=\"data.bin\"", "X-Content-Type-Options: nosniff"});
    EXPECT_EQ(bin.body(), kAttachment);
    auto html = E.get("cmd=item&fld=0&item=" + id + "&part=3");
    EXPECT_TRUE(has(html.header(), "attachment;"));
    expect_none(html.header(), {"text/html", "X-Bad"}, "header injection through the name");
    EXPECT_TRUE(E.get("cmd=item&fld=0&item=" + id + "&part=9").out_has("no part 9"));
}

TEST(ReadProcess, HostileHtmlShownAsIsRunsNothing) {
    ReadEnv E;
    std::string id = E.id_of("Hostile page");
    for (const char* body : {"setview=1&v_asis=on", "setview=1&v_asis=on&v_exec=on"}) {
        std::string b = E.post(std::string(body) + "&fld=0&item=" + id).body();
        ASSERT_TRUE(has(b, "Visible words")) << body << b;
        expect_none(b.substr(b.find("Visible words") - 200), {"<script>alert", "onclick", "javascript:", "<iframe"}, body);
    }
}

TEST(ReadProcess, EveryListCommandListsItsFolderAndChecksOnlyWhenAsked) {
    ReadEnv E("fetch_min 0\n");   // checks asked for are never too soon here
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
    int expected = E.pop_logins();
    for (const Case& c : cases) {
        auto r = E.get(c.request);
        expected += c.checks;
        EXPECT_TRUE(has(r.body(), c.shows)) << c.request;
        EXPECT_EQ(E.pop_logins(), expected) << c.request;
    }
    // The held folder is listed from a form.
    EXPECT_TRUE(has(E.post("cmd=list_held").body(), "<h1>held</h1>"));
    expect_all(E.post("switch=1&dstfld=1").body(), {"<h1>Trash Can</h1>", "This folder is empty"});
}

TEST(ReadProcess, FolderPageAndPhoneDecks) {
    ReadEnv E;
    EXPECT_TRUE(has(E.get("cmd=fld_manage").body(), ">5<"));
    E.h.set_ini(E.ini + "wml true\n");
    auto l = E.get("cmd=list&fld=0");
    EXPECT_TRUE(has(l.header(), "text/vnd.wap.wml"));
    EXPECT_EQ(lk_test::xml_errors(E.h, l.body()), "");
    EXPECT_TRUE(has(l.body(), "<wml>"));
    EXPECT_FALSE(has(l.body(), "selected"));
    auto i = E.get("cmd=item&fld=0&item=" + E.id_of("Plain hello"));
    EXPECT_TRUE(has(i.body(), "Hello plain world &amp; &lt;friends&gt;")) << i.body();
    EXPECT_EQ(lk_test::xml_errors(E.h, i.body()), "");
}

}  // namespace

// A handled post ends normally: status 0, and the profile fields the form
// carried are written (the key checks of the posted-form dispatcher have
// nothing to handle in this installation and raise no error).
TEST(ReadProcess, APostedFormKeepsItsProfileFields) {
    ReadEnv E;
    auto r = E.post("cmd=list_held&uvar1=kept+note&uaddress=ann%40home.example");
    EXPECT_EQ(r.status, 0) << r.out.substr(0, 600);
    EXPECT_FALSE(r.log_has("not available")) << r.log;
    expect_all(E.file("user.dat"), {"kept note", "ann@home.example"});
}
