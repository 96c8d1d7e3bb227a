// The read path judged by the work area: numbering, new-mail counts, when the
// server is checked, unseen marks, disk use, stubs, the wrong-password page.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>

#include <ctime>
#include <filesystem>
#include <regex>

#include "process/cgi_harness.h"
#include "store/index.h"

namespace {

using lk_test::CgiHarness;
using lk_test::CgiResult;
using lk_test::has;

std::string small_message(int n) {
    std::string k = std::to_string(n);
    return lk_test::pop_message("From: sender" + k + "@example.test\nTo: ann@example.test\nSubject: note " + k +
                                    "\nDate: Mon, " + k + " Jan 2024 10:00:00 +0000\nMessage-ID: <n" + k + "@example.test>",
                                "body of note " + k);
}

// Two small messages, and with_big one above the cache limit that stays on
// the server as a stub.
struct Env : lk_test::Session {
    explicit Env(const std::string& extra = "", bool with_big = false)
        : Session("user ann " + lk_test::kPass + "\n" + small_message(1) + small_message(2) +
                      (with_big ? "messages 1 30000\n" : ""),
                  extra) {}
    // The value of a key of user.dat ("" when absent).
    std::string key(const std::string& k) {
        std::smatch m;
        std::string p = file("user.dat");
        return std::regex_search(p, m, std::regex("(^|\n)" + k + " ([^\n]*)")) ? m[2].str() : std::string();
    }
    // Sets a key that user.dat already holds (the line count, which the
    // profile's checksum counts, stays the same).
    void set_key(const std::string& k, const std::string& v) {
        ASSERT_NE(key(k), "") << k;
        h.write_file(dir + "user.dat", std::regex_replace(file("user.dat"), std::regex("(^|\n)" + k + " [^\n]*"),
                                                          "$1" + k + " " + v));
    }
    std::vector<std::vector<std::string>> records() { return lk_test::index_records(index()); }
};

long now() { return static_cast<long>(std::time(nullptr)); }

TEST(ReadPath, NewProfileNumbersFromZeroAndCountsNewMailOnce) {
    Env E;
    E.login();
    ASSERT_FALSE(E.tok.empty()) << E.pop.error();
    std::string b = E.get("cmd=list&fld=0").body();
    ASSERT_EQ(E.records().size(), 2u) << E.index();
    // The page-size control shows the size in use.
    std::size_t sel = b.find("id=\"page_size\"");
    ASSERT_NE(sel, std::string::npos) << b;
    std::string control = b.substr(sel, b.find("</select>", sel) - sel);
    EXPECT_TRUE(std::regex_search(control, std::regex("selected\\s*>10</option>"))) << control;
    EXPECT_FALSE(has(control, ">0</option>")) << control;
    for (const char* f : {"0/m_0.dat", "0/m_1.dat"}) EXPECT_TRUE(E.h.exists(E.dir + f)) << f;
    EXPECT_FALSE(E.h.exists(E.dir + "0/m_2.dat"));
    EXPECT_EQ(E.key("nextid"), "2");
    EXPECT_EQ(E.key("nnew_sl"), "2");
    // Message 0 is a message like any other.
    auto item = E.get("cmd=item&fld=0&item=0");
    EXPECT_TRUE(has(item.body(), "body of note")) << item.out.substr(0, 1500);
    EXPECT_EQ(item.status, 0);
    // A delete without a message number must not take message 0; with it, it does.
    E.post("must_lock=1&fld=0&delitem=1");
    EXPECT_EQ(E.records().size(), 2u);
    E.post("must_lock=1&fld=0&delitem=1&item=0");
    ASSERT_EQ(E.records().size(), 1u);
    EXPECT_EQ(E.records()[0].at(H_ID), "1");
}

TEST(ReadPath, TheServerIsCheckedWhenAskedAndNeverWithinFetchMin) {
    Env E("fetch_min 300\n");
    E.login();
    E.get("cmd=list&fld=0");   // the first list of a session checks
    ASSERT_EQ(E.pop_logins(), 2) << "login and first list";
    struct Case {
        const char* request;
        long checked_ago;   // seconds since the last check, set before the request
        int connects;
    };
    const Case cases[] = {
        {"cmd=list&fld=0&checknew=false", 400, 0},   // not asked for: no check however old
        {"cmd=list&fld=0", 400, 0},
        {"cmd=list_new", 200, 0},                    // asked for, but too soon
        {"cmd=list&fld=0&checknew=1", 200, 0},
        {"cmd=list_new", 400, 1},
        {"cmd=list&fld=0&checknew=1", 400, 1},
    };
    for (const Case& c : cases) {
        E.set_key("fetch_last", std::to_string(now() - c.checked_ago));
        int before = E.pop_logins();
        auto r = E.get(c.request);
        EXPECT_TRUE(has(r.body(), "2 messages")) << c.request;
        EXPECT_EQ(E.pop_logins() - before, c.connects) << c.request << " " << c.checked_ago;
    }
    // Two forced checks in a row: the second is too soon.
    E.set_key("fetch_last", std::to_string(now() - 400));
    E.get("cmd=list_new");
    int before = E.pop_logins();
    auto again = E.get("cmd=list_new");
    EXPECT_EQ(E.pop_logins(), before);
    EXPECT_TRUE(again.log_has("Not connecting again as it's too soon"));
}

TEST(ReadPath, LoginClearsUnseenAndRecordsKilobytesLogoutRecalculatesDiskUse) {
    Env E("stats_path @DIR@/stats\ndiskuse_on_logout true\n");
    ASSERT_TRUE(E.pop.ok());
    std::filesystem::create_directories(E.h.path("stats"));
    E.login();
    E.get("cmd=list&fld=0");
    ASSERT_NE(E.index().find("unseen,"), std::string::npos);
    // The real use is the messages' sizes: (sum of "bytes:") / 1024 * 1024.
    long bytes = 0;
    for (const auto& f : E.records()) bytes += std::stol(f.at(H_BYTES));
    const long expected = bytes / 1024 * 1024;
    E.set_key("diskuse", "987654321");
    auto out = E.get("cmd=logout");
    EXPECT_EQ(out.status, 0) << out.log;
    EXPECT_EQ(E.key("diskuse"), std::to_string(expected));

    E.set_key("diskuse", "5120");
    auto in = E.login();
    ASSERT_FALSE(E.tok.empty()) << in.out;
    EXPECT_FALSE(has(E.index(), "unseen,")) << E.index();
    std::string stats;
    for (const auto& e : std::filesystem::directory_iterator(E.h.path("stats"))) stats += E.h.read_file(e.path());
    // "time user address messages kilobytes ..."
    EXPECT_TRUE(std::regex_search(stats, std::regex("\\d+ ann@127.0.0.1 127.0.0.1 2 5( |\n)"))) << stats;
}

TEST(ReadPath, IdleTimeOutEndsTheSessionOnThePage) {
    Env E;
    E.login();
    E.get("cmd=list&fld=0");
    // The logout page says whether the template engine saw a session.
    std::string tpl = E.h.read_file("templates/logout.tpl");
    E.h.write_file("templates/logout.tpl", tpl + "<p>[%%logged_out%%]</p>\n");
    E.set_key("log_time", std::to_string(now() - 2 * 3600));
    auto r = E.get("cmd=list&fld=0");
    lk_test::expect_all(r.body(), {"Login timed out after", "[true]"});
    EXPECT_FALSE(std::regex_search(r.body(), std::regex("utoken=[^&\"]"))) << "a link carries the ended session's token";
}

TEST(ReadPath, StubsAndLostIndexLinesAreStillShown) {
    Env E("", true);
    E.login();
    E.get("cmd=list&fld=0");
    auto recs = E.records();
    ASSERT_EQ(recs.size(), 3u);
    std::string stub_id, note_id;
    for (const auto& f : recs) {
        if (f.at(H_FLAGS).find("rbody,") != std::string::npos) stub_id = f.at(H_ID);
        else if (note_id.empty()) note_id = f.at(H_ID);
    }
    ASSERT_FALSE(stub_id.empty()) << E.index();

    // A fetch cut short left the stub without its mark.
    std::string idx = E.index();
    std::size_t at = idx.find("rbody,");
    E.h.write_file(E.dir + "0/index.dat", idx.erase(at, 6));
    auto r = E.get("cmd=item&fld=0&item=" + stub_id);
    EXPECT_TRUE(has(r.body(), "Message was cached but not flagged. Repairing")) << r.body();
    EXPECT_TRUE(has(E.index(), "rbody,")) << "marked again";
    auto fetched = E.get("cmd=item&fld=0&item=" + stub_id);
    EXPECT_TRUE(has(fetched.body(), "Line of message 3, generated")) << fetched.body().substr(0, 1500);

    // A message file whose index line is gone.
    idx = E.index();
    std::size_t line = idx.find(note_id + "\t") == 0 ? 0 : idx.find("\n" + note_id + "\t") + 1;
    idx.erase(line, idx.find('\n', line) + 1 - line);
    E.h.write_file(E.dir + "0/index.dat", idx);
    auto lost = E.get("cmd=item&fld=0&item=" + note_id);
    EXPECT_TRUE(has(lost.body(), "body of note")) << lost.out.substr(0, 1500);
    EXPECT_FALSE(has(lost.out, "E12"));
}

bool host_is_loopback(const std::string& host) {
    struct addrinfo hints {}, *res = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0) return false;
    bool loop = true;
    for (auto* a = res; a; a = a->ai_next) {
        if (a->ai_family == AF_INET)
            loop = loop && (ntohl(reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr) >> 24) == 127;
        else if (a->ai_family == AF_INET6)
            loop = loop && IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr);
    }
    freeaddrinfo(res);
    return loop;
}

TEST(ReadPath, TestPageReachesTheSmtpHostAnEmptySettingMeans) {
    char name[256] = {0};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    if (!host_is_loopback(name)) GTEST_SKIP() << "this machine's name is not a loopback address";
    FakeServer smtp("smtp", "", 30);
    ASSERT_TRUE(smtp.ok());
    CgiHarness h("templates @TPL@\nworkarea @WORK@\nnotest false\nsmtp_port " + std::to_string(smtp.port()) + "\n");
    auto r = h.get("cmd=test");
    std::string row = std::string(name) + ":" + std::to_string(smtp.port());
    EXPECT_TRUE(std::regex_search(r.body(), std::regex("SMTP Open</td><td>" + row + "</td><td>Succeeded"))) << r.body();
}

TEST(ReadPath, WrongPasswordShowsTheLoginFormWithOneSentenceAndTheDetails) {
    for (bool wml : {false, true}) {
        SCOPED_TRACE(wml ? "wml" : "html");
        Env E(wml ? "wml true\n" : "");
        ASSERT_TRUE(E.pop.ok());
        E.login();
        E.get("cmd=logout");
        auto r = E.login("ann", "wrong");
        std::string b = r.body();
        EXPECT_TRUE(E.tok.empty());
        // The form again, the name kept.
        lk_test::expect_all(b, {wml ? "name=\"user\" title=\"User name\"" : "name=\"cmd\" value=\"login\"",
                                "value=\"ann\""});
        // One sentence first, every message in order under "Details".
        std::size_t lead = b.find("Login failed, try again");
        std::size_t details = b.find(wml ? "<card id=\"details\"" : "<details><summary>Details</summary>");
        ASSERT_NE(lead, std::string::npos);
        ASSERT_NE(details, std::string::npos);
        EXPECT_LT(lead, details);
        EXPECT_FALSE(has(b.substr(0, details), "W10")) << "technical lines stay in the details";
        std::size_t pos = details;
        for (const char* m : {"W10: Cannot login to host", "W11: User or Password incorrect for ann", "W14: Login failed",
                              "W20: User login error"}) {
            std::size_t p = b.find(m, pos);
            EXPECT_NE(p, std::string::npos) << m;
            if (p != std::string::npos) pos = p;
        }
        if (wml) {
            EXPECT_EQ(lk_test::xml_errors(E.h, b), "");
        }
    }
}

}  // namespace
