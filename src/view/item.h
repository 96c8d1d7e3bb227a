// The message page: one stored message with its neighbours, marked read,
// its body fetched from the server first when only a stub is cached; the
// single-part downloads, the raw message, the view settings and the
// template images.
#pragma once
#include <string>
#include <string_view>

struct ItemState {
    int fld = 0;
    int n = 0;              // message number
    std::string item;       // as requested
    bool raw = false;       // "raw" command
    std::string text;       // the message being shown (its stored bytes)
    bool have = false;
};
ItemState& item_state();
void item_reset();

// The message commands (non-zero for success); do_gif answers a request
// for an image part by its path.
int f_item();
int f_raw();
int r_setview();
int do_gif();

// The body of the message being shown, quoted for a reply when quote is 1,
// its lines ended with eol (page/hooks.h).
void tpl_show_item(int quote, const char* eol);

// Page variables of the message in item_state() (record at pos of the
// current index, or -1 when unknown).
void tpl_init_item(int pos);

// Shows the message at position pos - 1 of the current folder, or the list
// when there is none.
int f_nitem(int pos);

// The bare address of an address text ("" when none).
std::string item_bare_addr(std::string_view text);
// "charset" of a content-type value (at most 99 characters; "" when none).
std::string item_charset(std::string_view ctype);
