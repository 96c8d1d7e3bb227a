// The line table of a folder's index: where each record of index.dat starts
// and ends, its record and unread counts, and the sort order the file was
// found in, kept beside it in listpos.dat.  A list page then reads only the
// records it shows.  index.dat stays the truth: the table names the
// index.dat it describes (inode, size, modification time to the
// nanosecond) and is used only while that file is still the same one; the
// records themselves are always read from index.dat, and a line that does
// not sit where the table says sends the page back to the whole index.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "store/index.h"

// What this process last read (fld_readxov) or wrote (fld_write) of one
// folder's index.dat, line by line, as the reader cuts it.
struct IndexLines {
    int fld = 0;
    bool valid = false;
    unsigned long long ino = 0;
    long long size = 0;
    int unread = 0;
    std::vector<std::uint32_t> start;   // one per record, in file order
    std::vector<std::uint32_t> len;     // without the LF (and a CR before it)
    std::vector<std::uint32_t> id;      // the record's number, kListposNoId if none fits
};
constexpr std::uint32_t kListposNoId = 0xffffffffU;
// The number a record is filed under in the table: its "_id" when that is a
// plain decimal number below kListposNoId, else kListposNoId.
std::uint32_t listpos_id_of(const std::string& id);
// The key a table is saved under when index.dat is in no list's order: it
// serves the message page (which goes by file position) and no list.
constexpr const char* kListposFileOrder = "(file order)";
IndexLines& index_lines();

// Saves the table of fld's index.dat as this process last read or wrote it,
// as being in `key` order (the caller has checked that), provided index.dat
// is still that file.  True when saved.
bool listpos_save(int fld, const std::string& key);

// Opens fld's table for a list in `key` order: true, with the record and
// unread counts, when listpos.dat is whole, was saved for `key`, and
// describes index.dat as it stands now.
bool listpos_open(int fld, const std::string& key, int& n, int& unread);
// The same for a reader that goes by file position only (any sort order).
bool listpos_open_any(int fld, int& n, int& unread);
// The file position the opened table gives message number `id` (-1 when
// it has none).  A hint only: the caller checks the record it reads.
int listpos_find(std::uint32_t id);
// Records lo..hi (file positions) of the opened index; false when any of
// them is not where the table says (then nothing is trusted).
bool listpos_read(int lo, int hi, std::vector<Record>& out);
void listpos_close();

// The table file of a folder, and its encoding (for tests).
std::string listpos_file(int fld);
void listpos_reset();
