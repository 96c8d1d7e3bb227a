// The read path through the real program, judged by the files it leaves in
// the work area: message numbering, the new-mail counters, when the server
// is checked, the unseen marks at login, the disk use at logout and in the
// login statistics, the page after an idle time-out, stubs and message files
// the index lost, the page-size control, the self-test page's SMTP row and
// the page a wrong password gets.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>

#include <ctime>
#include <filesystem>
#include <regex>

#include "fake/fake_server.h"
#include "process/cgi_harness.h"
#include "store/index.h"

namespace {

using lk_test::CgiHarness;
using lk_test::CgiResult;
using lk_test::url_enc;

constexpr const char* kPass = "Rp4-secretPW";

std::string small_message(int n) {
    return "message <<EOM\nFrom: sender" + std::to_string(n) + "@example.test\nTo: ann@example.test\nSubject: note " +
           std::to_string(n) + "\nDate: Mon, " + std::to_string(n) + " Jan 2024 10:00:00 +0000\nMessage-ID: <n" +
           std::to_string(n) + "@example.test>\n\nbody of note " + std::to_string(n) + "\nEOM\n";
}

// Two small messages, and one above the cache limit that stays on the
// server as a stub.
std::string mailbox(bool with_big) {
    std::string s = std::string("user ann ") + kPass + "\n" + small_message(1) + small_message(2);
    if (with_big) s += "messages 1 30000\n";
    return s;
}

struct Env {
    FakeServer pop;
    CgiHarness h;
    std::string ini, tok, utokc;
    int codes = 0;

    explicit Env(const std::string& extra = "", bool with_big = false)
        : pop("pop3", mailbox(with_big), 60), h("", true) {
        ini = "templates @TPL@\nworkarea @WORK@\npophost 127.0.0.1\nport " + std::to_string(pop.port()) +
              "\ndebug true\n" + extra;
        h.set_ini(ini);
    }
    CgiResult login(const std::string& pass = kPass) {
        // A login page of its own each time, as a browser would post.
        auto r = h.post("cmd=login&user=ann&pass=" + url_enc(pass) + "&tcode=code" + std::to_string(++codes));
        tok = lk_test::cookie_value(r, "utok");
        utokc = lk_test::cookie_value(r, "utokc");
        return r;
    }
    std::map<std::string, std::string> env() const { return {{"HTTP_COOKIE", "utokc=" + utokc}}; }
    CgiResult get(const std::string& q) { return h.get(q + "&utoken=" + url_enc(tok), env()); }
    CgiResult post(const std::string& body) { return h.post(body + "&utoken=" + url_enc(tok), "", env()); }
    std::string dir() const { return "work/u_an/ann@127_0_0_1/"; }
    std::string index() { return h.read_file(dir() + "0/index.dat"); }
    std::string profile() { return h.read_file(dir() + "user.dat"); }
    // The value of a key of user.dat ("" when absent).
    std::string key(const std::string& k) {
        std::smatch m;
        std::string p = profile();
        return std::regex_search(p, m, std::regex("(^|\n)" + k + " ([^\n]*)")) ? m[2].str() : std::string();
    }
    // Sets a key that user.dat already holds (the line count, which the
    // profile's checksum counts, stays the same).
    void set_key(const std::string& k, const std::string& v) {
        std::string p = profile();
        ASSERT_NE(key(k), "") << k;
        std::string out = std::regex_replace(p, std::regex("(^|\n)" + k + " [^\n]*"), "$1" + k + " " + v);
        h.write_file(dir() + "user.dat", out);
    }
    int pop_logins() {
        int k = 0;
        for (const auto& l : pop.log_lines()) k += l.rfind("user ", 0) == 0;
        return k;
    }
    // Index records as fields.
    std::vector<std::vector<std::string>> records() {
        std::vector<std::vector<std::string>> out;
        std::istringstream in(index());
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> f;
            std::size_t b = 0;
            for (std::size_t e; (e = line.find('\t', b)) != std::string::npos; b = e + 1) f.push_back(line.substr(b, e - b));
            f.push_back(line.substr(b));
            out.push_back(f);
        }
        return out;
    }
};

long now() { return static_cast<long>(std::time(nullptr)); }

TEST(ReadPath, NewProfileNumbersFromZeroAndCountsNewMailOnce) {
    Env E;
    ASSERT_TRUE(E.pop.ok()) << E.pop.error();
    E.login();
    ASSERT_FALSE(E.tok.empty());
    auto r = E.get("cmd=list&fld=0");
    ASSERT_EQ(E.records().size(), 2u) << E.index();
    EXPECT_TRUE(E.h.exists(E.dir() + "0/m_0.dat"));
    EXPECT_TRUE(E.h.exists(E.dir() + "0/m_1.dat"));
    EXPECT_FALSE(E.h.exists(E.dir() + "0/m_2.dat"));
    EXPECT_EQ(E.key("nextid"), "2");
    EXPECT_EQ(E.key("nnew_sl"), "2");
    // Message 0 is a message like any other.
    auto item = E.get("cmd=item&fld=0&item=0");
    EXPECT_NE(item.body().find("body of note"), std::string::npos) << item.out.substr(0, 1500);
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
    ASSERT_TRUE(E.pop.ok());
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
        EXPECT_NE(r.body().find("2 messages"), std::string::npos) << c.request;
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
    EXPECT_EQ(E.index().find("unseen,"), std::string::npos) << E.index();
    std::string stats;
    for (const auto& e : std::filesystem::directory_iterator(E.h.path("stats"))) stats += E.h.read_file(e.path());
    // "time user address messages kilobytes ..."
    EXPECT_TRUE(std::regex_search(stats, std::regex("\\d+ ann@127.0.0.1 127.0.0.1 2 5( |\n)"))) << stats;
}

TEST(ReadPath, IdleTimeOutEndsTheSessionOnThePage) {
    Env E;
    ASSERT_TRUE(E.pop.ok());
    E.login();
    E.get("cmd=list&fld=0");
    // The logout page says whether the template engine saw a session.
    std::string tpl = E.h.read_file("templates/logout.tpl");
    E.h.write_file("templates/logout.tpl", tpl + "<p>[%%logged_out%%]</p>\n");
    E.set_key("log_time", std::to_string(now() - 2 * 3600));
    auto r = E.get("cmd=list&fld=0");
    EXPECT_NE(r.body().find("Login timed out after"), std::string::npos) << r.body();
    EXPECT_NE(r.body().find("[true]"), std::string::npos);
    EXPECT_FALSE(std::regex_search(r.body(), std::regex("utoken=[^&\"]"))) << "a link carries the ended session's token";
}

TEST(ReadPath, StubsAndLostIndexLinesAreStillShown) {
    Env E("", true);
    ASSERT_TRUE(E.pop.ok());
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
    E.h.write_file(E.dir() + "0/index.dat", idx.erase(at, 6));
    auto r = E.get("cmd=item&fld=0&item=" + stub_id);
    EXPECT_NE(r.body().find("Message was cached but not flagged. Repairing"), std::string::npos) << r.body();
    EXPECT_NE(E.index().find("rbody,"), std::string::npos) << "marked again";
    auto fetched = E.get("cmd=item&fld=0&item=" + stub_id);
    EXPECT_NE(fetched.body().find("Line of message 3, generated"), std::string::npos) << fetched.body().substr(0, 1500);

    // A message file whose index line is gone.
    idx = E.index();
    std::size_t line = idx.find(note_id + "\t") == 0 ? 0 : idx.find("\n" + note_id + "\t") + 1;
    idx.erase(line, idx.find('\n', line) + 1 - line);
    E.h.write_file(E.dir() + "0/index.dat", idx);
    auto lost = E.get("cmd=item&fld=0&item=" + note_id);
    EXPECT_NE(lost.body().find("body of note"), std::string::npos) << lost.out.substr(0, 1500);
    EXPECT_EQ(lost.out.find("E12"), std::string::npos);
    auto gone = E.get("cmd=item&fld=0&item=77");
    EXPECT_NE(gone.out.find("E12"), std::string::npos);
}

TEST(ReadPath, PerPageShowsTheSizeInUse) {
    Env E;
    ASSERT_TRUE(E.pop.ok());
    E.login();
    auto r = E.get("cmd=list&fld=0");
    std::string b = r.body();
    std::size_t sel = b.find("id=\"page_size\"");
    ASSERT_NE(sel, std::string::npos) << b;
    std::string control = b.substr(sel, b.find("</select>", sel) - sel);
    EXPECT_TRUE(std::regex_search(control, std::regex("selected\\s*>10</option>"))) << control;
    EXPECT_EQ(control.find(">0</option>"), std::string::npos) << control;
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
    EXPECT_TRUE(std::regex_search(r.body(), std::regex("SMTP Open</td><td>" + row + "</td><td>Succeeded")))
        << r.body();
}

TEST(ReadPath, WrongPasswordShowsTheLoginFormWithOneSentenceAndTheDetails) {
    for (bool wml : {false, true}) {
        SCOPED_TRACE(wml ? "wml" : "html");
        Env E(wml ? "wml true\n" : "");
        ASSERT_TRUE(E.pop.ok());
        E.login();
        E.get("cmd=logout");
        auto r = E.login("wrong");
        std::string b = r.body();
        EXPECT_TRUE(E.tok.empty());
        // The form again, the name kept.
        EXPECT_NE(b.find(wml ? "name=\"user\" title=\"User name\"" : "name=\"cmd\" value=\"login\""), std::string::npos)
            << b;
        EXPECT_NE(b.find("value=\"ann\""), std::string::npos);
        // One sentence first, every message in order under "Details".
        std::size_t lead = b.find("Login failed, try again");
        std::size_t details = b.find(wml ? "<card id=\"details\"" : "<details><summary>Details</summary>");
        ASSERT_NE(lead, std::string::npos);
        ASSERT_NE(details, std::string::npos);
        EXPECT_LT(lead, details);
        EXPECT_EQ(b.substr(0, details).find("W10"), std::string::npos) << "technical lines stay in the details";
        std::size_t pos = details;
        for (const char* m : {"W10: Cannot login to host", "W11: User or Password incorrect for ann", "W14: Login failed",
                              "W20: User login error"}) {
            std::size_t p = b.find(m, pos);
            EXPECT_NE(p, std::string::npos) << m;
            if (p != std::string::npos) pos = p;
        }
        if (wml) {
            E.h.write_file("deck.wml", b);
            std::string cmd = "xmllint --noout " + E.h.path("deck.wml") + " 2>&1";
            EXPECT_EQ(std::system(cmd.c_str()), 0) << b;
        }
    }
}

}  // namespace
