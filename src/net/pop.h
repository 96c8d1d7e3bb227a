// The POP3 session of a request: login with retries and the busy rule,
// the unique-id map, the header scan that caches new mail in folder 0, the
// body fetch with its limits, bodies fetched on demand and deletion on the
// server.
#pragma once
#include <string>
#include <vector>

#include "store/index.h"

int pop_open(int slot);
int pop_close();
int pop_open_check(const std::string& user, const std::string& pass, const std::string& host);
int get_uidl();
int find_uidl(const std::string& uid);
void pop_read();
void fetch_new();
int fetch_size(int pos, int n);
int fetch_one(int pos, int n, int force);
void dummy_one(int pos, int n, const std::string& text, long size);
int pop_read_rbody(int pos);
int r_delpop(int pos);
int popid(const std::string& host, const std::string& user);

// "+" + what the server gave as a file-safe id: "." and everything but
// letters, digits and "@" become "_".
std::string makenice(const std::string& text);

struct PopState {
    int curpop = -1;                     // slot of the open session
    bool nstat_done = false;
    int nstat = 0;
    std::vector<std::string> map_uidl;   // index 1-4999
    int nxov = 0;
    int gnnew = 0;                       // messages added in this run
    int gnrej = 0;                       // rejected
    int fetched = 0;                     // bodies fetched in this run
    bool did_dele = false;               // a message was deleted on the server
    bool scan_failed = false;            // the header scan lost its connection
    bool uidl_ok = false;                // STAT and the id list were read whole
    bool refused = false;                // the last pop_open was refused by the server itself
    std::string info;                    // information messages of this run
    long top_sent = 0;                   // TOP commands written
    long flushes = 0;                    // writes that waited for a reply
    double scan_secs = 0;                // wall time of the header scan
    double fetch_secs = 0;               // wall time of the body fetch and cache upkeep
};

PopState& popst();
void pop_reset();
