// The one set of escapers every subsystem writes outside text with: HTML
// entities for page text and attribute values, percent-encoding for URLs,
// hexadecimal digits, and the checked number code used in links and
// profiles.  Nothing here reads settings; callers pick the variant.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// ---- HTML entities ----
// "&", "<" and ">" are always replaced; these add the rest.
enum : unsigned {
    kEscQuote = 1,      // '"'  -> &quot;
    kEscApos = 2,       // '\'' -> &#39;
    kEscBacktick = 4,   // '`'  -> &#96; (old browsers end an unquoted attribute there)
};
constexpr unsigned kEscText = 0;                                 // text between tags
constexpr unsigned kEscHtml = kEscQuote | kEscApos;              // text that may land in a quoted attribute
constexpr unsigned kEscAttr = kEscHtml | kEscBacktick;           // any attribute value

// The entity that replaces c, or nullptr when c is written as it is.
// Inline: the page encoders call it for every byte of a message.
inline const char* html_entity(unsigned char c, unsigned flags) {
    switch (c) {
        case '&': return "&amp;";
        case '<': return "&lt;";
        case '>': return "&gt;";
        case '"': return flags & kEscQuote ? "&quot;" : nullptr;
        case '\'': return flags & kEscApos ? "&#39;" : nullptr;
        case '`': return flags & kEscBacktick ? "&#96;" : nullptr;
        default: return nullptr;
    }
}
void html_escape_to(std::string& out, std::string_view text, unsigned flags = kEscAttr);
std::string html_escape(std::string_view text, unsigned flags = kEscAttr);

// ---- Percent-encoding ----
// A set of bytes; a percent-encoder writes the bytes in its set as they are.
struct ByteSet {
    std::uint64_t w[4] = {0, 0, 0, 0};
    constexpr bool has(unsigned char c) const { return (w[c >> 6] >> (c & 63)) & 1; }
    constexpr ByteSet with(std::string_view s) const {
        ByteSet r = *this;
        for (char ch : s) {
            auto c = static_cast<unsigned char>(ch);
            r.w[c >> 6] |= std::uint64_t{1} << (c & 63);
        }
        return r;
    }
    constexpr ByteSet without(std::string_view s) const {
        ByteSet r = *this;
        for (char ch : s) {
            auto c = static_cast<unsigned char>(ch);
            r.w[c >> 6] &= ~(std::uint64_t{1} << (c & 63));
        }
        return r;
    }
    static constexpr ByteSet all() {
        ByteSet r;
        for (auto& x : r.w) x = ~std::uint64_t{0};
        return r;
    }
    // Letters, digits and "-._~": never need encoding anywhere in a URL.
    static constexpr ByteSet unreserved() {
        return ByteSet{}
            .with("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789")
            .with("-._~");
    }
};

// Every byte outside keep becomes "%XX" (upper-case hex).  Output stops
// before the next character once it is longer than stop bytes, so an escape
// is never cut in half.
std::string pct_encode(std::string_view text, const ByteSet& keep = ByteSet::unreserved(),
                       std::size_t stop = std::string::npos);

// Every escape char followed by two hex digits becomes that byte; anything
// else, a bad or cut escape included, is kept as written.  escape is "%" in
// URLs and "=" in encoded words.
std::string pct_decode(std::string_view text, char escape = '%');

// ---- Hexadecimal ----
// The value of one hex digit (either case); -1 for anything else.
int hexval(char c);
// The value of two hex digits; -1 unless both are hex digits.
int hexpair(char hi, char lo);

// ---- The checked number code ----
// The number doubled, with a check digit before and after: 123 -> "2" "246"
// "1".  tdecode gives 0 for a code that is malformed or whose check digits
// do not match.
std::string tencode(long long number);
long long tdecode(std::string_view code);
