// Feeds arbitrary text to the parsers of the forward list and of the address
// books: the input is cut at NUL bytes into a forward list, a personal book,
// a group book, recipients for the recent list and text to collect.  The
// first byte picks the sorting switches and a small pick budget.  Nothing may
// crash, and:
//  - a forward list that parses writes back ("n,n,") to the same numbers;
//  - a saved book reads back as written, sorted again it does not change;
//  - every option of the pick lists is one well-formed element whose value
//    and text hold nothing that could end the attribute or the element;
//  - entry lookups give one-line values;
//  - the recent list keeps at most 30 distinct addresses;
//  - collecting addresses into a book never adds a named entry.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "org/abook.h"
#include "send/addr.h"
#include "send/forward.h"
#include "support/str.h"
#include "user/paths.h"
#include "user/profile.h"
#include "subsystems.h"

namespace {

std::vector<std::string> pieces(const uint8_t* data, size_t size, size_t n) {
    std::vector<std::string> out(n);
    size_t k = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && k + 1 < n) ++k;
        else out[k] += static_cast<char>(data[i]);
    }
    return out;
}

std::string slurp(const std::string& path) {
    std::string s;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

void spit(const std::string& path, const std::string& text) {
    make_parent_dirs(path);
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

std::vector<std::string> lines_of(std::string_view text) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t e = text.find('\n', at);
        if (e == std::string_view::npos) e = text.size();
        out.emplace_back(text.substr(at, e - at));
        at = e + 1;
    }
    return out;
}

bool clean(std::string_view s) { return s.find_first_of("\r\n") == std::string_view::npos; }

void check_forward_list(const std::string& list) {
    std::vector<int> nums;
    if (!fwd_list_parse(list, nums)) return;
    if (list.size() > 511 || nums.size() > 1000) std::abort();
    std::string again;
    for (int n : nums) {
        if (n < 0) std::abort();
        again += std::to_string(n) + ",";
    }
    std::vector<int> back;
    if (!fwd_list_parse(again, back) || back != nums) std::abort();
}

// "<option>(none)" then "</option>\n<option value=\"V\">T" per entry; the
// number of options.
long check_options(const std::string& list) {
    const std::string start = std::string("<option>") + lang_get("(none)");
    if (list.compare(0, start.size(), start) != 0) std::abort();
    const std::string sep = "</option>\n<option value=\"";
    long n = 0;
    std::size_t at = start.size();
    while (at < list.size()) {
        if (list.compare(at, sep.size(), sep) != 0) std::abort();
        at += sep.size();
        std::size_t q = list.find("\">", at);
        if (q == std::string::npos) std::abort();
        std::string_view value(list.data() + at, q - at);
        std::size_t next = list.find("</option>", q);
        if (next == std::string::npos) next = list.size();
        std::string_view text(list.data() + q + 2, next - q - 2);
        for (std::string_view part : {value, text})
            if (part.find_first_of("<>\"\r\n") != std::string_view::npos) std::abort();
        at = next;
        ++n;
    }
    return n;
}

std::size_t named_entries(const std::string& text) {
    std::size_t n = 0;
    for (const std::string& l : lines_of(text)) n += l.find('=') != std::string::npos;
    return n;
}

std::size_t filled_lines(const std::string& text) {
    std::size_t n = 0;
    for (const std::string& l : lines_of(text)) n += !l.empty();
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string dir = [] {
        char tmpl[] = "/tmp/lkfuzz_abkXXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    if (size == 0) return 0;
    const uint8_t opts = data[0];
    std::vector<std::string> in = pieces(data + 1, size - 1, 5);
    const std::string &fwd = in[0], &book = in[1], &group = in[2], &recent = in[3], &collect = in[4];

    subsystems_reset();
    diag_end_pre_ini();
    lang_english();
    g.log_file = "/dev/null";
    ini_set(K_workarea, dir);
    ini_set(K_domain, "example.test");
    const long budget = (opts & 4) ? 3 : 256;
    if (opts & 4) ini_set(K_pick_abook_max, "3");
    prof.xuser = "fuzz";
    prof.xnosortaddr = opts & 1;
    prof.xnosortpick = (opts >> 1) & 1;

    check_forward_list(fwd);

    // The user's own book, saved through the writer.
    const std::string path = user_fname("fz.abk");
    make_parent_dirs(path);
    std::remove(path.c_str());
    prof.xaddr_books = "fz";
    std::string written;
    if (addr_book_write("fz", book)) {
        written = slurp(path);
        std::string sorted;
        if (!addr_book_sort(written, sorted) || sorted != written) std::abort();
        for (const std::string& l : lines_of(written))
            if (l.empty() || l.size() > 511) std::abort();
        if (!written.empty() && written.back() != '\n') std::abort();
    }

    // Another user's group book, as that user left it (any bytes at all).
    spit(user_dir_of("grp") + "/public_team.abk", group);
    prof.xgaddr_books = (opts & 8) ? "grp/public_team" : "grp/team";
    if (!gaddr_book_check(prof.xgaddr_books).empty()) std::abort();
    gaddr_book_check(recent);

    user_addfrom(true, recent);
    if (prof.xfrom.size() > 30) std::abort();
    for (std::size_t i = 0; i < prof.xfrom.size(); ++i) {
        const std::string& a = prof.xfrom[i];
        if (a.find('@') == std::string::npos || !clean(a)) std::abort();
        for (std::size_t k = 0; k < i; ++k)
            if (lower(addr_only(prof.xfrom[k])) == lower(addr_only(a))) std::abort();
    }

    const long recent_n = static_cast<long>(prof.xfrom.size());
    if (check_options(topick()) != recent_n) std::abort();
    // The recent entries, the book entries within the budget, and the
    // "--public--" divider.
    if (check_options(user_picklist()) > recent_n + budget + 1) std::abort();

    for (const std::string& l : lines_of(written + group)) {
        std::size_t eq = l.find('=');
        if (eq == std::string::npos) continue;
        if (auto v = abook_find(l.substr(0, eq)); v && !clean(*v)) std::abort();
    }
    if (auto v = abook_find(collect); v && !clean(*v)) std::abort();

    // Collection appends plain addresses only.
    prof.xadd_book = "fz";
    const std::string before = slurp(path);
    int added = user_addfroma(collect);
    const std::string after = slurp(path);
    if (named_entries(after) != named_entries(before)) std::abort();
    if (filled_lines(after) != filled_lines(before) + static_cast<std::size_t>(added)) std::abort();
    return 0;
}
