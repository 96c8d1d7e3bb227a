// Finding messages: the words a person types, the text of a stored message
// as a reader sees it (transfer encodings, charsets and HTML undone), and
// the plain substring test that matches one against the other.  Words are
// never patterns: each is looked for as it stands, letters folded, so the
// work is linear in the text searched whatever is typed.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "store/index.h"

constexpr std::size_t kSearchMaxInput = 200;    // bytes of the typed text considered
constexpr std::size_t kSearchMaxWords = 8;
constexpr std::size_t kSearchMaxWord = 64;      // bytes of one word
constexpr std::size_t kSearchMaxText = 4u << 20; // bytes of one message's text searched

// Letters folded for matching: A-Z and the capitals of the Latin-1 range
// (as UTF-8) become small letters; blanks, tabs and line ends become one
// blank each.  The result has the length of the text, so an offset found
// in it is an offset in the text.
std::string search_fold(std::string_view text);

// The words of a typed search text, folded: blanks separate them, a part in
// double quotes is one word (a phrase).  Controls count as blanks, doubles
// are dropped, at most kSearchMaxWords words of kSearchMaxWord bytes each
// (never a cut character), from the first kSearchMaxInput bytes.
std::vector<std::string> search_words(std::string_view typed);

// The readable text of a whole stored message (header, empty line, body):
// every text part decoded from its transfer encoding and charset into
// UTF-8, HTML parts as their text (an HTML alternative of a plain part is
// left out: it says the same); at most kSearchMaxText bytes.
std::string search_message_text(std::string_view msg);

// The texts of a record's headers that a search looks at (subject, from,
// to, cc), encoded words decoded, one per line.
std::string search_header_text(const Record& r);

// Marks in found each word that occurs in folded (found has one entry per
// word); true when every word is now found.
bool search_words_in(const std::vector<std::string>& words, std::string_view folded, std::vector<char>& found);

// A line of text around the first place any word occurs, escaped for the
// page, with each occurrence inside it wrapped in open/close; blanks and
// line ends run together.  "" when no word occurs.
std::string search_snippet(std::string_view text, std::string_view folded, const std::vector<std::string>& words,
                           std::string_view open, std::string_view close);

// A day typed as YYYY-MM-DD: the time of its start (UTC), or -1.
long search_day(std::string_view text);
