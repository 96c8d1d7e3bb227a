// The administrator's page: one password guards bulk profile edits over a
// user-name wildcard, account deletion, a purge on demand and the counters.
// Its record (manager.dat in the root of the work area) also carries the
// bookkeeping of the automatic purge.
#pragma once
#include <functional>
#include <string>
#include <string_view>


struct ManagerRecord {
    long last_login = 0;   // last successful manager action
    long log_time = 0;     // when manager.dat was last written
    long last_purge = 0;   // last purge that visited at least one user
    int pid = 0;           // writer of the file (automatic purge election)
    int users = 0;         // accounts counted by the last update over "*"
    long long tcode = 0;   // the last form time code accepted
    int uadd = 0, ub_only = 0, upurge = 0, ukill_days = 0;
    std::string uwild = "*", uset, uval;
};

struct ManagerState {
    ManagerRecord rec;
    bool mi_changed = false;
    long nmodified = 0, nadded = 0, msgs_served = 0, msgs_diskuse = 0, nkilled = 0;
    std::string xinfomsg;   // result lines of this run, newest first
};
ManagerState& manager_state();
void manager_reset();

// The manager page (shown after an action when after_action is set), its
// posted actions, and the purge that ends a login.
int f_manager(int after_action);
int r_manager();
int auto_purge();

std::string manager_path();   // <work area>/manager.dat
int manager_read();
int manager_write();
// Adds a result line in front of the earlier ones.
void manager_info(const std::string& line);

// The manager password the setting names; "" when there is none to be had
// (empty setting, or a password file that cannot be read).
std::string get_pass(const std::string& setting);
// Compares in time that depends only on the length of the given text.
bool manager_pass_equal(std::string_view given, std::string_view want);

// The user walk: every user directory of the main work area whose (encoded)
// name matches the pattern; names beginning with "." are never visited.
// fn gets the directory and the user name; returns the number visited.
int user_walk(const std::string& pattern, const std::function<void(const std::string& dir,
                                                                    const std::string& user)>& fn);
// The wildcard as it is matched against directory names.
std::string walk_pattern(const std::string& wild);

// Edits one user's profile under the user's lock (waiting for it):
// non-zero on success.
int user_update(const std::string& user, const std::string& key, const std::string& value, int add,
                int blank_only);
int user_update_dir(const std::string& dir, const std::string& key, const std::string& value, int add,
                    int blank_only);
// Rewrites a profile text: the bulk-edit rule for one key, and the
// "checksum" line made to count the lines again.  Counts into *modified
// and *added.
std::string profile_edit_text(const std::string& text, const std::string& key, const std::string& value,
                              int add, int blank_only, long* modified, long* added);

// The user's lock, taken by directory (wait: seconds, 0 = one try).
bool admin_lock_user(const std::string& dir, const char* cmd, int wait);
void admin_unlock_user(const std::string& dir);

int del_accounts();
// Removes a user directory: moved out of the user tree first (under the
// user's lock when held_lock is false), then removed.  1 when all is gone.
int user_delete(const std::string& dir, bool held_lock = false);
// Removes what an interrupted removal left in the work area.
void user_delete_leftovers();

// Purge (purge.cpp).  wild: the user-name wildcard as typed.
int purge(const std::string& wild);
int do_purge(const std::string& user, const std::string& dir);
