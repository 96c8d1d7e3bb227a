#include "page/encode.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "cgi/config.h"
#include "cgi/request.h"
#include "support/escape.h"
#include "support/str.h"

namespace {

constexpr std::size_t kInMax = 4000;        // input read by the common encoders
constexpr std::size_t kOutStop = 4990;      // output stops once past this
constexpr std::size_t kText2In = 11000;
constexpr std::size_t kText2Stop = 11990;
constexpr std::size_t kRefMax = 5000;       // ref_encode result
constexpr std::size_t kLinkMax = 2999;      // one web link's mark-up
constexpr std::size_t kWrapIn = 5000;
constexpr std::size_t kParaMax = 3996;

EncodeState& state() {
    static EncodeState s;
    return s;
}

// The profile's view options, or what the message display asked for.
bool on(const int* flag) { return flag && *flag; }
bool eight_bit() { return state().eight_bit || on(state().profile.eight_bit); }
bool v_font() { return state().v_font || on(state().profile.v_font); }
bool v_asis() { return state().v_asis || on(state().profile.v_asis); }

// How a byte below 32 is treated in WML output.
enum class Wctl { keep, hash, drop };

struct EscOpts {
    Wctl wctl = Wctl::keep;
    bool lf_br = false;      // LF becomes a line break tag, CR is dropped
    bool attr = false;       // the result may stand in an attribute value
};

// The entity flags for a page: WML decks have their own entities for the
// apostrophe and the backtick (see wml_extra).
unsigned page_flags(bool wml, bool attr) {
    if (wml) return kEscQuote;
    return attr ? kEscAttr : kEscHtml;
}

const char* swedish_entity(unsigned char c) {
    switch (c) {
        case 229: return "&aring;";
        case 228: return "&auml;";
        case 246: return "&ouml;";
        case 197: return "&Aring;";
        case 196: return "&Auml;";
        case 214: return "&Ouml;";
        default: return nullptr;
    }
}

const char* wml_extra(unsigned char c) {
    switch (c) {
        case '$': return "&#36;&#36;";
        case '\'': return "&apos;";
        case '`': return "&#96;";
        case '{': return "&#123;";
        case '|': return "&#124;";
        case '}': return "&#125;";
        case 127: return "&#127;";
        default: return nullptr;
    }
}

// The escaping shared by value_encode and the text encoders.  Inside a
// double-byte stretch the bytes keep their value, but the four HTML
// specials are still escaped: a page is never served in that character
// set, so a raw "<" there would be markup.  A byte of 128 or above takes
// the next byte with it only when that byte could be the second half of a
// character (64 or above), so a "<" right after a stray high byte is
// still escaped.
std::string escape_core(std::string_view in, EscOpts o) {
    in = in.substr(0, kInMax);
    const bool wml = g.gwml != 0;
    const bool eight = eight_bit();
    const bool iso = ini_true(K_iso);
    const bool swedish = ini_true(K_swedish);
    const unsigned flags = page_flags(wml, o.attr);
    std::string out;
    out.reserve(in.size() + in.size() / 8 + 8);
    bool dbl = false;
    for (std::size_t i = 0; i < in.size() && out.size() <= kOutStop; ++i) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        if (c == 27 && i + 1 < in.size()) {
            if (in[i + 1] == '$') dbl = true;
            else if (in[i + 1] == '(') dbl = false;
        } else if (c == 14) {
            dbl = true;
        } else if (c == 15) {
            dbl = false;
        }
        if (o.lf_br && c == '\n') {
            out += wml ? "<br/>" : "<br>";
            continue;
        }
        if (o.lf_br && c == '\r') continue;
        if (wml && c < 32 && o.wctl != Wctl::keep) {
            if (o.wctl == Wctl::hash) out += '#';
            ++i;
            continue;
        }
        if (dbl) {
            if (wml && o.wctl == Wctl::hash) out += '#';
            else if (const char* e = html_entity(c, kEscQuote)) out += e;
            else out += static_cast<char>(c);
            continue;
        }
        if (c >= 128) {
            if (eight) {
                out += static_cast<char>(c);
            } else if (const char* e = swedish ? swedish_entity(c) : nullptr) {
                out += e;
            } else if (iso) {
                out += sfmt("&#%d;", c);
            } else {
                out += static_cast<char>(c);
                if (i + 1 < in.size() && static_cast<unsigned char>(in[i + 1]) >= 64) out += in[++i];
            }
            continue;
        }
        if (const char* e = html_entity(c, flags)) {
            out += e;
        } else if (const char* x = wml ? wml_extra(c) : nullptr) {
            out += x;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool is_mail_delim(unsigned char c) {
    return c == 27 || c == '<' || c == '>' || c == ',' || c == '(' || c == ')' || c == '\n' || c == '\r' ||
           c == ' ' || c == '\t' || c == ':';
}

bool at(std::string_view t, std::size_t pos, std::string_view what) { return t.compare(pos, what.size(), what) == 0; }

// Entities that end a link: quotes and angle brackets in escaped text.  The
// HTML apostrophe (&#39;) is not one: it stands inside addresses (o'brien@)
// and paths.
std::size_t stop_entity(std::string_view t, std::size_t pos) {
    for (std::string_view e : {"&#34;", "&gt;", "&lt;", "&quot;", "&apos;"})
        if (at(t, pos, e)) return e.size();
    return 0;
}

// The escaped text of an address back to the characters it stands for.
std::string entity_decode(std::string_view t) {
    std::string out;
    for (std::size_t i = 0; i < t.size();) {
        if (t[i] != '&') {
            out += t[i++];
            continue;
        }
        static const std::pair<std::string_view, char> named[] = {
            {"&#36;&#36;", '$'}, {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
        bool done = false;
        for (const auto& [ent, ch] : named)
            if (at(t, i, ent)) {
                out += ch;
                i += ent.size();
                done = true;
                break;
            }
        if (done) continue;
        if (at(t, i, "&#")) {
            std::size_t j = i + 2;
            int v = 0;
            while (j < t.size() && j < i + 6 && t[j] >= '0' && t[j] <= '9') v = v * 10 + (t[j++] - '0');
            if (j > i + 2 && j < t.size() && t[j] == ';' && v > 0 && v < 256) {
                out += static_cast<char>(v);
                i = j + 1;
                continue;
            }
        }
        out += t[i++];
    }
    return out;
}

// Everything but unreserved characters is percent-encoded, so an address
// survives as one request field whatever it holds ("&", "+", "#", "=").
constexpr ByteSet kAddrKeep = ByteSet::unreserved().with("/:@");

// Number of columns a piece of wrapped text takes: an entity or a UTF-8
// sequence is one character on the screen and is never split.
std::size_t piece_len(std::string_view in, std::size_t i) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    if (c == '&') {
        std::size_t semi = in.find(';', i);
        if (semi != std::string_view::npos && semi - i <= 10) return semi - i + 1;
    } else if (c >= 0xC0) {
        std::size_t n = 1;
        while (i + n < in.size() && n < 4 && (static_cast<unsigned char>(in[i + n]) & 0xC0) == 0x80) ++n;
        return n;
    }
    return 1;
}

}  // namespace

EncodeState& encode_state() { return state(); }
void encode_reset() {
    EncodeProfile p = state().profile;   // wiring, not request state
    state() = EncodeState{};
    state().profile = p;
}

void encode_set_profile(const EncodeProfile& p) { state().profile = p; }

bool encode_v_font() { return v_font(); }

int get_read_wrap() {
    int w = std::atoi(wm_ini_get(K_read_wrap).c_str());
    return w == 0 ? 85 : w;
}

std::string value_encode(std::string_view text) { return escape_core(text, {Wctl::hash, false, true}); }
std::string value_encode(const char* text) { return text ? value_encode(std::string_view(text)) : std::string(); }

std::string text_encode3(std::string_view text) {
    if (v_asis()) return std::string(text);
    std::string out = escape_core(text, {Wctl::drop, false});
    if (v_font()) out += g.gwml ? "<br/>" : "<br>";
    return out;
}

std::string text_encode4(std::string_view text) { return escape_core(text, {Wctl::keep, true}); }

std::string text_encode2(std::string_view text, std::size_t length) {
    text = text.substr(0, std::min({length, kText2In, text.size()}));
    std::string out;
    for (std::size_t i = 0; i < text.size() && out.size() <= kText2Stop; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (const char* e = html_entity(c, page_flags(g.gwml, false))) out += e;
        else if (g.gwml && c == '\'') out += "&apos;";
        else out += static_cast<char>(c);
    }
    return out;
}

std::string quote_encode(std::string_view text) {
    text = text.substr(0, kInMax);
    std::string out;
    for (std::size_t i = 0; i < text.size() && out.size() <= kOutStop; ++i) {
        if (text[i] == '"') out += "&quot;";
        else out += text[i];
    }
    return out;
}
std::string quote_encode(const char* text) { return text ? quote_encode(std::string_view(text)) : std::string(); }

// Only what would end or split a query value is encoded; the rest of a
// link stays readable.  A bare "$" would start a variable in a WML deck.
std::string url_encode(std::string_view text) {
    static constexpr ByteSet html = ByteSet::all().without("# \"%'+&");
    static constexpr ByteSet wml = html.without("$");
    return pct_encode(text.substr(0, kInMax), g.gwml ? wml : html, kOutStop);
}
std::string url_encode(const char* text) { return text ? url_encode(std::string_view(text)) : std::string(); }

std::string wrap_encode(std::string_view text) {
    const int w = get_read_wrap();
    if (w < 0 || text.size() <= static_cast<std::size_t>(w)) return std::string(text);
    if (w == 1) {
        if (!text.empty() && text.back() == '.') return std::string(text.substr(0, kParaMax)) + "<p>";
        return std::string(text);
    }
    if (text.find('\x1b') != std::string_view::npos) return std::string(text);
    const bool font = v_font();
    const std::string_view brk = font ? "<br>" : "\n";
    const std::size_t width = static_cast<std::size_t>(w);
    std::string_view in = text.substr(0, kWrapIn);
    std::string out;
    out.reserve(in.size() + in.size() / width * brk.size() + 8);
    std::size_t col = 0, ws_at = std::string::npos, ws_col = 0;
    for (std::size_t i = 0; i < in.size();) {
        char c = in[i];
        if (font && c == '<') {   // mark-up we made ourselves takes no room
            std::size_t close = in.find('>', i);
            std::size_t end = close == std::string_view::npos ? in.size() : close + 1;
            if (at(in, i, "<br>") || at(in, i, "<br/>")) {
                col = 0;
                ws_at = std::string::npos;
            }
            out.append(in.substr(i, end - i));
            i = end;
            continue;
        }
        if (!font && (c == '\n' || c == '\r')) {
            out += c;
            ++i;
            col = 0;
            ws_at = std::string::npos;
            continue;
        }
        const bool ws = c == ' ' || c == '\t';
        if (col >= width) {
            if (ws) {
                out.append(brk);
                ++i;
                col = 0;
                ws_at = std::string::npos;
                continue;
            }
            if (ws_at != std::string::npos) {
                out.replace(ws_at, 1, brk);
                col -= ws_col;
            } else {
                out.append(brk);
                col = 0;
            }
            ws_at = std::string::npos;
        }
        std::size_t len = piece_len(in, i);
        out.append(in.substr(i, len));
        i += len;
        ++col;
        if (ws) {
            ws_at = out.size() - 1;
            ws_col = col;
        }
    }
    return out;
}

void ref_encode_http(std::string& t) {
    static const std::string_view schemes[] = {"https:", "http:", "ftp:"};
    std::size_t pos = 0;
    while (pos < t.size()) {
        std::size_t best = std::string::npos, slen = 0;
        for (std::string_view s : schemes) {
            std::size_t p = t.find(s, pos);
            if (p < best) {
                best = p;
                slen = s.size();
            }
        }
        if (best == std::string::npos) return;
        if (best > 0 && static_cast<unsigned char>(t[best - 1]) >= 128) {
            pos = best + 1;
            continue;
        }
        std::size_t end = best;
        while (end < t.size()) {
            unsigned char c = static_cast<unsigned char>(t[end]);
            if (c == 27 || c == '<' || c == '>' || c == ',' || c == '(' || c == ')' || c == '\n' || c == '\r' ||
                c == ' ' || c == '\t' || stop_entity(t, end))
                break;
            ++end;
        }
        if (end > best && t[end - 1] == '.') --end;   // the full stop of a sentence
        if (end - best <= slen) {                      // a scheme with no address
            pos = best + slen;
            continue;
        }
        std::string addr = t.substr(best, end - best);
        std::string href = ini_true(K_no_cmd_url)
                               ? addr
                               : g.path_script + "?cmd=url" +
                                     (g.utoken.empty() ? std::string() : "&amp;utoken=" + url_encode(g.utoken)) +
                                     "&amp;url=" + pct_encode(entity_decode(addr), kAddrKeep);
        const std::string& opts = wm_ini_get(K_inline_options);
        std::string link = ini_true(K_url_newpage)
                               ? sfmt("<a target=\"newpage\" %s href=\"%s\">%s</a>", opts.c_str(), href.c_str(),
                                      addr.c_str())
                               : sfmt("<a %s href=\"%s\">%s</a>", opts.c_str(), href.c_str(), addr.c_str());
        if (link.size() > kLinkMax || t.size() - addr.size() + link.size() > kRefMax) {
            pos = end;
            continue;
        }
        t.replace(best, end - best, link);
        pos = best + link.size();
    }
}

void ref_encode_mail(std::string& t) {
    std::size_t i = 0, floor = 0;
    bool dbl = false;
    while (i < t.size()) {
        unsigned char c = static_cast<unsigned char>(t[i]);
        if (c == 27 && i + 1 < t.size()) {
            if (t[i + 1] == '$') dbl = true;
            else if (t[i + 1] == '(') dbl = false;
        } else if (c == 14) {
            dbl = true;
        } else if (c == 15) {
            dbl = false;
        }
        if (dbl) {
            ++i;
            continue;
        }
        if (at(t, i, "href=")) {   // an existing link: skip to its end
            bool quoted = false;
            std::size_t close = std::string::npos;
            for (std::size_t j = i + 5; j < t.size(); ++j) {
                if (t[j] == '"') quoted = !quoted;
                else if (!quoted && at(t, j, "</a>")) {
                    close = j;
                    break;
                }
            }
            if (close == std::string::npos) return;
            i = floor = close + 4;
            continue;
        }
        if (c != '@' || (i > 0 && static_cast<unsigned char>(t[i - 1]) >= 128)) {
            ++i;
            continue;
        }
        std::size_t start = floor;
        bool quote_only = false;
        for (std::size_t k = i; k-- > floor;) {
            if (at(t, k, "&lt")) {
                if (k == 0 || t[k - 1] != '"') {
                    start = k;
                    break;
                }
                quote_only = true;
                --k;   // over the quote
                continue;
            }
            unsigned char d = static_cast<unsigned char>(t[k]);
            if (quote_only ? d == '"' : is_mail_delim(d)) {
                if (d == '"') start = k;
                else if (k > 0 && t[k - 1] == 27) start = k + 2;
                else start = k + 1;
                break;
            }
            if (!quote_only && d == ';') {   // an escaped quote or bracket before the address
                bool stop = false;
                for (std::string_view e : {"&quot;", "&#34;", "&apos;", "&gt;"})
                    if (k + 1 >= e.size() && at(t, k + 1 - e.size(), e)) stop = true;
                if (stop) {
                    start = k + 1;
                    break;
                }
            }
        }
        std::size_t end = i + 1;
        bool closed = false;
        while (end < t.size()) {
            if (at(t, end, "&gt;")) {
                end += 4;
                closed = true;
                break;
            }
            if (stop_entity(t, end) || is_mail_delim(static_cast<unsigned char>(t[end]))) break;
            ++end;
        }
        while (!closed && end > i + 1 && t[end - 1] == '.') --end;
        // "a@@b" is no address, whichever of its markers is looked at
        if (start >= i || end <= i + 1 || t[i + 1] == '@' || t[i - 1] == '@') {
            ++i;
            continue;
        }
        std::string addr = t.substr(start, end - start);
        std::string to = pct_encode(entity_decode(addr), kAddrKeep);
        const std::string& prefix = state().send_link;
        std::string link = prefix.empty()
                               ? sfmt("<a href=\"mailto:%s\">%s</a>", to.c_str(), addr.c_str())
                               : sfmt("<a href=\"%s%s\">%s</a>", prefix.c_str(), to.c_str(), addr.c_str());
        if (t.size() - addr.size() + link.size() > kRefMax) return;
        t.replace(start, end - start, link);
        i = floor = start + link.size();
    }
}

std::string ref_encode(std::string_view text) {
    std::string t(text);
    if (ini_true(K_no_ref_encode)) return t;
    ref_encode_http(t);
    ref_encode_mail(t);
    return t;
}

std::string text_encode(std::string_view text) {
    if (v_asis()) return std::string(text);
    return ref_encode(wrap_encode(text_encode3(text)));
}
std::string text_encode(const char* text) { return text ? text_encode(std::string_view(text)) : std::string(); }

int hexbyte(const char* two) {
    if (!two || !two[0]) return -1;
    return hexpair(two[0], two[1]);
}

std::size_t pcat(std::string* out, const char* text) {
    if (!out || !text) return 0;
    std::size_t n = std::strlen(text);
    out->append(text, n);
    return n;
}
