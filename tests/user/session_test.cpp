#include "user/session.h"

#include "user/codec.h"
#include "test_env.h"

namespace {

class SessionTest : public UserTest {
protected:
    void TearDown() override {
        unsetenv("HTTP_COOKIE");
        form_reset();
        UserTest::TearDown();
    }
};

}  // namespace

TEST_F(SessionTest, TokenRoundTripAndDailyExpiry) {
    const std::string tok = make_token("ann@pop.example", 4711);
    ASSERT_EQ(tok.rfind("ann@pop.example_", 0), 0u);
    EXPECT_EQ(tok.find_first_not_of("0123456789abcdef", 16), std::string::npos);
    std::string user, code;
    const int today = token_day(time(nullptr));
    ASSERT_TRUE(parse_token(tok, today, user, code));
    EXPECT_EQ(user, "ann@pop.example");
    EXPECT_EQ(code, "4711");
    ASSERT_TRUE(parse_token(tok, (today + 1) % 366, user, code));
    EXPECT_NE(code, "4711");   // a token of another day does not give the code
    EXPECT_FALSE(parse_token("nounderscore", today, user, code));
    // a user name with "_" splits at the last one
    ASSERT_TRUE(parse_token(make_token("a_b", 9), today, user, code));
    EXPECT_EQ(user, "a_b");
    EXPECT_EQ(code, "9");
}

TEST_F(SessionTest, LogoutTimeShiftsTheDay) {
    struct Case {
        const char* setting;
        long offset;
    } cases[] = {{"", 0}, {"4:30", (4 * 60 + 30) * 60}, {"3600", 3600}, {"0:05", 300}};
    for (const Case& c : cases) {
        configure(std::string(c.setting[0] ? "logout_time " : "") + c.setting + "\n");
        EXPECT_EQ(logout_offset(), c.offset) << c.setting;
    }
    configure("logout_time 6:00\n");
    // 05:59 local belongs to the previous day, 06:00 to the new one
    auto at = [](int hour, int min) {
        struct tm t = {};
        t.tm_year = 126, t.tm_mon = 2, t.tm_mday = 10, t.tm_hour = hour, t.tm_min = min, t.tm_isdst = -1;
        return mktime(&t);
    };
    EXPECT_EQ(token_day(at(6, 0)), token_day(at(5, 59)) + 1);
}

TEST_F(SessionTest, GetUserFromFieldOrCookie) {
    EXPECT_EQ(get_user(), 0);
    const std::string tok = make_token("ann@pop.example", 321);
    setenv("HTTP_COOKIE", ("lang=en; utok=" + tok).c_str(), 1);
    ASSERT_EQ(get_user(), 1);
    EXPECT_EQ(prof.xuser, "ann@pop.example");
    EXPECT_EQ(prof.xttcode, "321");
    EXPECT_EQ(prof.rutoken, tok);
    EXPECT_EQ(var_find("utoken"), "ann%40pop.example_" + tok.substr(16));
    EXPECT_NE(log_text().find("Got token for (ann@pop.example)"), std::string::npos);

    configure("require_cookies true\n");
    form_put("utoken", make_token("bob", 5));
    ASSERT_EQ(get_token(), 1);
    EXPECT_EQ(prof.xuser, "bob");   // the form field comes before the cookie
    EXPECT_EQ(prof.xttcode, "5");
    EXPECT_EQ(var_find("utoken"), "");

    configure("");
    form_reset();
    form_put("utoken", "no-underscore");
    EXPECT_EQ(get_user(), 0);
    EXPECT_EQ(prof.xuser, "");
}

TEST_F(SessionTest, Cookies) {
    struct Case { const char* header; const char* name; const char* value; } cases[] = {
        {"utokc=77; utok=abc_12", "utok", "abc_12"}, {"utok=abc_12; utokc=77", "utokc", "77"},
        {"xutok=evil; utok=good", "utok", "good"}, {"xutok=evil", "utok", ""}, {"a=1;b=2", "b", "2"},
        {"lksid=ann@pop.example", "lksid", "ann@pop.example"},
        {"", "utok", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(cookie_value(c.header, c.name), c.value) << c.header;

    setenv("HTTP_COOKIE", ("utok=" + std::string(100, 'x')).c_str(), 1);
    EXPECT_EQ(get_cookie("utok"), "");
    EXPECT_NE(log_text().find("Cookie utok too long"), std::string::npos);
    EXPECT_EQ(log_text().find("xxxxxxxx"), std::string::npos);   // cookie values stay out of the log
    setenv("HTTP_COOKIE", ("utok=" + std::string(99, 'x')).c_str(), 1);
    EXPECT_EQ(get_cookie("utok"), std::string(99, 'x'));
    setenv("HTTP_COOKIE", "other=1; more=2", 1);
    EXPECT_EQ(get_cookie("utok"), "");
    EXPECT_NE(log_text().find("Can't find cookie utok in other; more"), std::string::npos);
}

TEST_F(SessionTest, ServersAndDomain) {
    configure("port 1110\nsmtphost\n");
    prof.xpop_name[2] = "pop2.example";
    prof.xpop_port[3] = "995";
    EXPECT_EQ(get_host(0), "pop.example");
    EXPECT_EQ(get_host(2), "pop2.example");
    EXPECT_EQ(get_host(9), "pop.example");   // outside the table: slot 0
    EXPECT_EQ(pop_port(0), 1110);
    EXPECT_EQ(pop_port(2), 110);             // other slots ignore the setting
    EXPECT_EQ(pop_port(3), 995);
    EXPECT_EQ(pop_sport(0), "1110");
    EXPECT_EQ(pop_sport(2), "1110");
    EXPECT_EQ(pop_sport(3), "995");
    EXPECT_EQ(get_smtphost(), user_hostname());
    EXPECT_EQ(get_smtp_port(), 25);
    EXPECT_EQ(get_domain(), user_hostname());
    set_domain("ann.example");
    EXPECT_EQ(get_domain(), "ann.example");

    configure("smtphost $pophost\ndomain $pophost\nsmtp_port 2525\noriginal_pophost old.example\n");
    prof.xpop_name[0] = "old.example";
    EXPECT_EQ(get_host(0), "pop.example");   // the renamed server
    prof.xpop_cur = 2;
    prof.xpop_name[2] = "pop2.example";
    EXPECT_EQ(get_smtphost(), "pop2.example");
    EXPECT_EQ(get_domain(), "pop2.example");
    EXPECT_EQ(get_smtp_port(), 2525);
    EXPECT_EQ(get_port(), 110);
}

TEST_F(SessionTest, NoTrashAndTypedName) {
    for (const char* v : {"true", "TRUE"}) {
        configure(std::string("no_trash ") + v + "\n");
        EXPECT_TRUE(no_trash());
    }
    for (const char* v : {"True", "1", "yes"}) {
        configure(std::string("no_trash ") + v + "\n");
        EXPECT_FALSE(no_trash()) << v;
    }
    configure("suffix .x\nprefix pre-\n");
    EXPECT_EQ(user_only_ns("pre-ann.x@pop.example"), "ann");
    EXPECT_EQ(user_only_ns("pr"), "");        // never past the end
    EXPECT_EQ(user_only_ns(".x"), "");        // prefix removes the rest
}
