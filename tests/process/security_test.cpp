// Attacks on the request and session paths: markup through requests, planted
// passwords, shared directories, secrets in the log, redirects, framing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <set>

#include "process/cgi_harness.h"

namespace {

using lk_test::CgiHarness;
using lk_test::CgiResult;
using lk_test::has;
using lk_test::kPass;
using lk_test::url_enc;

// Breaks out of a quoted attribute and out of text, and names a script address.
const std::string kHostile = "x\" onmouseover=\"alert(1)\" y=\"<img src=x onerror=alert(2)>";

std::string tok_of(const CgiResult& r) { return lk_test::cookie_value(r, "utok", ""); }

// No markup from kHostile survives in the page.
void expect_inert(const std::string& out, const std::string& what) {
    lk_test::expect_none(out, {"<img src=x", "\" onmouseover=\"", "<script>alert"}, what);
}

struct Site : lk_test::Session {
    explicit Site(const std::string& script = "user ann " + kPass + "\nmessages 2\n", const std::string& extra = "")
        : Session(script, extra, std::nullopt, 60) {}
    void set_port(int port) {
        h.set_ini(std::regex_replace(ini, std::regex("\nport \\d+\n"), "\nport " + std::to_string(port) + "\n"));
    }
    CgiResult login(const std::string& user, const std::string& pass) {
        return h.post("cmd=login&user=" + url_enc(user) + "&pass=" + url_enc(pass) + "&nflogin=on");
    }
    // The stored POP password of slot 0, as the profile keeps it (hidden).
    std::string pop_line(const std::string& dir) {
        for (const auto& f : lk_test::index_records(h.read_file(dir + "/user.dat")))
            if (f.size() > 3 && f[0].rfind("pophost 0 ", 0) == 0) return f[2];
        return "";
    }
};

// Every variable of every shipped template, set through "set_" fields and
// "u_" query pairs to a hostile value: no markup from it reaches the page.
TEST(Security, NoTemplatePrintsARequestValueAsMarkup) {
    CgiHarness h("", true);
    h.set_ini("templates @TPL@\nworkarea @WORK@\n");
    const std::set<std::string> directives = {"ifdef",  "ifndef",     "ifequal",   "ifnequal",   "ifinstr",
                                              "ifninstr", "else",      "endif",     "set",        "include",
                                              "begin_list", "end_list", "begin_flist", "end_flist", "begin_rules",
                                              "end_rules", "show_item", "quote_body", "quote_sbody", "abook"};
    const std::regex ref("%%([a-z_0-9]+)%%");
    int pages = 0;
    for (const auto& e : std::filesystem::directory_iterator(h.templates)) {
        std::string file = e.path().filename().string(), ext = e.path().extension().string();
        if (ext != ".tpl" && ext != ".wml") continue;
        std::string text = lk_test::slurp(e.path().string());
        std::set<std::string> names;
        for (std::sregex_iterator m(text.begin(), text.end(), ref), end; m != end; ++m)
            if (!directives.count((*m)[1]) && !std::isdigit(static_cast<unsigned char>((*m)[1].str()[0])))
                names.insert((*m)[1]);
        std::string body = "page=" + e.path().stem().string(), query;
        for (const auto& n : names) {
            body += "&set_" + n + "=" + url_enc(kHostile);
            if (n.rfind("u_", 0) == 0) query += "&" + n + "=" + url_enc(kHostile);
        }
        auto r = h.post(body, "", {{"QUERY_STRING", query.empty() ? "" : query.substr(1)}});
        if (!query.empty()) {
            // Query pairs of the user prefix reach the login page's variables.
            auto q = h.get("cmd=flogin&page=" + e.path().stem().string() + query);
            expect_inert(q.out, file + " (query)");
        }
        EXPECT_FALSE(r.timed_out) << file;
        expect_inert(r.out, file);
        EXPECT_FALSE(has(r.out, "javascript:alert")) << file;
        ++pages;
    }
    EXPECT_GE(pages, 30);
}

TEST(Security, MessagesOnThePageAreText) {
    // Over 500 variables, then a field whose name is markup: the refusal
    // names it as text.
    CgiHarness h("templates @TPL@\nworkarea @WORK@\ndebug true\n", true);
    std::string body = "page=login";
    for (int i = 0; i < 505; ++i) body += "&set_v" + std::to_string(i) + "=1";
    body += "&set_" + url_enc("<img src=x onerror=alert(1)>") + "=1";
    auto r = h.post(body);
    EXPECT_TRUE(has(r.out, "Too many var_sets")) << r.out.substr(0, 400);
    expect_inert(r.out, "too many variables");

    // A hostile POP server's refusal shows on the W11 line as text.
    Site s("user ann " + kPass + "\non PASS * -> reply -ERR <img src=x onerror=alert(1)>\n");
    ASSERT_TRUE(s.pop.ok()) << s.pop.error();
    auto bad = s.login("ann", "whatever");
    EXPECT_TRUE(has(bad.out, "W11: User or Password incorrect for ann (-ERR &lt;img src=x")) << bad.out;
    expect_inert(bad.out, "server reply");

    // A missing template is named, never the directory it was looked for in.
    std::filesystem::remove(h.path("templates/login.tpl"));
    r = h.get("");
    EXPECT_TRUE(has(r.out, "login.tpl")) << r.out;
    EXPECT_FALSE(has(r.out, h.templates)) << r.out;
}

TEST(Security, StoredPasswordNeverComesFromALinkOrAStrangersForm) {
    Site s;
    std::string tok = tok_of(s.login("ann", kPass));
    ASSERT_FALSE(tok.empty());
    const std::string dir = "work/u_an/ann@127_0_0_1";
    const std::string stored = s.pop_line(dir);
    ASSERT_FALSE(stored.empty());
    // A link (GET), and posts without the token in the body, change nothing.
    const std::string ignored = "newpass for ann@127.0.0.1 ignored";
    auto r = s.h.get("cmd=list&utoken=" + url_enc(tok) + "&newpass=Csrf4567");
    EXPECT_TRUE(r.log_has(ignored)) << r.log;
    EXPECT_EQ(s.pop_line(dir), stored);
    s.h.clear_log();
    r = s.h.post("cmd=list&newpass=Csrf4567", "", {{"HTTP_COOKIE", "utok=" + tok}});
    EXPECT_TRUE(r.log_has(ignored)) << r.log;
    EXPECT_EQ(s.pop_line(dir), stored);
    // The session's own form (token in the body) is heard.
    s.h.clear_log();
    r = s.h.post("cmd=list&utoken=" + url_enc(tok) + "&newpass=Other4567");
    EXPECT_TRUE(r.log_has("Cached token correct")) << r.log;
    EXPECT_FALSE(r.log_has(ignored)) << r.log;
    EXPECT_NE(s.pop_line(dir), stored);
    // With the server down the planted password does not log in; the one
    // the session itself stored does.
    s.pop.stop();
    r = s.login("ann", "Csrf4567");
    EXPECT_TRUE(tok_of(r).empty()) << r.out;
    EXPECT_FALSE(tok_of(s.login("ann", "Other4567")).empty());
}

TEST(Security, ServerDecidesEveryLoginItCanBeAskedAbout) {
    Site s;
    ASSERT_FALSE(tok_of(s.login("ann", kPass)).empty());
    // The password changes on the mail server: the old one stops working
    // at once, though it is the stored one.
    FakeServer changed("pop3", "user ann New-pass-99\nmessages 1\n", 60);
    ASSERT_TRUE(changed.ok()) << changed.error();
    s.set_port(changed.port());
    auto old = s.login("ann", kPass);
    EXPECT_TRUE(tok_of(old).empty()) << old.out;
    EXPECT_TRUE(has(old.out, "W14: Login failed"));
    EXPECT_FALSE(tok_of(s.login("ann", "New-pass-99")).empty());
    EXPECT_TRUE(has(changed.log(), "pass " + std::string(kPass))) << "the server was not asked";
}

TEST(Security, WrongPasswordEndsNobodysSession) {
    Site s;
    auto in = s.login("ann", kPass);
    std::string tok = tok_of(in), utokc = lk_test::cookie_value(in, "utokc", "");
    ASSERT_FALSE(tok.empty());
    const std::string before = s.file("user.dat");
    for (int i = 0; i < 3; ++i) {
        auto bad = s.login("ann", "guess" + std::to_string(i));
        EXPECT_TRUE(bad.out_has("W14: Login failed"));
        EXPECT_FALSE(bad.out_has("W15")) << bad.out;
    }
    EXPECT_EQ(s.file("user.dat"), before) << "a failed login writes nothing";
    auto r = s.h.get("cmd=check&utoken=" + url_enc(tok), {{"HTTP_COOKIE", "utokc=" + utokc}});
    EXPECT_TRUE(has(r.body(), "+OK")) << r.out;
}

TEST(Security, NamesThatFlattenAlikeNeverShareADirectory) {
    Site s("user first.last Pw-one-111\nuser first_last Pw-two-222\nmessages 1\n");
    ASSERT_FALSE(tok_of(s.login("first.last", "Pw-one-111")).empty());
    const std::string base = "work/u_fi/first_last@127_0_0_1";
    EXPECT_EQ(s.h.read_file(base + "/owner"), "first.last@127.0.0.1\n");
    ASSERT_FALSE(tok_of(s.login("first_last", "Pw-two-222")).empty());
    // The second name got a directory of its own, owned by it.
    std::string other;
    for (const auto& e : std::filesystem::directory_iterator(s.h.path("work/u_fi")))
        if (e.path().filename().string().rfind("first_last@127_0_0_1~", 0) == 0) other = e.path().string();
    ASSERT_FALSE(other.empty());
    EXPECT_EQ(lk_test::slurp(other + "/owner"), "first_last@127.0.0.1\n");
    EXPECT_NE(s.pop_line(base), s.pop_line(other));
    // A directory from before owner files belongs to the POP user its
    // profile names: the other name goes elsewhere, the owner stays.
    std::filesystem::remove_all(other);
    std::filesystem::remove(s.h.path(base + "/owner"));
    ASSERT_FALSE(tok_of(s.login("first_last", "Pw-two-222")).empty());
    EXPECT_TRUE(std::filesystem::exists(other + "/user.dat"));
    ASSERT_FALSE(tok_of(s.login("first.last", "Pw-one-111")).empty());
    EXPECT_EQ(s.h.read_file(base + "/owner"), "first.last@127.0.0.1\n");
}

TEST(Security, NoSecretReachesTheLogAndTheLogIsPrivate) {
    Site s("user ann " + kPass + "\nmessages 1\n", "log form cookie query query_string\n");
    const std::map<std::string, std::string> cookies = {
        {"HTTP_COOKIE", "utokc=SECRETC1; utok=SECRETT2; lksid=SECRETS3"}};
    s.h.get("", cookies);
    s.h.post("x=1", "", {{"HTTP_COOKIE", cookies.at("HTTP_COOKIE")}, {"CONTENT_TYPE", "multipart/form-data"}});
    auto mp = s.h.post_multipart({{"cmd", "login"}, {"user", "ann"}, {"pass", kPass}, {"nflogin", "on"}});
    std::string tok = tok_of(mp);
    ASSERT_FALSE(tok.empty()) << mp.out;
    s.h.get("cmd=list&utoken=" + url_enc(tok), {{"HTTP_COOKIE", "utok=" + tok}});
    const std::string log = s.h.log();
    ASSERT_NE(log.find("Form content"), std::string::npos) << "the form topic logged nothing";
    for (const std::string& secret : {std::string("SECRETC1"), std::string("SECRETT2"), std::string("SECRETS3"),
                                      std::string(kPass), tok, tok.substr(tok.rfind('_') + 1)})
        EXPECT_FALSE(has(log, secret)) << secret << "\n" << log;
    EXPECT_FALSE(has(log, "HTTP_COOKIE"));
    struct stat sb;
    ASSERT_EQ(stat(s.h.log_path.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 077, 0u) << std::oct << sb.st_mode;
}

TEST(Security, VirtualHostIsAHostName) {
    CgiHarness h("templates @TPL@\nworkarea @WORK@\nnotest false\n", true);
    // The name rule itself is a unit table; here, that a refusal is the answer.
    auto r0 = h.get("cmd=test&vhost=evil%0d%0aset-cookie:%20x=1");
    EXPECT_EQ(r0.status, 1);
    lk_test::expect_none(r0.out, {"Test Results", "set-cookie: x=1"});
    EXPECT_FALSE(has(r0.header(), "evil"));
    EXPECT_TRUE(has(h.get("cmd=test&vhost=b.example").out, "Test Results for b.example"));
    // A Host line the web server passed on as SERVER_NAME is held to the same rule.
    Site s;
    auto r = s.h.post("cmd=login&user=ann&pass=" + url_enc(kPass) + "&nflogin=on", "",
                      {{"SERVER_NAME", "a.org; secure"}});
    EXPECT_FALSE(tok_of(r).empty());
    EXPECT_FALSE(has(r.header(), "domain=a.org")) << r.header();
}

TEST(Security, ForgedTokensMakeNothing) {
    Site s;
    for (const auto& [query, cookie] : std::vector<std::pair<std::string, std::string>>{
             {"cmd=list&utoken=anyname@host_00", ""},
             {"cmd=list", "utok=someone@elsewhere_00"},
             {"cmd=item&item=1&utoken=x@y.z_123", ""}}) {
        auto r = s.h.get(query, cookie.empty() ? std::map<std::string, std::string>{}
                                                : std::map<std::string, std::string>{{"HTTP_COOKIE", cookie}});
        EXPECT_FALSE(r.timed_out) << query;
    }
    EXPECT_TRUE(std::filesystem::is_empty(s.h.work)) << "a refused request made files";
}

TEST(Security, RedirectOnlyForTheSessionsOwnLinks) {
    Site s;
    std::string tok = tok_of(s.login("ann", kPass));
    ASSERT_FALSE(tok.empty());
    const std::string url = "&url=" + url_enc("https://elsewhere.example/page");
    auto own = s.h.get("cmd=url&utoken=" + url_enc(tok) + url);
    EXPECT_TRUE(has(own.out, "CONTENT=\"0; URL=https://elsewhere.example/page\"")) << own.out;
    for (const std::string& q : {"cmd=url" + url, "cmd=url&utoken=ann@127.0.0.1_12345" + url}) {
        auto r = s.h.get(q);
        EXPECT_FALSE(has(r.out, "Refresh")) << q << "\n" << r.out;
        EXPECT_FALSE(has(r.header(), "Location:")) << q;
    }
}

TEST(Security, EveryPageRefusesFramesCachesAndReferrers) {
    Site s;
    auto in = s.login("ann", kPass);
    std::string tok = tok_of(in);
    ASSERT_FALSE(tok.empty());
    const std::pair<std::string, CgiResult> pages[] = {
        {"login answer", in},
        {"login page", s.h.get("")},
        {"list", s.h.get("cmd=list&utoken=" + url_enc(tok))},
        {"message", s.h.get("cmd=item&item=1&fld=0&utoken=" + url_enc(tok))},
        {"error", s.h.get("cmd=url&url=javascript%3Aalert(1)")},
        {"link", s.h.get("cmd=url&url=http%3A%2F%2Fa.example%2F")},
    };
    for (const auto& [what, r] : pages) {
        const std::string head = r.header();
        for (const char* line : {"Cache-Control: no-store", "X-Frame-Options: SAMEORIGIN",
                                 "Content-Security-Policy: frame-ancestors 'self'", "Referrer-Policy: no-referrer"})
            EXPECT_TRUE(has(head, line)) << what << ": " << line << "\n" << head;
    }
}

}  // namespace
