#include "support/str.h"

#include <cstdio>

std::string vsfmt(const char* fmt, va_list ap) {
    if (!fmt) return {};
    char small[512];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, static_cast<std::size_t>(n));
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string sfmt(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = vsfmt(fmt, ap);
    va_end(ap);
    return s;
}

std::string ncpy(std::string_view s, std::size_t n) { return std::string(s.substr(0, n)); }

std::string lower(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return r;
}

std::string upper(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return r;
}

bool lc_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x > 64) x |= 0x20;
        if (y > 64) y |= 0x20;
        if (x != y) return false;
    }
    return true;
}
