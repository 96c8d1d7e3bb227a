// Finding the session in a request (token, cookies) and resolving the
// user's mail servers and domain from the profile and the settings.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// Seconds after midnight at which the day's tokens expire ("H:M" or seconds).
long logout_offset();
// Day of the year (0-365, local time) that tokens made at `now` carry.
int token_day(std::time_t now);
// Session token: user + "_" + hidden login code.
std::string make_token(std::string_view user, std::uint64_t code);
// Splits a token into user and login code for the day; false without "_".
bool parse_token(std::string_view token, int day, std::string& user, std::string& code);

// 1 when the request carries a token (sets rutoken, and xuser / xttcode
// when no user is known yet).
int get_user();
int get_token();
// A cookie's value from HTTP_COOKIE; "" when absent or over 99 characters.
std::string get_cookie(std::string_view name);
// Cookie lookup in a given header text (what get_cookie uses).
std::string cookie_value(std::string_view header, std::string_view name, bool* too_long = nullptr);

std::string get_host(int slot);
std::string get_smtphost();
std::string get_domain();
void set_domain(std::string_view domain);
int get_port();
int get_smtp_port();
int pop_port(int slot);
std::string pop_sport(int slot);
bool no_trash();
// The name as the user typed it: user_only without suffix and prefix.
std::string user_only_ns(std::string_view login);
// This machine's host name (at most 190 characters; "" when unknown).
const std::string& user_hostname();
