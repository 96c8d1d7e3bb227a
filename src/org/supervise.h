// Supervised accounts: a parent account approves the senders of a child
// account.  Mail to a child from a sender on neither of the child's lists is
// forwarded to the parent and taken off the child's server; the parent's
// accept or reject goes into the child's profile, so later mail from that
// sender is delivered or deleted without asking.
//
// A child's profile names its parent by the parent's login name ("parent
// name@host"), never by an address the parent could type: only the account
// that logged in under that name can change the child's lists.  Every change
// to a child's profile is made under the child's own user lock, by writing a
// new file and renaming it over the old one.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "store/index.h"

// The command handlers.
int f_child_show();
int r_child(int save);                 // r_childx(save, 0)
int r_childx(int save, int release);
int r_child_ar(int accept);
int r_reject();

// The fetch hooks (installed from the org table).
int isparent(const Record& rec);
int sender_match(const std::vector<std::string>& list, const Record& rec);
int kill_it(int sk, int n);
int do_parent_fwd(int pos);

// The child a typed name means: control characters and blanks dropped,
// "@" and the pophost setting appended when it has no "@".  "" for none.
std::string child_name(std::string_view typed);

// A list entry the parent typed: the bare address, lower case, with line
// breaks, tabs, blanks and commas taken out (wildcards stay: the parent
// meant them).  "" when it is not an address.
std::string typed_entry(std::string_view typed);
// (Entries taken from a message's sender: sender_entry, store/folders.h.)

// The parent recorded in a child's profile text ("" when none): the word
// after the first line whose first word is "parent".
std::string parent_of(std::string_view profile_text);
// The profile text with every "af:", "rf:" and "parent" line left out.
std::string strip_supervision(std::string_view profile_text);

// Where mail for an account of this site goes (a parent, or a child being
// sent an accepted message): the reply address its profile holds, else its
// login name at this site's mail domain.
std::string account_address(const std::string& login);

void supervise_reset();
