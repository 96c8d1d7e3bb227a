// The mail socket: the one connection per process that the POP3 session
// and SMTP submission use in turn, with its CRLF line reader under a
// time-out and a writer that logs traffic with passwords masked.
#pragma once
#include <cstdio>
#include <string>

#include "cgi/diag.h"

struct MailSocket {
    int sk = -1;             // open connection, -1 when none
    std::string rest;        // received bytes not yet returned as a line
    std::string reason;      // the last reply line read (no CR LF); "" after a failure
    int werrno = 0;          // system error saved by tcp_lasterror
    FILE* tlog = nullptr;    // copy of everything written (sent-message copy)
    int timeout = 0;         // pop_timeout in seconds, read once (0 = not yet)
    std::string hostname;    // tcp_hostname cache
    bool hostname_done = false;
    bool wrapped = false;    // the last line read was cut from a longer one
    long writes = 0;         // write calls made, for the round-trip figures
    long reads = 0;          // read calls made
};

MailSocket& msock();

// Opens a connection; the host is lower-cased in place.  A failed name
// lookup sets *dns_err to 1.  Answers the descriptor or -1 (werrno set).
// The connect waits at most pop_timeout seconds.
int tcp_openx(std::string& host, int port, int* dns_err);
void tcp_printf(int s, const char* fmt, ...) LK_PRINTF(2, 3);
void tcp_write_line(int s, const std::string& text);   // tcp_printf without formatting
void tcp_close();                                      // closes sk, forgets pending input
// send(2) on a mail socket, through TLS once it is started there.
long tcp_send(int s, const char* data, std::size_t len);

bool isok(const std::string& line);
int readok();
// Starts the network layer for this request (once per process).
int tcp_startup();
int readln();
int readln_sm();
void readln_clear();
int readln_flush();
int tsocket_read(int s, char* buf, int size, int timeout_secs);
int readsk(int s);

void tcp_logfile(const char* name);
const std::string& tcp_hostname();
std::string tcperror();
void tcp_lasterror();
int pop_timeout();

// What the log shows for a line written to a server: passwords masked.
std::string tcp_log_text(const std::string& text);

void sock_reset();
