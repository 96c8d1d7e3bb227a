// Logins, session checks and logouts of the real program against a scripted
// POP3 server: cookies, the stored password, busy and failure replies, the
// token, address and idle checks, replays after logout, hostile names.
#include <gtest/gtest.h>

#include <ctime>
#include <regex>

#include "page/encode.h"
#include "process/cgi_harness.h"
#include "user/session.h"

namespace {

using lk_test::CgiResult;
using lk_test::has;
using lk_test::kPass;
using lk_test::url_enc;

std::string cookie_of(const CgiResult& r, const std::string& name) { return lk_test::cookie_value(r, name, "<none>"); }

struct LoginEnv : lk_test::Session {
    explicit LoginEnv(const std::string& script = "user ann " + kPass + "\nmessages 2\n", const std::string& extra = "")
        : Session(script, extra, std::nullopt, 60) {}
    CgiResult login(const std::string& user, const std::string& pass, const std::string& more = "",
                    const std::map<std::string, std::string>& env = {}) {
        return h.post("cmd=login&user=" + url_enc(user) + "&pass=" + url_enc(pass) + "&frame=on" + more, "", env);
    }
    // The "check" command answers "+OK" or "-ERR" after the session check.
    CgiResult check(const std::string& token, const std::string& utokc,
                    const std::map<std::string, std::string>& env = {}) {
        auto e = env;
        if (!utokc.empty()) e["HTTP_COOKIE"] = "utokc=" + utokc;
        return h.get("cmd=check&utoken=" + url_enc(token), e);
    }
    std::string profile() { return file("user.dat"); }
    void set_profile_line(const std::string& key, const std::string& value) {
        std::string p = profile();
        std::size_t a = p.find("\n" + key + " ");
        ASSERT_NE(a, std::string::npos) << key;
        p.replace(a + 1, p.find('\n', a + 1) - a - 1, key + " " + value);
        h.write_file(dir + "user.dat", p);
    }
};

TEST(LoginProcess, GoodLoginSetsProtectedCookiesAndHidesThePassword) {
    LoginEnv L;
    ASSERT_TRUE(L.pop.ok()) << L.pop.error();
    auto r = L.login("ann", kPass, "&set_cookie=on&tcode=2246");
    std::string tok = cookie_of(r, "utok");
    EXPECT_EQ(tok.rfind("ann@127.0.0.1_", 0), 0u) << r.header();
    for (const char* c : {"utok", "utokc", "lksid", "lkssig"}) {
        std::regex line(std::string("Set-cookie: ") + c + "=[^\n]*; domain=localhost; expires=\\w{3} \\w{3} [ 0-9]\\d "
                        "\\d\\d:\\d\\d:\\d\\d \\d{4}; HttpOnly; SameSite=Lax(\n|$)");
        EXPECT_TRUE(std::regex_search(r.header(), line)) << c << "\n" << r.header();
    }
    EXPECT_FALSE(has(r.header(), "Secure"));
    EXPECT_EQ(cookie_of(r, "lksid"), "ann@127.0.0.1");
    std::string prof = L.profile();
    lk_test::expect_all(prof, {"\ntcode ", "\nlpcode 2246\n", "\nremote_addr 127.0.0.1\n"});
    EXPECT_FALSE(has(prof, kPass)) << "stored password in clear";
    EXPECT_FALSE(has(r.out, kPass)) << "password on the page";
    EXPECT_FALSE(has(r.log, kPass)) << "password in the log";
    auto lines = L.pop.log_lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "capa");   // asks for STLS, which this server does not offer
    EXPECT_EQ(lines[1], "user ann");
    EXPECT_EQ(lines[2], std::string("pass ") + kPass);

    // The session's token is accepted; over HTTPS the cookies are Secure.
    auto c = L.check(tok, cookie_of(r, "utokc"));
    EXPECT_TRUE(has(c.body(), "+OK")) << c.out << c.log;
    auto s = L.login("ann", kPass, "", {{"HTTPS", "on"}});
    EXPECT_TRUE(has(s.header(), "; HttpOnly; SameSite=Lax; Secure\n")) << s.header();
}

TEST(LoginProcess, WrongPasswordGivesNoSessionAndRemovesTheNewUser) {
    LoginEnv L;
    auto r = L.login("ann", "wrong-one");
    lk_test::expect_all(r.out, {"W14: Login failed, try again", "W20: User login error"});
    EXPECT_EQ(cookie_of(r, "utok"), "<none>");
    EXPECT_FALSE(L.h.exists("work/u_an/ann@127_0_0_1")) << "failed new user's directory kept";
    EXPECT_FALSE(has(r.log, "wrong-one"));

}

TEST(LoginProcess, BusyAndFailureRepliesOfTheServer) {
    struct Case {
        const char* name;
        std::string script, extra;
        bool ok;
    } cases[] = {
        {"busy once, retried", "user ann " + kPass + "\nonce on PASS * -> reply -ERR [IN-USE] Mailbox busy\n",
         "pop_retry 1\npop_busy IN-USE\n", true},
        {"busy, no retries", "user ann " + kPass + "\non PASS * -> reply -ERR [IN-USE] Mailbox busy\n", "",
         false},
        {"connection dropped at PASS", "user ann " + kPass + "\non PASS * -> drop\n", "", false},
        {"no greeting", "user ann " + kPass + "\non @connect -> close -ERR go away\n", "", false},
    };
    for (const Case& c : cases) {
        LoginEnv L(c.script, c.extra);
        auto r = L.login("ann", kPass);
        EXPECT_EQ(cookie_of(r, "utok") != "<none>", c.ok) << c.name << "\n" << r.out;
        if (!c.ok) {
            EXPECT_TRUE(has(r.out, "W20: User login error")) << c.name;
        }
        EXPECT_FALSE(has(r.out, kPass)) << c.name;
    }
}

TEST(LoginProcess, AddressIdleTimeAndLogoutEndTheSession) {
    LoginEnv L;
    auto r = L.login("ann", kPass, "", {{"REMOTE_ADDR", "10.1.2.3"}});
    std::string tok = cookie_of(r, "utok"), utokc = cookie_of(r, "utokc");
    ASSERT_NE(tok, "<none>") << r.out;
    struct Case {
        const char* addr;
        const char* want;
    } addrs[] = {{"10.1.2.99", "+OK"}, {"10.1.3.3", "E45 Already connected from another machine"}};
    for (const Case& c : addrs) {
        auto a = L.check(tok, utokc, {{"REMOTE_ADDR", c.addr}});
        EXPECT_TRUE(has(a.body(), c.want)) << c.addr << "\n" << a.out;
    }

    // A command that writes its own header still answers with a header.
    auto item = L.h.get("cmd=item&item=1&utoken=" + url_enc(tok), {{"REMOTE_ADDR", "10.1.3.3"}});
    EXPECT_TRUE(has(item.header(), "Content-type: ")) << item.out;
    EXPECT_TRUE(has(item.out, "Not currently logged in, please login again")) << item.out;

    // Idle for 61 minutes.
    L.set_profile_line("log_time", std::to_string(std::time(nullptr) - 61 * 60));
    auto t = L.check(tok, utokc, {{"REMOTE_ADDR", "10.1.2.3"}});
    EXPECT_TRUE(has(t.out, "Login timed out after 61 mins, please login again")) << t.out;
    EXPECT_TRUE(has(t.body(), "-ERR"));
    EXPECT_TRUE(has(L.check(tok, utokc, {{"REMOTE_ADDR", "10.1.2.3"}}).body(), "-ERR"));

    // A fresh session, logged out; the old token replayed is refused.
    auto again = L.login("ann", kPass, "&tcode=777", {{"REMOTE_ADDR", "10.1.2.3"}});
    tok = cookie_of(again, "utok");
    utokc = cookie_of(again, "utokc");
    EXPECT_TRUE(has(L.check(tok, utokc, {{"REMOTE_ADDR", "10.1.2.3"}}).body(), "+OK"));
    auto out = L.h.get("cmd=logout&utoken=" + url_enc(tok), {{"REMOTE_ADDR", "10.1.2.3"}});
    EXPECT_TRUE(has(out.out, "You have logged out")) << out.out;
    EXPECT_TRUE(has(out.header(), "Set-cookie: utok=; domain=localhost; HttpOnly; SameSite=Lax\n")) << out.header();
    EXPECT_TRUE(has(L.profile(), "\nlast_login 0\n"));
    auto replay = L.check(tok, utokc, {{"REMOTE_ADDR", "10.1.2.3"}});
    EXPECT_TRUE(has(replay.body(), "-ERR")) << replay.out;
    // The cached login page of that session is refused; a fresh one is not.
    auto cached = L.login("ann", kPass, "&tcode=777", {{"REMOTE_ADDR", "10.1.2.3"}});
    EXPECT_TRUE(has(cached.out, "E6: Cached login page for ann@127.0.0.1")) << cached.out;
    EXPECT_EQ(cookie_of(cached, "utok"), "") << "the refused page clears the token cookie";
    auto nocode = L.login("ann", kPass, "", {{"REMOTE_ADDR", "10.1.2.3"}});
    EXPECT_TRUE(has(nocode.out, "E5: xcached login page")) << nocode.out;
    EXPECT_NE(cookie_of(L.login("ann", kPass, "&tcode=778"), "utok"), "<none>");
}

TEST(LoginProcess, TokenMadeFromNameAndLoginTimeIsRefused) {
    LoginEnv L;
    std::time_t before = std::time(nullptr);
    auto r = L.login("ann", kPass, "&tcode=" + tencode(before));
    std::time_t after = std::time(nullptr);
    std::string utokc = cookie_of(r, "utokc");
    ASSERT_NE(cookie_of(r, "utok"), "<none>");
    // Whatever a guesser derives from the time of the login page or of the
    // login itself, the session's secret is none of it.
    for (std::time_t t = before - 2; t <= after + 2; ++t) {
        for (long long code : {static_cast<long long>(t), std::atoll(tencode(t).c_str())}) {
            auto c = L.check(make_token("ann@127.0.0.1", static_cast<std::uint64_t>(code)), utokc);
            EXPECT_TRUE(has(c.body(), "-ERR")) << code;
            EXPECT_TRUE(has(c.out, "Invalid token for ann@127.0.0.1")) << code;
        }
    }
}

TEST(LoginProcess, CommandLineLoginPrintsOkOrErr) {
    LoginEnv L;
    const std::pair<std::string, const char*> cases[] = {
        {"cmd=login&user=ann&pass=" + kPass, "+OK ann@127.0.0.1_"},
        {"cmd=login&user=ann&pass=nope", "-ERR "},
        {"cmd=login&user=&pass=nope", "-ERR You must enter a username and password"}};
    for (const auto& [query, answer] : cases) {
        auto r = L.h.run_args({"-query", query});
        EXPECT_EQ(r.out.rfind(answer, 0), 0u) << r.out;
    }
}

TEST(LoginProcess, HostileNamesNeverReachTheServerOrThePaths) {
    LoginEnv L("user ann " + kPass + "\n", "force_primary false\n");
    struct Case {
        std::string user, pass, host, want;
    } cases[] = {
        {"ann\r\nDELE 1", kPass, "", ""},   // cut at the line end: logs in as ann
        {"../../etc", kPass, "", "Username cannot contain .."},
        {"ann/../../x", kPass, "", "Username cannot contain .."},
        {"ann smith", kPass, "", "Invalid user"},
        {"ann\tx", kPass, "", "Invalid user"},
        {std::string(300, 'a'), kPass, "", "W14"},
        {"ann", "pw\r\nDELE 1", "", "W14"},
        {"ann", kPass, "127.0.0..1", "Host cannot contain .."},
        {"ann", kPass, "evil host", "Invalid POP host"},
        {"<script>", kPass, "", "Invalid user &lt;script&gt;"},
    };
    for (const Case& c : cases) {
        std::string more = c.host.empty() ? "" : "&pophost=" + url_enc(c.host);
        auto r = L.login(c.user, c.pass, more);
        if (!c.want.empty()) {
            EXPECT_TRUE(has(r.out, c.want)) << c.user << "\n" << r.out;
        }
        lk_test::expect_none(r.out, {"<script>", kPass}, c.user);
        lk_test::expect_none(r.log, {kPass, "\r"}, c.user);
    }
    for (const std::string& line : L.pop.log_lines()) {
        lk_test::expect_none(line, {"DELE", "script"}, "POP command");
        EXPECT_EQ(line.find_first_of(std::string("\r\t\0", 3)), std::string::npos) << line;
    }
    // Nothing was made outside the work area.
    EXPECT_FALSE(L.h.exists("etc"));
    EXPECT_FALSE(std::filesystem::exists(L.h.dir + "/../etc/user.dat"));
}

TEST(LoginProcess, RememberedLoginCookie) {
    LoginEnv L("user ann " + kPass + "\n", "frames_default true\n");
    struct Case {
        const char* what;
        bool forge;        // send a signature other than the stored one
        const char* addr;
        bool in;
    };
    // A refused cookie disables the remembered login until the next login
    // that asks for it again.
    const Case rounds[2][3] = {
        {{"good cookie", false, "10.1.2.7", true},
         {"another network", false, "10.9.9.9", false},
         {"good cookie after another network", false, "10.1.2.3", false}},
        {{"wrong signature", true, "10.1.2.3", false},
         {"good cookie after a forged one", false, "10.1.2.3", false},
         {"good cookie again", false, "10.1.2.3", false}},
    };
    for (const auto& round : rounds) {
        auto r = L.login("ann", kPass, "&set_cookie=on", {{"REMOTE_ADDR", "10.1.2.3"}});
        std::string id = cookie_of(r, "lksid"), sig = cookie_of(r, "lkssig");
        ASSERT_EQ(id, "ann@127.0.0.1") << r.header();
        // "flogin" always shows the form, whatever the cookies say.
        auto form = L.h.get("cmd=flogin", {{"HTTP_COOKIE", "lksid=" + id + "; lkssig=" + sig}});
        EXPECT_EQ(cookie_of(form, "utok"), "<none>");
        EXPECT_TRUE(has(form.out, "name=\"tcode\""));
        for (const Case& c : round) {
            std::string cookie = "lksid=" + id + "; lkssig=" + (c.forge ? "1" : "") + sig;
            auto a = L.h.get("", {{"HTTP_COOKIE", cookie}, {"REMOTE_ADDR", c.addr}});
            EXPECT_EQ(cookie_of(a, "utok").rfind("ann@127.0.0.1_", 0) == 0, c.in) << c.what << "\n" << a.log;
            if (!c.in) {
                EXPECT_TRUE(has(a.out, "name=\"pass\"")) << c.what << ": login page expected";
            }
        }
    }
    EXPECT_FALSE(has(L.profile(), "\nc: "));
}

TEST(LoginProcess, HandOverToAnotherInstallationAndWmlLogout) {
    LoginEnv L("user ann " + kPass + "\n",
               "frames_default true\nauto_login 1 http://other.example/cgi-bin/larkspur $(workarea)\n");
    auto r = L.login("ann", kPass);
    std::string tok = cookie_of(r, "utok");
    auto send = L.h.get("cmd=send_auto_login&n=1&utoken=" + url_enc(tok));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(send.out, m, std::regex("Location: http://other\\.example/cgi-bin/larkspur\\?cmd="
                                                          "auto_login&user=ann&pass_file=(pf_\\w{6})&&\n")))
        << send.out;
    std::string file = m[1].str();
    ASSERT_TRUE(L.h.exists("work/" + file + ".tmp"));
    EXPECT_FALSE(has(L.h.read_file("work/" + file + ".tmp"), kPass)) << "password in clear";
    EXPECT_TRUE(has(L.h.get("cmd=send_auto_login&n=11&utoken=" + url_enc(tok)).out, "Transfer 11 failed"));

    auto in = L.h.get("cmd=auto_login&user=ann&pass_file=" + file);
    EXPECT_EQ(cookie_of(in, "utok").rfind("ann@127.0.0.1_", 0), 0u) << in.out;
    EXPECT_FALSE(L.h.exists("work/" + file + ".tmp"));
    EXPECT_EQ(cookie_of(L.h.get("cmd=auto_login&user=ann&pass_file=" + file), "utok"), "<none>");
    EXPECT_EQ(cookie_of(L.h.get("cmd=auto_login&user=ann&pass_file=../larkspur.ini"), "utok"), "<none>");

    // The phone logout sends the browser on to a web address, nothing else.
    tok = cookie_of(in, "utok");
    auto lg = L.h.get("cmd=lg&url=http%3A%2F%2Fwap.example%2F&utoken=" + url_enc(tok));
    EXPECT_TRUE(has(lg.header(), "Content-type: text/vnd.wap.wml\n")) << lg.out;
    lk_test::expect_all(lg.out, {"\nLocation: http://wap.example/\n\n", "Set-cookie: utok=; "});
    auto again = L.login("ann", kPass, "&tcode=9");
    auto bad = L.h.get("cmd=lg&url=javascript%3Aalert(1)&utoken=" + url_enc(cookie_of(again, "utok")));
    EXPECT_FALSE(has(bad.out, "Location:")) << bad.out;
    EXPECT_TRUE(has(bad.out, "logged out")) << bad.out;
}

}  // namespace
