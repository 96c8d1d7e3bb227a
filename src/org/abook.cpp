// Address books and pick lists.  Book files are one entry a line and every
// value written to one is first made a single line, so a typed or received
// text can never add entries of its own.
#include "org/abook.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/encode.h"
#include "page/hooks.h"
#include "page/tpl.h"
#include "page/var.h"
#include "send/addr.h"
#include "send/reply.h"
#include "support/str.h"
#include "user/paths.h"
#include "user/login.h"
#include "user/profile.h"
#include "view/list.h"
#include "view/mimecodec.h"

namespace {

constexpr std::size_t kMaxRecent = 30;
constexpr std::size_t kMaxLines = 10000;
constexpr std::size_t kMaxBooks = 20;

struct Cache {
    std::map<std::string, std::string> books, groups;   // path -> text
};
Cache& cache() {
    static Cache c;
    return c;
}

std::string book_path(const std::string& name) { return user_fname(name + ".abk"); }

bool read_file(const std::string& path, std::string& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::ostringstream s;
    s << f.rdbuf();
    out = s.str();
    return true;
}

}  // namespace

std::vector<std::string> split_books(const std::string& list) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : list + ",") {
        if (c == ',' || c == '\n' || c == '\r') {
            std::string t = trim_spaces(cur);
            if (!t.empty()) out.push_back(t);
            cur.clear();
        } else {
            cur += c;
        }
    }
    return out;
}

namespace {

std::string group_path(const std::string& ref) {
    std::size_t slash = ref.find('/');
    std::string user = ref.substr(0, slash), book = ref.substr(slash + 1);
    if (book.rfind("public_", 0) == 0) book = book.substr(7);
    std::string dir = user_dir_of(user);
    // The owner's part of the path has its dots made "_", as a flattened
    // user name has them; the work area's own directories stay as they are,
    // or a work area such as "/srv/mail.d" could never reach a group book.
    const std::string root = file_work("");
    std::size_t from = dir.compare(0, root.size(), root) == 0 ? root.size() : 0;
    std::replace(dir.begin() + static_cast<std::ptrdiff_t>(from), dir.end(), '.', '_');
    return dir + "/public_" + book + ".abk";
}

// Lines of a book text.
template <class F>
void each_line(std::string_view text, F fn) {
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t e = text.find('\n', at);
        std::string_view l = text.substr(at, e == std::string_view::npos ? std::string_view::npos : e - at);
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        if (!fn(l.substr(0, 511))) return;
        at = e == std::string_view::npos ? text.size() : e + 1;
    }
}

std::string_view trim_bt(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::optional<std::string> find_in(std::string_view text, std::string_view name) {
    std::optional<std::string> hit;
    each_line(text, [&](std::string_view l) {
        std::size_t eq = l.find('=');
        if (eq == std::string_view::npos || trim_bt(l.substr(0, eq)) != name) return true;
        // A stray CR or other control byte inside a line (a book edited by
        // hand) must not reach the recipient list.
        hit = std::string(trim_bt(one_line(trim_bt(l.substr(eq + 1)), 511)));
        return false;
    });
    return hit;
}

std::string option(const std::string& value, const std::string& text) {
    return "</option>\n<option value=\"" + html_escape(value) + "\">" + html_escape(text);
}

// Entries of one book as options, until the budget is spent.
void book_options(std::string_view text, std::string& out, long& budget) {
    each_line(text, [&](std::string_view l) {
        if (budget <= 0) return false;
        if (trim_bt(l).empty()) return true;
        std::size_t eq = l.find('=');
        std::string name, value;
        if (eq != std::string_view::npos) {
            name = std::string(trim_bt(l.substr(0, eq)));
            std::string rest(trim_bt(l.substr(eq + 1)));
            // A group stays a name so that sending expands it.
            value = rest.find(',') != std::string::npos ? name : rest;
        } else {
            name = value = std::string(trim_bt(l));
        }
        out += option(one_line(value, 511), one_line(name, 40));
        --budget;
        return true;
    });
}

long pick_budget() {
    long n = std::atol(wm_ini_get(K_pick_abook_max).c_str());
    return n > 0 ? n : 256;
}

std::string list_start() {
    std::string none = lang_get("(none)");
    return wm_ini_get(K_separator).empty() ? "<option>" + none : none;
}

std::string recent_options() {
    std::vector<std::string> r = prof.xfrom;
    if (!prof.xnosortpick) std::sort(r.begin(), r.end());
    std::string out;
    for (const std::string& a : r) {
        std::string dec = one_line(rfc1522s(a), 511);
        out += option(dec, one_line(h_from_trim(dec), 40));
    }
    return out;
}

std::optional<std::string> lookup_for_send(std::string_view name) { return abook_find(name); }

// Addresses of sent mail, by the user's two collection switches.
void collect_sent(std::string_view address) {
    if (prof.xautoadd) user_addfrom(true, address);
    if (prof.xautoadda) user_addfroma(address);
}

}  // namespace

void abook_install() {
    fix_local_set_lookup(lookup_for_send);
    send_set_collector(collect_sent);
}

bool abook_name_ok(std::string_view name) {
    if (name.empty() || name.size() > 100) return false;
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) || c == '_' || c == '-' || c == '%' || c == '@')) return false;
    }
    return true;
}

std::string abook_text(const std::string& name) {
    if (!abook_name_ok(name)) {
        f_error(lang_get("Invalid address book name %s"), html_escape(name).c_str());
        return "";
    }
    std::string path = book_path(name);
    Cache& c = cache();
    if (auto it = c.books.find(path); it != c.books.end()) return it->second;
    if (c.books.size() >= kMaxBooks) {
        emsg("Too many address books\n");
        return "";
    }
    std::string text;
    if (!read_file(path, text)) {
        std::ofstream f(path, std::ios::binary | std::ios::app);
        if (!f) emsg("Can't open new address book %s\n", html_escape(name).c_str());
    }
    c.books[path] = text;
    return text;
}

std::string gaddr_book(const std::string& ref) {
    std::size_t slash = ref.find('/');
    if (slash == std::string::npos || slash + 1 >= ref.size()) return "";
    std::string user = ref.substr(0, slash), book = ref.substr(slash + 1);
    if (user.find("..") != std::string::npos || user.find('/') != std::string::npos ||
        !abook_name_ok(book.rfind("public_", 0) == 0 ? book.substr(7) : book))
        return "";
    std::string path = group_path(ref);
    Cache& c = cache();
    if (auto it = c.groups.find(path); it != c.groups.end()) return it->second;
    if (c.groups.size() >= kMaxBooks) {
        emsg("Too many group address books\n");
        return "";
    }
    std::string text;
    if (!read_file(path, text)) imsg("Can't open group address book %s\n", path.c_str());
    c.groups[path] = text;
    return text;
}

std::string gaddr_book_check(const std::string& list) {
    for (const std::string& ref : split_books(list)) {
        std::size_t slash = ref.find('/');
        if (slash == std::string::npos) return sfmt(lang_get("No / in %s"), ref.c_str());
        if (slash + 1 >= ref.size()) return sfmt(lang_get("Invalid group address book name: %s"), ref.c_str());
        std::string book = ref.substr(slash + 1);
        if (!abook_name_ok(book.rfind("public_", 0) == 0 ? book.substr(7) : book) ||
            ref.find("..") != std::string::npos)
            return sfmt(lang_get("Invalid group address book name: %s"), ref.c_str());
        std::ifstream f(group_path(ref));
        if (!f) {
            imsg("Can't open group address book %s\n", group_path(ref).c_str());
            return group_path(ref);
        }
    }
    return "";
}

std::optional<std::string> abook_find(std::string_view raw) {
    std::string_view name = trim_bt(raw);
    if (name.empty()) return std::nullopt;
    for (const std::string& b : split_books(prof.xaddr_books))
        if (auto v = find_in(abook_text(b), name); v && !v->empty()) return v;
    for (const std::string& g : split_books(prof.xgaddr_books))
        if (auto v = find_in(gaddr_book(g), name); v && !v->empty()) return v;
    return std::nullopt;
}

bool addr_book_sort(std::string_view text, std::string& out) {
    std::vector<std::string> lines;
    bool too_many = false;
    each_line(text, [&](std::string_view l) {
        std::string t = one_line(l, 511);
        if (trim_bt(t).empty()) return true;
        if (lines.size() >= kMaxLines) {
            too_many = true;
            return false;
        }
        lines.push_back(t);
        return true;
    });
    if (too_many) return false;
    if (!prof.xnosortaddr)
        std::stable_sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
            return lower(a) < lower(b);
        });
    out.clear();
    for (const std::string& l : lines) out += l + "\n";
    return true;
}

bool addr_book_write(const std::string& name, std::string_view text) {
    if (!abook_name_ok(name)) {
        f_error(lang_get("Invalid address book name %s"), html_escape(name).c_str());
        return false;
    }
    std::string sorted;
    if (!addr_book_sort(text, sorted)) {
        f_error(lang_get("The address book holds more than %d entries: nothing was saved"),
                static_cast<int>(kMaxLines));
        return false;
    }
    std::string path = book_path(name);
    if (auto it = cache().books.find(path); it != cache().books.end() && it->second == sorted) return true;
    // Written whole to a temporary, then renamed over the book.
    std::string tmp = path + ".new";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f) {
            emsg("Can't open address book for write %s\n", html_escape(name).c_str());
            return false;
        }
        f << sorted;
        if (!f.flush()) {
            emsg("Write failed on address book %d\n", static_cast<int>(sorted.size()));
            std::remove(tmp.c_str());
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        emsg("Write failed on address book %d\n", static_cast<int>(sorted.size()));
        return false;
    }
    cache().books[path] = sorted;
    return true;
}

bool abook_del(const std::string& name) {
    if (!abook_name_ok(name)) return false;
    std::string path = book_path(name);
    cache().books.erase(path);
    if (std::remove(path.c_str()) != 0) {
        emsg("Cant delete %s\n", html_escape(name).c_str());
        return false;
    }
    return true;
}

void user_addfrom(bool changed, std::string_view text) {
    for (const std::string& piece : next_addr(text, ",")) {
        std::string t = trim_spaces(one_line(piece, 511));
        std::string bare = lower(addr_only(t));
        if (t.find('@') == std::string::npos || bare.empty()) continue;
        bool dup = false;
        for (const std::string& f : prof.xfrom) dup = dup || lower(addr_only(f)) == bare;
        if (dup) continue;
        if (prof.xfrom.size() >= kMaxRecent) prof.xfrom.erase(prof.xfrom.begin());
        prof.xfrom.push_back(t);
        if (changed) ++g.ui_changed;
    }
}

int user_addfroma(std::string_view text) {
    if (prof.xadd_book.empty()) return 0;
    if (!abook_name_ok(prof.xadd_book)) {
        f_error(lang_get("Invalid address book name %s"), html_escape(prof.xadd_book).c_str());
        return 0;
    }
    std::string book = abook_text(prof.xadd_book);
    std::string add;
    int n = 0;
    for (const std::string& piece : next_addr(text, ",")) {
        std::string t = trim_spaces(one_line(piece, 511));
        std::string bare = addr_only(t);
        // Only a real single address is collected; "=" would read as a
        // named entry when the book is next read.
        if (!addr_sane(bare) || bare.find('=') != std::string::npos ||
            lower(book + add).find(lower(bare)) != std::string::npos)
            continue;
        // A received display name holding "=" would read as a named entry:
        // such a text is kept as its bare address.
        add += (t.find('=') != std::string::npos ? bare : t) + "\n";
        ++n;
    }
    if (n == 0) return 0;
    std::string path = book_path(prof.xadd_book);
    std::ofstream f(path, std::ios::binary | std::ios::app);
    if (!f) {
        imsg("Can't open address book %s for append\n", path.c_str());
        return 0;
    }
    if (!book.empty() && book.back() != '\n') f << '\n';
    f << add;
    cache().books.erase(path);
    return n;
}

std::string user_picklist() {
    std::string out = list_start();
    if (!ini_true(K_no_pick_in_tolist)) out += recent_options();
    if (const std::string& help = wm_ini_get(K_helpemail); !help.empty()) out += option(help, h_from_trim(help));
    long budget = pick_budget();
    std::vector<std::string> books =
        prof.xabo.empty() ? split_books(prof.xaddr_books) : std::vector<std::string>{prof.xabo};
    for (const std::string& b : books) book_options(abook_text(b), out, budget);
    std::vector<std::string> groups = split_books(prof.xgaddr_books);
    if (!groups.empty()) {
        out += "</option>\n<option value=\"\">--public--";
        for (const std::string& gr : groups) book_options(gaddr_book(gr), out, budget);
    }
    return out;
}

std::string topick() { return list_start() + recent_options(); }

void user_editlist() {
    std::string t;
    for (const std::string& a : prof.xfrom) t += one_line(rfc1522s(a), 511) + "\n";
    var_set("toedit", html_escape(t));
    var_set("autoadd", prof.xautoadd ? "checked" : "");
    var_set("autoadda", prof.xautoadda ? "checked" : "");
}

void abooks_picklist() {
    std::vector<std::string> books = split_books(prof.xaddr_books);
    if (books.empty()) return;
    std::string a = list_start(), b = list_start();
    for (const std::string& n : books) {
        std::string e = html_escape(n.substr(0, 90));
        a += (n == prof.xabo ? "</option>\n<option selected value=\"" : "</option>\n<option value=\"") + e + "\">" + e;
        b += (n == prof.xadd_book ? "</option>\n<option selected value=\"" : "</option>\n<option value=\"") + e +
             "\">" + e;
    }
    var_set("addr_books", a);
    var_set("addr_booksa", b);
    if (!prof.xabo.empty()) var_set("abook_only", html_escape(prof.xabo));
}

void abook_reset() { cache() = Cache{}; }

// The book being edited, as the page's text area shows it.
std::string addr_book(const std::string& abook_edit) { return html_escape(abook_text(abook_edit)); }
