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

#include <cstring>

#include "support/sink.h"

namespace {
unsigned char fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }
bool is_alnum(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
}  // namespace

char* ncpy(char* dst, const char* src, std::size_t n) {
    if (!dst) return dst;
    std::size_t i = 0;
    if (src)
        for (; i < n && src[i]; ++i) dst[i] = src[i];
    dst[i] = '\0';
    dst[n] = '\0';
    return dst;
}

char* ncat(char* dst, const char* src, std::size_t n) {
    if (!dst) return dst;
    std::size_t len = std::strlen(dst);
    if (len > n) len = n;
    if (src)
        for (std::size_t i = 0; len < n && src[i]; ++i) dst[len++] = src[i];
    dst[len] = '\0';
    dst[n] = '\0';
    return dst;
}

std::string& ncat(std::string& dst, std::string_view src, std::size_t n) {
    if (dst.size() >= n) {
        dst.resize(n);
        return dst;
    }
    dst.append(src.substr(0, n - dst.size()));
    return dst;
}

int ssnprintf(char* buf, std::size_t size, const char* fmt, ...) {
    if (!buf || size == 0 || !fmt) return 0;
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    buf[size - 1] = '\0';
    if (n < 0) buf[0] = '\0';
    return n;
}

int strcmpnc(std::string_view a, std::string_view b) {
    return strncmpnc(a, b, a.size() > b.size() ? a.size() + 1 : b.size() + 1);
}

int strncmpnc(std::string_view a, std::string_view b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char x = i < a.size() ? fold(static_cast<unsigned char>(a[i])) : 0;
        unsigned char y = i < b.size() ? fold(static_cast<unsigned char>(b[i])) : 0;
        if (x != y) return x - y;
        if (x == 0) return 0;
    }
    return 0;
}

int s_strcmp(const char* a, const char* b) {
    if (!a || !b) return 1;
    return std::strcmp(a, b);
}

int s_strnicmp(const char* a, const char* b, std::size_t n) {
    if (!a || !b) return 1;
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] == '\0' || b[i] == '\0') return 1;
        int x = fold(static_cast<unsigned char>(a[i]));
        int y = fold(static_cast<unsigned char>(b[i]));
        if (x != y) return i + 1 == n ? x - y : 1;
    }
    return 0;
}

std::string& strlwr(std::string& s) {
    for (char& c : s) c = static_cast<char>(fold(static_cast<unsigned char>(c)));
    return s;
}

char* strlwr(char* s) {
    for (char* p = s; *p; ++p) *p = static_cast<char>(fold(static_cast<unsigned char>(*p)));
    return s;
}

char* s_strlwr(char* s) { return s ? strlwr(s) : s; }

std::string& strtrm(std::string& s) {
    std::size_t cut = s.find_first_of("\r\n");
    if (cut != std::string::npos) s.resize(cut);
    s_strtrm(s);
    return s;
}

char* strtrm(char* s) {
    if (!s) return s;
    s[std::strcspn(s, "\r\n")] = '\0';
    s_strtrm(s);
    return s;
}

int s_strtrm(char* s) {
    if (!s) return 0;
    std::size_t n = std::strlen(s);
    while (n > 0 && s[n - 1] == ' ') s[--n] = '\0';
    return 1;
}

int s_strtrm(std::string& s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return 1;
}

std::string& ifix_slash(std::string& path) {
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

std::string& strip_brackets(std::string& s) {
    if (s.empty() || s[0] != '<') return s;
    std::size_t end = s.find('>', 1);
    std::string inner = s.substr(1, end == std::string::npos ? std::string::npos : end - 1);
    if (inner.size() > 511) inner.resize(511);
    s = std::move(inner);
    return s;
}

std::string& makenice(std::string& s) {
    for (char& c : s)
        if (!is_alnum(static_cast<unsigned char>(c)) && c != '@') c = '_';
    return s;
}

std::string& makenice3(std::string& s) {
    const bool dot = sup_true("allow."), dash = sup_true("allow-"), slash = sup_true("allow/");
    for (char& c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        if (is_alnum(u) || c == '@' || c == '%') continue;
        if ((c == '.' && dot) || (c == '-' && dash) || (c == '/' && slash)) continue;
        c = '_';
    }
    return s;
}

bool whitespace(const char* s) { return !s || whitespace(std::string_view(s)); }

bool whitespace(std::string_view s) {
    for (char c : s)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
    return true;
}

bool null_or_empty(const char* s) { return !s || !*s; }

// The control characters go too: the name ends up in headers and pages.
std::string nopath(std::string_view name) {
    std::size_t p = name.find_last_of("/\\:");
    if (p != std::string_view::npos) name.remove_prefix(p + 1);
    std::string out;
    for (char c : name)
        if (static_cast<unsigned char>(c) >= 32 && c != 127) out += c;
    return out;
}

const char* nopath(const char* name) {
    if (!name) return name;
    const char* r = name;
    for (const char* p = name; *p; ++p)
        if (*p == '/' || *p == '\\' || *p == ':') r = p + 1;
    return r;
}
