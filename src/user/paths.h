// Where a user's files live: the user name -> directory mapping (two hash
// methods, alternative work areas, the renamed-host rule) and the names of
// the files inside it.  Every path is at most 511 characters, uses "/" only,
// and never leaves the work area whatever the user or file name holds.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// 1 (u_xx/name) or 2 (n_a1/b2/escaped); read from the settings once per
// process (paths_reset forgets it).
int hash_method();
// Characters of the safe name that form the first directory level (2 when
// the setting is absent or 0).
int hash_num();

// Escaped name for hash method 2: letters and digits copied, control and
// 8-bit bytes dropped, every other character "_" + a code letter.  At most
// size - 1 output characters (a partial escape is never emitted).
std::string rencode(std::string_view text, std::size_t size = 512);
// Same, but "*" is left alone (wildcards over escaped names).
std::string rencodew(std::string_view text, std::size_t size = 512);
// Inverse of rencode (directory name back to user name).
std::string rdecode(std::string_view text);
// "n_" + two hashed levels + "/" + text (text cut to 502 characters).
std::string nhash(std::string_view text);

// The user part of a login name: cut at its second "@" when it has two,
// else at its first.
std::string user_only(std::string_view login);

// The directory of any user (manager, purge, supervised accounts).
std::string user_dir_of(std::string_view user);
// The directory of the logged-in user (xuser of the profile).
std::string user_dir();
// Login names that flatten to the same directory name never share it: the
// directory holds the exact name of its owner (file "owner"), and any other
// name goes to "<directory>~<hash of the exact name>".  A directory made
// before owner files belongs to the POP user its profile names.
constexpr const char* kOwnerFile = "owner";
std::string owned_dir(const std::string& dir, std::string_view name);
// Writes the owner file of the current user's directory if it has none.
void claim_user_dir();

// Files of the logged-in user ("user" defaults to xuser).
std::string user_file();                         // D/user.dat
std::string user_file(std::string_view user);
std::string user_file_new();                     // D/user_<pid>.tmp (.dat with no_rename)
std::string user_file_new(std::string_view user);
std::string user_fname(std::string_view name);   // D/name
std::string user_lost_file();                    // D/user.lost
std::string fld_dir(int n);                      // D/n, D/held for -1
std::string fld_file(int n, std::string_view name);   // D/n/name, D/held/name for -1
std::string fld_file_new(int n);                 // D/n/index<pid>.tmp, D/held/... for -1
std::string user_default();                      // <work area>/default.dat

// Makes every directory on the way to path (not the last component).
// 1 when they all exist afterwards.
int make_parent_dirs(const std::string& path);

void paths_reset();
