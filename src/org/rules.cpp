// Filter rules at fetch time.  Each newly fetched inbox message is checked
// against the rules in number order; a match moves, copies, forwards or
// deletes it.  Mail kept on the server comes back as new after the cache
// is cleaned, so the messages the rules acted on are remembered by server,
// user and UIDL and never handled twice.
#include "org/rules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <set>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "net/pop.h"
#include "org/rule_fwd.h"
#include "page/encode.h"
#include "page/var.h"
#include "send/addr.h"
#include "store/folders.h"
#include "store/index.h"
#include "store/msgfile.h"
#include "support/file.h"
#include "support/str.h"
#include "user/paths.h"
#include "user/profile.h"

namespace {

struct RuleState {
    std::vector<std::string> actions{"(No action)", "Move", "Copy", "Forward", "Delete"};
    std::vector<std::string> headers{"(No Rule)", "From", "Subject", "To", "Body", "Sender", "CC"};
    std::string log;
    bool done_loaded = false;
    std::string done_user;
    std::deque<std::string> done_order;
    std::set<std::string> done;
};

RuleState& rst() {
    static RuleState s;
    return s;
}

std::size_t us(int i) { return static_cast<std::size_t>(i); }

// The record field a header name compares with; -1 for none.
int header_field(const std::string& name) {
    static const struct { const char* name; int field; } kMap[] = {
        {"From", H_FROM}, {"Subject", H_SUBJECT}, {"To", H_TO}, {"Sender", H_SENDER}, {"CC", H_CC}};
    for (const auto& m : kMap)
        if (name == m.name) return m.field;
    return -1;
}

enum Act { A_NONE, A_MOVE, A_COPY, A_FWD, A_DEL };

Act action_of(const std::string& name) {
    const auto& a = rst().actions;
    for (std::size_t i = 1; i < a.size(); ++i)
        if (name == a[i]) return static_cast<Act>(i);
    return A_NONE;
}

// ---- Messages the rules have handled ----

std::string done_path() { return user_fname("rules_done.dat"); }

std::string done_key(const Record& r) {
    if (r[H_UIDL].empty()) return {};
    return r[H_POPHOST] + "\t" + r[H_POPUSER] + "\t" + r[H_UIDL];
}

void done_load() {
    RuleState& s = rst();
    if (s.done_loaded && s.done_user == prof.xuser) return;
    s.done_loaded = true;
    s.done_user = prof.xuser;
    s.done.clear();
    s.done_order.clear();
    std::ifstream in(done_path());
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || s.done.count(line)) continue;
        s.done.insert(line);
        s.done_order.push_back(line);
    }
}

void done_remember(const std::string& key) {
    RuleState& s = rst();
    if (key.empty() || s.done.count(key)) return;
    s.done.insert(key);
    s.done_order.push_back(key);
    std::string path = done_path();
    if (s.done_order.size() <= kRulesDoneMax) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd < 0) {
            emsg("Rules: cannot record handled message in %s: %s\n", path.c_str(), std::strerror(errno));
            return;
        }
        std::string line = key + "\n";
        if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            emsg("Rules: short write to %s\n", path.c_str());
        ::close(fd);
        return;
    }
    // Over the bound: keep the newest half, written new and renamed over.
    while (s.done_order.size() > kRulesDoneMax / 2) {
        s.done.erase(s.done_order.front());
        s.done_order.pop_front();
    }
    std::string text;
    for (const std::string& k : s.done_order) text += k + '\n';
    if (!file_replace(path, text)) emsg("Rules: cannot rewrite %s\n", path.c_str());
}

// ---- Actions ----

// Subject and sender of a record, escaped for the page (they come from mail).
std::string subj(const Record& r) { return value_encode(r[H_SUBJECT]); }
std::string from(const Record& r) { return value_encode(r[H_FROM]); }

void act_log(const char* fmt, const Record& r, const std::string& where, const std::string& text) {
    rule_err(sfmt(lang_get(fmt), subj(r).c_str(), from(r).c_str(), value_encode(where).c_str(), value_encode(text).c_str()));
}

long file_size(const std::string& path) {
    struct stat sb;
    return stat(path.c_str(), &sb) == 0 ? static_cast<long>(sb.st_size) : 0;
}

// Takes the record out of the inbox: its server copy first when asked and
// one remains there (a message that cannot be deleted there stays), then
// the message file and the record.  1 when gone.
int inbox_drop(int pos, bool from_server) {
    Record* r = fld_getrec(pos);
    if (!r) return 0;
    if (from_server && starts_with((*r)[H_REMOTE], "1")) {
        if (!r_delpop(pos)) {
            rule_err(lang_get("Could not delete the message on the server; it stays in the inbox\n"));
            return 0;
        }
        r = fld_getrec(pos);
        if (!r) return 0;
    }
    std::string path = fld_item(0, std::atoi((*r)[H_ID].c_str()));
    long len = file_size(path);
    if (myremove(path) != 0 && errno != ENOENT) {
        emsg("Rules: cannot remove %s: %s\n", path.c_str(), std::strerror(errno));
        return 0;
    }
    prof.xdiskuse = std::max(0L, prof.xdiskuse - len);
    ++g.ui_changed;
    return fld_killrec(pos);
}

int copy_to(int pos, const std::string& folder, bool* gone) {
    int dst = fld_find(folder);
    if (dst < 0 || !fld_visible(dst)) {
        rule_err(sfmt(lang_get("copy: Could not find folder (%s)\n"), value_encode(folder).c_str()));
        return 0;
    }
    if (dst == 0) return 1;   // already in the inbox
    Record* r = fld_getrec(pos);
    int id = r ? std::atoi((*r)[H_ID].c_str()) : -1;
    std::vector<char> ok;
    fld_copy_positions({pos}, dst, ok);
    // The copy may fetch a body, which may move records: find it again.
    if (gone) *gone = fld_findid(id) < 0;
    return !ok.empty() && ok[0];
}

int do_arule_move(int& pos, const ProfileRule& rule) {
    Record rec = *fld_getrec(pos);
    act_log("Moving (%s %s) to (%s) matched (%s)\n", rec, rule.folder, rule.match);
    int id = std::atoi(rec[H_ID].c_str());
    bool gone = false;
    if (!copy_to(pos, rule.folder, &gone)) return 0;
    if (fld_find(rule.folder) == 0) return 1;
    pos = fld_findid(id);
    if (pos < 0) return 1;
    inbox_drop(pos, true);
    return 1;
}

int do_arule_copy(int& pos, const ProfileRule& rule) {
    Record rec = *fld_getrec(pos);
    act_log("Copying (%s %s) to (%s) matched (%s)\n", rec, rule.folder, rule.match);
    int id = std::atoi(rec[H_ID].c_str());
    int ok = copy_to(pos, rule.folder, nullptr);
    pos = fld_findid(id);
    return ok && pos >= 0;
}

int do_arule_fwd(int& pos, const ProfileRule& rule) {
    Record* r = fld_getrec(pos);
    Record rec = *r;
    act_log("Forwarding (%s %s) to (%s) matched (%s)\n", rec, rule.address, rule.match);
    int id = std::atoi(rec[H_ID].c_str());
    std::string target = addr_only(rule.address);
    if (target.empty() || !line_clean(rule.address)) {
        rule_err(sfmt(lang_get("Forward refused: (%s) is not an address\n"), value_encode(rule.address).c_str()));
        return 0;
    }
    if (is_own_address(target)) {
        rule_err(sfmt(lang_get("Forward refused: (%s) is your own address and would loop\n"), value_encode(target).c_str()));
        return 0;
    }
    // Mail that has been forwarded once (by this user's rules or carries
    // their own Resent-From) is never forwarded again.
    if (flag_has(rec[H_FLAGS], "rfwd,") || (!rec[H_RESENTFROM].empty() && is_own_address(addr_only(rec[H_RESENTFROM])))) {
        rule_err(lang_get("Forward skipped: this message was forwarded already\n"));
        return 1;
    }
    if (flag_has(rec[H_FLAGS], "rbody,")) {
        if (!pop_read_rbody(pos)) rule_err(lang_get("pop read of remote msg failed\n"));
        pos = fld_findid(id);
        if (pos < 0) return 0;
        fld_write(0);
        r = fld_getrec(pos);
        if (!r || flag_has((*r)[H_FLAGS], "rbody,") || flag_has((*r)[H_FLAGS], "bad,")) return 0;
    }
    if (!msg_load(0, id)) return 0;
    rule_err(lang_get("Forwarding message\n"));
    if (!rule_forward_send(target, get_reply())) {
        rule_err(lang_get("Forward failed; the message is kept\n"));
        return 0;
    }
    pos = fld_findid(id);
    if (pos >= 0) flag_add((*fld_getrec(pos))[H_FLAGS], "rfwd,");
    rule_err("Done\n");
    return 1;
}

int do_arule_del(int& pos, const ProfileRule& rule) {
    Record rec = *fld_getrec(pos);
    rule_err(sfmt(lang_get("Deleted (%s %s) matched (%s)\n"), subj(rec).c_str(), from(rec).c_str(), value_encode(rule.match).c_str()));
    bool no_trash = ini_true(K_no_trash);
    bool kept = false;
    if (!no_trash) {
        int t = trash_folder();
        std::vector<char> ok;
        if (t > 0) fld_copy_positions({pos}, t, ok);
        kept = !ok.empty() && ok[0];
    }
    int id = std::atoi(rec[H_ID].c_str());
    pos = fld_findid(id);
    if (pos < 0) return 1;
    // The server copy goes only when the trash holds the message, or the
    // user asked for no trash at all.
    inbox_drop(pos, kept || no_trash);
    pos = -1;
    return 1;
}

bool body_has(int pos, const ProfileRule& rule) {
    Record* r = fld_getrec(pos);
    if (!r) return false;
    return body_find(fld_item(0, std::atoi((*r)[H_ID].c_str())), rule.match, rule.casef) != 0;
}

}  // namespace

const std::vector<std::string>& ract_names() { return rst().actions; }
const std::vector<std::string>& rhdr_names() { return rst().headers; }

void ract_init(const char* const* names, int n) {
    rst().actions.clear();
    for (int i = 0; i < n; ++i) rst().actions.push_back(lang_get(names[i]));
}

void rhdr_init(const char* const* names, int n) {
    rst().headers.clear();
    for (int i = 0; i < n; ++i) rst().headers.push_back(names[i]);
}

void rule_err(const std::string& text) {
    std::string& log = rst().log;
    if (log.size() < kRuleLogMax) log += text.substr(0, kRuleLogMax - log.size());
    if (log_has("rules")) emsg("Rules: %s", field_text_for_log(text).c_str());
    rule_set();
}

const std::string& rule_log() { return rst().log; }

void rule_set() {
    const std::string& log = rst().log;
    if (log.empty()) return;
    // The lines are page-safe already; each line end becomes a page break.
    std::string shown;
    for (char c : std::string_view(log).substr(0, log.size() - 1)) {
        if (c == '\n') shown += g.gbr;
        else shown += c;
    }
    var_set("rule_log", shown);
}

int body_find(const std::string& path, const std::string& text, int casef) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        emsg("Failed to open %s %s\n", path.c_str(), std::strerror(errno));
        return 0;
    }
    std::string want = casef ? text : lower(text);
    char buf[512];
    int found = 0;
    while (!found && std::fgets(buf, sizeof buf, f)) {
        std::string line = casef ? std::string(buf) : lower(buf);
        found = contains(line, want);
    }
    std::fclose(f);
    return found;
}

std::vector<std::string> own_addresses() {
    std::vector<std::string> out;
    auto add = [&](const std::string& text) {
        std::string a = lower(addr_only(text));
        if (!a.empty() && std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
    };
    add(prof.xuser);
    add(prof.xdflt_reply);
    add(get_reply());
    for (const std::string& f : prof.xfrom) add(f);
    for (int i = 0; i < kPopSlots; ++i) {
        add(prof.xpop_reply[us(i)]);
        const std::string& u = prof.xpop_user[us(i)];
        if (!u.empty()) add(contains(u, "@") ? u : u + "@" + prof.xpop_name[us(i)]);
    }
    const std::string& domain = prof.xdomain.empty() ? wm_ini_get(K_domain) : prof.xdomain;
    if (!domain.empty() && !prof.xuser.empty() && !contains(prof.xuser, "@")) add(prof.xuser + "@" + domain);
    return out;
}

int is_own_address(std::string_view address) {
    std::string a = lower(addr_only(address));
    if (a.empty()) return 0;
    std::vector<std::string> own = own_addresses();
    return std::find(own.begin(), own.end(), a) != own.end();
}

int do_rules(int pos) {
    Record* r = fld_getrec(pos);
    if (!r || prof.rules.empty()) return 1;
    done_load();
    std::string key = done_key(*r);
    if (!key.empty() && rst().done.count(key)) {
        imsg("Rules: message %s handled before\n", (*r)[H_UIDL].c_str());
        return 1;
    }
    bool matched = false;
    int result = 1;
    const std::string& norule = rst().headers.empty() ? std::string() : rst().headers[0];
    int n = static_cast<int>(std::min<std::size_t>(prof.rules.size(), kMaxRules));
    for (int i = 0; i < n && pos >= 0; ++i) {
        const ProfileRule rule = prof.rules[us(i)];   // an action may reload the profile's table
        if (rule.header.empty() || rule.header == norule || rule.match.empty()) continue;
        bool hit = false;
        if (rule.header == "Body") {
            hit = body_has(pos, rule);
            if (hit) rule_err(sfmt("Body find matched (%s) \n", value_encode(rule.match).c_str()));
        } else {
            int field = header_field(rule.header);
            if (field < 0) continue;
            std::string value = ncpy((*fld_getrec(pos))[us(field)], 511), want = ncpy(rule.match, 511);
            if (!rule.casef) {
                value = lower(value);
                want = lower(want);
            }
            if (log_has("rules")) emsg("Check if (%s) contains (%s) \n", field_text_for_log(value).c_str(), field_text_for_log(want).c_str());
            hit = contains(value, want);
        }
        if (!hit) continue;
        Act act = action_of(rule.action);
        if (act == A_NONE) continue;
        matched = true;
        if (act == A_MOVE) {
            result = do_arule_move(pos, rule);
            break;
        }
        if (act == A_COPY && !do_arule_copy(pos, rule)) {
            result = 0;
            break;
        }
        if (act == A_FWD && !do_arule_fwd(pos, rule)) {
            result = 0;
            break;
        }
        if (act == A_DEL) do_arule_del(pos, rule);
    }
    if (matched) done_remember(key);
    return result;
}

void rules_reset() { rst() = RuleState{}; }
