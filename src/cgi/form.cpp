// Decoding of the CGI request into the query and form stores.  Every byte
// here comes from the browser, so nothing trusts a length it did not count:
// CONTENT_LENGTH only bounds how much is read, the stream's end stops it
// early, and every stored text has a fixed upper size.
#include "cgi/form.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "cgi/commands.h"
#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "support/escape.h"
#include "support/str.h"

namespace {

constexpr std::size_t kMaxQuery = 2048;       // longer queries are refused
constexpr std::size_t kQueryCopy = 9999;
constexpr std::size_t kPiece = 1999;          // one name=value piece of the query
constexpr std::size_t kName = 511;
constexpr int kQueryFields = 1000;
constexpr int kFormFields = 999;
constexpr std::size_t kMimeLine = 400;
constexpr std::size_t kMimeValue = 59601;     // a text part stops growing here

// A deque, so a reference a lookup handed out stays valid when later
// fields are appended.
using Store = std::deque<std::pair<std::string, std::string>>;

struct Slot {
    std::string type, name, path;
    bool created = false;
};

struct FormState {
    Store query, form;
    Slot slots[4];
};

FormState& st() {
    static FormState s;
    return s;
}

const std::string kEmpty;

const std::string* store_find(const Store& s, std::string_view name) {
    for (const auto& e : s)
        if (e.first == name) return &e.second;
    return nullptr;
}

void cut_at_nul(std::string& s) {
    std::size_t n = s.find('\0');
    if (n != std::string::npos) s.resize(n);
}

// Stores one decoded field; a "set_" name also becomes a template variable
// under the name without the prefix, escaped as outside input.
void add_field(Store& store, int limit, std::string name, std::string value) {
    cut_at_nul(name);
    cut_at_nul(value);
    if (static_cast<int>(store.size()) >= limit) return;
    if (starts_with(name, "set_")) {
        name.erase(0, 4);
        page_set_outside(name, value);
    }
    store.emplace_back(std::move(name), std::move(value));
}

// Reads the request body: at most `left` bytes, fewer when the stream ends.
struct BodyReader {
    FILE* in;
    long left;
    int get() {
        if (left <= 0) return EOF;
        int c = std::fgetc(in);
        if (c == EOF) {
            left = 0;
            return EOF;
        }
        --left;
        return c;
    }
    int peek() {
        if (left <= 0) return EOF;
        int c = std::fgetc(in);
        if (c != EOF) std::ungetc(c, in);
        return c;
    }
    // Up to the stop character (not kept).  false when nothing was left.
    bool word(char stop, std::string& out) {
        out.clear();
        if (left <= 0) return false;
        int c;
        bool any = false;
        while ((c = get()) != EOF) {
            any = true;
            if (c == stop) break;
            out.push_back(static_cast<char>(c));
        }
        return any;
    }
    // One line of at most max bytes with its LF; a CR LF pair is never split
    // between two pieces.
    bool line(std::size_t max, std::string& out) {
        out.clear();
        int c;
        while ((c = get()) != EOF) {
            out.push_back(static_cast<char>(c));
            if (c == '\n') break;
            if (out.size() >= max) {
                if (c == '\r' && peek() == '\n') out.push_back(static_cast<char>(get()));
                break;
            }
        }
        return !out.empty();
    }
};

long content_length() {
    const char* cl = std::getenv("CONTENT_LENGTH");
    if (!cl) return -1;
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(cl, &end, 10);
    if (errno || end == cl || n < 0) return 0;
    return n;
}

bool ends_with(const std::string& s, std::string_view tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The "name=" parameter of a disposition line, not the tail of "filename=".
std::size_t find_param(const std::string& low, std::string_view param) {
    std::size_t p = 0;
    while ((p = low.find(param, p)) != std::string::npos) {
        if (p == 0 || !std::isalnum(static_cast<unsigned char>(low[p - 1]))) return p;
        ++p;
    }
    return std::string::npos;
}

struct MimeField {
    std::string name, value;
    bool isfile = false;
};

void mime_addvar(MimeField& f, int slot) {
    std::string v = f.isfile ? attach_fname(slot) + "\r\n" : f.value;
    // The line end that precedes the separator belongs to the separator.
    if (ends_with(v, "\r\n")) v.resize(v.size() - 2);
    else if (ends_with(v, "\n")) v.resize(v.size() - 1);
    if (ends_with(v, "\r\n")) v.resize(v.size() - 2);
    else if (ends_with(v, "\n") || ends_with(v, "\r")) v.resize(v.size() - 1);
    if (!f.name.empty() && form_n() < kFormFields) add_field(st().form, kFormFields, ncpy(f.name, kName), v);
    f = MimeField{};
}

}  // namespace

void plustospace(std::string& text) {
    for (char& c : text)
        if (c == '+') c = ' ';
}

void unescape_url(std::string& text) {
    text = pct_decode(text);
    cut_at_nul(text);
}

std::string url_unescape(std::string_view text) {
    std::string s(text);
    plustospace(s);
    unescape_url(s);
    return s;
}

void convert_crlf(std::string& text) {
    std::string r;
    r.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            if (i + 1 < text.size()) r.push_back(text[++i]);
            continue;
        }
        r.push_back(text[i]);
    }
    text = std::move(r);
}

int query_get() {
    FormState& s = st();
    std::string q = mygetenv("QUERY_STRING");
    if (q.empty()) q = g.cl_query;
    if (q.empty()) return 1;
    if (q.size() > kMaxQuery) return 0;
    std::size_t nf = q.find("newframe=");
    if (nf != std::string::npos) {
        std::string docmd = q.substr(0, nf);
        if (nf + 10 < q.size()) docmd += q.substr(nf + 10);
        page_set("docmd", docmd);
    }
    std::string_view all = std::string_view(q).substr(0, kQueryCopy);
    std::size_t pos = 0;
    for (;;) {
        std::size_t amp = all.find('&', pos);
        std::string_view piece = all.substr(pos, amp == std::string_view::npos ? amp : amp - pos);
        if (static_cast<int>(s.query.size()) >= kQueryFields) break;
        std::string p(piece.substr(0, kPiece));
        if (starts_with(p, "amp;")) p.erase(0, 4);
        plustospace(p);
        unescape_url(p);
        std::size_t eq = p.find('=');
        std::string name = ncpy(p.substr(0, eq), kName);
        std::string value = eq == std::string::npos ? std::string() : p.substr(eq + 1);
        std::size_t qm = name.find('?');
        if (qm != std::string::npos) name.erase(0, qm + 1);
        if (!piece.empty()) add_field(s.query, kQueryFields, std::move(name), std::move(value));
        if (amp == std::string_view::npos) break;
        pos = amp + 1;
    }
    return 1;
}

void form_get() {
    long cl = content_length();
    if (cl < 0) return;
    std::string type = ncpy(mygetenv("CONTENT_TYPE"), 511);
    bool logform = log_has("form");
    if (logform) imsg("Form content (%s)\n", type.c_str());
    if (contains(type, "multipart/form-data")) {
        form_get_mime(type);
        return;
    }
    BodyReader in{g.mystdin ? g.mystdin : stdin, cl};
    std::string piece;
    while (in.left > 0) {
        if (form_n() >= kFormFields) {
            imsg("Too many entries in form ignoring rest");
            break;
        }
        if (!in.word('&', piece)) break;
        if (logform) imsg("Form {%s}", field_text_for_log(piece).c_str());
        plustospace(piece);
        std::size_t eq = piece.find('=');
        std::string name = piece.substr(0, eq);
        std::string value = eq == std::string::npos ? std::string() : piece.substr(eq + 1);
        // Names and values are decoded apart, so an encoded "=" in a value
        // cannot move the split.
        unescape_url(name);
        unescape_url(value);
        convert_crlf(value);
        if (name.empty() && value.empty()) continue;
        add_field(st().form, kFormFields, ncpy(name, kName), std::move(value));
    }
}

void form_get_mime(const std::string& content_type) {
    bool logform = log_has("form");
    std::string boundary;
    std::size_t b = content_type.find("boundary=");
    if (b != std::string::npos) boundary = get_quote(std::string_view(content_type).substr(b + 9));
    if (boundary.empty()) {
        // Only the content type: the environment holds the cookies.
        lmsg(lang_get("E9: Can't find boundary in mime contents %s"), content_type.c_str());
        boundary = "none";
    } else if (logform) {
        imsg("Got boundary (%s) \n", boundary.c_str());
    }
    const std::string sep = "--" + boundary;
    const std::string end = sep + "--";
    long cl = content_length();
    BodyReader in{g.mystdin ? g.mystdin : stdin, cl < 0 ? 0 : cl};
    bool text_stdin = ini_true(K_text_stdin);
    MimeField field;
    int slot = 0;
    bool header = false;
    std::string pending;   // line end held back from the file
    bool in_part = false;    // before the first separator, lines are preamble
    FILE* file = nullptr;
    std::string line;
    long logged = 0;
    auto close_file = [&] {
        if (file) std::fclose(file);
        file = nullptr;
    };
    while (in.line(kMimeLine, line)) {
        if (text_stdin && ends_with(line, "\r\n")) line.replace(line.size() - 2, 2, "\n");
        if (logform && logged <= 99) {
            // A password or token part shows its length only.
            bool hide = in_part && !header && field_is_secret(field.name) && !starts_with(line, sep);
            imsg("Line length %d %s", static_cast<int>(line.size()), hide ? "****" : line.c_str());
            logged += static_cast<long>(line.size());
        }
        if (starts_with(line, end)) {
            close_file();
            if (in_part) mime_addvar(field, slot);
            break;
        }
        if (starts_with(line, sep)) {
            close_file();
            bool wasfile = field.isfile;
            if (in_part) mime_addvar(field, slot);
            if (wasfile) slot = (slot + 1) % 4;
            in_part = true;
            header = true;
            pending.clear();
            logged = 0;
            if (logform) imsg("Found Boundary %s", line.c_str());
            continue;
        }
        if (!in_part) continue;
        if (header) {
            if (logform) imsg("Mime Headers %s", line.c_str());
            if (line == "\r\n" || line == "\n" || starts_with(line, "\r\r")) {
                header = false;
                continue;
            }
            std::string low = lower(line);
            if (line[0] != ' ' && line[0] != '\t') {
                std::size_t ct = low.find("content-type: ");
                if (ct != std::string::npos) {
                    std::string t = line.substr(ct + 14);
                    t.resize(std::min(t.size(), t.find_first_of(";\r\n")));
                    st().slots[slot].type = ncpy(t, 511);
                }
                if (!contains(low, "content-disposition:")) continue;
            }
            std::size_t np = find_param(low, "name=");
            if (np != std::string::npos) field.name = get_quote(std::string_view(line).substr(np + 5));
            std::size_t fp = find_param(low, "filename=");
            if (fp != std::string::npos) {
                std::string fname = get_quote(std::string_view(line).substr(fp + 9));
                cut_at_nul(fname);
                if (!fname.empty()) {
                    field.isfile = true;
                    st().slots[slot].name = ncpy(fname, 511);
                    const std::string& path = attach_fname(slot);
                    close_file();
                    file = std::fopen(path.c_str(), "wb");
                    if (!file)
                        emsg_do(1, sfmt(lang_get("Can't open temp file for attachment %s (%s)"), path.c_str(),
                                        std::strerror(errno))
                                       .c_str());
                }
            }
            continue;
        }
        if (field.isfile) {
            if (!file) continue;
            std::fwrite(pending.data(), 1, pending.size(), file);
            // Hold back a line's end until the next line of the part shows
            // it was data and not the separator's.
            pending = ends_with(line, "\r\n") ? "\r\n" : text_stdin && ends_with(line, "\n") ? "\n" : "";
            std::fwrite(line.data(), 1, line.size() - pending.size(), file);
            continue;
        }
        if (ends_with(line, "\r\r\n")) line.replace(line.size() - 3, 3, "\r\n");
        if (field.value.size() < kMimeValue) field.value += line;
    }
    close_file();
    if (logform) imsg("cl = %d\n", static_cast<int>(in.left));
}

const std::string& query_find(std::string_view name) {
    const std::string* v = nquery_find(name);
    return v ? *v : kEmpty;
}

const std::string* nquery_find(std::string_view name) { return store_find(st().query, name); }

void query_put(std::string_view name, std::string_view value) {
    for (auto& e : st().query)
        if (e.first == name) {
            e.second = std::string(value);
            return;
        }
    if (static_cast<int>(st().query.size()) < kFormFields) st().query.emplace_back(std::string(name), std::string(value));
}

int query_n() { return static_cast<int>(st().query.size()); }

bool query_get_pair(int i, std::string& name, std::string& value) {
    if (i < 0 || i >= query_n()) return false;
    name = st().query[i].first;
    value = st().query[i].second;
    return true;
}

const std::string& form_find(std::string_view name) {
    const std::string* v = nform_find(name);
    return v ? *v : kEmpty;
}

const std::string* nform_find(std::string_view name) {
    const std::string* v = store_find(st().form, name);
    return v ? v : nquery_find(name);
}

const std::string* form_findn(std::string_view prefix) {
    for (const auto& e : st().form)
        if (starts_with(e.first, prefix)) return &e.first;
    return nullptr;
}

const std::string& form_findi(std::string_view name, int n) { return form_find(std::string(name) + std::to_string(n)); }

const std::string* nform_findi(std::string_view name, int n) {
    return nform_find(std::string(name) + std::to_string(n));
}

const std::string& form_find_i(std::string_view name, int n) {
    const std::string* v = store_find(st().form, std::string(name) + std::to_string(n));
    return v ? *v : kEmpty;
}

bool form_true(std::string_view name) {
    const std::string& v = form_find(name);
    return contains(v, "on") || contains(v, "ON");
}

bool form_truei(std::string_view name, int n) { return contains(form_findi(name, n), "on"); }

static void split_lines(const std::string& v, std::vector<std::string>& out) {
    std::size_t i = 0;
    while (i < v.size()) {
        std::size_t j = v.find_first_of("\r\n", i);
        if (j == std::string::npos) j = v.size();
        if (j > i) out.push_back(v.substr(i, j - i));
        i = j + 1;
    }
}

bool form_get_list(std::string_view name, std::vector<std::string>& out) {
    out.clear();
    const std::string* v = nform_find(name);
    if (!v) return false;
    split_lines(*v, out);
    std::reverse(out.begin(), out.end());
    return true;
}

void form_find_list(std::string_view name, std::vector<std::string>& out) {
    out.clear();
    const std::string* last = nullptr;
    for (const auto& e : st().form)
        if (e.first == name) last = &e.second;
    split_lines(last ? *last : query_find(name), out);
}

void form_put(std::string_view name, std::string_view value) {
    for (auto& e : st().form)
        if (e.first == name) {
            e.second = std::string(value);
            return;
        }
    if (form_n() >= kFormFields) {
        imsg("Too many entries in form_put ignoring rest");
        return;
    }
    st().form.emplace_back(std::string(name), std::string(value));
}

int form_n() { return static_cast<int>(st().form.size()); }

bool form_get_pair(int i, std::string& name, std::string& value) {
    if (i < 0 || i >= form_n()) return false;
    name = ncpy(st().form[i].first, 511);
    value = ncpy(st().form[i].second, 511);
    return true;
}

int clear_vars() {
    const std::string* list = nform_find("clear_uvars");
    if (!list) return 0;
    const std::string& prefix = wm_ini_get(K_user_prefix);
    int n = 0;
    std::size_t i = 0;
    const std::string& v = *list;
    while (i < v.size()) {
        std::size_t j = v.find_first_of(", \t", i);
        if (j == std::string::npos) j = v.size();
        std::string word = v.substr(i, j - i);
        if (!word.empty() && starts_with(word, prefix)) {
            page_set(word, "");
            ++n;
        }
        i = j + 1;
    }
    return n;
}

static int copy_prefixed(const Store& s) {
    const std::string& prefix = wm_ini_get(K_user_prefix);
    int n = 0;
    for (const auto& e : s)
        if (starts_with(e.first, prefix)) {
            page_set_outside(e.first, e.second);
            ++n;
        }
    return n;
}

int form_user_prefix() { return copy_prefixed(st().form); }
int query_user_prefix() { return copy_prefixed(st().query); }

bool field_is_secret(std::string_view name) {
    std::string n = lower(std::string(name.substr(0, name.find('='))));
    return contains(n, "pass") || contains(n, "utok") || contains(n, "token") || n == "lkssig";
}

std::string field_text_for_log(std::string_view text) {
    std::string out;
    std::size_t i = 0;
    while (i <= text.size()) {
        std::size_t j = text.find('&', i);
        if (j == std::string_view::npos) j = text.size();
        std::string_view piece = text.substr(i, j - i);
        std::size_t eq = piece.find('=');
        if (!out.empty() || i > 0) out += '&';
        if (eq != std::string_view::npos && field_is_secret(url_unescape(piece.substr(0, eq))))
            out += std::string(piece.substr(0, eq)) + "=****";
        else
            out += piece;
        i = j + 1;
    }
    return out;
}

std::string mygetenv(const char* name) {
    const char* v = name ? std::getenv(name) : nullptr;
    return v ? v : "";
}

std::string get_quote(std::string_view text) {
    std::string_view r;
    if (!text.empty() && text[0] == '"') {
        std::string_view t = text.substr(1);
        r = t.substr(0, t.find('"'));
    } else {
        r = text.substr(0, text.find_first_of(" ;,\n\r"));
    }
    return ncpy(r, 511);
}

static int slot_index(int slot) { return slot >= 0 && slot <= 3 ? slot : 0; }

const std::string& attach_fname(int slot) {
    Slot& s = st().slots[slot_index(slot)];
    if (!s.path.empty()) return s.path;
    const std::string& area = wm_ini_get(K_temp_area);
    std::string tmpl = area.empty() ? file_work("atXXXXXX") : area + "/atXXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    int fd = mkstemp(buf.data());
    if (fd >= 0) {
        close(fd);
        s.path = buf.data();
        if (!s.created) {
            s.created = true;
            static bool registered = false;
            if (!registered) {
                registered = true;
                std::atexit(attach_cleanup);
            }
        }
    } else {
        s.path = sfmt("attach%d.tmp", slot_index(slot));
    }
    return s.path;
}

const std::string& attach_type(int slot) { return st().slots[slot_index(slot)].type; }
const std::string& attach_name(int slot) { return st().slots[slot_index(slot)].name; }

void attach_cleanup() {
    for (Slot& s : st().slots)
        if (s.created && !s.path.empty()) {
            unlink(s.path.c_str());
            s.created = false;
        }
}

void form_reset() {
    attach_cleanup();
    st() = FormState{};
}
