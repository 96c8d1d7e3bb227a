// Where the user's correspondents are kept: the recent-address list of the
// profile, personal address books ("<name>.abk" in the user's directory,
// one entry a line: "name = addr, addr" or a plain address) and group books
// other users publish.  Builds the pick lists of the compose and address-
// book pages, expands entry names for local completion, and collects
// addresses when mail is sent.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A book name as given: refused ("") when empty, over 100 bytes, or holding
// anything but letters, digits, "_", "-", "%" and "@".  Names are never
// changed into others, so two books cannot share one file.
bool abook_name_ok(std::string_view name);

// The text of a personal book (read once per run; a missing book is
// created empty).  "" for an invalid name.
std::string abook_text(const std::string& name);
// The text of a group book "user/book".
std::string gaddr_book(const std::string& ref);
// Checks group references; "" when all can be read, else the problem.
std::string gaddr_book_check(const std::string& list);
// The value of the entry "name" in the personal books, then the group books.
std::optional<std::string> abook_find(std::string_view name);

// Sorted (ignoring case unless nosortaddr), empty lines dropped, one LF
// after each line.  false when the text has more than 10000 lines: the
// caller refuses it rather than losing entries.
bool addr_book_sort(std::string_view text, std::string& out);
// Writes a book (sorted); false with the reason recorded.
bool addr_book_write(const std::string& name, std::string_view text);
bool abook_del(const std::string& name);

// The recent list: each comma-separated piece with a new bare address
// (compared ignoring case) is added; the oldest goes when 30 are kept.
void user_addfrom(bool changed, std::string_view text);
// Appends each new address of the text to the collection book (add_book);
// the number appended.
int user_addfroma(std::string_view text);

// The option lists ("tolist", "topick", "toedit", the book choices).
std::string user_picklist();
std::string topick();
void user_editlist();
void abooks_picklist();

// Clears the book cache (tests run many cases in one process).
void abook_reset();
// The book names of a comma- or line-separated list, blanks trimmed.
std::vector<std::string> split_books(const std::string& list);

// The page commands.
int f_pick();
int r_pick();
int f_edit_abook();
int f_del_abook();
int r_addfrom();
int r_addfroma();
// Lets the send code expand book entries and collect the addresses of
// sent mail.
void abook_install();
