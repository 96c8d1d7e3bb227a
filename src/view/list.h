// The message list: the list commands, the mail check before listing, the
// page figures, one row per message from the row block of the template,
// the folder page with its statistics, and the text-shortening helpers the
// rows use.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "store/index.h"

struct ListState {
    int xfolder = 0;          // folder being listed (-1 held)
    bool forceupdate = false; // this request must check the POP server
    bool stub = false;        // "stub" command: the page template is "stub"
    int page_size = -1;       // from the form for this request; -1 none
    int list_ps = 10;         // page size used for this page
    bool fresh_read = false;  // the index was read for this list and not changed since
    // A page read through the folder's line table: its records only.
    bool windowed = false;
    int win_n = 0, win_unread = 0, win_lo = 0;
    std::vector<Record> win;
};
ListState& list_state();
void list_reset();

// The list commands (non-zero for success) and the list shown after a
// frame set's first request.
int f_list();
int f_list_new();
int f_list_waste();
int f_list_copy();
int f_list_held();
int f_stub();
int f_switch();
int do_list();
// Reads a folder for its list page without a mail check: the page's rows
// through the folder's line table when it is current, else the whole index.
int list_read_stored(int folder);

// The rows of the message list and of the folder list: the block between a
// template's begin and end markers, once per row (page/hooks.h).
void tpl_show_list(const std::string& block);
void tpl_show_flist(const std::string& block);

// Figures and template of the folder; the index is loaded unless the
// caller has just loaded folder 0.
int fld_show(int folder);

// The folder's name; "held" (translated) for -1.
std::string get_xfld_name(int folder);

// Disk use from the folders' statistics (kilobytes * 1024); marks the
// profile changed.
void recalc_diskuse();

// Row helpers.
// "High", "Low" or "Normal" from an X-Priority or Priority value.
const char* show_priority(std::string_view text);
// The display name of an address text (at most 511 characters considered).
std::string h_from_trim(std::string_view addr);
// Text shortened to width characters for display, never cutting a
// character, an entity or a shift sequence; "..." when something was left
// out.  At most 508 bytes of input are considered.
std::string h_trim(std::string_view text, int width);

// The option list of the folders for a select element (the closing tag of
// the last option is the page's).  WML lists never mark the chosen one.
std::string fld_options(int selected, bool wml);

// Sets every row variable of one record (position pos of n).
void list_row_vars(const Record& r, int pos, int n, int row);
