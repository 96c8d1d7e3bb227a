#include "view/search.h"

#include <cstring>
#include <ctime>

#include "page/encode.h"
#include "view/body.h"
#include "view/mime.h"
#include "view/mimecodec.h"
#include "view/sanitize.h"

namespace {

bool is_blank(unsigned char c) { return c < 0x20 || c == ' ' || c == 0x7F; }

// Start of the UTF-8 character that holds byte i.
std::size_t char_start(std::string_view s, std::size_t i) {
    while (i > 0 && i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
    return i;
}

// Position of the first occurrence of any word at or after from, with the
// length of the word found there; npos when none.
std::size_t first_of_words(std::string_view folded, const std::vector<std::string>& words, std::size_t from,
                           std::size_t* len) {
    std::size_t best = std::string_view::npos;
    for (const std::string& w : words) {
        if (w.empty()) continue;
        std::size_t p = folded.find(w, from);
        if (p < best || (p == best && w.size() > *len)) {
            best = p;
            *len = w.size();
        }
    }
    return best;
}

// Escaped text with runs of blanks and line ends as one blank.
void append_escaped(std::string& out, std::string_view text) {
    std::string flat;
    flat.reserve(text.size());
    for (char c : text) {
        if (is_blank(static_cast<unsigned char>(c))) {
            if (flat.empty() || flat.back() != ' ') flat += ' ';
        } else {
            flat += c;
        }
    }
    out += value_encode(flat);
}

}  // namespace

std::string search_fold(std::string_view text) {
    std::string out(text);
    for (std::size_t i = 0; i < out.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(out[i]);
        if (c >= 'A' && c <= 'Z') {
            out[i] = static_cast<char>(c + 32);
        } else if (c < 0x20) {
            out[i] = ' ';
        } else if (c == 0xC3 && i + 1 < out.size()) {
            // U+00C0..U+00DE without the multiplication sign: capital to small is +0x20.
            unsigned char d = static_cast<unsigned char>(out[i + 1]);
            if (d >= 0x80 && d <= 0x9E && d != 0x97) out[i + 1] = static_cast<char>(d + 0x20);
            ++i;
        }
    }
    return out;
}

std::vector<std::string> search_words(std::string_view typed) {
    const std::string in = utf8_cut(typed, kSearchMaxInput);
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < in.size() && words.size() < kSearchMaxWords) {
        while (i < in.size() && is_blank(static_cast<unsigned char>(in[i]))) ++i;
        if (i >= in.size()) break;
        std::string w;
        if (in[i] == '"') {
            std::size_t e = in.find('"', i + 1);
            if (e == std::string::npos) e = in.size();
            w = in.substr(i + 1, e - i - 1);
            i = e + 1;
        } else {
            std::size_t e = i;
            while (e < in.size() && !is_blank(static_cast<unsigned char>(in[e])) && in[e] != '"') ++e;
            w = in.substr(i, e - i);
            i = e;
        }
        // Inside a phrase, controls and runs of blanks are one blank, as in the folded text.
        std::string clean;
        for (char c : w) {
            bool b = is_blank(static_cast<unsigned char>(c));
            if (b && (clean.empty() || clean.back() == ' ')) continue;
            clean += b ? ' ' : c;
        }
        clean = utf8_cut(clean, kSearchMaxWord);
        while (!clean.empty() && clean.back() == ' ') clean.pop_back();
        if (clean.empty()) continue;
        clean = search_fold(clean);
        bool dup = false;
        for (const std::string& o : words) dup = dup || o == clean;
        if (!dup) words.push_back(clean);
    }
    return words;
}

std::string search_message_text(std::string_view msg) {
    MimeTree tree;
    mime_parse(msg, tree);
    std::string out;
    for (const MimePart& p : tree.parts) {
        if (!p.children.empty()) continue;
        const std::string& t = p.h.type;
        const bool html = t == "text/html";
        if (t != "text/plain" && !html) continue;
        // Alternatives say the same thing: the plain one is enough.
        if (html && p.parent >= 0 && tree.parts[static_cast<std::size_t>(p.parent)].h.type == "multipart/alternative") {
            bool plain = false;
            for (int c : tree.parts[static_cast<std::size_t>(p.parent)].children)
                plain = plain || tree.parts[static_cast<std::size_t>(c)].h.type == "text/plain";
            if (plain) continue;
        }
        std::string text = part_text(p);
        if (html) text = html_to_text(text);
        out += text;
        out += '\n';
        if (out.size() >= kSearchMaxText) return utf8_cut(out, kSearchMaxText);
    }
    return out;
}

std::string search_header_text(const Record& r) {
    std::string out;
    for (int pos : {H_SUBJECT, H_FROM, H_TO, H_CC}) {
        out += rfc1522s(r[static_cast<std::size_t>(pos)]);
        out += '\n';
    }
    return out;
}

bool search_words_in(const std::vector<std::string>& words, std::string_view folded, std::vector<char>& found) {
    bool all = true;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (!found[i] && folded.find(words[i]) != std::string_view::npos) found[i] = 1;
        all = all && found[i];
    }
    return all;
}

std::string search_snippet(std::string_view text, std::string_view folded, const std::vector<std::string>& words,
                           std::string_view open, std::string_view close) {
    constexpr std::size_t kBefore = 40, kAfter = 100;
    std::size_t len = 0;
    std::size_t hit = first_of_words(folded, words, 0, &len);
    if (hit == std::string_view::npos || folded.size() != text.size()) return {};
    std::size_t from = char_start(text, hit > kBefore ? hit - kBefore : 0);
    std::size_t to = hit + len + kAfter;
    to = to >= text.size() ? text.size() : char_start(text, to);
    std::string out = from > 0 ? "... " : "";
    std::size_t at = from;
    while (at < to) {
        std::size_t l = 0;
        std::size_t p = first_of_words(folded.substr(0, to), words, at, &l);
        if (p == std::string_view::npos || p + l > to) break;
        append_escaped(out, text.substr(at, p - at));
        out += open;
        append_escaped(out, text.substr(p, l));
        out += close;
        at = p + l;
    }
    append_escaped(out, text.substr(at, to - at));
    if (to < text.size()) out += " ...";
    return out;
}

long search_day(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return -1;
    int v[3] = {0, 0, 0};
    const std::size_t start[3] = {0, 5, 8}, n[3] = {4, 2, 2};
    for (int k = 0; k < 3; ++k)
        for (std::size_t i = start[k]; i < start[k] + n[k]; ++i) {
            if (text[i] < '0' || text[i] > '9') return -1;
            v[k] = v[k] * 10 + (text[i] - '0');
        }
    if (v[0] < 1970 || v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > 31) return -1;
    std::tm tm{};
    tm.tm_year = v[0] - 1900;
    tm.tm_mon = v[1] - 1;
    tm.tm_mday = v[2];
    const std::time_t t = timegm(&tm);
    // 2024-02-31 is no day: timegm would quietly make it 2 March.
    if (tm.tm_mon != v[1] - 1 || tm.tm_mday != v[2]) return -1;
    return static_cast<long>(t);
}
