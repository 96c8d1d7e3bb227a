#include "page/var.h"

#include <unordered_map>

#include "cgi/diag.h"
#include "page/encode.h"
#include "support/list.h"

namespace {

constexpr int kMaxVars = 500;
constexpr std::size_t kNameMax = 512;      // a longer name is not a reference
constexpr std::size_t kNumberMax = 9;      // digits of a "left" count
constexpr std::size_t kSetlMax = 999;

struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// Pairs in the order set, with an index by name: a page with hundreds of
// variables and thousands of references stays cheap to fill in.
struct VarState {
    std::vector<std::pair<std::string, std::string>> vars;
    std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>> index;
};

VarState& st() {
    static VarState s;
    return s;
}

const std::string kEmpty;

std::string* slot(std::string_view name) {
    VarState& s = st();
    auto it = s.index.find(name);
    return it == s.index.end() ? nullptr : &s.vars[it->second].second;
}

// Cuts at most n bytes without splitting a UTF-8 sequence, so a shortened
// value never ends in half a character.
std::string_view cut_chars(std::string_view v, std::size_t n) {
    if (v.size() <= n) return v;
    while (n > 0 && (static_cast<unsigned char>(v[n]) & 0xC0) == 0x80) --n;
    return v.substr(0, n);
}

// Appends without passing the line bound.
void append_bounded(std::string& out, std::string_view text) {
    if (out.size() >= kTplLineMax) return;
    out.append(text.substr(0, kTplLineMax - out.size()));
}

// Reads the count of a "left" reference at pos ("%%n%%"); sets end past the
// closing marker.  False when the marker or count is malformed.
bool read_left_count(std::string_view line, std::size_t pos, std::size_t& n, std::size_t& end) {
    if (line.compare(pos, 2, "%%") != 0) return false;
    std::size_t close = line.find("%%", pos + 2);
    if (close == std::string_view::npos || close - (pos + 2) > kNumberMax) return false;
    n = 0;
    for (std::size_t i = pos + 2; i < close && line[i] >= '0' && line[i] <= '9'; ++i)
        n = n * 10 + static_cast<std::size_t>(line[i] - '0');
    end = close + 2;
    return true;
}

}  // namespace

void var_set(std::string_view name, std::string_view value) {
    VarState& s = st();
    if (std::string* v = slot(name)) {
        v->assign(value);
        return;
    }
    if (static_cast<int>(s.vars.size()) >= kMaxVars) {
        std::string n(name), val(value);
        emsg("Too many var_sets %d %s=%s \n", static_cast<int>(s.vars.size()), n.c_str(), val.c_str());
        return;
    }
    s.index.emplace(std::string(name), s.vars.size());
    s.vars.emplace_back(std::string(name), std::string(value));
}

namespace {

// "javascript:" and the like, as a browser reads a link: blanks and control
// characters inside the scheme are skipped, case does not count.
bool script_address(std::string_view v) {
    std::string scheme;
    for (char c : v) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= 32 || u == 127) continue;
        if (c == ':') break;
        if (scheme.size() >= 16) return false;
        scheme += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return scheme == "javascript" || scheme == "vbscript" || scheme == "data";
}

}  // namespace

void var_set_outside(std::string_view name, std::string_view value) {
    if (script_address(value)) {
        std::string n(name);
        imsg("Script address in request variable %s dropped", value_encode(n).c_str());
        value = {};
    }
    var_set(name, value_encode(value));
}

void var_set(const char* name, const char* value) {
    if (!name) {
        emsg("Attempt to set NULL variable \n");
        return;
    }
    if (!value) return;
    var_set(std::string_view(name), std::string_view(value));
}

const std::string& var_find(std::string_view name) {
    const std::string* v = slot(name);
    return v ? *v : kEmpty;
}

int var_count() { return static_cast<int>(st().vars.size()); }

bool var_get_pair(int i, std::string& name, std::string& value) {
    const VarState& s = st();
    if (i < 0 || static_cast<std::size_t>(i) >= s.vars.size()) return false;
    name = s.vars[static_cast<std::size_t>(i)].first;
    value = s.vars[static_cast<std::size_t>(i)].second;
    return true;
}

void var_reset() { st() = VarState{}; }

void var_set_list(std::string_view name, const std::vector<std::string>* list) {
    if (!list) {
        emsg("Attempt to use NULL link list \n");
        return;
    }
    if (!slot(name) && var_count() >= kMaxVars) {
        std::string n(name);
        emsg("Too many var_sets %d %s\n", var_count(), n.c_str());
        return;
    }
    std::string joined;
    for (const auto& item : *list) {
        joined += item;
        joined += '\n';
    }
    var_set(name, joined);
}

void var_set_list(std::string_view name, LINK_LIST* list) {
    if (!list) {
        emsg("Attempt to use NULL link list \n");
        return;
    }
    // walked by its nodes: reading must not move the list's own position
    std::vector<std::string> items;
    for (const list_struct* n = list->first; n; n = n->post)
        if (n->item) items.emplace_back(static_cast<const char*>(n->item));
    var_set_list(name, &items);
}

void var_setl(std::string_view name, const std::vector<std::string>& items) {
    std::string joined;
    for (const auto& item : items) {
        joined += item;
        joined += '\n';
        if (joined.size() >= kSetlMax) break;
    }
    if (joined.size() > kSetlMax) joined.resize(kSetlMax);
    var_set(name, value_encode(std::string_view(joined)));
}

void tpl_replace_var(std::string& line, std::size_t pos, std::size_t len, std::string_view value) {
    if (pos > line.size()) return;
    line.replace(pos, len, value);
    if (line.size() > kTplLineMax) line.resize(kTplLineMax);
}

// Builds the result in a second string while walking the line once, so a
// line with many references costs time in proportion to its length.
std::string& tpl_replace_vars(std::string& line) {
    if (line.find("%%") == std::string::npos) return line;
    std::string_view in(line);
    std::string out;
    out.reserve(line.size() + 64);
    std::size_t pos = 0;
    while (pos < in.size()) {
        std::size_t open = in.find("%%", pos);
        if (open == std::string_view::npos) break;
        std::size_t close = in.find("%%", open + 2);
        if (close == std::string_view::npos) break;
        std::string_view name = in.substr(open + 2, close - open - 2);
        if (name.size() >= kNameMax) {
            imsg("variable name too long");
            append_bounded(out, in.substr(pos, open + 2 - pos));
            pos = open + 2;
            continue;
        }
        std::string_view value = var_find(name);
        std::string encoded;
        std::size_t end = close + 2;
        std::string_view rest = in.substr(end);
        if (rest.substr(0, 5) == "esc%%") {
            encoded = url_encode(value);
            value = encoded;
            end += 5;
        } else if (rest.substr(0, 4) == "left") {
            bool plus = rest.size() > 4 && rest[4] == '+';
            std::size_t count_at = end + 4 + (plus ? 1 : 0);
            if (in.compare(count_at, 2, "%%") == 0) {
                std::size_t n = 0, after = 0;
                if (!read_left_count(in, count_at, n, after)) break;   // malformed count ends the scan
                if (plus && n > 3 && value.size() >= n) {
                    encoded = std::string(cut_chars(value, n - 3)) + "...";
                    value = encoded;
                } else {
                    value = cut_chars(value, n);
                }
                end = after;
            }
        }
        append_bounded(out, in.substr(pos, open - pos));
        append_bounded(out, value);
        pos = end;
    }
    append_bounded(out, in.substr(pos));
    line.swap(out);
    return line;
}
