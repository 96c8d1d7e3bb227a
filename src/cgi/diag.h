// Diagnostics: the page writer (gprintf), the log (emsg, imsg) and the
// user-facing error channel (f_error ...), which collects error texts during
// a command for the error page shown when the command finishes.
#pragma once
#include <string>
#include <string_view>

#include "support/escape.h"   // html_escape: every text an error quotes goes through it
#include "support/sink.h"

// Page output.  Everything the program writes to the browser goes through
// these, so the byte count (gsent) and the out.log copy stay right.
void gprintf(const char* fmt, ...) LK_PRINTF(1, 2);
void gwrite(std::string_view text);
long gsent();

// Log.  emsg: shown on the page and always logged; imsg: logged in debug
// mode (or before the configuration is read, into the early buffer).
int emsg(const char* fmt, ...) LK_PRINTF(1, 2);
int filemsg(const char* fmt, ...) LK_PRINTF(1, 2);
int imsg(const char* fmt, ...) LK_PRINTF(1, 2);
// Logged always, never shown on the page (for problems of the request the
// browser must not see, such as a malformed upload).
int lmsg(const char* fmt, ...) LK_PRINTF(1, 2);
int dmsg(...);
// Level 0 shows and logs; levels 1 and 2 log only in debug mode.
int emsg_do(int level, const char* text);

// True when the `log` setting contains the topic word.
bool log_has(const char* topic);

void diag_set_debug(bool on);
bool diag_debug();
// The configuration has been read: debug lines are no longer kept unless
// debug mode is on.  The lines kept so far go out with the next log line,
// or with diag_flush_early once the log's path is settled.
void diag_end_pre_ini();
void diag_flush_early();

// User-facing errors.
void f_error(const char* fmt, ...) LK_PRINTF(1, 2);
// Like f_error, and names this message as the one the page leads with
// (otherwise the first message leads; the rest are details).
void f_error_lead(const char* fmt, ...) LK_PRINTF(1, 2);
// A message as one plain sentence: blanks trimmed, a leading code such as
// "W14: " dropped.
std::string error_plain(std::string_view message);
// Publishes the pending messages as the page variables "error" (all of
// them), "error_lead" (the lead message as a plain sentence) and
// "error_details" (all of them, when they say more than the lead).
void f_error_set();
const std::string& f_error_text();
void f_error_clear();
// Shows the pending error; 1 when the dispatcher must run again.
int f_error_do();
// The error page without the template engine: a complete, encoded HTML
// (or WML) page holding the pending error text.
void error_page_plain();
// Logs every query field that has a name and a value (debug level).
void query_log();


void diag_reset();
