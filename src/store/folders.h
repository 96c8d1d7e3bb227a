// Folder operations: moving, copying and deleting messages (the trash is
// the normal destination of a delete), emptying the trash and the cache of
// mail still on the POP server, creating, renaming and deleting folders,
// and rebuilding indexes.  Every operation keeps the disk-use figure in
// step.
//
// Order of a move, so that a process killed at any point leaves each
// message in its source, its destination or both: the destination file is
// created (never over an existing one), then its record appended; only
// when every copy is safe is the source index rewritten without the moved
// records, and only then are the source files removed.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "store/index.h"

// What the folder operations ask of the mail server layer, which points
// these at its own functions when it is installed.
struct FolderServer {
    // Deletes the message at this position of folder 0 on its POP server
    // when it is still there: 1 when it is gone from the server (or never
    // was there), 0 when it could not be deleted (the record is kept).
    int (*dele)(int pos);
    // Fetches the body of a message cached as a stub; non-zero when got.
    int (*read_rbody)(int pos);
    int (*close)();   // ends the POP session, if one is open
};
FolderServer& folder_server();

// The command handlers (non-zero for success).
int r_movesel();
int r_copysel();
int r_moveto(int next);
int r_delitem(int next);
int r_delsel(int reject);
int cmd_item_del();
int r_empty();
int f_empty();
int empty_trash(int purging);
int empty_remote_newmail(int all, int purging);
int r_fld_create();
int r_fld_delete();
int r_fld_rename();
int r_rebuild_indexes();

// The special folders by their names (the site's, else the names new
// profiles give them); -1 when the user has none.
int trash_folder();
int copies_folder();
// Folder 0, or a numbered slot in use: the only folders a request may name.
bool fld_visible(int fld);
// Folder 0, the trash and the copies folder cannot be renamed or deleted.
bool fld_reserved(int fld);
// True when the fixed_folders patterns protect the name from deletion.
bool fld_fixed(std::string_view name);

// A folder name as typed, made safe to store on one profile line: control
// characters (line ends and tabs among them) become blanks, blanks at the
// ends go, and the name is cut to 200 bytes without splitting a character.
std::string fld_name_clean(std::string_view typed);

// Copies a file to a path that must not exist yet (exclusive create; the
// directories are made when missing) and counts it in the disk use.
// 1 done; 0 failed (the error is recorded, nothing is left at `to`).
int lib_copy_file(const std::string& from, const std::string& to);

// Copies the records at the given positions of the loaded folder into dst.
// ok[i] is set when message i is safely in dst (copied now, or there
// already).  A body still on the server is fetched first; when that fails
// the message is not copied.  The loaded index is the source's again on
// return.  Answers the number safely in dst.
int fld_copy_positions(const std::vector<int>& pos, int dst, std::vector<char>& ok);
// Removes the records at the given positions of the loaded folder: from
// folder 0 each is first deleted on the POP server when it is still there
// (one that cannot be deleted there stays); then the index is rewritten
// once and the message files removed.  Answers the number removed.
int fld_delete_positions(const std::vector<int>& pos);
// Files a copy of the message file at path into folder fld under a new
// number, with rec as its record (rec's "_id" is set); the sent-mail copies
// go this way.  1 when the folder holds it (also when it did already).
int fld_file_message(int fld, const std::string& path, Record& rec);
// The same for one message of folder fld.
int fld_item_copy(int fld, int pos, int dst);
int fld_item_del(int fld, int id);

// Moves the message being answered ("item" of "fld") to "dstfld"; dst gets
// the destination.  1 when done (or refused for the same folder: 0).
int r_moveto_stub(int* dst);

// Emptying.  Each answers the count of message files removed.
int empty_trash(int purging);
int empty_remote_newmail(int all, int purging);
int empty_newmail(int purging);

// Disk use from the folder statistics (kilobytes * 1024).
void store_recalc_diskuse();

// A reject or accept list entry made from a message's sender: the bare
// address in lower case with blanks, control characters, commas and every
// character the list matcher reads as a wildcard taken out, so a sender
// such as "*@*" stands for itself only.  "" when no address is left.
std::string sender_entry(std::string_view address);
// The sender a message is rejected or accepted by: its From address, else
// its Sender; never Reply-To, which a sender may set to anyone's address.
std::string record_sender(const Record& rec);
// Puts the message's sender (record_sender) on the user's reject list.
void reject_sender(const Record& rec);

// Helpers of the folder commands.  fld_take: the folder a form field names
// (an absent "fld" is folder 0); an unknown or hidden one is refused with
// an error.  fld_writable: changes need the user lock, so a request that
// runs without it (another of the user's requests holds it) is refused.
// fld_parse_num: a whole decimal number, nothing else.
bool fld_take(const char* field, int& fld);
bool fld_writable();
bool fld_parse_num(const std::string& text, int& out);

// Message numbers of the "sel_N" fields of the form (at most 5000).
std::vector<int> form_selection();
