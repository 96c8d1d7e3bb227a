// The session helpers: the token check with its address rules, constant-time
// comparison, cookie lines, permitted users, the hand-over file and its
// scrambling, random secrets.
#include "user/login.h"

#include <set>

#include "user/codec.h"
#include "user/session.h"
#include "test_env.h"

using lk_test::file_exists;
using lk_test::spit;

namespace {

class LoginTest : public UserTest {
protected:
    // A loaded session of ann whose secret is `code`, recorded from `addr`.
    void session(std::uint64_t code, const std::string& addr) {
        prof.xuser = "ann@pop.example";
        prof.xtcode = code;
        prof.xremote_addr = addr;
    }
};

TEST_F(LoginTest, ConstantTimeEqualityIsPlainEquality) {
    struct Case {
        const char *a, *b;
        bool eq;
    } cases[] = {{"", "", true},         {"abc", "abc", true}, {"abc", "abd", false},
                 {"abc", "ab", false},   {"ab", "abc", false}, {"", "x", false},
                 {"4711", "04711", false}};
    for (const Case& c : cases) EXPECT_EQ(ct_equal(c.a, c.b), c.eq) << c.a << " / " << c.b;
    EXPECT_FALSE(ct_equal(std::string("a\0b", 3), std::string("a\0c", 3)));
}

TEST_F(LoginTest, AddressCheckOverDottedParts) {
    struct Case { const char *rec, *cur; int parts, failed; } cases[] = {
        {"10.1.2.3", "10.1.2.99", 3, 0}, {"10.1.2.3", "10.1.3.3", 3, 3},  {"10.1.2.3", "11.1.2.3", 3, 1},
        {"10.1.2.3", "10.1.2.3", 4, 0},  {"10.1.2.3", "10.1.2.4", 4, 4},  {"10.1.2.3", "10.1.2.35", 4, 4},
        {"10.1.2.3", "99.9.9.9", 0, 0},  {"::1", "::1", 3, 0},            {"::1", "::2", 3, 1},
        {"10.1.2.3", "10.1.2", 3, 3},    {"10.1.2.3", "10.1", 3, 2},
    };
    for (const Case& c : cases) EXPECT_EQ(ip_check(c.rec, c.cur, c.parts), c.failed) << c.rec << " " << c.cur;
}

TEST_F(LoginTest, TokenCodeAddressAndAllowedListDecide) {
    const std::uint64_t secret = 0x9e3779b97f4a7c15ULL;
    struct Case {
        const char* extra;      // settings
        const char* received;   // code carried by the token ("" = the secret)
        const char* addr;
        bool ok;
        const char* error;
    } cases[] = {
        {"", "", "10.1.2.99", true, ""},
        {"", "12345", "10.1.2.3", false, "Invalid token for ann@pop.example"},
        {"", "", "10.1.3.3", false, "E45 Already connected from another machine (10.1.2.3)!=(10.1.3.3)"},
        {"no_ipcheck true\n", "", "172.16.0.1", true, ""},
        {"ipcheck 1\n", "", "10.200.0.1", true, ""},
        {"valid_from_ip 10.1.*\n", "", "10.1.2.4", true, ""},
        {"valid_from_ip 192.168.*\n", "", "10.1.2.4", false, "Invalid from ip address 10.1.2.4"},
    };
    for (const Case& c : cases) {
        configure(c.extra);
        session(secret, "10.1.2.3");
        g.remote_addr = c.addr;
        prof.xttcode = *c.received ? c.received : std::to_string(secret);
        EXPECT_EQ(user_authok(), c.ok ? 1 : 0) << c.extra << c.addr;
        EXPECT_NE(f_error_text().find(c.error), std::string::npos) << f_error_text();
        EXPECT_EQ(log_text().find(std::to_string(secret)), std::string::npos) << "secret in the log";
    }
    // A profile that never held a session accepts no token, not even "0".
    configure("");
    session(0, "10.1.2.3");
    g.remote_addr = "10.1.2.3";
    prof.xttcode = "0";
    EXPECT_EQ(user_authok(), 0);
}

TEST_F(LoginTest, TokensGuessedFromNameAndTimeAreRefused) {
    const std::time_t login_time = std::time(nullptr);
    configure("");
    session(login_random64(), "10.1.2.3");
    g.remote_addr = "10.1.2.3";
    for (std::time_t t = login_time - 5; t <= login_time + 5; ++t) {
        for (std::uint64_t guess : {static_cast<std::uint64_t>(t),
                                     static_cast<std::uint64_t>(std::strtoull(tencode(t).c_str(), nullptr, 10))}) {
            std::string user, code;
            ASSERT_TRUE(parse_token(make_token(prof.xuser, guess), token_day(std::time(nullptr)), user, code));
            prof.xttcode = code;
            EXPECT_EQ(user_authok(), 0) << guess;
        }
    }
    // The session's own token passes the same way.
    std::string user, code;
    ASSERT_TRUE(parse_token(make_token(prof.xuser, prof.xtcode), token_day(std::time(nullptr)), user, code));
    prof.xttcode = code;
    EXPECT_EQ(user_authok(), 1);
}

TEST_F(LoginTest, RandomSecretsAreNonZeroAndDistinct) {
    std::set<std::uint64_t> seen;
    std::set<int> small;
    for (int i = 0; i < 200; ++i) {
        std::uint64_t v = login_random64();
        int n = login_random_int();
        EXPECT_NE(v, 0u);
        EXPECT_GT(n, 0);
        seen.insert(v);
        small.insert(n);
    }
    EXPECT_EQ(seen.size(), 200u);
    EXPECT_GT(small.size(), 190u);
    // Secrets use the high bits too (not a 32-bit value widened).
    bool high = false;
    for (std::uint64_t v : seen) high = high || (v >> 40) != 0;
    EXPECT_TRUE(high);
}

TEST_F(LoginTest, CookieLinesCarryDomainExpiryAndProtection) {
    g.g_dserver = "domain=mail.example; ";
    g.g_http = "http://";
    EXPECT_EQ(cookie_line("utok", "ann@h_00ff", 0), "Set-cookie: utok=ann@h_00ff; domain=mail.example; HttpOnly; SameSite=Lax");
    EXPECT_EQ(cookie_line("utokc", "42", 86400), "Set-cookie: utokc=42; domain=mail.example; expires=Fri Jan  2 00:00:00 1970; HttpOnly; SameSite=Lax");
    g.g_http = "https://";
    g.g_dserver.clear();
    EXPECT_EQ(cookie_line("lksid", "", 0), "Set-cookie: lksid=; HttpOnly; SameSite=Lax; Secure");
    for (const char* bad : {"a;b", "a b", "a\r\nSet-cookie: x=1", "a,b", "a\"b"})
        EXPECT_EQ(cookie_line("utok", bad, 0), "") << bad;
}

TEST_F(LoginTest, PermittedUsersFromListOrFile) {
    spit(dir + "/tpl/users.txt", "# staff\nann  full time\n\tbob\ncarol\n");
    struct Case { std::string setting, user; int ok; } cases[] = {
        {"", "anyone", 1},
        {"ann,bo*", "bob", 1},
        {"ann,bo*", "carl", 0},
        {"*,!eve", "eve", 0},
        {"@users.txt", "ann", 1},
        {"@users.txt", "Bob", 1},   // the POP user is lower-cased
        {"@users.txt", "full", 0},  // only the first word counts
        {"@missing.txt", "ann", 0},
    };
    for (const Case& c : cases) {
        configure("templates " + dir + "/tpl\n" + (c.setting.empty() ? "" : "valid_user " + c.setting + "\n"));
        EXPECT_EQ(valid_user(c.user), c.ok) << c.setting << " " << c.user;
    }
    EXPECT_NE(f_error_text().find("Can't open valid_address list {missing.txt}"), std::string::npos);
}

TEST_F(LoginTest, HandOverFileIsReadOnceAndUnscrambled) {
    // Each byte moves up by the key byte at the same place, the key repeating.
    EXPECT_EQ(encrypt_pass("AAAA", "ab"), std::string("\xa2\xa3\xa2\xa3"));
    for (const std::string& p : {std::string("s3cret pw"), std::string("\xff\x01 x", 4), std::string(127, 'z')})
        EXPECT_EQ(decrypt_pass(encrypt_pass(p, "ann"), "ann"), p);
    EXPECT_EQ(encrypt_pass(std::string(200, 'a'), "k").size(), 127u);

    spit(work + "/pf_abc123.tmp", encrypt_pass("hand-over", "ann") + "\n");
    EXPECT_EQ(pass_file("pf_abc123", "ann"), "hand-over");
    EXPECT_FALSE(file_exists(work + "/pf_abc123.tmp")) << "a hand-over file is good once";
    EXPECT_EQ(pass_file("pf_abc123", "ann"), "");
    spit(dir + "/outside.tmp", "x\n");
    for (const char* bad : {"../outside", "a/b", "a\\b", "", ".."}) EXPECT_EQ(pass_file(bad, "ann"), "") << bad;
    EXPECT_TRUE(file_exists(dir + "/outside.tmp"));
}

TEST_F(LoginTest, LogLinesAndTestAccounts) {
    EXPECT_EQ(log_safe("a\r\nb\0c"), "a??b");
    EXPECT_EQ(log_safe(std::string("a\r\nb\0c", 6)), "a??b?c");
    EXPECT_EQ(log_safe(std::string(300, 'x'), 10), std::string(10, 'x') + "...");
    EXPECT_EQ(testweb_password("testweb").size(), 9u);
    EXPECT_NE(testweb_password("testweb"), testweb_password("testweb2"));
    EXPECT_EQ(testweb_password("ann"), "");
}

}  // namespace
