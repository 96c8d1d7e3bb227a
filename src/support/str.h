// Bounded text helpers shared by every subsystem: printf-style formatting
// into std::string and the bounded copy that keeps the program's visible
// limits (most texts hold at most 511 characters).
#pragma once
#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

// printf-style formatting into a new string (never truncates).
std::string sfmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vsfmt(const char* fmt, va_list ap);

// The first n characters of s (all of s when shorter).
std::string ncpy(std::string_view s, std::size_t n);

// ASCII-only case folding (bytes outside A-Z / a-z are left alone).
std::string lower(std::string_view s);
std::string upper(std::string_view s);

// Case-insensitive equality where only characters above 64 are folded by
// setting bit 0x20; both strings must end together.
bool lc_equal(std::string_view a, std::string_view b);

// True when haystack contains needle.
inline bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}
inline bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// Calls fn(line) for each line of text, LF or CR LF ends removed; a last
// line without LF counts.  A line longer than max is cut, never split into
// a second line.  fn may answer false to stop.
template <class Fn>
void for_each_line(std::string_view text, Fn&& fn, std::size_t max = std::string_view::npos) {
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t e = text.find('\n', i);
        std::size_t next = e == std::string_view::npos ? text.size() : e + 1;
        std::size_t end = e == std::string_view::npos ? text.size() : e;
        if (end > i && text[end - 1] == '\r') end--;
        std::string_view line = text.substr(i, std::min(end - i, max));
        if constexpr (std::is_void_v<std::invoke_result_t<Fn&, std::string_view>>) {
            fn(line);
        } else if (!fn(line)) {
            return;
        }
        i = next;
    }
}

// ---- Bounded copies into fixed buffers (for code that keeps C arrays) ----

// Copies at most n characters and always terminates; also writes a NUL at
// position n, so dst must hold n + 1 bytes.  A null src gives "".
char* ncpy(char* dst, const char* src, std::size_t n);
// Appends so that the whole text holds at most n characters (dst holds
// n + 1 bytes; a NUL is written at position n).
char* ncat(char* dst, const char* src, std::size_t n);
// The std::string form: dst grows to at most n characters.
std::string& ncat(std::string& dst, std::string_view src, std::size_t n);
// Bounded formatting into size bytes, always terminated; returns the length
// the whole text would have had.
int ssnprintf(char* buf, std::size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// ---- Comparisons ("nc": only the ASCII letters are folded) ----

int strcmpnc(std::string_view a, std::string_view b);
int strncmpnc(std::string_view a, std::string_view b, std::size_t n);
// strcmp that accepts null: 1 when either is null.
int s_strcmp(const char* a, const char* b);
// 0 when the first n characters of both exist and are equal ignoring case;
// 1 for a null text, a text shorter than n or a difference before the n-th
// character; the difference of the two characters when they first differ at
// the n-th character.
int s_strnicmp(const char* a, const char* b, std::size_t n);

// ---- In-place edits ----

std::string& strlwr(std::string& s);
char* strlwr(char* s);
char* s_strlwr(char* s);                // null accepted
// Cuts at the first CR or LF, then removes trailing blanks.
std::string& strtrm(std::string& s);
char* strtrm(char* s);
// Removes trailing blanks; 0 for null, else 1.
int s_strtrm(char* s);
int s_strtrm(std::string& s);
std::string& ifix_slash(std::string& path);
// "<text>..." becomes "text" (at most 511 characters); others unchanged.
std::string& strip_brackets(std::string& s);
// File-safe message ids: every character but letters, digits and "@" -> "_".
std::string& makenice(std::string& s);
// File-safe user names: letters, digits, "@" and "%" stay; "." stays when
// `allow.` is true, "-" when `allow-` is, "/" when `allow/` is; all else "_".
std::string& makenice3(std::string& s);

// ---- Tests ----

// True for null, empty, or only blanks, tabs, CR and LF.
bool whitespace(const char* s);
bool whitespace(std::string_view s);
bool null_or_empty(const char* s);
inline bool null_or_empty(std::string_view s) { return s.empty(); }
// The part after the last "/", backslash or ":"; the string form also drops
// control bytes (the name goes into headers and pages).
std::string nopath(std::string_view name);
const char* nopath(const char* name);
