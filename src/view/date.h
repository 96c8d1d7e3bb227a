// Dates: the Date-header parser behind the date sort, the short display
// forms of the list and message pages, and the Date and Message-ID values of
// outgoing mail.
#pragma once
#include <ctime>
#include <string>
#include <string_view>

// A number that orders correctly zoned dates on one scale (not an absolute
// time), or 0 when the text is not understood (sorts as the oldest).
long parsedate(std::string_view text);

// 1 when the text is a time ("10:05", "10:05:30", "9", "10", "105", "1005").
int get_hour(std::string_view text, int& hour, int& minute, int& second);
// Seconds to add to a local clock to reach UTC ("+0100" -> -3600,
// "-0500" -> 18000, "EST" -> 18000); 0 when unknown.
long get_zone(std::string_view text);
// The same for a zone name only (table or single military letter).
long tzone_find(std::string_view name);
// 0-11 for a whole month name ("jan" ... "dec", any case), else -1.
int month_find(std::string_view name);
// 1-12 from the first three letters of a month name, else 0 (logged).
int xmonth_find(std::string_view text);

// Display forms of a "date:" text; "" for an empty date.
// "Mon, 5 Jan 1998 10:00:00 +0100" -> "5 Jan 1998"
std::string h_date_trim(std::string_view date);
// -> "1/5/98" (order from `date_format`: "dmy", "ymd", else m/d/y); also sets
// the template variables h_date_d, h_date_m, h_date_mn, h_date_y.
std::string h_date_day(std::string_view date);
// -> "10:00:00 am"
std::string h_date_time(std::string_view date);
// -> "10:00:00" (hour without a leading zero)
std::string h_date_t24(std::string_view date);

// The Date value of an outgoing message: send_date when it is not empty
// (callers pass the posted "send_date" field), else the time `now` (0 = the
// current time) in local time with the `timezone` setting or the numeric
// offset.  At most 70 characters.
std::string lib_email_date(std::string_view send_date = {}, std::time_t now = 0);
// A new Message-ID "<time.pid.counter@domain>" (callers pass get_domain());
// the counter starts at 0 in every process.  At most 511 characters.
std::string lib_email_mid(std::string_view domain);

// Restores the state of a fresh process (the Message-ID counter).
void date_reset();
