#include "view/date.h"

#include <unistd.h>

#include <cctype>
#include <cstring>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "page/var.h"
#include "support/escape.h"
#include "support/str.h"

namespace {
const char* const months[12] = {"jan", "feb", "mar", "apr", "may", "jun",
                                "jul", "aug", "sep", "oct", "nov", "dec"};
// The display side matches on the first three letters only.
const char* const (&xmonths)[12] = months;
const char* const out_months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const weekday[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

struct TABLE {
    const char* name;
    int type;    // 1 for a summer-time zone
    int value;   // minutes west of UTC of the zone's standard time
};

// The summer rows carry the standard-time value of their zone; the summer
// hour is taken off by `type`.  (Central and Moscow summer zones and the
// West Australian one are UTC+2, +4 and +9.)
const TABLE tzone_table[] = {
    {"gmt", 0, 0},     {"ut", 0, 0},       {"utc", 0, 0},     {"cut", 0, 0},     {"z", 0, 0},
    {"wet", 0, 0},     {"bst", 1, 0},      {"nst", 0, 210},   {"ndt", 1, 210},   {"ast", 0, 240},
    {"adt", 1, 240},   {"est", 0, 300},    {"edt", 1, 300},   {"cst", 0, 360},   {"cdt", 1, 360},
    {"mst", 0, 420},   {"mdt", 1, 420},    {"pst", 0, 480},   {"pdt", 1, 480},   {"yst", 0, 540},
    {"ydt", 1, 540},   {"akst", 0, 540},   {"akdt", 1, 540},  {"hst", 0, 600},   {"hast", 0, 600},
    {"hadt", 1, 600},  {"ces", 1, -60},    {"cest", 1, -60},  {"mez", 0, -60},   {"mezt", 1, -60},
    {"cet", 0, -60},   {"met", 0, -60},    {"eet", 0, -120},  {"msk", 0, -180},  {"msd", 1, -180},
    {"wast", 0, -480}, {"wadt", 1, -480},  {"hkt", 0, -480},  {"cct", 0, -480},  {"jst", 0, -540},
    {"kst", 0, -540},  {"kdt", 0, -600},   {"cast", 0, -570}, {"cadt", 1, -570}, {"east", 0, -600},
    {"eadt", 1, -600}, {"nzst", 0, -720},  {"nzdt", 1, -720},
};

constexpr long kMaxZone = 97200;   // 27 hours: anything beyond is not a zone

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The leading decimal number of s (0 when none), capped so that no
// arithmetic on it can overflow whatever a header holds.
long lead_num(std::string_view s) {
    long n = 0;
    for (char c : s) {
        if (!is_digit(c)) break;
        if (n < 100000000) n = n * 10 + (c - '0');
    }
    return n;
}

bool all_digits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!is_digit(c)) return false;
    return true;
}

// strtok over a view: skips leading delimiters, returns the next token.
std::string_view next_token(std::string_view& rest, std::string_view delims) {
    std::size_t b = rest.find_first_not_of(delims);
    if (b == std::string_view::npos) {
        rest = {};
        return {};
    }
    std::size_t e = rest.find_first_of(delims, b);
    std::string_view tok = rest.substr(b, e == std::string_view::npos ? std::string_view::npos : e - b);
    rest = e == std::string_view::npos ? std::string_view{} : rest.substr(e + 1);
    return tok;
}

// The part of a date text after the weekday: past the first comma, then
// past blanks.
std::string_view skip_weekday(std::string_view d) {
    std::size_t c = d.find(',');
    if (c != std::string_view::npos) d.remove_prefix(c + 1);
    while (!d.empty() && d.front() == ' ') d.remove_prefix(1);
    return d;
}

std::string cap511(std::string_view s) { return std::string(s.substr(0, 511)); }

// The time token: from the blank before the first colon to the next blank.
bool time_token(std::string_view date, std::string_view& tok) {
    std::size_t colon = date.find(':');
    if (colon == std::string_view::npos) return false;
    std::size_t b = date.rfind(' ', colon);
    b = b == std::string_view::npos ? 0 : b + 1;
    std::size_t e = date.find(' ', colon);
    tok = date.substr(b, e == std::string_view::npos ? std::string_view::npos : e - b);
    return true;
}

struct DateState {
    int mid_counter = 0;
};
DateState& st() {
    static DateState s;
    return s;
}
}  // namespace

int month_find(std::string_view name) {
    std::string l = lower(name);
    for (int i = 0; i < 12; ++i)
        if (l == months[i]) return i;
    return -1;
}

int xmonth_find(std::string_view text) {
    std::string l = lower(text.substr(0, 3));
    if (l.size() == 3)
        for (int i = 0; i < 12; ++i)
            if (std::string_view(xmonths[i]).substr(0, 3) == l) return i + 1;
    imsg("Could not find month (%s %.200s)\n", l.c_str(), std::string(text.substr(0, 200)).c_str());
    return 0;
}

int get_hour(std::string_view text, int& hour, int& minute, int& second) {
    std::size_t colon = text.find(':');
    if (colon != std::string_view::npos) {
        if (colon == 0 || !is_digit(text[0])) return 0;
        hour = static_cast<int>(lead_num(text));
        std::string_view rest = text.substr(colon + 1);
        minute = static_cast<int>(lead_num(rest));
        std::size_t c2 = rest.find(':');
        second = c2 == std::string_view::npos ? 0 : static_cast<int>(lead_num(rest.substr(c2 + 1)));
        return 1;
    }
    if (!all_digits(text)) return 0;
    second = 0;
    switch (text.size()) {
    case 2:
        hour = static_cast<int>(lead_num(text));
        minute = 0;
        return 1;
    case 3:
        hour = text[0] - '0';
        minute = static_cast<int>(lead_num(text.substr(1)));
        return 1;
    case 4:
        hour = static_cast<int>(lead_num(text.substr(0, 2)));
        minute = static_cast<int>(lead_num(text.substr(2)));
        return 1;
    default: return 0;
    }
}

long tzone_find(std::string_view name) {
    std::string l = lower(name.substr(0, 30));
    if (l.size() == 1) {
        char c = l[0];
        // Military letters: A-I and K-M east of UTC, N-Y west; J is the
        // observer's local time and Z is UTC, neither a usable offset.
        if (c >= 'a' && c <= 'i') return -3600L * (c - 'a' + 1);
        if (c >= 'k' && c <= 'm') return -3600L * (c - 'k' + 10);
        if (c >= 'n' && c <= 'y') return 3600L * (c - 'n' + 1);
        return 0;
    }
    for (const TABLE& t : tzone_table)
        if (l == t.name) return (t.value - 60L * t.type) * 60L;
    return 0;
}

long get_zone(std::string_view text) {
    long sign = 1;
    if (!text.empty() && (text[0] == '+' || text[0] == ' ')) {
        sign = -1;
        text.remove_prefix(1);
    } else if (!text.empty() && text[0] == '-') {
        text.remove_prefix(1);
    }
    if (!text.empty() && is_digit(text[0])) {
        int h = 0, m = 0, s = 0;
        if (!get_hour(text, h, m, s)) return 0;
        return (h * 3600L + m * 60L + s) * sign;
    }
    return tzone_find(text);
}

long parsedate(std::string_view text) {
    std::string_view rest = text.substr(0, 199);
    std::tm tm{};
    std::string_view tok = next_token(rest, ", \n\t");
    if (tok.empty()) return 0;
    if (!is_digit(tok[0])) tok = next_token(rest, " \n\t");
    if (tok.empty()) return 0;

    tm.tm_mday = static_cast<int>(lead_num(tok));
    if (tm.tm_mday == 0 || tm.tm_mday > 31) return 0;

    int mon = month_find(next_token(rest, " \n\t"));
    if (mon < 0) return 0;
    tm.tm_mon = mon;

    tok = next_token(rest, " \n\t");
    if (tok.empty() || !is_digit(tok[0])) return 0;
    long year = lead_num(tok);
    if (year < 50) year += 100;
    if (year > 200) year -= 1900;
    if (year <= 0 || year > 1100) return 0;
    tm.tm_year = static_cast<int>(year);

    if (!get_hour(next_token(rest, " \n\t"), tm.tm_hour, tm.tm_min, tm.tm_sec)) return 0;

    // The second zone word counts only after a zero first one ("GMT +0100");
    // "-0500 EST" names the same offset twice.
    long zone = 0;
    std::string_view z1 = next_token(rest, " \n\t");
    if (!z1.empty()) {
        zone = get_zone(z1);
        std::string_view z2 = next_token(rest, " \n\t");
        if (!z2.empty() && zone == 0) zone = get_zone(z2);
    }
    if (zone > kMaxZone || zone < -kMaxZone) zone = 0;
    tm.tm_hour += static_cast<int>(zone / 3600);
    tm.tm_min += static_cast<int>((zone % 3600) / 60);
    tm.tm_isdst = 0;
    // UTC conversion: the same scale for every zone and no dependence on the
    // server's own zone or its summer-time switches.
    return static_cast<long>(timegm(&tm));
}

std::string h_date_trim(std::string_view date) {
    std::string_view d = skip_weekday(date);
    std::size_t pos = 0;
    for (int blanks = 0; pos < d.size(); ++pos)
        if (d[pos] == ' ' && ++blanks == 3) break;
    return cap511(d.substr(0, pos));
}

std::string h_date_day(std::string_view date) {
    std::string_view d = skip_weekday(date);
    if (d.empty()) return {};
    std::size_t b1 = d.find(' ');
    std::string_view first = d.substr(0, b1);
    long day = lead_num(d), mon = 0, year = 0;
    std::size_t slash = first.find('/');
    if (slash != std::string_view::npos) {
        // Numeric dates ("5/1/98 10:00") name no month: day/month[/year].
        std::string_view rest = first.substr(slash + 1);
        mon = lead_num(rest);
        std::size_t s2 = rest.find('/');
        if (s2 != std::string_view::npos)
            year = lead_num(rest.substr(s2 + 1));
        else if (b1 != std::string_view::npos)
            year = lead_num(d.substr(b1 + 1));
        else
            return cap511(d);
    } else {
        if (b1 == std::string_view::npos) return cap511(d);
        std::string_view after = d.substr(b1 + 1);
        std::string l3 = lower(after.substr(0, 3));
        for (int i = 0; i < 12 && mon == 0; ++i)
            if (l3 == xmonths[i]) mon = i + 1;
        if (mon == 0) {
            imsg("Could not find month in {%.200s}", std::string(d.substr(0, 200)).c_str());
            mon = xmonth_find(after);
        }
        std::size_t b2 = after.find(' ');
        if (b2 == std::string_view::npos) return cap511(d);
        year = lead_num(after.substr(b2 + 1));
    }
    if (year > 99) {
        year -= 1900;
        if (year > 99) year += 1900;
    }
    // No month recognised: the name is left empty and the number is 0.
    std::string month_name = mon >= 1 && mon <= 12 ? xmonths[mon - 1] : "";
    var_set("h_date_d", html_escape(std::to_string(day)));
    var_set("h_date_m", html_escape(month_name));
    var_set("h_date_mn", html_escape(std::to_string(mon)));
    var_set("h_date_y", html_escape(std::to_string(year)));
    const std::string& fmt = wm_ini_get(K_date_format);
    if (fmt == "dmy") return sfmt("%ld/%ld/%ld", day, mon, year);
    if (fmt == "ymd") return sfmt("%ld/%ld/%ld", year, mon, day);
    return sfmt("%ld/%ld/%ld", mon, day, year);
}

std::string h_date_time(std::string_view date) {
    std::string_view tok;
    if (!time_token(date, tok)) return {};
    long hour = lead_num(tok);
    const char* suffix = hour > 11 ? "pm" : "am";
    if (hour > 12) hour -= 12;
    // Everything after the hour, whether the hour has one digit or two.
    std::string_view tail = tok.substr(tok.find(':') + 1);
    return cap511(sfmt("%ld:%.*s %s", hour, static_cast<int>(tail.size()), tail.data(), suffix));
}

std::string h_date_t24(std::string_view date) {
    std::string_view tok;
    if (!time_token(date, tok)) return {};
    long hour = lead_num(tok);
    std::string_view tail = tok.substr(tok.find(':') + 1);
    return cap511(sfmt("%ld:%.*s", hour, static_cast<int>(tail.size()), tail.data()));
}

std::string lib_email_date(std::string_view send_date, std::time_t now) {
    if (!send_date.empty()) {
        // The value goes into a header line: a line break in a posted field
        // must not start a header of its own.
        std::string v(send_date.substr(0, send_date.find_first_of("\r\n")));
        if (!whitespace(v)) return ncpy(v, 70);
    }
    if (now == 0) now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    long east = tm.tm_gmtoff;
    const int wd = tm.tm_wday >= 0 && tm.tm_wday < 7 ? tm.tm_wday : 0;
    const int mo = tm.tm_mon >= 0 && tm.tm_mon < 12 ? tm.tm_mon : 0;
    std::string head = sfmt("%s, %d %s %d %02d:%02d:%02d", weekday[wd], tm.tm_mday, out_months[mo],
                            tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::string out;
    if (ini_isset(K_timezone) && !wm_ini_get(K_timezone).empty()) {
        std::string tz = wm_ini_get(K_timezone);
        tz = tz.substr(0, tz.find_first_of("\r\n"));
        out = head + " " + tz;
    } else if (east != 0) {
        long a = east < 0 ? -east : east;
        long hhmm = (a / 3600) * 100 + (a % 3600) / 60;
        out = head + sfmt(" %+05ld", east < 0 ? -hhmm : hhmm);
    } else {
        out = head + " GMT";
    }
    return ncpy(out, 70);
}

std::string lib_email_mid(std::string_view domain) {
    std::string dom;
    for (char c : domain) {
        unsigned char u = static_cast<unsigned char>(c);
        // Only what a domain can hold: anything else could end the id or
        // the header line early.
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || is_digit(c) || c == '.' || c == '-' ||
            c == '_')
            dom += c;
    }
    if (dom.empty()) {
        char host[256] = {0};
        if (gethostname(host, sizeof host - 1) == 0)
            for (const char* p = host; *p; ++p)
                if (std::isalnum(static_cast<unsigned char>(*p)) || *p == '.' || *p == '-') dom += *p;
        if (dom.empty()) dom = "localhost";
    }
    std::string id = sfmt("<%lx.%x.%d@%s>", static_cast<unsigned long>(std::time(nullptr)),
                          static_cast<unsigned>(getpid()), st().mid_counter++, dom.c_str());
    if (id.size() > 511) id = id.substr(0, 510) + ">";
    return id;
}

void date_reset() { st() = DateState{}; }
