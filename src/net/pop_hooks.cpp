#include "net/pop_hooks.h"

#include "net/sock.h"
#include "support/str.h"
#include "user/profile.h"

namespace {

// The bare address inside angle brackets, else the text trimmed, lower case.
std::string bare(const std::string& text) {
    std::size_t lt = text.find('<');
    std::size_t gt = text.find('>', lt == std::string::npos ? 0 : lt);
    std::string a = lt != std::string::npos && gt != std::string::npos ? text.substr(lt + 1, gt - lt - 1) : text;
    std::size_t b = a.find_first_not_of(" \t");
    std::size_t e = a.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : lower(a.substr(b, e - b + 1));
}

int no_parent(const Record&) { return 0; }

int sender_match(const std::vector<std::string>& list, const Record& rec) {
    std::string from = bare(rec[H_FROM]);
    if (from.empty()) return 0;
    for (const std::string& entry : list)
        if (bare(entry) == from) return 1;
    return 0;
}

int kill_it(int sk, int n) {
    tcp_printf(sk, "dele %d\r\n", n);
    if (!readok()) return 0;
    ++prof.xrejected;
    return 1;
}

int send_to_parent(Record& rec) {
    flag_add(rec[H_FLAGS], "fwd_to_parent,");
    return fld_addxov(rec);
}

int no_parent_fwd(int) { return 0; }
int no_rules(int) { return 1; }
void no_autoadd(const Record&) {}

constexpr PopHooks kDefaults{no_parent, sender_match, kill_it, send_to_parent, no_parent_fwd, no_rules, no_autoadd};

}  // namespace

PopHooks& pop_hooks() {
    static PopHooks h = kDefaults;
    return h;
}

void pop_hooks_reset() { pop_hooks() = kDefaults; }
