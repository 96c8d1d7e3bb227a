#include "view/mimecodec.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cgi/diag.h"
#include "support/escape.h"
#include "support/str.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct CodecState {
    const char* qeol = "\n";
};

CodecState& st() {
    static CodecState s;
    return s;
}

// 0-63 for alphabet characters, 64 for "=", -1 for everything else.
struct B64Table {
    signed char v[256];
    B64Table() {
        std::memset(v, -1, sizeof v);
        for (int i = 0; i < 64; i++) v[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
        v[static_cast<unsigned char>('=')] = 64;
    }
};
const B64Table& b64() {
    static const B64Table t;
    return t;
}

void put_utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

const char kReplacement[] = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at s[i], or 0.
std::size_t utf8_seq(std::string_view s, std::size_t i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return 1;
    std::size_t n;
    unsigned cp;
    if (c >= 0xC2 && c <= 0xDF) { n = 2; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { n = 3; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { n = 4; cp = c & 0x07; }
    else return 0;
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; k++) {
        auto d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (d & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
    return n;
}

// Windows-1252 0x80-0x9F; the rest of the upper half is ISO-8859-1.
const unsigned short kCp1252[32] = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

std::string from_cp1252(std::string_view s) {
    std::string out;
    out.reserve(s.size() + s.size() / 8);
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) out += ch;
        else if (c < 0xA0) put_utf8(out, kCp1252[c - 0x80]);
        else put_utf8(out, c);
    }
    return out;
}

std::string utf8_or_cp1252(std::string_view s) {
    if (valid_utf8(s)) return std::string(s);
    return from_cp1252(s);
}

// A charset label we are willing to hand to iconv: short and made of the
// characters charset names use, so mail cannot name a path or an option.
bool sane_charset(std::string_view cs) {
    if (cs.empty() || cs.size() > 40) return false;
    for (char c : cs) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '_' || c == '.' || c == ':';
        if (!ok) return false;
    }
    return true;
}

std::string via_iconv(std::string_view s, const std::string& cs, bool& ok) {
    ok = false;
    iconv_t cd = iconv_open("UTF-8", cs.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    ok = true;
    std::string out;
    out.resize(s.size() * 2 + 16);
    char* in = const_cast<char*>(s.data());
    size_t inleft = s.size();
    size_t used = 0;
    while (true) {
        char* op = out.data() + used;
        size_t outleft = out.size() - used;
        size_t r = iconv(cd, inleft ? &in : nullptr, &inleft, &op, &outleft);
        used = out.size() - outleft;
        if (r != static_cast<size_t>(-1)) {
            if (inleft == 0) break;
            continue;
        }
        if (errno == E2BIG) {
            out.resize(out.size() * 2 + 64);
        } else if (errno == EILSEQ) {
            // One unmappable byte: mark it and go on with the next.
            out.resize(used);
            out += kReplacement;
            used = out.size();
            out.resize(used + inleft * 2 + 16);
            in++;
            inleft--;
        } else {
            // A sequence cut off at the end of the text.
            out.resize(used);
            out += kReplacement;
            used = out.size();
            break;
        }
    }
    out.resize(used);
    iconv_close(cd);
    // Some converters pass odd bytes through; never hand on invalid UTF-8.
    if (!valid_utf8(out)) {
        std::string fixed;
        for (std::size_t i = 0; i < out.size();) {
            std::size_t n = utf8_seq(out, i);
            if (n == 0) { fixed += kReplacement; i++; }
            else { fixed.append(out, i, n); i += n; }
        }
        return fixed;
    }
    return out;
}

}  // namespace

// ---- base64 ----------------------------------------------------------------

long decode_base64(std::string_view text, std::string& out) {
    const auto& t = b64();
    long written = 0;
    std::size_t i = 0;
    while (i + 1 < text.size()) {
        if (i + 4 > text.size()) return -1;   // a cut group
        int v[4];
        for (int k = 0; k < 4; k++) {
            v[k] = t.v[static_cast<unsigned char>(text[i + k])];
            if (v[k] < 0) return -1;
        }
        if (v[0] == 64 || v[1] == 64 || (v[2] == 64 && v[3] != 64)) return -1;
        unsigned val = (static_cast<unsigned>(v[0]) << 18) | (static_cast<unsigned>(v[1]) << 12) |
                       (static_cast<unsigned>(v[2] & 63) << 6) | static_cast<unsigned>(v[3] & 63);
        out += static_cast<char>((val >> 16) & 0xFF);
        written++;
        if (v[2] != 64) {
            out += static_cast<char>((val >> 8) & 0xFF);
            written++;
            if (v[3] != 64) {
                out += static_cast<char>(val & 0xFF);
                written++;
            }
        }
        i += 4;
    }
    return written;
}

std::string decode_base64s(std::string_view text) {
    std::string out;
    if (decode_base64(text, out) < 0) return {};
    if (out.size() > 1999) out.resize(1999);
    return out;
}

void Base64Stream::feed(std::string_view text, std::string& out) {
    const auto& t = b64();
    // Decoded bytes go straight into the string's storage: attachments of
    // several megabytes pass through here.
    std::size_t pos = out.size();
    out.resize(pos + text.size() / 4 * 3 + 3);
    char* o = out.data();
    const std::size_t len = text.size();
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < len;) {
        // Between groups, four alphabet characters in a row (nearly all of
        // a body) decode in one step; anything else goes the careful way.
        if (n_ == 0) {
            while (i + 4 <= len) {
                const int a = t.v[in[i]], b = t.v[in[i + 1]], c = t.v[in[i + 2]], d = t.v[in[i + 3]];
                if ((a | b | c | d) & ~63) break;   // outside the alphabet, or padding
                const unsigned w = (static_cast<unsigned>(a) << 18) | (static_cast<unsigned>(b) << 12) |
                                   (static_cast<unsigned>(c) << 6) | static_cast<unsigned>(d);
                o[pos] = static_cast<char>(w >> 16);
                o[pos + 1] = static_cast<char>((w >> 8) & 0xFF);
                o[pos + 2] = static_cast<char>(w & 0xFF);
                pos += 3;
                i += 4;
            }
            if (i >= len) break;
        }
        const char ch = static_cast<char>(in[i++]);
        int v = t.v[static_cast<unsigned char>(ch)];
        if (v < 0) {
            if (ch != '\r' && ch != '\n' && ch != ' ' && ch != '\t') garbage_ = true;
            continue;
        }
        if (v == 64) {
            // Padding ends a group; a text glued on after it starts afresh.
            if (n_ == 2) {
                o[pos++] = static_cast<char>((acc_ >> 4) & 0xFF);
            } else if (n_ == 3) {
                o[pos++] = static_cast<char>((acc_ >> 10) & 0xFF);
                o[pos++] = static_cast<char>((acc_ >> 2) & 0xFF);
            }
            acc_ = 0;
            n_ = 0;
            continue;
        }
        acc_ = (acc_ << 6) | static_cast<unsigned>(v);
        if (++n_ == 4) {
            o[pos++] = static_cast<char>((acc_ >> 16) & 0xFF);
            o[pos++] = static_cast<char>((acc_ >> 8) & 0xFF);
            o[pos++] = static_cast<char>(acc_ & 0xFF);
            acc_ = 0;
            n_ = 0;
        }
    }
    out.resize(pos);
}

void Base64Stream::finish(std::string& out) {
    if (n_ == 2) {
        out += static_cast<char>((acc_ >> 4) & 0xFF);
    } else if (n_ == 3) {
        out += static_cast<char>((acc_ >> 10) & 0xFF);
        out += static_cast<char>((acc_ >> 2) & 0xFF);
    }
    acc_ = 0;
    n_ = 0;
}

std::string sencode_base64(std::string_view text) {
    std::string out;
    out.reserve((text.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= text.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(text[i]) << 16) |
                     (static_cast<unsigned char>(text[i + 1]) << 8) | static_cast<unsigned char>(text[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    std::size_t rest = text.size() - i;
    if (rest) {
        unsigned v = static_cast<unsigned char>(text[i]) << 16;
        if (rest == 2) v |= static_cast<unsigned char>(text[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

int base64_encode(FILE* in, FILE* out) {
    if (!in || !out) {
        if (in) std::fclose(in);
        if (out) std::fclose(out);
        return 0;
    }
    // 45 input bytes make one 60-character line.
    char buf[45 * 64];
    std::string carry;
    std::size_t n;
    std::string line;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) {
        carry.append(buf, n);
        std::size_t whole = carry.size() / 45 * 45;
        for (std::size_t i = 0; i < whole; i += 45) {
            line = sencode_base64(std::string_view(carry).substr(i, 45));
            line += '\n';
            std::fwrite(line.data(), 1, line.size(), out);
        }
        carry.erase(0, whole);
    }
    if (!carry.empty()) {
        line = sencode_base64(carry);
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), out);
    }
    std::fclose(in);
    std::fclose(out);
    return 1;
}

// ---- uuencode --------------------------------------------------------------

int decode_uu(std::string_view line, std::string& out) {
    if (line.empty()) return 0;
    int count = (static_cast<unsigned char>(line[0]) - 32) & 63;
    int written = 0;
    std::size_t i = 1;
    while (written < count && i < line.size()) {
        unsigned v = 0;
        int have = 0;
        for (int k = 0; k < 4; k++) {
            unsigned c = i + k < line.size() ? ((static_cast<unsigned char>(line[i + k]) - 32) & 63) : 0;
            if (i + k < line.size()) have++;
            v = (v << 6) | c;
        }
        // Each character carries 6 bits: a group cut short yields only the
        // whole bytes its characters hold.
        int bytes = have == 4 ? 3 : have - 1;
        for (int b = 0; b < bytes && written < count; b++) {
            out += static_cast<char>((v >> (16 - 8 * b)) & 0xFF);
            written++;
        }
        i += 4;
    }
    return written;
}

// ---- quoted-printable ------------------------------------------------------

bool decode_quote_to(std::string_view line, std::string& out) {
    std::size_t n = line.size();
    for (std::size_t i = 0; i < n; i++) {
        char c = line[i];
        if (c != '=') {
            out += c;
            continue;
        }
        // "=" then only blanks to the end: a soft line break (the blanks
        // are padding some gateways add).
        std::size_t j = i + 1;
        while (j < n && (line[j] == ' ' || line[j] == '\t' || line[j] == '\r')) j++;
        if (j == n) return false;
        if (int v = i + 2 < n ? hexpair(line[i + 1], line[i + 2]) : -1; v >= 0) {
            out += static_cast<char>(v);
            i += 2;
            continue;
        }
        out += '=';   // not an escape: keep it as written
    }
    return true;
}

std::string decode_quote(std::string_view line) {
    std::string out;
    st().qeol = decode_quote_to(line, out) ? "\n" : "";
    return out;
}

const char* decode_quote_eol() { return st().qeol; }

std::string qprint(std::string_view text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string_view eol = "\n";
    if (auto p = text.find('\n'); p != std::string_view::npos && p > 0 && text[p - 1] == '\r') eol = "\r\n";
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    std::size_t col = 0;
    for (std::size_t i = 0; i < text.size(); i++) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c == '\r' || c == '\n') {
            out += static_cast<char>(c);
            col = 0;
            continue;
        }
        bool at_eol = i + 1 == text.size() || text[i + 1] == '\r' || text[i + 1] == '\n';
        bool enc = c >= 128 || c < 32 || c == '=' || c == 127 || ((c == ' ') && at_eol);
        std::size_t w = enc ? 3 : 1;
        // Keep room for the "=" of a soft break within 76 columns.
        if (col + w > 75 && !(at_eol && col + w <= 76)) {
            out += '=';
            out += eol;
            col = 0;
        }
        if (enc) {
            out += '=';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
        col += w;
    }
    return out;
}

int printable(std::string_view text) {
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c >= 128) return 0;
        if (c < 32 && c != '\r' && c != '\n' && c != '\t' && c != 27) return 0;
    }
    return 1;
}

// ---- encoded words ---------------------------------------------------------

namespace {

struct Word {
    std::size_t end;        // just after "?="
    std::string charset;
    std::string bytes;      // decoded, still in the charset
};

// Parses the encoded word starting at in[i] ("=?"); false when it is not one.
bool parse_word(std::string_view in, std::size_t i, Word& w) {
    std::size_t q1 = in.find('?', i + 2);
    if (q1 == std::string_view::npos || q1 - i + 2 >= 71) return false;
    if (q1 + 2 >= in.size() || in[q1 + 2] != '?') return false;
    char enc = in[q1 + 1];
    std::size_t q3 = in.find("?=", q1 + 3);
    if (q3 == std::string_view::npos) return false;
    std::string_view cs = in.substr(i + 2, q1 - i - 2);
    // RFC 2231 language suffix: "utf-8*en".
    if (auto star = cs.find('*'); star != std::string_view::npos) cs = cs.substr(0, star);
    std::string_view data = in.substr(q1 + 3, q3 - q1 - 3);
    w.charset = lower(cs);
    w.bytes.clear();
    if (enc == 'B' || enc == 'b') {
        Base64Stream b;
        b.feed(data, w.bytes);
        b.finish(w.bytes);
    } else if (enc == 'Q' || enc == 'q') {
        std::string t(data);
        std::replace(t.begin(), t.end(), '_', ' ');   // before decoding: "=5F" stays "_"
        w.bytes = pct_decode(t, '=');
    } else {
        if (log_has("mime")) imsg("Unknown encoding = %c\n", enc);
        return false;
    }
    w.end = q3 + 2;
    return true;
}

}  // namespace

int decode_rfc1522(std::string_view in, std::string& out, std::size_t max) {
    out.clear();
    int words = 0;
    std::string plain;        // undecoded text waiting to be converted
    std::string pending;      // bytes of adjacent words in one charset
    std::string pending_cs;
    auto flush_words = [&] {
        if (!pending.empty() || !pending_cs.empty()) out += to_utf8(pending, pending_cs);
        pending.clear();
        pending_cs.clear();
    };
    std::size_t i = 0;
    bool last_was_word = false;
    while (i < in.size()) {
        std::size_t p = in.find("=?", i);
        std::size_t stop = p == std::string_view::npos ? in.size() : p;
        std::string_view between = in.substr(i, stop - i);
        Word w;
        bool is_word = p != std::string_view::npos && parse_word(in, p, w);
        if (!is_word) {
            // Not a word: everything up to and including the "=" is text.
            std::size_t upto = p == std::string_view::npos ? in.size() : p + 1;
            if (last_was_word) flush_words();
            plain.append(in.substr(i, upto - i));
            i = upto;
            last_was_word = false;
            continue;
        }
        bool only_blanks = between.find_first_not_of(" \t\r\n") == std::string_view::npos;
        if (!(last_was_word && only_blanks)) {
            if (last_was_word) flush_words();
            plain.append(between);
            out += utf8_or_cp1252(plain);
            plain.clear();
        }
        if (!pending_cs.empty() && pending_cs != w.charset) flush_words();
        pending_cs = w.charset.empty() ? "us-ascii" : w.charset;
        pending += w.bytes;
        words++;
        last_was_word = true;
        i = w.end;
        if (out.size() + pending.size() > max * 4 + 64) break;   // enough for any cut below
    }
    flush_words();
    out += utf8_or_cp1252(plain);
    if (max == 0) {
        out.clear();
    } else if (out.size() > max - 1) {
        out = utf8_cut(out, max - 1);
    }
    return words;
}

std::string rfc1522s(std::string_view text) {
    std::string out;
    decode_rfc1522(text, out, 2000);
    return out;
}

// ---- charsets --------------------------------------------------------------

bool valid_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            i++;
            continue;
        }
        std::size_t n = utf8_seq(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string utf8_cut(std::string_view s, std::size_t n) {
    if (s.size() <= n) return std::string(s);
    std::size_t k = n;
    // Back up over continuation bytes to the start of the cut sequence.
    while (k > 0 && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80) k--;
    return std::string(s.substr(0, k));
}

std::string to_utf8(std::string_view bytes, std::string_view charset) {
    std::string cs = lower(charset);
    if (cs.empty() || cs == "us-ascii" || cs == "ascii" || cs == "utf-8" || cs == "utf8" ||
        cs == "iso-8859-1" || cs == "iso8859-1" || cs == "latin1" || cs == "windows-1252" ||
        cs == "cp1252" || cs == "unknown-8bit" || cs == "x-unknown" || !sane_charset(cs)) {
        // Mail labelled ASCII or Latin-1 is very often really UTF-8 or
        // Windows-1252; valid UTF-8 is almost never an accident.
        if (cs == "iso-8859-1" || cs == "iso8859-1" || cs == "latin1" || cs == "windows-1252" ||
            cs == "cp1252")
            return from_cp1252(bytes);
        return utf8_or_cp1252(bytes);
    }
    bool ok = false;
    std::string out = via_iconv(bytes, cs, ok);
    if (!ok) return utf8_or_cp1252(bytes);
    return out;
}
