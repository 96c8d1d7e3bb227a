// Folder indexes: the 24-field overview record of a stored message, the
// index.dat file of each folder (one TAB-separated line per record), the
// one in-memory index of the current folder with its save slot, sorting,
// and the folder statistics.
#pragma once
#include <array>
#include <string>
#include <string_view>
#include <vector>

constexpr int nhead = 24;

// Positions of the record fields; the order is the file format.
enum HeadPos : int {
    H_ID = 0,        // "_id"
    H_UIDL,          // "x-uidl"
    H_FLAGS,         // "_flags"
    H_MSGID,         // "message-id:"
    H_SUBJECT,       // "subject:"
    H_FROM,          // "from:"
    H_LINES,         // "lines:"
    H_TO,            // "to:"
    H_DATE,          // "date:"
    H_CC,            // "cc:"
    H_PRIORITY,      // "x-priority:"
    H_POPHOST,       // "_pophost"
    H_REMOTE,        // "_remote"
    H_POPUSER,       // "_popuser"
    H_BYTES,         // "bytes:"
    H_CTYPE,         // "content-type:"
    H_CDISP,         // "content-disposition"
    H_SENDER,        // "sender:"
    H_REPLYTO,       // "reply-to:"
    H_NWFLAGS,       // "nwflags:"
    H_RESENTFROM,    // "resent-from:"
    H_CHILDTO,       // "x-child-to"
    H_POPPORT,       // "pop_port"
    H_STATUS,        // "status:"
};

extern const char* const h_names[nhead];

// An empty field is an unset one: the file cannot tell them apart.
using Record = std::array<std::string, nhead>;

struct Index {
    int n = 0;                  // records
    std::vector<Record> recs;   // n records
    int max = 0;                // capacity; 0 = never allocated
};

struct Fld_stats {
    int msgs = 0;
    int size = 0;     // kilobytes
    int unread = 0;
    int nnew = 0;
};

// The current folder's index and its state.
Index& mainidx();
int curfld();

constexpr int kIndexSlots = 10000;   // at most kIndexSlots - 2 records
// A longer index line is cut here by the reader.
constexpr std::size_t kIndexLineLimit = 20000;

int fld_readxov(int fld);
int fld_read_stats(int fld, Fld_stats& st);
int fld_addxov(Record& rec);
int fld_write(int fld);
int fld_delrec(int pos);
int fld_killrec(int pos);
int fld_findid(int id);
Record* fld_getrec(int pos);
int fld_get_id(int pos);
int fld_get_remote(int pos);
std::string fld_get_uidl(int pos);
std::string fld_get_pophost(int pos);
std::string fld_get_popuser(int pos);
int fld_find(std::string_view name);
// Saves the loaded index with its folder number, and restores both.
void fld_push();
void fld_pop();
void fld_mark_keep(const Record& rec);

int idx_add(Index& idx, const Record& rec);
void idx_free(Index& idx);
void idx_sort(Index& idx, const char* key);
int idx_sorted(Index& idx, const char* key);

void rec_init(Record& rec);
void rec_copy(Record& dst, const Record& src);
void rec_free(Record& rec);

// Flag words ("new," ...) in the "_flags" field, and the nwflags bit set.
void flag_add(std::string& field, std::string_view word);
int flag_remove(std::string& field, std::string_view word);
bool flag_has(const std::string& field, std::string_view word);
void set_nwflag(std::string& field, int bits);
void clear_nwflag(std::string& field, int bit);

// Blanks for TAB, CR and LF: index fields stay on one line.
void str_untab(std::string& s);
// One index line (without its LF) cut into values; the reader's rule:
// text after the last TAB counts as one more value.  At most 26 values.
std::vector<std::string_view> idx_split_line(std::string_view line);
// A record from an index line; false when it has too few values.  *short_line
// is set when it has fewer than nhead values.
bool idx_parse_line(std::string_view line, Record& rec, bool* short_line);
// The index line of a record (fields untabbed in place), with its LF.
std::string idx_format(Record& rec, int nfields);

int token_split2(char* text, char** pieces, const char* sep, int tmax);
void create_dir(std::string_view path);

// The text order of the sort: one leading double quote skipped on each
// side, bytes compared as signed characters with only A-Z folded.
int idx_text_cmp(const std::string& a, const std::string& b);
// A key whose plain byte order is idx_text_cmp's order.
std::string idx_fold_key(const std::string& f);

// The user's sort key as stored in the profile ("arrival" means none).
std::string sort_key_of(std::string_view sort_on);

// While on, fld_addxov adds to the in-memory index only (its caller writes
// the whole index with fld_write when its work is complete).
void fld_defer_appends(bool on);

// How long a reader waits for an index that is being replaced (ms).
void fld_set_missing_wait(int ms);

void index_reset();
// How a "date:" header becomes seconds for sorting by date; the message
// display installs its date parser here.  Without one every date sorts as 0.
void fld_set_date_parser(long (*parse)(std::string_view text));
