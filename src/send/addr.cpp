// Recipient lists and the user's own address.
#include "send/addr.h"

#include <cctype>

#include "cgi/config.h"
#include "cgi/form.h"
#include "support/str.h"
#include "support/wild.h"
#include "user/paths.h"
#include "user/profile.h"
#include "user/session.h"

namespace {
constexpr std::size_t kAddrMax = 511;
constexpr std::size_t kReplyMax = 1999;

// Calls fn(begin, end) for each run between delimiters outside quotes and
// parentheses.
template <class Fn>
void split_outside(std::string_view text, std::string_view delims, Fn fn) {
    bool quote = false;
    int paren = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        char c = i < text.size() ? text[i] : '\0';
        if (i < text.size()) {
            if (c == '"') quote = !quote;
            else if (!quote && c == '(') ++paren;
            else if (!quote && c == ')' && paren > 0) --paren;
        }
        if (i == text.size() || (!quote && paren == 0 && delims.find(c) != std::string_view::npos)) {
            if (i > start) fn(text.substr(start, i - start));
            start = i + 1;
        }
    }
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// Cut at a second "@" (a login name of the form user@host@pophost).
std::string cut_second_at(std::string s) {
    std::size_t a = s.find('@');
    if (a != std::string::npos) {
        std::size_t b = s.find('@', a + 1);
        if (b != std::string::npos) s.resize(b);
    }
    return s;
}
}  // namespace

std::vector<std::string> next_addr(std::string_view text, std::string_view delims) {
    std::vector<std::string> out;
    split_outside(text, delims, [&](std::string_view t) { out.emplace_back(t); });
    return out;
}

std::string strnqcpy(std::string_view src, std::size_t size) {
    std::string out;
    bool quote = false;
    for (char c : src) {
        if (c == '"') {
            quote = !quote;
            continue;
        }
        if (!quote) out += c;
    }
    if (size > 0 && out.size() > size - 1) out.resize(size - 1);
    return out;
}

std::string fix_addr(std::string_view token) {
    if (token.find('@') == std::string_view::npos || token.size() > kAddrMax) return "";
    return std::string(token);
}

namespace {
AbookLookup g_lookup = nullptr;
AddrCollect g_collect = nullptr;
BodyEncrypt g_encrypt = nullptr;
}

void send_set_encrypter(BodyEncrypt fn) { g_encrypt = fn; }
BodyEncrypt send_encrypter() { return g_encrypt; }

void send_set_collector(AddrCollect fn) { g_collect = fn; }
AddrCollect send_collector() { return g_collect; }

void fix_local_set_lookup(AbookLookup fn) { g_lookup = fn; }

bool fix_local(std::string& list, std::size_t size, const std::string& domain) {
    std::string out;
    bool quote = false;
    int paren = 0;
    std::size_t start = 0;
    auto item = [&](std::size_t end) {
        std::string_view it = std::string_view(list).substr(start, end - start);
        std::string_view t = trim(it);
        out.append(it);
        if (!t.empty() && t.find('@') == std::string_view::npos && t.find('<') == std::string_view::npos &&
            t.find('"') == std::string_view::npos && t.find('(') == std::string_view::npos) {
            // An address-book entry stands for its addresses; they are
            // made one line so an entry can never add a header.
            if (std::optional<std::string> v = g_lookup ? g_lookup(t) : std::nullopt; v && !v->empty()) {
                out.resize(out.size() - it.size());
                for (char ch : *v) out += (ch == '\r' || ch == '\n' || ch == '\0') ? ' ' : ch;
                return;
            }
            // Keep the blanks after the name outside the address.
            std::size_t tail = it.size() - (it.find(t) + t.size());
            out.insert(out.size() - tail, "@" + domain);
        }
    };
    for (std::size_t i = 0; i < list.size(); ++i) {
        char c = list[i];
        if (c == '"') quote = !quote;
        else if (!quote && c == '(') ++paren;
        else if (!quote && c == ')' && paren > 0) --paren;
        else if (!quote && paren == 0 && (c == ',' || c == '>')) {
            item(i);
            out += c;
            start = i + 1;
        }
    }
    item(list.size());
    if (size > 0 && out.size() > size - 1) return false;
    list = out;
    return true;
}

bool took(std::string_view address) {
    const std::string& rule = wm_ini_get(K_valid_to);
    if (rule.empty()) return true;
    return list_match(rule, address.substr(0, kAddrMax)) == 1;
}

std::string brkt(std::string_view address) {
    if (address.find('<') != std::string_view::npos) return std::string(address);
    return "<" + std::string(address.substr(0, 997)) + ">";
}

std::string addr_only(std::string_view text) {
    if (text.find('@') == std::string_view::npos) return "";
    std::size_t lt = text.rfind('<');
    if (lt != std::string_view::npos) {
        std::string_view r = text.substr(lt + 1);
        return std::string(trim(r.substr(0, r.find('>'))));
    }
    std::string s(text);
    std::size_t op = s.find('(');
    if (op != std::string::npos) {
        std::size_t cp = s.find(')', op);
        s.erase(op, cp == std::string::npos ? std::string::npos : cp - op + 1);
    }
    return std::string(trim(s));
}

std::vector<std::string> addr_list(std::string_view list) {
    std::vector<std::string> out;
    split_outside(list, ",", [&](std::string_view item) {
        std::string a = addr_only(item);
        if (a.empty()) {
            // A bare token list ("a@x b@y"): every token holding "@".
            for (const std::string& t : next_addr(strnqcpy(item, 2048)))
                if (!fix_addr(t).empty()) out.push_back(t);
            return;
        }
        if (a.find_first_of(" \t") != std::string::npos && a.find('"') == std::string::npos) {
            for (const std::string& t : next_addr(a))
                if (!fix_addr(t).empty()) out.push_back(t);
            return;
        }
        out.push_back(a);
    });
    return out;
}

std::string get_reply() {
    if (!ini_true(K_replyto_fixed)) {
        const std::string& r = form_find("reply");
        if (!r.empty()) {
            std::string s = r.substr(0, kReplyMax);
            // An "@" inside a quoted display name is not the address's.
            std::size_t from = 0;
            std::size_t q1 = s.find('"');
            if (q1 != std::string::npos) {
                std::size_t q2 = s.find('"', q1 + 1);
                if (q2 != std::string::npos) from = q2 + 1;
            }
            std::size_t a = s.find('@', from);
            if (a != std::string::npos) {
                std::size_t b = s.find('@', a + 1);
                if (b != std::string::npos) s.resize(b);
            }
            return s;
        }
        if (prof.xdflt_reply.empty()) {
            std::string ns = user_only_ns(prof.xuser);
            prof.xdflt_reply = ns.find('@') == std::string::npos ? ns + "@" + get_domain() : user_only(prof.xuser);
        }
        return cut_second_at(prof.xdflt_reply);
    }
    std::string ns = user_only_ns(prof.xuser);
    if (ns.find('@') == std::string::npos) return ns + "@" + get_domain();
    return user_only(prof.xuser);
}

bool line_clean(std::string_view value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool addr_sane(std::string_view a) {
    if (a.empty() || a.size() > kAddrMax) return false;
    bool quote = false;
    int ats = 0;
    for (char c : a) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || u >= 127 || (u == 32 && !quote)) return false;
        if (c == '"') quote = !quote;
        else if (!quote && (c == '<' || c == '>' || c == ',' || c == '(' || c == ')')) return false;
        else if (!quote && c == '@') ++ats;
    }
    return !quote && ats == 1 && a.front() != '@' && a.back() != '@';
}
