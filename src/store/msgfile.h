// Stored messages: one file per message ("m_<n>.dat", LF line ends), the
// stub left for a body still on the POP server, the one in-memory message
// buffer with its line reader, and header matching into index records.
#pragma once
#include <string>
#include <string_view>

#include "store/index.h"

// Path of message n of a folder.
std::string fld_item(int fld, int n);

// Loads a stored message (CR LF line ends) into the message buffer; 1 or 0.
int get_item(const char* fld, const char* n);
// The same without the session check (callers that already hold it).
int msg_load(int fld, int n);

struct MsgBuffer {
    std::string text;     // msg_p / msg_len
    std::size_t msg_sz = 0;
    std::size_t msg_at = 0;
    bool atend = false;
    bool have = false;    // a buffer exists
};
MsgBuffer& msgbuf();

void msg_add(std::string_view text);
void get_line_reset();
void get_line_rewind();
// Next line without its end, or nullptr at the end (valid until the next call).
const char* get_line();

// Header matching.  Keys are lower case; the value starts one character
// after the key.  head_get fills value (at most 511 characters).
int head_get(const char* key, std::string& value, std::string_view line);
int head_getv(const char* key, std::string& field, std::string_view line);
int head_catv(std::string& field, std::string_view line);
int head_cat(std::string_view line);
void no_last();
const std::string& head_last();

// Fills a record from one header line: the first table key (from position
// 1) the line starts with, continuation lines onto the last matched field,
// and "priority:" into position 10.  *lastpos carries the last match (-1
// none) from line to line.
void rec_head_line(Record& rec, std::string_view line, int* lastpos);
// True for a header line's continuation (leading blank or tab).
inline bool head_is_cont(std::string_view line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); }

// Writes the stub of a record whose body stays on the server; sets its
// "bytes:" to size and "_remote" to "1", counts the stub in the disk use.
int msg_write_stub(int fld, Record& rec, const std::string& text, long size);

// Folder-cache upkeep used after a fetch, and the index rebuild.
int myremove(const std::string& path);
int fld_idx_rebuild(int fld);
int empty_new();
int clear_unseen();
// Loads folder fld's index, clears its unseen marks and writes it when any
// was set; 1 when the index changed.
int fld_clear_unseen(int fld);

void msgfile_reset();
