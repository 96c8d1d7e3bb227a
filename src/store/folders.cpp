#include "store/folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <unordered_map>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/commands.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/tpl.h"
#include "page/var.h"
#include "store/index.h"
#include "store/msgfile.h"
#include "support/file.h"
#include "support/str.h"
#include "support/wild.h"
#include "user/lock.h"
#include "user/login.h"
#include "user/paths.h"
#include "user/login.h"
#include "user/profile.h"
#include "user/session.h"

namespace {

constexpr std::size_t kMaxSel = 5000;

std::size_t us(int i) { return static_cast<std::size_t>(i); }

int rec_id(const Record& r) { return std::atoi(r[H_ID].c_str()); }

// Positions of message numbers in the loaded index (-1 for one not there).
std::vector<int> positions_of(const std::vector<int>& ids) {
    std::unordered_map<int, int> at;
    const Index& m = mainidx();
    for (int i = 0; i < m.n; ++i) at.emplace(rec_id(m.recs[us(i)]), i);
    std::vector<int> out;
    for (int id : ids) {
        auto it = at.find(id);
        out.push_back(it == at.end() ? -1 : it->second);
    }
    return out;
}

}  // namespace

bool fld_parse_num(const std::string& text, int& out) {
    std::size_t i = !text.empty() && text[0] == '-' ? 1 : 0;
    if (i == text.size() || text.size() - i > 6) return false;
    for (std::size_t k = i; k < text.size(); ++k)
        if (text[k] < '0' || text[k] > '9') return false;
    out = std::atoi(text.c_str());
    return true;
}

namespace {

int named_folder(int key, const char* dflt) {
    const std::string& set = wm_ini_get(key);
    return fld_find(set.empty() ? std::string_view(dflt) : std::string_view(set));
}

}  // namespace

bool fld_take(const char* field, int& fld) {
    const std::string& v = form_find(field);
    fld = 0;
    if (v.empty() && std::strcmp(field, "fld") == 0) return true;   // no folder given: new mail
    if (!fld_parse_num(v, fld) || !fld_visible(fld)) {
        f_error(lang_get("There is no folder %s\n"), html_escape(ncpy(v, 40)).c_str());
        return false;
    }
    return true;
}

bool fld_writable() {
    if (!user_read_only()) return true;
    f_error("%s", lang_get("Your mail is busy with another request; please try again.\n"));
    return false;
}

namespace {

bool same_or_unset(const std::string& a, const std::string& b) { return a.empty() || b.empty() || a == b; }

// True when the loaded index already holds the message (the rule appends
// use: same Message-ID, and UIDL, server and user where both have them).
bool idx_holds(const Record& rec) {
    if (rec[H_MSGID].empty()) return false;
    for (const Record& e : mainidx().recs)
        if (!flag_has(e[H_FLAGS], "deleted,") && e[H_MSGID] == rec[H_MSGID] && same_or_unset(e[H_UIDL], rec[H_UIDL]) &&
            same_or_unset(e[H_POPHOST], rec[H_POPHOST]) && same_or_unset(e[H_POPUSER], rec[H_POPUSER]))
            return true;
    return false;
}

// Positions of the selected messages in the loaded index, in selection order.
std::vector<int> selected_positions() {
    std::vector<int> ids = form_selection();
    std::vector<int> at = positions_of(ids), pos;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (at[i] < 0) imsg("Could not find id to del %d\n", ids[i]);
        else pos.push_back(at[i]);
    }
    return pos;
}

// The bare address of an address text: inside the angle brackets, else
// the first word with an "@".
std::string bare_addr(const std::string& text) {
    std::size_t lt = text.find('<');
    if (lt != std::string::npos) {
        std::size_t gt = text.find('>', lt);
        if (gt != std::string::npos) return text.substr(lt + 1, gt - lt - 1);
    }
    std::size_t at = text.find('@');
    if (at == std::string::npos) return {};
    std::size_t b = text.find_last_of(" \t,(\"", at);
    b = b == std::string::npos ? 0 : b + 1;
    std::size_t e = text.find_first_of(" \t,)\"", at);
    return text.substr(b, e == std::string::npos ? std::string::npos : e - b);
}

// Moves (or, with trash, deletes through the trash) the given positions of
// the loaded folder: the copies first, then the removal of what was copied.
int move_positions(const std::vector<int>& pos, int dst) {
    std::vector<int> ids;
    for (int p : pos) ids.push_back(fld_get_id(p));
    std::vector<char> ok;
    if (dst >= 0) fld_copy_positions(pos, dst, ok);
    else ok.assign(pos.size(), 1);
    std::vector<int> at = positions_of(ids), go;
    for (std::size_t i = 0; i < pos.size(); ++i)
        if (ok[i] && at[i] >= 0) go.push_back(at[i]);
    return fld_delete_positions(go);
}

// The destination of deleted messages from a folder; -1 deletes outright.
int delete_target(int src, bool* refused) {
    *refused = false;
    if (no_trash()) return -1;
    int t = trash_folder();
    if (src == t) return -1;
    if (t < 0) {
        f_error("%s", lang_get("There is no trash folder, so nothing was deleted\n"));
        *refused = true;
    }
    return t;
}

// The list again, or for the "show next" forms the message that followed
// the one just handled in list order (next_id -1: none; 0 is a message).
int show_after(int next_id, bool next) {
    if (next && next_id >= 0 && form_find("page") != "list") {
        std::string id = std::to_string(next_id);
        form_put("item", id);
        query_put("item", id);
        return handler_run("f_item");
    }
    return handler_run("f_list");
}

// The message number of the form's "item", or -1 when it names none:
// message 0 exists, so an empty or malformed field must not become it.
int item_from_form() {
    const std::string& v = form_find("item");
    if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::atoi(v.c_str());
}

void log_unless_quiet(bool purging, const char* text) {
    if (!purging || log_has("purge")) imsg("%s", text);
}

}  // namespace

int trash_folder() { return named_folder(K_waste_name, "Trash Can"); }
int copies_folder() { return named_folder(K_copy_name, "Copies to self"); }

bool fld_visible(int fld) { return fld == 0 || (fld > 0 && fld < kMaxFolders && !prof.xfld_name[us(fld)].empty()); }

bool fld_reserved(int fld) { return fld == 0 || fld == trash_folder() || fld == copies_folder(); }

std::vector<int> form_selection() {
    std::vector<int> ids;
    std::string name, value;
    for (int i = 0; i < form_n() && ids.size() < kMaxSel; ++i) {
        if (!form_get_pair(i, name, value) || !starts_with(name, "sel_")) continue;
        int id = 0;
        if (fld_parse_num(name.substr(4), id) && id >= 0) ids.push_back(id);
    }
    return ids;
}

int lib_copy_file(const std::string& from, const std::string& to) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        f_error(lang_get("Cannot open/read (%s %s)  "), from.c_str(), std::strerror(errno));
        return 0;
    }
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0 && errno == ENOENT) {
        create_dir(to);
        out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    }
    if (out < 0) {
        f_error(lang_get("Cannot write/create (%s) %s"), to.c_str(), std::strerror(errno));
        close(in);
        return 0;
    }
    char buf[7000];
    long total = 0;
    bool ok = true;
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        if (!write_all(out, std::string_view(buf, static_cast<std::size_t>(n)))) {
            ok = false;
            break;
        }
        total += n;
    }
    int err = errno;
    close(in);
    if (close(out) != 0) ok = false;
    if (!ok) {
        f_error(lang_get("Cannot write/create (%s) %s"), to.c_str(), std::strerror(err));
        unlink(to.c_str());
        return 0;
    }
    imsg("Diskuse %d + %d copy", static_cast<int>(prof.xdiskuse), static_cast<int>(total));
    prof.xdiskuse += total;
    ++g.ui_changed;
    return 1;
}

namespace {
// Files a message into the loaded index of dst: 1 when it is there (filed
// now or held already), 0 when the copy failed.  The file comes first, under
// a number no file of the folder has (the profile's counter may lag behind
// after a killed request), and its record only then.
int file_into_loaded(int dst, const std::string& from, Record& rec) {
    if (idx_holds(rec)) {
        imsg("Message (%s) already in destination folder\n", rec[H_SUBJECT].c_str());
        return 1;
    }
    long id = std::max(0L, prof.xnextid);
    while (access(fld_item(dst, static_cast<int>(id)).c_str(), F_OK) == 0) ++id;
    std::string to = fld_item(dst, static_cast<int>(id));
    if (!lib_copy_file(from, to)) {
        imsg("Could not copy file %s %s\n", from.c_str(), std::strerror(errno));
        return 0;
    }
    imsg("Copy file %s -> %s\n", from.c_str(), to.c_str());
    prof.xnextid = id;
    if (fld_addxov(rec) != id) {
        // No record points at the new file: take it away again.
        myremove(to);
        return 0;
    }
    return 1;
}

}  // namespace

int fld_file_message(int fld, const std::string& path, Record& rec) {
    if (!fld_visible(fld)) return 0;
    fld_push();
    int ok = fld_readxov(fld) ? file_into_loaded(fld, path, rec) : 0;
    fld_pop();
    return ok;
}

int fld_copy_positions(const std::vector<int>& pos, int dst, std::vector<char>& ok) {
    ok.assign(pos.size(), 0);
    const int src = curfld();
    if (!fld_visible(dst)) {
        f_error(lang_get("There is no folder %d\n"), dst);
        return 0;
    }
    std::vector<int> ids;
    for (int p : pos) ids.push_back(fld_get_id(p));
    // Bodies still on the server come first: a stub is never filed as if
    // it were the message.  A fetch may apply the filter rules, which can
    // take records out, so records are found again by number afterwards.
    bool fetched = false;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        int p = fld_findid(ids[i]);
        Record* r = fld_getrec(p);
        if (!r || !flag_has((*r)[H_FLAGS], "rbody,")) continue;
        fetched = true;
        bool got = folder_server().read_rbody(p) != 0;
        r = fld_getrec(fld_findid(ids[i]));
        // A fetch cut short keeps what came, marked "bad,": not the message.
        if (!got || !r || flag_has((*r)[H_FLAGS], "bad,") || flag_has((*r)[H_FLAGS], "rbody,")) {
            f_error("%s", lang_get("pop read of remote message failed\n"));
            ok[i] = 2;   // not to be copied
        }
    }
    if (fetched) fld_write(src);
    std::vector<int> at = positions_of(ids);
    std::vector<Record> recs(pos.size());
    for (std::size_t i = 0; i < pos.size(); ++i) {
        Record* r = fld_getrec(at[i]);
        if (!r || flag_has((*r)[H_FLAGS], "deleted,")) ok[i] = 2;
        else recs[i] = *r;
    }
    fld_push();
    int done = 0;
    if (!fld_readxov(dst)) {
        fld_pop();
        for (char& o : ok) o = 0;
        return 0;
    }
    for (std::size_t i = 0; i < pos.size(); ++i) {
        if (ok[i] == 2) {
            ok[i] = 0;
            continue;
        }
        Record rec = recs[i];
        rec[H_REMOTE] = std::string(1, '0');   // (not = "0": g++ 12 misreads it, -Wrestrict)
        if (file_into_loaded(dst, fld_item(src, rec_id(rec)), rec)) {
            ok[i] = 1;
            ++done;
        }
    }
    fld_pop();
    return done;
}

int fld_delete_positions(const std::vector<int>& pos) {
    const int fld = curfld();
    std::vector<int> gone;
    for (int p : pos) {
        Record* r = fld_getrec(p);
        if (!r || flag_has((*r)[H_FLAGS], "deleted,")) continue;
        if (fld == 0 && !folder_server().dele(p)) continue;
        gone.push_back(p);
    }
    if (gone.empty()) return 0;
    std::vector<int> ids;
    std::vector<Record> saved;
    for (int p : gone) {
        saved.push_back(*fld_getrec(p));
        ids.push_back(fld_get_id(p));
        fld_delrec(p);
    }
    ++g.ui_changed;
    if (!fld_write(fld)) {
        // The index on disk still lists them: keep their files.
        for (std::size_t i = 0; i < gone.size(); ++i) *fld_getrec(gone[i]) = saved[i];
        return 0;
    }
    for (int id : ids) {
        std::string path = fld_item(fld, id);
        if (myremove(path) != 0 && errno != ENOENT)
            f_error(lang_get("Del Item: Cannot remove file %d %s\n"), id, std::strerror(errno));
    }
    Index& m = mainidx();
    std::vector<Record> keep;
    keep.reserve(m.recs.size());
    for (Record& r : m.recs)
        if (!flag_has(r[H_FLAGS], "deleted,")) keep.push_back(std::move(r));
    m.recs = std::move(keep);
    m.n = static_cast<int>(m.recs.size());
    return static_cast<int>(ids.size());
}

int fld_item_copy(int fld, int pos, int dst) {
    if (curfld() != fld || mainidx().max == 0) {
        if (!fld_readxov(fld)) return 0;
    }
    std::vector<char> ok;
    fld_copy_positions({pos}, dst, ok);
    return ok[0] ? 1 : 0;
}

int fld_item_del(int fld, int id) {
    if (!fld_readxov(fld)) return 0;
    int pos = fld_findid(id);
    if (pos < 0) {
        imsg("Could not find id to del %d\n", id);
        return 0;
    }
    return fld_delete_positions({pos}) == 1;
}

void store_recalc_diskuse() {
    long kb = 0;
    fld_push();
    std::string saved = f_error_text();
    for (int k = 0; k < kMaxFolders; ++k) {
        if (!fld_visible(k)) continue;
        Fld_stats st;
        if (fld_read_stats(k, st)) kb += st.size;
    }
    fld_pop();
    f_error_clear();   // a folder never opened has no index: not an error here
    if (!saved.empty()) f_error("%s", saved.c_str());
    prof.xdiskuse = kb * 1024;
    ++g.ui_changed;
}

// ---- Moves, copies and deletes ----

namespace {
// Without a mail server layer nothing is on a server: a message marked as
// still there is kept, and no body can be fetched.
int no_dele(int) { return 0; }
int no_body(int) { return 0; }
int no_close() { return 1; }
constexpr FolderServer kNoServer{no_dele, no_body, no_close};
}  // namespace

FolderServer& folder_server() {
    static FolderServer s = kNoServer;
    return s;
}

int r_movesel() {
    if (!user_checkauth()) return 0;
    int src = 0, dst = 0;
    if (!fld_take("fld", src) || !fld_take("dstfld", dst) || !fld_writable()) return 0;
    if (src == dst) {
        f_error("%s", lang_get("Source=Destination  Select a different destination folder"));
        return 0;
    }
    if (!fld_readxov(src)) return 0;
    std::vector<int> pos = selected_positions();
    if (pos.empty()) {
        f_error("%s", lang_get("No items selected\n"));
        return 0;
    }
    for (std::size_t i = 0; i < pos.size(); ++i)
        imsg("move selection %d/%d %d to folder %d\n", static_cast<int>(i + 1), static_cast<int>(pos.size()),
             fld_get_id(pos[i]), dst);
    move_positions(pos, dst);
    folder_server().close();
    ++g.ui_changed;
    return handler_run("f_list");
}

int r_copysel() {
    if (!user_checkauth()) return 0;
    int src = 0, dst = 0;
    if (!fld_take("fld", src) || !fld_take("dstfld", dst) || !fld_writable()) return 0;
    if (!fld_readxov(src)) return 0;
    std::vector<int> pos = selected_positions();
    if (pos.empty()) {
        f_error("%s", lang_get("No items selected\n"));
        return 0;
    }
    for (std::size_t i = 0; i < pos.size(); ++i)
        imsg("copy selection %d/%d %d\n", static_cast<int>(i + 1), static_cast<int>(pos.size()), fld_get_id(pos[i]));
    std::vector<char> ok;
    fld_copy_positions(pos, dst, ok);
    folder_server().close();
    ++g.ui_changed;
    return handler_run("f_list");
}

int r_moveto(int next) {
    if (!user_checkauth()) return 0;
    int src = 0, dst = 0;
    if (!fld_take("fld", src) || !fld_take("dstfld", dst) || !fld_writable()) return 0;
    int item = item_from_form();
    imsg("move %d to folder %d\n", item, dst);
    if (src == dst) {
        f_error("%s", lang_get("Source=Destination  Select a different destination folder"));
        return 0;
    }
    if (!fld_readxov(src)) return 0;
    int pos = fld_findid(item);
    if (pos < 0) {
        f_error("%s", lang_get("E12: Message must have been deleted"));
        return 0;
    }
    int next_id = pos > 0 ? fld_get_id(pos - 1) : -1;
    move_positions({pos}, dst);
    folder_server().close();
    ++g.ui_changed;
    return show_after(next_id, next != 0);
}

int r_delitem(int next) {
    if (!user_checkauth()) return 0;
    int src = 0;
    if (!fld_take("fld", src) || !fld_writable()) return 0;
    int item = item_from_form();
    if (!fld_readxov(src)) return 0;
    int pos = fld_findid(item);
    if (pos < 0) {
        f_error("%s", lang_get("E12: Message must have been deleted"));
        return 0;
    }
    bool refused = false;
    int dst = delete_target(src, &refused);
    if (refused) return 0;
    imsg("del item %d\n", item);
    int next_id = pos > 0 ? fld_get_id(pos - 1) : -1;
    move_positions({pos}, dst);
    folder_server().close();
    return show_after(next_id, next != 0);
}

int r_delsel(int reject) {
    if (!user_checkauth()) return 0;
    int src = 0;
    if (!fld_take("fld", src) || !fld_writable()) return 0;
    if (!fld_readxov(src)) {
        f_error("%s", lang_get("Folder read failed"));
        return 0;
    }
    std::vector<int> pos = selected_positions();
    if (pos.empty()) {
        f_error("%s", lang_get("No items selected\n"));
        return 0;
    }
    bool refused = false;
    int dst = delete_target(src, &refused);
    if (refused) return 0;
    for (std::size_t i = 0; i < pos.size(); ++i) {
        imsg("del selection %d/%d %d\n", static_cast<int>(i + 1), static_cast<int>(pos.size()), fld_get_id(pos[i]));
        if (reject) reject_sender(*fld_getrec(pos[i]));
    }
    move_positions(pos, dst);
    folder_server().close();
    return handler_run("f_list");
}

int cmd_item_del() {
    const std::string* name = form_findn("item_del_");
    if (!name) return 0;
    int id = 0;
    if (!fld_parse_num(name->substr(9), id)) return 0;
    int src = 0;
    if (!fld_take("fld", src) || !fld_writable()) return 1;
    if (!fld_readxov(src)) {
        f_error_clear();   // the other buttons of the form are tried instead
        return 0;
    }
    imsg("del item %d\n", id);
    int pos = fld_findid(id);
    bool refused = false;
    int dst = delete_target(src, &refused);
    if (pos >= 0 && !refused) move_positions({pos}, dst);
    folder_server().close();
    handler_run("f_list");
    return 1;
}

int r_moveto_stub(int* dst_out) {
    if (!user_checkauth()) return 0;
    int src = 0, dst = 0;
    if (!fld_take("fld", src) || !fld_take("dstfld", dst) || !fld_writable()) return 0;
    if (dst_out) *dst_out = dst;
    if (!fld_readxov(src)) return 0;
    int item = item_from_form();
    imsg("move %d to folder %d\n", item, dst);
    if (src == dst) {
        f_error("%s", lang_get("Source=Destination  Select a different destination folder"));
        return 0;
    }
    int pos = fld_findid(item);
    if (pos < 0) return 1;
    move_positions({pos}, dst);
    return 1;
}

// ---- Emptying ----

int r_empty() {
    if (!user_checkauth() || !fld_writable()) return 0;
    empty_trash(0);
    var_set("msg", lang_get("Your trash has been emptied"));
    tpl_show("ok");
    return 1;
}

int f_empty() {
    if (!user_checkauth()) return 0;
    int t = trash_folder();
    Fld_stats st;
    if (t >= 0) {
        fld_push();
        if (fld_read_stats(t, st)) {
            var_set("t_msgs", std::to_string(st.msgs));
            var_set("t_size", std::to_string(st.size));
        }
        fld_pop();
        f_error_clear();
    }
    tpl_show("trash");
    return 1;
}

int empty_trash(int purging) {
    int t = trash_folder();
    if (t < 0) return 0;
    fld_push();
    if (!fld_readxov(t)) {
        fld_pop();
        return 0;
    }
    ++g.ui_changed;
    Index& m = mainidx();
    if (m.n == 0) {
        log_unless_quiet(purging, "Trash empty");
        fld_pop();
        return 0;
    }
    std::vector<int> ids;
    for (int i = 0; i < m.n; ++i) {
        ids.push_back(fld_get_id(i));
        fld_delrec(i);
    }
    int count = 0;
    // The index goes first: a record never outlives its file.
    if (fld_write(t)) {
        for (int id : ids) {
            std::string path = fld_item(t, id);
            if (myremove(path) != 0 && errno != ENOENT) {
                f_error(lang_get("Trash: Cannot remove file %d %s\n"), t, std::strerror(errno));
                continue;
            }
            ++count;
            if (!purging || log_has("purge")) imsg("Removed deleted item %s\n", path.c_str());
        }
    }
    fld_pop();
    return count;
}

namespace {
// Takes the cached bodies of server-held messages out of folder 0 (files
// removed; records flagged "new," under keep_index, else dropped).  which:
// the records to empty.
template <class Which>
int empty_cache(Which which, const char* fail_text, bool error_page) {
    Index& m = mainidx();
    bool keep = ini_true(K_keep_index);
    std::vector<int> ids;
    for (int i = 0; i < m.n; ++i) {
        Record& r = m.recs[us(i)];
        if (!which(r, i)) continue;
        ids.push_back(rec_id(r));
        if (keep) flag_add(r[H_FLAGS], "new,");
        else fld_delrec(i);
    }
    if (ids.empty()) return 0;
    if (!fld_write(0)) return 0;
    int count = 0;
    for (int id : ids) {
        std::string path = fld_item(0, id);
        if (myremove(path) != 0 && errno != ENOENT) {
            if (error_page) f_error(lang_get(fail_text), id, std::strerror(errno));
            else imsg(fail_text, id, std::strerror(errno));
            continue;
        }
        ++count;
    }
    return count;
}
}  // namespace

int empty_remote_newmail(int all, int purging) {
    if (!purging) {
        bool all_del = true;
        for (int i = 0; i < kPopSlots; ++i) all_del = all_del && prof.xpop_del[us(i)];
        if (all_del) {
            imsg("Not emptying remote new mail cache as no del from server settings");
            return 0;
        }
    }
    fld_push();
    if (!fld_readxov(0)) {
        imsg("Not emptying remote new mail cache as fld read failed");
        f_error_clear();
        fld_pop();
        return 0;
    }
    if (mainidx().n == 0) {
        log_unless_quiet(purging, "Remote new mail cache empty");
        fld_pop();
        return 0;
    }
    log_unless_quiet(purging, "Emptying remote new mail cache");
    ++g.ui_changed;
    clear_unseen();
    int slot = prof.xpop_cur >= 0 && prof.xpop_cur < kPopSlots ? prof.xpop_cur : 0;
    const std::string host = prof.xpop_name[us(slot)], user = prof.xpop_user[us(slot)];
    int count = empty_cache(
        [&](const Record& r, int) {
            if (r[H_REMOTE].empty()) {
                imsg("no remote setting for msg %d", rec_id(r));
                return false;
            }
            if (starts_with(r[H_REMOTE], "1") && (all || (r[H_POPHOST] == host && r[H_POPUSER] == user)))
                return !flag_has(r[H_FLAGS], "new,");
            if (purging) imsg("ER: Keeping local item %d %s", rec_id(r), r[H_SUBJECT].c_str());
            return false;
        },
        "ER: Cannot remove file %d %s\n", false);
    fld_pop();
    return count;
}

int empty_newmail(int purging) {
    if (prof.xpop_del[0]) {
        imsg("empty_newmail: Using empty_remote_newmail instead  as pop_delete true\n");
        return empty_remote_newmail(1, purging);
    }
    fld_push();
    if (!fld_readxov(0)) {
        fld_pop();
        return 0;
    }
    ++g.ui_changed;
    clear_unseen();
    if (mainidx().n == 0) {
        log_unless_quiet(purging, "New mail cache empty");
        fld_pop();
        return 0;
    }
    log_unless_quiet(purging, "Emptying new mail cache");
    int count = empty_cache(
        [](const Record& r, int) {
            return (r[H_REMOTE].empty() || starts_with(r[H_REMOTE], "1")) && !flag_has(r[H_FLAGS], "new,");
        },
        "NM: Cannot remove file %d %s\n", true);
    fld_pop();
    return count;
}

void reject_sender(const Record& r) {
    std::string a = record_sender(r);
    if (a.empty()) {
        imsg("r_reject: no sender");
        return;
    }
    for (const std::string& e : prof.reject_from)
        if (lc_equal(e, a)) return;
    prof.reject_from.push_back(a);
    ++g.ui_changed;
}

std::string sender_entry(std::string_view address) {
    std::string a;
    for (char c : bare_addr(std::string(address))) {
        unsigned char u = static_cast<unsigned char>(c);
        // A blank, a control character or a comma ends the address; what
        // the list matcher reads as a pattern goes.
        if (u <= 32 || u == 127 || c == ',') break;
        if (std::string_view("*?[]\\!").find(c) != std::string_view::npos) continue;
        a += static_cast<char>(std::tolower(u));
    }
    std::size_t at = a.find('@');
    if (at == std::string::npos || at == 0 || at + 1 >= a.size()) return {};
    return ncpy(a, 511);
}

std::string record_sender(const Record& r) {
    std::string a = sender_entry(r[H_FROM]);
    return a.empty() ? sender_entry(r[H_SENDER]) : a;
}
