// Wildcard matching behind every setting that lists allowed hosts, users or
// addresses, and the directory listers built on it.  Patterns: "?" one
// character, "*" any run, "[a-z]" / "[^...]" a set, backslash quotes.
// The string helpers (makenice3, strcmpnc, ...) live in support/str.h.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "support/str.h"

// 1 when the whole text matches; "*" alone matches everything.
int match_wild(std::string_view pattern, std::string_view text);
// The matcher: 1 match, 0 no match, -1 the text ended while the pattern
// still needs characters.  Case-sensitive.
int domatch(std::string_view text, std::string_view pattern);
// A comma-separated pattern list deciding about a text, both compared in
// lower case; a pattern starting with "!" excludes.  The last pattern that
// matches decides; no match (or an empty list) gives 0.
int list_match(std::string_view patterns, std::string_view text);

// Entries of the current directory (wild_find) or of dir (wild_find2) that
// match the pattern, never "." or ".."; at most max names are appended to
// names ("maxwild exceeded" is logged when more exist).  Returns the count
// found, 0 when the directory cannot be read.
int wild_find(std::string_view pattern, std::vector<std::string>& names, int max);
int wild_find2(std::string_view dir, std::string_view pattern, std::vector<std::string>& names,
               int max);
// 1 when any entry other than "." and ".." matches.
int wild_find_any(std::string_view dir, std::string_view pattern);
// 1 when the directory can be opened.
int dir_exists(std::string_view path);
