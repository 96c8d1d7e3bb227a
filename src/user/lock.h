// Advisory per-user locking with files, safe over NFS: the generic mylock_
// library (any base path, a table of the locks this process holds, stale
// locks broken after an age) and the user layer that decides per request
// whether the lock is needed (must-lock, try-only or read-only).
#pragma once
#include <string>
#include <vector>

using lock_msg_fn = int (*)(const char* fmt, ...);

struct LOCK {
    std::string file;     // base path; the lock file is file + "_lock"
    int handle = -1;      // standard mode: the open lock file
    long expires = -1;    // -1 while held; after mylock_free, when to remove
};

struct FILE_LOCK {
    int init = 0;
    std::string id = "0_undefined";
    int nfs_server = 0;
    int force_wait = 0;
    std::vector<LOCK> files;
    lock_msg_fn emsg = nullptr;
    lock_msg_fn dmsg = nullptr;
};

FILE_LOCK& lock_data();

// id: nullptr gives the bare process id; "" gives "<pid>_".
void mylock_init(const char* id, int nfs_server, int force_wait, lock_msg_fn emsg, lock_msg_fn dmsg);
// 1 obtained; 3 held already; 4 held but released; 0 not in time;
// -1 no directory; -2 unique file vanished; -3 stale lock not removable.
int mylock_get(const char* file, const char* data, int timeout, int expires);
int mylock_have(const char* file);
int mylock_build(const char* file, const char* data, int expires);
int mylock_free(const char* file);
void mylock_idle();
void mylock_clear();
int mylock_kill(LOCK& lock);
int clear_file(const char* path);
// For a handler of a signal that ends the process: removes every lock file
// this process still holds (while it is still this process's file), using
// only async-signal-safe calls.  Taking and giving up a lock run with the
// ending signals blocked, so a handler never meets a half-removed lock.
void mylock_signal_release();
// The signals that end a request early (the web server's SIGTERM among them).
void mylock_block_signals(bool block);

// The lock file and (NFS mode) the unique file of a base path.
std::string mylock_lock_name(const std::string& base);
std::string mylock_unique_name(const std::string& base);

// Lock mode of this request; once set, a flag stays set for the process.
struct UserLockFlags {
    int user_locked = 0;
    int g_must_lock = 0;
    int g_read_only = 0;
    int g_try_only = 0;
};
UserLockFlags& user_lock_flags();
inline bool user_read_only() { return user_lock_flags().g_read_only != 0; }

// 1 when the request may go on (locked, or no lock needed).
int user_lock(const std::string& cmd);
// Gives the user lock up (pauses 0.1 s, and lock_force_wait when set).
int user_release();
// For the end of a request: completes the response first (flushes standard
// output and closes it towards the web server), then releases.  Nothing
// may be written to the page after this.
int user_release_detached();

void lock_reset();
