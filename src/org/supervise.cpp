#include "org/supervise.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "cgi/commands.h"
#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "net/pop.h"
#include "net/sock.h"
#include "page/encode.h"
#include "page/tpl.h"
#include "page/var.h"
#include "send/addr.h"
#include "send/forward.h"
#include "store/folders.h"
#include "store/index.h"
#include "store/msgfile.h"
#include "support/file.h"
#include "support/str.h"
#include "support/wild.h"
#include "user/lock.h"
#include "user/login.h"
#include "user/paths.h"
#include "user/profile.h"
#include "user/session.h"

namespace {

struct State {
    std::map<std::string, std::string> addresses;   // login -> account_address
};
State& st() {
    static State s;
    return s;
}

// Blanks and tabs off both ends.
std::string_view trim(std::string_view s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::string_view first_word(std::string_view line, std::string_view* rest = nullptr) {
    std::size_t b = line.find_first_not_of(" \t");
    if (b == std::string_view::npos) return {};
    std::size_t e = line.find_first_of(" \t", b);
    std::string_view w = line.substr(b, e == std::string_view::npos ? std::string_view::npos : e - b);
    if (rest) {
        std::size_t r = e == std::string_view::npos ? line.size() : line.find_first_not_of(" \t", e);
        *rest = r == std::string_view::npos ? std::string_view() : line.substr(r);
    }
    return w;
}

bool read_text(const std::string& path, std::string& out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out.clear();
    char buf[8192];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    std::fclose(f);
    return true;
}

// The child's user lock, held while its profile is read and replaced, so a
// request of the child's own never writes over the change (or the change
// over the child's).
class ChildLock {
public:
    explicit ChildLock(const std::string& child) : base_(user_dir_of(child) + "/user") {
        if (ini_true(K_no_locks)) {
            got_ = 1;
            return;
        }
        auto setting = [](int key) { return std::atoi((ini_isset(key) ? wm_ini_get(key) : std::string(ini_default(key))).c_str()); };
        got_ = mylock_get(base_.c_str(), "child", setting(K_lock_wait), setting(K_lock_old));
    }
    ~ChildLock() {
        if (got_ == 1 && !ini_true(K_no_locks)) mylock_free(base_.c_str());
    }
    ChildLock(const ChildLock&) = delete;
    ChildLock& operator=(const ChildLock&) = delete;
    bool ok() const { return got_ == 1; }

private:
    std::string base_;
    int got_ = 0;
};

// Which stored lines a change to a child's profile replaces.
struct ChildEdit {
    bool drop_lists = false;      // every "af:" and "rf:" line
    bool drop_parent = false;     // every "parent" line
    std::string drop_entry;       // the "af:" / "rf:" lines of this one address
    std::string append;           // whole lines to add
};

std::string apply_edit(std::string_view text, const ChildEdit& e) {
    std::string out;
    for_each_line(text, [&](std::string_view line) {
        std::string_view rest;
        std::string_view w = first_word(line, &rest);
        bool list = w == "af:" || w == "rf:";
        if ((list && e.drop_lists) || (w == "parent" && e.drop_parent)) return;
        if (list && !e.drop_entry.empty() && lc_equal(trim(rest), e.drop_entry)) return;
        out.append(line);
        out += '\n';
    });
    out += e.append;
    // The line count no longer matches the stored checksum: the child's
    // next read takes the file as it stands and its next write sums it anew.
    out += "has_checksum 0\n";
    return out;
}

// Replaces the child's profile under the child's lock; 1 done, 0 with the
// reason recorded.
int child_update(const std::string& child, const ChildEdit& e) {
    ChildLock lock(child);
    if (!lock.ok()) {
        f_error(lang_get("The account of %s is busy, try again later"), child.c_str());
        return 0;
    }
    const std::string path = user_file(child);
    std::string text;
    if (!read_text(path, text)) {
        f_error("%s", lang_get("Can't open user.dat for child - they should login first"));
        return 0;
    }
    text = apply_edit(text, e);
    const std::string tmp = user_dir_of(child) + sfmt("/user_%d.tmp", static_cast<int>(getpid()));
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        f_error("%s", lang_get("Can't open new user.dat for child"));
        return 0;
    }
    if (!write_all(fd, text)) {
        close(fd);
        unlink(tmp.c_str());
        f_error("%s", lang_get("Error writting to new child user.dat"));
        return 0;
    }
    if (close(fd) != 0) {
        unlink(tmp.c_str());
        f_error("%s", lang_get("Error closing new child user.dat"));
        return 0;
    }
    // Renamed over the old file: there is never a moment without one.
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        emsg("rename %s as %s failed", tmp.c_str(), path.c_str());
        unlink(tmp.c_str());
        f_error("%s", lang_get("Save may have failed"));
        return 0;
    }
    return 1;
}

bool same_login(std::string_view a, std::string_view b) { return !a.empty() && lc_equal(a, b); }

// 1 when the child's profile names this user as its parent.
int file_check_parent(const std::string& child) {
    std::string text;
    if (!read_text(user_file(child), text)) {
        imsg("Can't open child's user.dat %s: %s", log_safe(child).c_str(), std::strerror(errno));
        return 0;
    }
    if (text.empty()) {
        imsg("Empty child");
        return 0;
    }
    std::string parent = parent_of(text);
    if (same_login(parent, prof.xuser)) return 1;
    imsg("We (%s) are not the parent of (%s) their parent is (%s)", log_safe(prof.xuser).c_str(),
         log_safe(child).c_str(), parent.empty() ? "empty parent line" : log_safe(parent).c_str());
    return 0;
}

void add_child(const std::string& child) {
    for (const std::string& c : prof.children)
        if (lc_equal(c, child)) return;
    prof.children.push_back(child);
    ++g.ui_changed;
}

void drop_child(const std::string& child) {
    std::erase_if(prof.children, [&](const std::string& c) { return lc_equal(c, child); });
    prof.xchild_edit = prof.children.empty() ? std::string() : prof.children.front();
    ++g.ui_changed;
}

// Proof of parenthood: the child's own password, checked by a POP login.
int pop_check_parent(const std::string& child) {
    const std::string& pass = form_find("child_pass");
    if (child.empty() || pass.empty()) return 0;
    if (same_login(child, prof.xuser)) {
        f_error("%s", lang_get("An account cannot supervise itself"));
        return 0;
    }
    if (!prof.xparent.empty()) {
        f_error("%s", lang_get("Sorry children cant be parents"));
        return 0;
    }
    std::size_t at = child.find('@');
    if (std::size_t second = child.find('@', at + 1); second != std::string::npos) at = second;
    std::string user = child.substr(0, at), host = child.substr(at + 1);
    int ok = pop_open_check(user, pass, host);
    pop_close();
    if (!ok) {
        f_error(lang_get("Cannot log in as %s with that password"), child.c_str());
        return 0;
    }
    add_child(child);
    return 1;
}

// The form's list, one entry a line, as entries fit to store.
std::vector<std::string> form_entries(const char* field) {
    std::vector<std::string> lines, out;
    form_find_list(field, lines);
    for (const std::string& l : lines) {
        std::string e = typed_entry(l);
        if (e.empty()) continue;
        bool dup = false;
        for (const std::string& o : out) dup = dup || o == e;
        if (!dup) out.push_back(e);
    }
    return out;
}

// The message a request names ("fld", "item") in the loaded index; -1
// (with the error recorded) when there is none.
int named_record(int* fld, const char* missing) {
    if (!fld_take("fld", *fld) || !fld_writable()) return -1;
    int item = 0;
    if (!fld_parse_num(form_find("item"), item) || !fld_readxov(*fld)) {
        imsg("%s", missing);
        f_error("%s", lang_get(missing));
        return -1;
    }
    int pos = fld_findid(item);
    if (pos < 0) {
        imsg("%s", missing);
        f_error("%s", lang_get(missing));
    }
    return pos;
}

// Takes the message off the inbox's server (when still there) and out of
// the folder, then shows the message before it, or the list.
int remove_and_go_on(int pos) {
    int next_id = pos > 0 ? fld_get_id(pos - 1) : -1;
    fld_delete_positions({pos});
    folder_server().close();
    if (next_id >= 0 && form_find("page") != "list") {
        std::string id = std::to_string(next_id);
        form_put("item", id);
        query_put("item", id);
        return handler_run("f_item");
    }
    return handler_run("f_list");
}

// Forwards the loaded message as it stands: the sender's own From line is
// what the receiver accepts or rejects, so the forwarder's "as from me"
// choice must not replace it.
int forward_as_is(const std::string& to, const std::string& from, const std::string& resent_from, const char* flags) {
    int myfrom = prof.xv_myfrom;
    prof.xv_myfrom = 0;
    int ok = forward_msg(to, "", from, resent_from, "", "", flags);
    prof.xv_myfrom = myfrom;
    return ok;
}

// The body of an inbox message still on the server; 1 when it is here.
int body_here(int fld, int pos) {
    const Record* r = fld_getrec(pos);
    if (!r) return 0;
    if (fld != 0 || !flag_has((*r)[H_FLAGS], "rbody,")) return 1;
    if (pop_read_rbody(pos)) return 1;
    f_error("%s", lang_get("pop read of remote msg failed\n"));
    return 0;
}

}  // namespace

std::string child_name(std::string_view typed) {
    std::string s;
    for (char c : typed)
        if (static_cast<unsigned char>(c) > 32 && c != 127) s += c;
    s = ncpy(s, 255);
    if (s.empty()) return s;
    if (s.find('@') == std::string::npos) s += "@" + wm_ini_get(K_pophost);
    return s;
}

std::string typed_entry(std::string_view typed) {
    // The first word with an "@": one address, on one line.
    std::string a = addr_only(typed), word;
    for (std::size_t i = 0; i <= a.size(); ++i) {
        unsigned char u = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        if (u > 32 && u != 127 && u != ',') {
            word += static_cast<char>(std::tolower(u));
            continue;
        }
        if (word.find('@') != std::string::npos) return ncpy(word, 511);
        word.clear();
    }
    return {};
}

std::string parent_of(std::string_view text) {
    std::string parent;
    for_each_line(text, [&](std::string_view line) {
        std::string_view rest;
        if (first_word(line, &rest) != "parent") return true;
        parent = std::string(first_word(rest));
        return false;
    });
    return parent;
}

std::string strip_supervision(std::string_view text) {
    std::string out;
    for_each_line(text, [&](std::string_view line) {
        std::string_view w = first_word(line);
        if (w == "af:" || w == "rf:" || w == "parent") return;
        out.append(line);
        out += '\n';
    });
    return out;
}

std::string account_address(const std::string& login) {
    auto it = st().addresses.find(login);
    if (it != st().addresses.end()) return it->second;
    std::string text, reply;
    if (read_text(user_file(login), text))
        for_each_line(text, [&](std::string_view line) {
            std::string_view rest;
            if (first_word(line, &rest) == "dflt_reply") reply = std::string(trim(rest));
        });
    std::string a = addr_only(reply);
    if (a.empty() || !addr_sane(a)) {
        std::string ns = user_only_ns(login);
        a = ns.find('@') == std::string::npos ? ns + "@" + get_domain() : user_only(login);
    }
    st().addresses[login] = a;
    return a;
}

// Mail from the parent reaches the child directly.  Only the From address
// counts: a message whose To equals its From is not thereby the parent's,
// or any sender could pass supervision by writing its own address as To.
int isparent(const Record& rec) {
    if (prof.xparent.empty()) return 0;
    std::string from = addr_only(rec[H_FROM]);
    return !from.empty() && lc_equal(from, account_address(prof.xparent));
}

// Sender and From are matched; Reply-To is not, as a sender may set it to
// any address it wants to pass as.
int sender_match(const std::vector<std::string>& list, const Record& rec) {
    std::string addrs[2];
    int n = 0;
    for (int h : {H_SENDER, H_FROM}) {
        std::string a = ncpy(lower(addr_only(rec[static_cast<std::size_t>(h)])), 99);
        if (!a.empty()) addrs[n++] = a;
    }
    for (const std::string& entry : list) {
        std::string e = addr_only(entry);
        if (e.empty()) continue;
        for (int i = 0; i < n; ++i)
            if (list_match(e, addrs[i])) return 1;
    }
    return 0;
}

int kill_it(int sk, int n) {
    tcp_printf(sk, "dele %d\r\n", n);
    if (readok()) {
        ++prof.xrejected;
        ++g.ui_changed;
        imsg("rejected = %d, %d", prof.xrejected, n);
        return 1;
    }
    imsg("dele %d failed: %s", n, log_safe(msock().reason).c_str());
    return 0;
}

int do_parent_fwd(int pos) {
    if (prof.xparent.empty()) return 0;
    if (!body_here(0, pos)) return 0;
    const Record* r = fld_getrec(pos);
    if (!r || !msg_load(0, std::atoi((*r)[H_ID].c_str()))) return 0;
    std::string to = account_address(prof.xparent);
    imsg("Forwarding message to parent %s", log_safe(to).c_str());
    return forward_as_is(to, get_reply(), prof.xuser, "1");
}

int f_child_show() {
    if (!user_checkauth()) return 0;
    imsg("child_show");
    std::string child = prof.xchild_edit;
    if (const std::string* v = nform_find("child_edit")) child = child_name(*v);
    std::string text;
    if (child.empty()) {
        f_error("%s", lang_get("Invalid child"));
    } else if (!read_text(user_file(child), text)) {
        imsg("Can't open child's user.dat %s: %s", log_safe(child).c_str(), std::strerror(errno));
        f_error("%s", lang_get("Can't open child's user.dat try again later"));
    } else if (!same_login(parent_of(text), prof.xuser)) {
        f_error(lang_get("You are not registered as parent of %s"), child.c_str());
    } else {
        std::vector<std::string> accept, reject;
        for_each_line(text, [&](std::string_view line) {
            std::string_view rest;
            std::string_view w = first_word(line, &rest);
            std::vector<std::string>* l = w == "af:" ? &accept : w == "rf:" ? &reject : nullptr;
            std::string a = l ? std::string(trim(rest)) : std::string();
            if (a.find('@') == std::string::npos) return;
            for (const std::string& o : *l)
                if (o == a) return;
            l->push_back(a);
        });
        var_setl("ch_accept_from", accept);
        var_setl("ch_reject_from", reject);
    }
    std::string pick;
    for (const std::string& c : prof.children)
        pick += "<option value=\"" + value_encode(c) + "\"" + (lc_equal(c, child) ? " selected" : "") + ">" +
                text_encode(c) + "</option>\n";
    var_set("child_pick", pick);
    var_setl("children", prof.children);
    var_set("child_edit", value_encode(child));
    if (!prof.xparent.empty()) var_set("has_parent", "1");
    if (!form_find("newframe").empty() && g.xisframes) tpl_show("frame");
    else tpl_show("child");
    return 1;
}

int r_child(int save) { return r_childx(save, 0); }

int r_childx(int save, int release) {
    if (!user_checkauth()) return 0;
    imsg("load/save child");
    if (const std::string* v = nform_find("child_edit")) {
        prof.xchild_edit = child_name(*v);
        ++g.ui_changed;
    }
    const std::string child = prof.xchild_edit;
    if (save && !prof.xparent.empty()) {
        f_error("%s", lang_get("Sorry children cant be parents"));
        return f_child_show();
    }
    int proof = pop_check_parent(child);
    if (save) {
        if (!proof && !file_check_parent(child)) {
            f_error(lang_get("Not registered as parent of %s"), child.c_str());
            drop_child(child);
            user_write();
            return 0;
        }
        ChildEdit e;
        e.drop_lists = e.drop_parent = true;
        if (!release) {
            for (const std::string& a : form_entries("ch_accept_from")) e.append += "af: " + a + "\n";
            for (const std::string& a : form_entries("ch_reject_from")) e.append += "rf: " + a + "\n";
            e.append += "parent " + prof.xuser + "\n";
        }
        if (!child_update(child, e)) return f_child_show();
    } else if (proof && !release) {
        ChildEdit e;
        e.drop_parent = true;     // a proved parent takes the child over
        e.append = "parent " + prof.xuser + "\n";
        if (!child_update(child, e)) return f_child_show();
    }
    if (release) drop_child(child);
    ++g.ui_changed;
    user_write();
    return f_child_show();
}

int r_child_ar(int accept) {
    if (!user_checkauth()) return 0;
    int fld = 0;
    int pos = named_record(&fld, "Cant find child accept/reject item");
    if (pos < 0) return 0;
    const Record rec = *fld_getrec(pos);
    std::string sender = record_sender(rec);
    // The To address is not asked for: mail sent to the child by Bcc has
    // none, and the parent must still be able to decide about it.
    std::string child = child_name(trim(rec[H_CHILDTO]));
    if (child.empty()) child = child_name(addr_only(rec[H_RESENTFROM]));
    const char* missing = sender.empty()  ? "r_child_ar: no sender"
                          : child.empty() ? "r_child_ar: no resent-from or x-child-to"
                                          : nullptr;
    if (missing) {
        imsg("%s", missing);
        f_error("%s", lang_get("Invalid format for forwarded child's message"));
        return 0;
    }
    if (!file_check_parent(child)) {
        f_error(lang_get("You are not recorded as parent of %s"), child.c_str());
        return 0;
    }
    // A sender is on one list only: the newer decision replaces the older.
    ChildEdit e;
    e.drop_entry = sender;
    e.append = std::string(accept ? "af: " : "rf: ") + sender + "\n";
    if (!child_update(child, e)) return 0;
    if (accept) {
        if (!body_here(fld, pos)) return 0;
        const Record* r = fld_getrec(pos);
        if (!r || !msg_load(fld, std::atoi((*r)[H_ID].c_str()))) {
            imsg("r_child_ar: Cannot get message to forward");
            return 0;
        }
        clear_nwflag(fld_getrec(pos)->at(H_NWFLAGS), 1);
        if (!forward_as_is(account_address(child), get_reply(), get_reply(), nullptr)) return 0;
    }
    return remove_and_go_on(pos);
}

int r_reject() {
    if (!user_checkauth()) return 0;
    int fld = 0;
    int pos = named_record(&fld, "Cant find reject item");
    if (pos < 0) return 0;
    reject_sender(*fld_getrec(pos));
    int shown = remove_and_go_on(pos);
    user_write();
    return shown;
}

void supervise_reset() { st() = State{}; }
