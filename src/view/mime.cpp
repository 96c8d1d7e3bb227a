#include "view/mime.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "cgi/diag.h"
#include "support/escape.h"
#include "support/str.h"
#include "view/mimecodec.h"

namespace {

struct MimeState {
    std::vector<std::string> bound;
    bool endbound = false;
    bool warned_full = false;
    std::string_view src;
    std::size_t part_at = 0;
    bool tree_valid = false;
    MimeTree tree;
};

MimeState& st() {
    static MimeState s;
    return s;
}

bool ci_prefix(std::string_view s, std::string_view p) {
    if (s.size() < p.size()) return false;
    for (std::size_t i = 0; i < p.size(); i++) {
        char a = s[i], b = p[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a + 32);
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b + 32);
        if (a != b) return false;
    }
    return true;
}

std::string_view trim(std::string_view s) {
    std::size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos) return {};
    std::size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// A header field line: a name of visible characters, then ":".
bool looks_like_field(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && i < 200) {
        auto c = static_cast<unsigned char>(line[i]);
        if (c == ':') return i > 0;
        if (c <= 32 || c >= 127) return false;
        i++;
    }
    return false;
}

// Decodes an RFC 2231 extended value "charset'lang'%xx..." to UTF-8.
std::string ext_value(std::string_view v, bool first) {
    if (!first) return pct_decode(v);
    std::size_t a = v.find('\'');
    std::size_t b = a == std::string_view::npos ? a : v.find('\'', a + 1);
    if (b == std::string_view::npos) return pct_decode(v);
    return to_utf8(pct_decode(v.substr(b + 1)), v.substr(0, a));
}

}  // namespace

// ---- boundary list -----------------------------------------------------------

void boundary_add(std::string_view line) {
    auto& s = st();
    std::size_t p = line.find("boundary=");
    if (p == std::string_view::npos) p = line.find("Boundary=");
    if (p == std::string_view::npos) p = line.find("BOUNDARY=");
    if (p == std::string_view::npos) return;
    std::string_view rest = line.substr(p + 9);
    std::string_view b;
    if (std::size_t q = rest.find('"'); q != std::string_view::npos) {
        std::size_t q2 = rest.find('"', q + 1);
        b = rest.substr(q + 1, q2 == std::string_view::npos ? std::string_view::npos : q2 - q - 1);
    } else {
        std::size_t e = rest.find_first_of("; \t\r\n");
        b = rest.substr(0, e);
    }
    if (b.empty()) return;
    std::string full = "--" + ncpy(b, 502);
    // A boundary seen again changes nothing, so it is not stored twice; a
    // full list keeps its entries and drops newcomers (the first ones are
    // those of the outer levels, which the page and forward need).
    for (const auto& x : s.bound)
        if (x == full) return;
    if (static_cast<int>(s.bound.size()) >= kMaxBoundaries) {
        if (!s.warned_full) emsg_do(1, "Boundary list full, boundary ignored\n");
        s.warned_full = true;
        return;
    }
    s.bound.push_back(full);
    if (log_has("mime")) imsg("Boundary added (%s)\n", full.c_str());
}

int boundary_check(std::string_view line) {
    auto& s = st();
    s.endbound = false;
    for (const auto& b : s.bound) {
        if (!starts_with(line, b)) continue;
        if (line.substr(b.size(), 2) == "--") {
            s.endbound = true;
            if (log_has("mime")) imsg("end of boundary\n");
        } else if (log_has("mime")) {
            imsg("Boundary matched (%s) \n", b.c_str());
        }
        return 1;
    }
    return 0;
}

bool boundary_endbound() { return st().endbound; }
void boundary_clear() {
    st().bound.clear();
    st().endbound = false;
}
std::string get_boundary(int index) {
    const auto& b = st().bound;
    if (index < 0 || index >= static_cast<int>(b.size())) return {};
    return b[static_cast<std::size_t>(index)];
}
int boundary_count() { return static_cast<int>(st().bound.size()); }

// ---- headers -----------------------------------------------------------------

std::string mime_header_value(std::string_view head, std::string_view name, std::size_t max) {
    std::string out;
    bool in = false, found = false;
    for_each_line(head, [&](std::string_view line) {
        if (in) {
            if (!line.empty() && is_blank(line[0])) {
                if (out.size() < max) out.append(line.substr(0, max - out.size()));
                return true;
            }
            return false;   // the first occurrence is complete
        }
        if (ci_prefix(line, name)) {
            std::string_view rest = line.substr(name.size());
            std::size_t k = 0;
            while (k < rest.size() && is_blank(rest[k])) k++;
            if (k < rest.size() && rest[k] == ':') {
                in = found = true;
                out.assign(rest.substr(k + 1, max));
            }
        }
        return true;
    });
    if (!found) return {};
    return std::string(trim(out));
}

std::string mime_param(std::string_view value, std::string_view param) {
    std::string plain;
    bool have_plain = false;
    std::string ext;          // from name* or name*0..n
    bool have_ext = false;
    std::vector<std::pair<int, std::string>> segs;   // RFC 2231 continuations
    std::size_t i = value.find(';');
    while (i != std::string_view::npos && i < value.size()) {
        i++;
        while (i < value.size() && (is_blank(value[i]) || value[i] == '\r' || value[i] == '\n' || value[i] == ';'))
            i++;
        std::size_t eq = i;
        while (eq < value.size() && value[eq] != '=' && value[eq] != ';') eq++;
        std::string attr = lower(trim(value.substr(i, eq - i)));
        if (eq >= value.size() || value[eq] == ';') {
            i = eq;
            continue;
        }
        std::size_t v = eq + 1;
        while (v < value.size() && is_blank(value[v])) v++;
        std::string val;
        bool quoted = false;
        if (v < value.size() && value[v] == '"') {
            quoted = true;
            std::size_t k = v + 1;
            for (; k < value.size() && value[k] != '"'; k++) {
                if (value[k] == '\\' && k + 1 < value.size()) k++;
                val += value[k];
            }
            i = value.find(';', k);
        } else {
            std::size_t e = value.find(';', v);
            val = std::string(trim(value.substr(v, e == std::string_view::npos ? std::string_view::npos : e - v)));
            i = e;
        }
        if (attr == param) {
            if (!have_plain) plain = val;
            have_plain = true;
            (void)quoted;
        } else if (starts_with(attr, param) && attr.size() > param.size() && attr[param.size()] == '*') {
            std::string_view tail = std::string_view(attr).substr(param.size() + 1);
            if (tail.empty()) {
                ext = ext_value(val, true);
                have_ext = true;
            } else {
                bool encoded = tail.back() == '*';
                if (encoded) tail.remove_suffix(1);
                char* endp = nullptr;
                std::string num(tail);
                long n = std::strtol(num.c_str(), &endp, 10);
                if (!num.empty() && endp && *endp == 0 && n >= 0 && n < 1000)
                    segs.emplace_back(static_cast<int>(n), encoded ? "*" + val : "=" + val);
            }
        }
    }
    if (!segs.empty()) {
        // Sort by segment number; the charset prefix belongs to segment 0.
        std::sort(segs.begin(), segs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        std::string bytes, charset;
        bool any_enc = false;
        for (std::size_t k = 0; k < segs.size(); k++) {
            std::string_view sv = segs[k].second;
            bool enc = sv[0] == '*';
            sv.remove_prefix(1);
            if (enc) {
                any_enc = true;
                if (segs[k].first == 0) {
                    std::size_t a = sv.find('\'');
                    std::size_t b = a == std::string_view::npos ? a : sv.find('\'', a + 1);
                    if (b != std::string_view::npos) {
                        charset = std::string(sv.substr(0, a));
                        sv = sv.substr(b + 1);
                    }
                }
                bytes += pct_decode(sv);
            } else {
                bytes += sv;
            }
        }
        return any_enc ? to_utf8(bytes, charset) : bytes;
    }
    if (have_ext) return ext;
    return plain;
}

MimeHeader mime_parse_header(std::string_view head, bool digest_child) {
    MimeHeader h;
    std::string ct = mime_header_value(head, "content-type");
    std::string_view t = trim(std::string_view(ct).substr(0, ct.find(';')));
    if (t.find('/') != std::string_view::npos && t.find_first_of(" \t\"") == std::string_view::npos) {
        h.type = lower(t);
        h.has_type = true;
    } else if (digest_child) {
        h.type = "message/rfc822";
    }
    if (!ct.empty()) {
        h.charset = lower(trim(mime_param(ct, "charset")));
        h.boundary = mime_param(ct, "boundary");
        h.start = id_unbracket(mime_param(ct, "start"));
    }
    std::string cte = mime_header_value(head, "content-transfer-encoding", 200);
    h.encoding = lower(trim(std::string_view(cte).substr(0, cte.find_first_of(" \t;("))));
    std::string cd = mime_header_value(head, "content-disposition");
    h.disposition = lower(trim(std::string_view(cd).substr(0, cd.find(';'))));
    std::string name = cd.empty() ? std::string() : mime_param(cd, "filename");
    if (name.empty() && !ct.empty()) name = mime_param(ct, "name");
    h.name = utf8_cut(rfc1522s(name), 511);
    h.content_id = id_unbracket(mime_header_value(head, "content-id", 1000));
    h.description = utf8_cut(rfc1522s(mime_header_value(head, "content-description", 1000)), 511);
    return h;
}

// ---- the structure ---------------------------------------------------------

int MimeTree::by_number(int number) const {
    for (std::size_t i = 0; i < parts.size(); i++)
        if (parts[i].number == number) return static_cast<int>(i);
    return -1;
}

namespace {

struct Parser {
    std::string_view msg;
    MimeTree& tree;
    struct Open {
        int idx;
        std::string delim;   // "--boundary"
    };
    std::vector<Open> stack;
    std::vector<std::size_t> head_start, body_start, body_end;
    std::vector<bool> ended;
    int counter = 0;
    enum State { HEAD, BODY, EPILOGUE } state = HEAD;
    int cur = 0;

    Parser(std::string_view m, MimeTree& t) : msg(m), tree(t) {}

    int add_part(int parent, int number, std::size_t hs) {
        MimePart p;
        p.number = number;
        p.parent = parent;
        p.depth = parent < 0 ? 0 : tree.parts[static_cast<std::size_t>(parent)].depth + 1;
        tree.parts.push_back(std::move(p));
        head_start.push_back(hs);
        body_start.push_back(hs);
        body_end.push_back(msg.size());
        ended.push_back(false);
        int idx = static_cast<int>(tree.parts.size()) - 1;
        if (parent >= 0) tree.parts[static_cast<std::size_t>(parent)].children.push_back(idx);
        return idx;
    }

    // The header of cur ends: the body starts at bs.
    void end_head(std::size_t he, std::size_t bs) {
        auto& p = tree.parts[static_cast<std::size_t>(cur)];
        std::size_t hs = head_start[static_cast<std::size_t>(cur)];
        p.head = msg.substr(hs, he > hs ? he - hs : 0);
        body_start[static_cast<std::size_t>(cur)] = bs;
        bool digest_child = false;
        if (p.parent >= 0) digest_child = tree.parts[static_cast<std::size_t>(p.parent)].h.type == "multipart/digest";
        p.h = mime_parse_header(p.head, digest_child);
        state = BODY;
        bool room = p.depth < kMaxMimeDepth && static_cast<int>(tree.parts.size()) < kMaxMimeParts;
        if (starts_with(p.h.type, "multipart/") && !p.h.boundary.empty()) {
            if (room) {
                stack.push_back(Open{cur, "--" + p.h.boundary});
            } else {
                tree.limited = true;
            }
        } else if ((p.h.type == "message/rfc822" || p.h.type == "message/global") &&
                   p.h.encoding != "base64" && p.h.encoding != "quoted-printable") {
            if (room) {
                cur = add_part(cur, -1, bs);
                state = HEAD;
            } else {
                tree.limited = true;
            }
        }
    }

    // Line break before offset ls (the delimiter's line start) belongs to
    // the delimiter.
    std::size_t before_break(std::size_t ls, std::size_t floor) const {
        std::size_t e = ls;
        if (e > floor && msg[e - 1] == '\n') e--;
        if (e > floor && msg[e - 1] == '\r') e--;
        return e;
    }

    // Ends cur and its ancestors up to (not including) part stop at e.
    void end_chain(int stop, std::size_t e) {
        for (int k = cur; k >= 0 && k != stop; k = tree.parts[static_cast<std::size_t>(k)].parent) {
            auto ku = static_cast<std::size_t>(k);
            if (ended[ku]) continue;
            if (state == HEAD && k == cur) {
                // A part cut off inside its header: what was read is header.
                tree.parts[ku].head = msg.substr(head_start[ku], e > head_start[ku] ? e - head_start[ku] : 0);
                tree.parts[ku].h = mime_parse_header(tree.parts[ku].head, false);
                body_start[ku] = e;
            }
            body_end[ku] = e < body_start[ku] ? body_start[ku] : e;
            ended[ku] = true;
        }
    }

    // Answers the stack level whose boundary the line is, or -1; close is
    // set for a closing delimiter.
    int match(std::string_view line, bool& close) const {
        for (int k = static_cast<int>(stack.size()) - 1; k >= 0; k--) {
            const std::string& d = stack[static_cast<std::size_t>(k)].delim;
            if (!starts_with(line, d)) continue;
            std::string_view rest = line.substr(d.size());
            if (starts_with(rest, "--")) {
                close = true;
                return k;
            }
            if (rest.find_first_not_of(" \t") == std::string_view::npos) {
                close = false;
                return k;
            }
        }
        return -1;
    }

    void delimiter(int k, bool close, std::size_t ls, std::size_t next) {
        int mp = stack[static_cast<std::size_t>(k)].idx;
        end_chain(mp, before_break(ls, 0));
        for (std::size_t j = stack.size(); j-- > static_cast<std::size_t>(k) + 1;) {
            tree.parts[static_cast<std::size_t>(stack[j].idx)].truncated = true;
        }
        stack.resize(static_cast<std::size_t>(k) + 1);
        if (close) {
            auto mu = static_cast<std::size_t>(mp);
            body_end[mu] = next;
            ended[mu] = true;
            stack.pop_back();
            cur = mp;
            state = EPILOGUE;
            return;
        }
        cur = add_part(mp, ++counter, next);
        state = HEAD;
    }

    void run() {
        tree.parts.clear();
        tree.limited = false;
        cur = add_part(-1, 0, 0);
        std::size_t i = 0;
        bool first_head_line = true;
        while (i < msg.size()) {
            std::size_t e = msg.find('\n', i);
            std::size_t next = e == std::string_view::npos ? msg.size() : e + 1;
            std::size_t end = e == std::string_view::npos ? msg.size() : e;
            if (end > i && msg[end - 1] == '\r') end--;
            std::string_view line = msg.substr(i, end - i);
            bool close = false;
            int k = -1;
            if (!stack.empty() && line.size() >= 2 && line[0] == '-' && line[1] == '-') k = match(line, close);
            if (k >= 0 && !close && static_cast<int>(tree.parts.size()) >= kMaxMimeParts) {
                tree.limited = true;
                k = -1;
            }
            if (k >= 0) {
                delimiter(k, close, i, next);
                first_head_line = true;
                i = next;
                continue;
            }
            if (state == HEAD) {
                if (line.empty()) {
                    end_head(i, next);
                    first_head_line = true;
                } else if (looks_like_field(line) || (!first_head_line && is_blank(line[0]))) {
                    first_head_line = false;
                } else {
                    // Not a header line: the part has no (more) header, and
                    // this line is the first of its body.
                    end_head(i, i);
                    first_head_line = true;
                    if (state == HEAD) continue;   // an attached message starts here
                }
            }
            i = next;
        }
        if (state == HEAD) end_head(msg.size(), msg.size());
        end_chain(-1, msg.size());
        for (const auto& o : stack) tree.parts[static_cast<std::size_t>(o.idx)].truncated = true;
        for (std::size_t p = 0; p < tree.parts.size(); p++) {
            std::size_t bs = body_start[p] > msg.size() ? msg.size() : body_start[p];
            std::size_t be = body_end[p] < bs ? bs : body_end[p];
            tree.parts[p].body = msg.substr(bs, be - bs);
        }
    }
};

}  // namespace

void mime_parse(std::string_view msg, MimeTree& tree) {
    Parser p(msg, tree);
    p.run();
}

// ---- the part reader ---------------------------------------------------------

void part_source(std::string_view msg) {
    auto& s = st();
    s.src = msg;
    s.part_at = 0;
    s.tree_valid = false;
}

void part_rewind() { st().part_at = 0; }

bool part_line(std::string_view& line) {
    auto& s = st();
    if (s.part_at >= s.src.size()) return false;
    std::size_t e = s.src.find('\n', s.part_at);
    std::size_t next = e == std::string_view::npos ? s.src.size() : e + 1;
    std::size_t end = e == std::string_view::npos ? s.src.size() : e;
    if (end > s.part_at && s.src[end - 1] == '\r') end--;
    line = s.src.substr(s.part_at, end - s.part_at);
    s.part_at = next;
    return true;
}

const MimeTree& part_tree() {
    auto& s = st();
    if (!s.tree_valid) {
        mime_parse(s.src, s.tree);
        s.tree_valid = true;
    }
    return s.tree;
}

namespace {

bool listed(const MimePart& p) {
    if (p.number <= 0 || starts_with(p.h.type, "multipart/")) return false;
    if (starts_with(p.h.type, "message/")) return true;
    if (!p.h.name.empty() || p.h.disposition == "attachment") return true;
    return !starts_with(p.h.type, "text/");
}

std::string type_ext(std::string_view type) {
    static const char* const map[][2] = {
        {"image/jpeg", "jpg"}, {"image/png", "png"}, {"image/gif", "gif"}, {"image/webp", "webp"},
        {"application/pdf", "pdf"}, {"text/plain", "txt"}, {"text/html", "html"}, {"text/calendar", "ics"},
        {"application/zip", "zip"}, {"audio/wav", "wav"}, {"audio/x-wav", "wav"}, {"audio/mpeg", "mp3"}};
    for (const auto& m : map)
        if (type == m[0]) return m[1];
    return {};
}

}  // namespace

std::string part_display_name(const MimeTree& tree, int index) {
    if (index < 0 || index >= static_cast<int>(tree.parts.size())) return {};
    const MimePart& p = tree.parts[static_cast<std::size_t>(index)];
    if (!p.h.name.empty()) return std::string(nopath(p.h.name));
    if (starts_with(p.h.type, "message/")) {
        int n = 0;
        for (int i = 0; i <= index; i++) {
            const MimePart& q = tree.parts[static_cast<std::size_t>(i)];
            if (q.number > 0 && starts_with(q.h.type, "message/")) n++;
        }
        return sfmt("message %d", n);
    }
    std::string ext = type_ext(p.h.type);
    if (!ext.empty() && p.number > 0) return sfmt("part%d.%s", p.number, ext.c_str());
    return "attachment";
}

int part_next(std::string& name, int p) {
    name.clear();
    const MimeTree& t = part_tree();
    for (std::size_t i = 0; i < t.parts.size(); i++) {
        const MimePart& q = t.parts[i];
        if (q.number > p && listed(q)) {
            name = part_display_name(t, static_cast<int>(i));
            return q.number;
        }
    }
    return -1;
}


int part_find(std::string_view id) {
    std::string want = id_unbracket(id);
    if (log_has("mime")) imsg("part find\n");
    if (want.empty()) return -1;
    const MimeTree& t = part_tree();
    for (const auto& q : t.parts) {
        if (q.number > 0 && q.h.content_id == want) {
            if (log_has("mime")) imsg("part found %d\n", q.number);
            return q.number;
        }
    }
    if (log_has("mime")) imsg("part not found \n");
    return -1;
}

// ---- names -----------------------------------------------------------------

std::string id_unbracket(std::string_view text) {
    std::string_view t = trim(text);
    if (!t.empty() && t[0] == '<') {
        t.remove_prefix(1);
        std::size_t e = t.find('>');
        if (e != std::string_view::npos) t = t.substr(0, e);
    }
    return std::string(t);
}

std::string nice_fname(std::string_view name) {
    std::string out;
    for (char c : name) {
        if (out.size() >= 511) break;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
            c == '-' || c == '.')
            out += c;
    }
    if (out.find_first_not_of('.') == std::string::npos) return "attach";
    return out;
}

void mime_reset() {
    auto& s = st();
    s.bound.clear();
    s.endbound = false;
    s.warned_full = false;
    s.src = {};
    s.part_at = 0;
    s.tree_valid = false;
    s.tree = MimeTree{};
}
