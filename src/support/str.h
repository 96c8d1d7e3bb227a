// Bounded text helpers shared by every subsystem: printf-style formatting
// into std::string and the bounded copy that keeps the program's visible
// limits (most texts hold at most 511 characters).
#pragma once
#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

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
