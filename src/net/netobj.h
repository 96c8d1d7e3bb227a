// The connection object: three typed connection slots (POP, SMTP,
// POPPASS) with their own line buffer, time-out and message callbacks.
// The password change drives a poppassd server through it.
#pragma once
#include <sys/time.h>

#include <string>

#include "cgi/diag.h"

enum { NET_POP = 0, NET_SMTP = 1, NET_POPPASS = 2 };

using NetMsg = void (*)(const char* text);

struct NETWORK {
    int init_value = 0;           // 32000 once net_init has run
    NetMsg emsg = nullptr;        // error output ("NET: " + text)
    NetMsg dmsg = nullptr;        // trace output
    char* error_string = nullptr; // the last reply that was not a success
    int last_error = 0;
    char stored_read[1024] = {};  // received bytes not yet returned, shared by the slots
    int connection[3] = {-1, -1, -1};
    struct timeval timeout = {30, 0};
    char* ip_address[3] = {};
    int port[3] = {};
    char* username = nullptr;
    char* password = nullptr;
};

constexpr int kNetInit = 32000;

int net_init(NETWORK* net, NetMsg emsg, NetMsg dmsg);
int net_set_user(NETWORK* net, const char* user, const char* password);
int net_set(NETWORK* net, const char* host, int port, int slot);
int net_pop_smtp_open(NETWORK* net, int slot);
int net_open(NETWORK* net);
int net_cmd(NETWORK* net, int slot, const char* fmt, ...) LK_PRINTF(3, 4);
const char* net_readln(NETWORK* net, int slot);
int net_read(NETWORK* net, int slot, char* buf, int size);
int net_writeln(NETWORK* net, int slot, const char* line);
int net_write(NETWORK* net, int slot, const char* data, int len);
void net_send_quit(NETWORK* net);
int net_close(NETWORK* net);
void net_clear(NETWORK* net);
std::string net_texterror(const NETWORK* net);

// The success rule of the object's replies ("OK" in second and third place,
// or a leading code of 200, 220, 221, 250, 354 or below 500).
bool net_reply_ok(const char* line);
// The same rule, but the POPPASS slot takes only a numeric 2xx or 3xx reply.
bool net_reply_ok_slot(int slot, const char* line);
