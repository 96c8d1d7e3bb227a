// Logging in, checking the session of every later request, logging out,
// the remembered-login cookie and the hand-over of a login to another
// installation.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// 1 when the request belongs to a logged-in user.  setlogin: this is the
// login itself (the POP server or the stored password decides).  Runs once
// per process; later calls give the first call's answer.
int user_checkauth2(int setlogin);
// True for a POST whose body carries the session's own token (checked by
// the session check): a link or another site's form cannot know it.
// Changes to stored credentials ask for it.
bool token_posted();
// 1 when the token's code, the client address and the allowed-address list
// all match the stored session.
int user_authok();
// 1 when the POP user may log in (the valid_user setting).
int valid_user(const std::string& popuser);
// Picks a new counter number and queues the "utokc" cookie.
void set_utokc();
// Clears the token cookies and shows the "logout" page.
int f_login_again();

// Random numbers from the system's source; never 0.
std::uint64_t login_random64();
int login_random_int();   // 1 .. 2^31-1
// Equal texts, in a time that does not depend on where they differ.
bool ct_equal(std::string_view a, std::string_view b);

// Client-address comparison: character by character until `parts` dotted
// parts have passed, or to the end of both.  0 when they agree, else the
// number of the part that differs.  parts <= 0 accepts any address.
int ip_check(std::string_view recorded, std::string_view current, int parts);

// Queues "Set-cookie: name=value; domain=...; expires=...; HttpOnly;
// SameSite=Lax[; Secure]" for the response header; expires 0 leaves the
// expiry out (a clearing cookie).  A value a cookie cannot carry is
// refused (logged).
void cookie_queue(const std::string& name, const std::string& value, std::time_t expires);
// The header line cookie_queue would queue ("" when refused).
std::string cookie_line(const std::string& name, const std::string& value, std::time_t expires);

// The attributes every cookie carries after its value and expiry:
// "; HttpOnly; SameSite=Lax", and "; Secure" for requests over HTTPS.
std::string cookie_attrs();
// "Sun Dec  6 22:52:28 2026": the GMT time as the cookie lines write it.
std::string cookie_expires(std::time_t when);

// The hand-over scrambling of a password under a user name, and back.
std::string encrypt_pass(std::string_view pass, std::string_view user);
std::string decrypt_pass(std::string_view data, std::string_view user);
// Reads and removes the hand-over file "<name>.tmp" of the work area and
// unscrambles it with key; "" on any failure (logged).
std::string pass_file(const std::string& name, const std::string& key);

// Text made safe for one log line: control bytes shown as "?", at most
// `max` characters.
std::string log_safe(std::string_view text, std::size_t max = 100);

// The built-in password of a test account ("" for any other name).
std::string testweb_password(std::string_view user);

void login_reset();
void auth_reset();

// The command handlers (non-zero for success).  r_login(auto_login),
// f_login(again), r_logout(lg): the argument picks the variant.
int r_login(int auto_login);
int f_login(int again);
int r_logout(int lg);
int r_send_auto_login();
int user_checkauth();
