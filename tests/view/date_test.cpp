#include "view/date.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "page/var.h"

namespace {
struct DateTest : ::testing::Test {
    void SetUp() override {
        ini_reset();
        var_reset();
        date_reset();
        diag_reset();
    }
    // "<hex.hex.dec@domain>" as "pid counter domain"; "" for any other shape.
    static std::string mid_parts(const std::string& id) {
        std::size_t at = id.find('@');
        if (id.size() < 8 || id.front() != '<' || id.back() != '>' || at == std::string::npos) return "";
        std::string head = id.substr(1, at - 1), domain = id.substr(at + 1, id.size() - at - 2);
        unsigned long t = 0, pid = 0;
        int counter = 0, used = 0;
        if (std::sscanf(head.c_str(), "%lx.%lx.%d%n", &t, &pid, &counter, &used) != 3 ||
            static_cast<std::size_t>(used) != head.size() || domain.empty())
            return "";
        for (char c : domain)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return "";
        return std::to_string(pid) + " " + std::to_string(counter) + " " + domain;
    }
    void TearDown() override {
        unsetenv("TZ");
        tzset();
        ini_reset();
    }
    static void zone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }
};
}  // namespace

TEST_F(DateTest, ParsesRealWorldHeaders) {
    struct Case { const char* text; long want; };
    const long nov21 = 880127706;   // Fri, 21 Nov 1997 15:55:06 UTC
    const Case cases[] = {
        {"Fri, 21 Nov 1997 09:55:06 -0600", nov21},
        {"Fri,21 Nov 1997 09:55:06 -0600", nov21},               // no blank after the comma
        {"Friday, 21 Nov 1997 09:55:06 -0600", nov21},           // full day name
        {"21 Nov 1997 09:55:06 -0600", nov21},                   // no day name
        {"Fri, 21 nov 1997 09:55:06 -0600", nov21},              // month in lower case
        {"  Fri,  21   Nov\t1997 09:55:06   -0600 ", nov21},     // runs of blanks and tabs
        {"Fri, 21 Nov 1997 09:55:06 -0600 (CST)", nov21},        // comment after the zone
        {"Fri, 21 Nov 1997 09:55:06 CST", nov21},
        {"Fri, 21 Nov 1997 09:55:06 -0600 CST", nov21},          // the same zone named twice
        {"Fri, 21 Nov 97 15:55:06 GMT", nov21},                  // two-digit year
        {"Fri, 21 Nov 1997 15:55:06 UT", nov21},
        {"Fri, 21 Nov 1997 15:55:06 Z", nov21},
        {"Fri, 21 Nov 1997 15:55:06", nov21},                    // no zone: as UTC
        {"Fri, 21 Nov 1997 15:55:06 XYZ", nov21},                // unknown zone: as none
        {"Fri, 21 Nov 1997 16:55:06 GMT +0100", nov21},          // zero zone, then the offset
        {"Fri, 21 Nov 1997 21:25:06 +0530", nov21},
        {"Fri, 21 Nov 1997 12:25:06 -0330", nov21},
        {"Fri, 21 Nov 1997 15:55:06 +2800", nov21},              // 28 hours is no zone
        {"Fri, 21 Nov 1997 15:55 +0000", nov21 - 6},             // no seconds
        {"Fri, 21 Nov 1997 1555 +0000", nov21 - 6},              // four-digit time
        {"Fri, 21 Nov 1997 955 -0600", nov21 - 6},               // three-digit time
        {"Fri, 21 Nov 1997 15 +0000", nov21 - 55 * 60 - 6},      // two-digit time
        {"Thu, 13 Feb 1969 23:32:54 -0330", -27723426},          // before 1970
        {"Mon, 5 Jan 1998 10:00:00 +0100", 883990800},
        {"5 Jan 1998 09:00:00 GMT", 883990800},
        {"Tue, 1 Jul 2003 10:52:37 +0000", 1057056757},
        {"Tue, 1 Jul 03 12:52:37 +0200", 1057056757},
        {"Tue, 1 Jul 2003 03:52:37 PDT", 1057056757},
        // Not understood: 0, the oldest.
        {"", 0},
        {"garbage", 0},
        {"Fri,", 0},
        {"5 Jan 1998", 0},                                       // no time
        {"5 Jan 1998 GMT", 0},
        {"0 Jan 1998 10:00:00", 0},
        {"32 Jan 1998 10:00:00", 0},
        {"5 January 1998 10:00:00", 0},                          // month must be the short name
        {"5 Foo 1998 10:00:00", 0},
        {"5 Jan xx 10:00:00", 0},
        {"5 Jan 1850 10:00:00", 0},
        {"5 Jan 1998 xx:00", 0},
        {"5 Jan 1998 12345", 0},
        {"Fri Nov 21 09:55:06 1997", 0},                         // ctime form is not a Date header
        {"99999999999999999999 Jan 99999999999999999 99999999999:9999999999999:99999999", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(parsedate(c.text), c.want) << '"' << c.text << '"';

    // Later is larger; EST is five hours after GMT at the same clock time.
    EXPECT_EQ(parsedate("Tue, 6 Jan 98 10:00:00 EST") - parsedate("Tue, 6 Jan 98 10:00:00 GMT"), 5 * 3600);
    // The scale does not depend on the server's own zone.
    zone("EST5EDT,M3.2.0,M11.1.0");
    EXPECT_EQ(parsedate("Tue, 1 Jul 2003 10:52:37 +0000"), 1057056757);
    // Only the first 199 characters are read.
    std::string padded = "Fri, 21 Nov 1997 15:55:06" + std::string(180, ' ') + "+0100";
    EXPECT_EQ(parsedate(padded), nov21);
}

TEST_F(DateTest, TimesZonesAndMonths) {
    struct H { const char* text; int ok, h, m, s; };
    const H hours[] = {
        {"10:05", 1, 10, 5, 0}, {"10:05:30", 1, 10, 5, 30}, {"7:5:3", 1, 7, 5, 3},
        {"10", 1, 10, 0, 0},    {"930", 1, 9, 30, 0},        {"1005", 1, 10, 5, 0},
        {"9", 0, 0, 0, 0},      {"12345", 0, 0, 0, 0},       {"ab", 0, 0, 0, 0},
        {":30", 0, 0, 0, 0},    {"", 0, 0, 0, 0},            {"1a", 0, 0, 0, 0},
    };
    for (const H& c : hours) {
        int h = -1, m = -1, s = -1;
        EXPECT_EQ(get_hour(c.text, h, m, s), c.ok) << c.text;
        if (c.ok) {
            EXPECT_TRUE(h == c.h && m == c.m && s == c.s) << c.text << " " << h << ":" << m << ":" << s;
        }
    }

    struct Z { const char* text; long want; };
    // each shape once: the named zones themselves are a table in the code
    const Z zones[] = {
        {"+0100", -3600}, {"-0500", 18000}, {" 0100", -3600}, {"+0530", -19800}, {"-0330", 12600}, {"+01:30", -5400},
        {"-0000", 0},     {"EST", 18000},   {"est", 18000},   {"CEST", -7200},   {"NST", 12600},   {"A", -3600},
        {"M", -43200},    {"N", 3600},      {"Y", 43200},     {"J", 0},          {"Z", 0},         {"XYZ", 0},
        {"+abc", 0},      {"", 0},          {"(CET)", 0},     {"+1", 0},
    };
    for (const Z& z : zones) EXPECT_EQ(get_zone(z.text), z.want) << z.text;
    EXPECT_EQ(tzone_find("PST"), 28800);
    EXPECT_EQ(tzone_find(std::string(40, 'a')), 0);

    EXPECT_EQ(month_find("JAN"), 0);
    EXPECT_EQ(month_find("dec"), 11);
    EXPECT_EQ(month_find("janu"), -1);
    EXPECT_EQ(month_find(""), -1);
    EXPECT_EQ(xmonth_find("January"), 1);
    EXPECT_EQ(xmonth_find("DEC 2003"), 12);
    EXPECT_EQ(xmonth_find("xx"), 0);
}

TEST_F(DateTest, DisplayForms) {
    const char* mon5 = "Mon, 5 Jan 1998 10:00:00 +0100";
    struct Trim { const char* in; const char* out; };
    const Trim trims[] = {
        {mon5, "5 Jan 1998"},
        {"5 Jan 1998 09:00:00 GMT", "5 Jan 1998"},
        {"Mon,    5 Jan 1998 10:00", "5 Jan 1998"},
        {"5 Jan 1998", "5 Jan 1998"},
        {"", ""},
    };
    for (const Trim& t : trims) EXPECT_EQ(h_date_trim(t.in), t.out) << t.in;

    struct Day { const char* fmt; const char* in; const char* out; };
    const Day days[] = {
        {"", mon5, "1/5/98"},
        {"dmy", mon5, "5/1/98"},
        {"ymd", mon5, "98/1/5"},
        {"mdy", "Tue, 1 Jul 2003 10:52:37 +0000", "7/1/2003"},
        {"", "Sat, 1 Jan 2000 00:00:00 GMT", "1/1/2000"},
        {"", "Wed, 9 Mar 05 10:00:00 GMT", "3/9/5"},              // two-digit years as given
        {"dmy", "5/1/98 10:00:00", "5/1/98"},                       // numeric date
        {"", "Mon, 5", "5"},                                        // no blank after the day
        {"", "Mon, 5 Jan", "5 Jan"},                                // no blank after the month
        {"", "", ""},
    };
    for (const Day& d : days) {
        ini_set(K_date_format, d.fmt);
        EXPECT_EQ(h_date_day(d.in), d.out) << d.fmt << " " << d.in;
    }
    ini_set(K_date_format, "");
    var_reset();
    EXPECT_EQ(h_date_day("Tue, 1 Jul 2003 10:52:37 +0000"), "7/1/2003");
    EXPECT_EQ(var_find("h_date_d"), "1");
    EXPECT_EQ(var_find("h_date_m"), "jul");
    EXPECT_EQ(var_find("h_date_mn"), "7");
    EXPECT_EQ(var_find("h_date_y"), "2003");
    EXPECT_EQ(h_date_day("5 Foo 1998 10:00"), "0/5/98");          // unknown month: logged, number 0
    EXPECT_EQ(var_find("h_date_m"), "");
    EXPECT_EQ(var_find("h_date_mn"), "0");

    struct Time { const char* in; const char* t12; const char* t24; };
    const Time times[] = {
        {mon5, "10:00:00 am", "10:00:00"},
        {"Mon, 5 Jan 1998 14:05:00 +0100", "2:05:00 pm", "14:05:00"},
        {"Mon, 5 Jan 1998 12:15:00", "12:15:00 pm", "12:15:00"},
        {"Mon, 5 Jan 1998 00:30:00", "0:30:00 am", "0:30:00"},
        {"Mon, 5 Jan 1998 23:59:59 GMT", "11:59:59 pm", "23:59:59"},
        {"09:05:00 GMT", "9:05:00 am", "9:05:00"},                    // token at the very start
        {"Mon, 5 Jan 1998 9:05 GMT", "9:05 am", "9:05"},              // one-digit hour
        {"Mon, 5 Jan 1998", "", ""},
        {"", "", ""},
    };
    for (const Time& t : times) {
        EXPECT_EQ(h_date_time(t.in), t.t12) << t.in;
        EXPECT_EQ(h_date_t24(t.in), t.t24) << t.in;
    }
    // Long texts never give more than 511 characters.
    std::string huge = "1 Jan 2000 10:" + std::string(2000, '0');
    EXPECT_LE(h_date_time(huge).size(), 511u);
    EXPECT_LE(h_date_trim(std::string(2000, 'x')).size(), 511u);
}

TEST_F(DateTest, OutgoingDateHeader) {
    const std::time_t t = 1796596800;   // Sun, 6 Dec 2026 22:40:00 UTC
    struct Case { const char* tz; std::time_t when; const char* want; };
    const Case cases[] = {
        {"UTC0", t, "Sun, 6 Dec 2026 22:40:00 GMT"},
        {"CET-1", t, "Sun, 6 Dec 2026 23:40:00 +0100"},
        {"EST5", t, "Sun, 6 Dec 2026 17:40:00 -0500"},
        {"IST-5:30", t, "Mon, 7 Dec 2026 04:10:00 +0530"},
        {"NST3:30", t, "Sun, 6 Dec 2026 19:10:00 -0330"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1057056757, "Tue, 1 Jul 2003 12:52:37 +0200"},   // summer time
    };
    for (const Case& c : cases) {
        zone(c.tz);
        EXPECT_EQ(lib_email_date({}, c.when), c.want) << c.tz;
        // What we send, we read back as the same instant.
        EXPECT_EQ(parsedate(lib_email_date({}, c.when)), c.when) << c.tz;
    }
    zone("EST5");
    ini_set(K_timezone, "EST");
    EXPECT_EQ(lib_email_date({}, t), "Sun, 6 Dec 2026 17:40:00 EST");
    ini_set(K_timezone, std::string(100, 'Z'));
    EXPECT_EQ(lib_email_date({}, t).size(), 70u);
    ini_set(K_timezone, "");

    EXPECT_EQ(lib_email_date("Mon, 1 Jan 2001 00:00:00 +0000", t), "Mon, 1 Jan 2001 00:00:00 +0000");
    // A posted value cannot add header lines.
    EXPECT_EQ(lib_email_date("Mon, 1 Jan 2001\r\nBcc: victim@example.com", t), "Mon, 1 Jan 2001");
    EXPECT_EQ(lib_email_date("\r\nBcc: x", t), "Sun, 6 Dec 2026 17:40:00 -0500");
    EXPECT_EQ(lib_email_date(std::string(200, '1'), t).size(), 70u);
    EXPECT_FALSE(lib_email_date().empty());
}

TEST_F(DateTest, MessageIds) {
    const std::string me = std::to_string(getpid());
    EXPECT_EQ(mid_parts(lib_email_mid("example.com")), me + " 0 example.com");
    EXPECT_EQ(mid_parts(lib_email_mid("example.com")), me + " 1 example.com");
    // Whatever the domain holds, the id stays one token on one line.
    EXPECT_EQ(mid_parts(lib_email_mid("exa mple>\r\n.com")), me + " 2 example.com");
    EXPECT_EQ(mid_parts(lib_email_mid("")).substr(0, me.size() + 3), me + " 3 ");   // this host's name
    EXPECT_LE(lib_email_mid(std::string(1000, 'd')).size(), 511u);
    date_reset();
    EXPECT_EQ(mid_parts(lib_email_mid("x.org")), me + " 0 x.org");
}
