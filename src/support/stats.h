// Usage records for the administrator: the daily login log and the
// per-template page counters.  Both are only ever appended to, one whole
// record per write(2) on an O_APPEND descriptor, so concurrent requests
// interleave whole records and never lose one.  Neither is read back.
#pragma once
#include <ctime>
#include <string>
#include <string_view>

// "Dec05": English month abbreviation and two-digit day of the local time.
std::string mmmdd();
std::string mmmdd(std::time_t when);

// The path of the login log for a given time ("" when `stats_path` is empty).
std::string stats_login_file(std::time_t when);

// Appends "<time> <user> <addr> <msgs> <diskuse> <extra>\n" to the day's
// login log in `stats_path`.  Does nothing (returns 1) when `stats_path` is
// empty; 0 when the file cannot be written (logged, the login goes on).
int log_stats(std::string_view user, std::string_view addr, long msgs, long diskuse,
              std::string_view extra = {});

// The counter file of a template: "<stats_path>/<name>_tpl.s", or
// "stat_<name>_tpl.s" in the work area when `stats_path` is empty.
std::string stats_tpl_file(std::string_view tpl_name);
// Adds one page shown from the template (one "+" appended) when the `stats`
// setting is true.  1 when counted or counting is off, 0 on failure (logged
// at debug level; the page is shown all the same).
int stats_tpl_count(std::string_view tpl_name);
