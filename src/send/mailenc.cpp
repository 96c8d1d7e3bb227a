// Header and body encodings of outgoing mail.
#include "send/mailenc.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <vector>

#include "cgi/config.h"
#include "support/escape.h"
#include "view/mimecodec.h"

namespace {
// 52 base64 characters: a word with "Subject: " before it stays within 76.
constexpr std::size_t kWordBytes = 39;
constexpr std::size_t kFoldAt = 78;

bool needs_encoding(std::string_view word) {
    for (unsigned char c : word)
        if (c >= 128 || c < 32 || c == 127) return true;
    // Text that looks like an encoded word would be decoded by readers.
    return word.find("=?") != std::string_view::npos;
}

// Length of the UTF-8 sequence starting with byte c (1 for stray bytes).
std::size_t utf8_len(unsigned char c) {
    if (c >= 0xF0 && c < 0xF8) return 4;
    if (c >= 0xE0) return c < 0xF0 ? 3 : 1;
    if (c >= 0xC0) return 2;
    return 1;
}

// Encoded words for a run of text, split between characters.
std::vector<std::string> encoded_words(std::string_view text) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t end = i;
        while (end < text.size()) {
            std::size_t n = utf8_len(static_cast<unsigned char>(text[end]));
            if (end + n > text.size()) n = text.size() - end;
            if (end - i + n > kWordBytes) break;
            end += n;
        }
        if (end == i) end = i + 1;
        std::string chunk(text.substr(i, end - i));
        // Control bytes never travel, not even encoded.
        for (char& c : chunk)
            if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
        out.push_back("=?UTF-8?B?" + sencode_base64(chunk) + "?=");
        i = end;
    }
    return out;
}

std::vector<std::string_view> words_of(std::string_view text) {
    std::vector<std::string_view> w;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        std::size_t j = i;
        while (j < text.size() && text[j] != ' ' && text[j] != '\t') ++j;
        if (j > i) w.push_back(text.substr(i, j - i));
        i = j;
    }
    return w;
}

bool is_atext(unsigned char c) {
    return std::isalnum(c) || std::string_view("!#$%&'*+-/=?^_`{|}~").find(static_cast<char>(c)) != std::string_view::npos;
}
}  // namespace

int get_send_wrap() {
    int w = std::atoi(wm_ini_get(K_send_wrap).c_str());
    return w > 0 ? w : 75;
}

std::string encode_rfc1522(std::string_view text) {
    std::vector<std::string_view> w = words_of(text);
    std::string out;
    std::size_t i = 0;
    while (i < w.size()) {
        if (!out.empty()) out += ' ';
        if (!needs_encoding(w[i])) {
            out.append(w[i]);
            ++i;
            continue;
        }
        // A run of neighbouring words to encode goes into the words with
        // the blanks between them, which readers drop between encoded words.
        std::size_t j = i + 1;
        while (j < w.size() && needs_encoding(w[j])) ++j;
        std::string_view run(w[i].data(), static_cast<std::size_t>(w[j - 1].data() + w[j - 1].size() - w[i].data()));
        std::vector<std::string> enc = encoded_words(run);
        for (std::size_t k = 0; k < enc.size(); ++k) out += (k ? " " : "") + enc[k];
        i = j;
    }
    return out;
}

std::string encode_phrase(std::string_view name) {
    std::string_view n = name;
    while (!n.empty() && n.front() == ' ') n.remove_prefix(1);
    while (!n.empty() && n.back() == ' ') n.remove_suffix(1);
    if (n.size() >= 2 && n.front() == '"' && n.back() == '"') n = n.substr(1, n.size() - 2);
    if (n.empty()) return "";
    bool eight = false, atoms = true;
    for (unsigned char c : n) {
        if (c >= 128 || c < 32 || c == 127) eight = true;
        else if (c != ' ' && !is_atext(c)) atoms = false;
    }
    if (eight || n.find("=?") != std::string_view::npos) {
        std::vector<std::string> enc = encoded_words(n);
        std::string out;
        for (std::size_t k = 0; k < enc.size(); ++k) out += (k ? " " : "") + enc[k];
        return out;
    }
    if (atoms) return std::string(n);
    std::string q = "\"";
    for (char c : n) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

std::string encode_addr_list(std::string_view list) {
    std::string out;
    bool quote = false;
    int paren = 0;
    std::size_t start = 0;
    auto item = [&](std::string_view it) {
        while (!it.empty() && (it.front() == ' ' || it.front() == '\t')) it.remove_prefix(1);
        while (!it.empty() && (it.back() == ' ' || it.back() == '\t')) it.remove_suffix(1);
        if (it.empty()) return;
        if (!out.empty()) out += ", ";
        std::size_t lt = it.rfind('<');
        if (lt == std::string_view::npos) {
            out.append(it);
            return;
        }
        std::string phrase = encode_phrase(it.substr(0, lt));
        if (!phrase.empty()) out += phrase + " ";
        out.append(it.substr(lt));
    };
    for (std::size_t i = 0; i < list.size(); ++i) {
        char c = list[i];
        if (c == '"') quote = !quote;
        else if (!quote && c == '(') ++paren;
        else if (!quote && c == ')' && paren > 0) --paren;
        else if (!quote && paren == 0 && c == ',') {
            item(list.substr(start, i - start));
            start = i + 1;
        }
    }
    item(list.substr(start));
    return out;
}

std::string fold_header(std::string_view name, std::string_view value) {
    std::string out(name);
    out += ':';
    std::size_t col = out.size();
    for (std::string_view w : words_of(value)) {
        if (col + 1 + w.size() > kFoldAt && col > name.size() + 1) {
            out += "\r\n";
            col = 0;
        }
        out += ' ';
        out.append(w);
        col += 1 + w.size();
    }
    return out + "\r\n";
}

std::string rfc2231_param(std::string_view param, std::string_view value) {
    bool plain = true;
    for (unsigned char c : value)
        if (c >= 128 || c < 32 || c == '"' || c == '\\') plain = false;
    if (plain) return "; " + std::string(param) + "=\"" + std::string(value) + "\"";
    static constexpr ByteSet kKeep = ByteSet::unreserved().without("~");
    const std::string pct = pct_encode(value, kKeep);
    std::string out;
    const std::string p(param);
    constexpr std::size_t kPiece = 60;
    if (pct.size() + 8 <= kPiece) {
        out = ";\r\n\t" + p + "*=UTF-8''" + pct;
    } else {
        std::string first = "UTF-8''";
        std::size_t i = 0;
        for (int n = 0; i < pct.size(); ++n) {
            std::size_t take = std::min(kPiece, pct.size() - i);
            // Never cut a %XX escape.
            if (i + take < pct.size()) {
                if (pct[i + take - 1] == '%') take -= 1;
                else if (take >= 2 && pct[i + take - 2] == '%') take -= 2;
            }
            out += ";\r\n\t" + p + "*" + std::to_string(n) + "*=" + (n == 0 ? first : "") + pct.substr(i, take);
            i += take;
        }
    }
    std::string words;
    for (const std::string& w : encoded_words(value)) words += (words.empty() ? "" : "\r\n\t") + w;
    return out + ";\r\n\t" + p + "=\"" + words + "\"";
}

void do_wrap(std::string& text, int width) {
    if (width <= 0) return;
    int count = 0;
    for (char& c : text) {
        if (c == 27) return;
        if (count > width && (c == ' ' || c == '\t')) {
            c = '\n';
            count = 0;
        }
        if (c == '\r' || c == '\n') {
            count = 0;
            continue;
        }
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
    }
}

bool body_plain(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 128 || (c < 32 && c != '\r' && c != '\n' && c != '\t' && c != 27) || c == 127) return false;
    return true;
}

std::string to_crlf_lines(std::string_view text, std::string_view suffix) {
    std::string out;
    out.reserve(text.size() + text.size() / 40 + 2);
    std::size_t i = 0;
    while (true) {
        std::size_t e = text.find_first_of("\r\n", i);
        std::string_view line = text.substr(i, e == std::string_view::npos ? std::string_view::npos : e - i);
        out.append(line);
        out.append(suffix);
        out += "\r\n";
        if (e == std::string_view::npos) break;
        i = e + (text[e] == '\r' && e + 1 < text.size() && text[e + 1] == '\n' ? 2 : 1);
        if (i >= text.size()) break;
    }
    return out;
}

std::string text_cte(std::string_view text, bool no_qp) {
    std::size_t eight = 0, line = 0, longest = 0;
    for (unsigned char c : text) {
        if (c >= 128) ++eight;
        if (c == '\n') line = 0;
        else longest = std::max(longest, ++line);
    }
    if (body_plain(text) && longest <= 900) return "7bit";
    if (no_qp && longest <= 900 && text.find('\0') == std::string_view::npos) return "8bit";
    return eight * 3 > text.size() ? "base64" : "quoted-printable";
}

std::string text_encode_cte(std::string_view text, const std::string& cte) {
    if (cte == "quoted-printable") return qprint(text);
    if (cte != "base64") return std::string(text);
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 57) out += sencode_base64(text.substr(i, 57)) + "\r\n";
    return out;
}
