// Password change: the poppassd dialogue of the connection object, and the
// "ch_pass" page that drives it and stores the new password in the
// profile once the server has accepted it.
#pragma once
#include <string>

#include "net/netobj.h"

constexpr int kPoppassdPort = 106;
// Longest password the profile's hidden form keeps intact.
constexpr std::size_t kPassMax = 99;

// Sends the new password over the object's POPPASS slot (logging in with
// its user and old password first); 1 when the server accepted it.
int net_change_pass(NETWORK* net, const char* newpass);

// Empty when the text can be sent to a server and stored in the profile
// unchanged; else the (untranslated) reason it cannot.
std::string pass_problem(const std::string& pass);

// The port the password change talks to: the "poppassd_port" environment
// override used by test installations, else 106.
int poppassd_port();

// The "ch_pass" page for server slot 0-3, and the change itself (button
// "do_ch_pass").
int f_ch_pass(int slot);
int r_ch_pass();
