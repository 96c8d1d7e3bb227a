#include "support/escape.h"

#include <cerrno>
#include <cstdlib>

void html_escape_to(std::string& out, std::string_view text, unsigned flags) {
    for (char c : text) {
        if (const char* e = html_entity(static_cast<unsigned char>(c), flags)) out += e;
        else out += c;
    }
}

std::string html_escape(std::string_view text, unsigned flags) {
    std::string out;
    out.reserve(text.size() + 16);
    html_escape_to(out, text, flags);
    return out;
}

std::string pct_encode(std::string_view text, const ByteSet& keep, std::size_t stop) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size() && (stop == std::string::npos || out.size() <= stop); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (keep.has(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string pct_decode(std::string_view text, char escape) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        int v = text[i] == escape && i + 2 < text.size() ? hexpair(text[i + 1], text[i + 2]) : -1;
        if (v < 0) {
            out += text[i];
        } else {
            out += static_cast<char>(v);
            i += 2;
        }
    }
    return out;
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int hexpair(char hi, char lo) {
    int h = hexval(hi), l = hexval(lo);
    return h < 0 || l < 0 ? -1 : h * 16 + l;
}

namespace {
int digit_sum(std::string_view digits) {
    int s = 0;
    for (char c : digits) s += c - '0';
    return s;
}
bool all_digits(std::string_view s) {
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}
}  // namespace

std::string tencode(long long number) {
    std::string twice = std::to_string(number * 2);
    std::string_view digits(twice);
    if (!digits.empty() && digits[0] == '-') digits.remove_prefix(1);
    int sum = digit_sum(digits);
    return std::to_string(sum % 10) + twice + std::to_string((sum / 8) % 10);
}

long long tdecode(std::string_view code) {
    // A sign and 19 digits at most between the check digits.
    if (code.size() < 3 || code.size() > 22) return 0;
    std::string_view mid = code.substr(1, code.size() - 2);
    std::string_view digits = mid[0] == '-' ? mid.substr(1) : mid;
    if (digits.empty() || !all_digits(digits) || !all_digits(code.substr(0, 1)) ||
        !all_digits(code.substr(code.size() - 1)))
        return 0;
    int sum = digit_sum(digits);
    if (code.front() - '0' != sum % 10 || code.back() - '0' != (sum / 8) % 10) return 0;
    errno = 0;
    long long twice = std::strtoll(std::string(mid).c_str(), nullptr, 10);
    if (errno == ERANGE) return 0;
    return twice / 2;
}
