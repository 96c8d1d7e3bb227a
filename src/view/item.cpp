#include "view/item.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "cgi/commands.h"
#include "cgi/config.h"
#include "cgi/content.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "net/pop.h"
#include "page/encode.h"
#include "page/hooks.h"
#include "page/tpl.h"
#include "page/var.h"
#include "store/index.h"
#include "store/listpos.h"
#include "store/msgfile.h"
#include "support/str.h"
#include "user/lock.h"
#include "user/login.h"
#include "user/profile.h"
#include "view/body.h"
#include "view/date.h"
#include "view/list.h"
#include "view/links.h"
#include "view/mime.h"
#include "view/mimecodec.h"
#include "view/part.h"

namespace {

struct Private {
    ItemState pub;
    std::unique_ptr<MappedFile> map;   // the shown message, mapped rather than copied
    int rendered = 0;                  // bodies written in this run
    bool repairing = false;            // a stub without its mark: the note replaces the body
};

Private& pv() {
    static Private p;
    return p;
}

void init_item_vars(const Record* r, int item_id, int nitems);

// A number from the request or the index, read as atoi reads it (leading
// blanks, a sign, the digits up to the first other character), but one
// beyond an int's range is no number at all (-1), never a wrapped value.
int atoi_s(const std::string& s) {
    errno = 0;
    long v = std::strtol(s.c_str(), nullptr, 10);
    if (errno == ERANGE || v > INT_MAX || v < INT_MIN) return -1;
    return static_cast<int>(v);
}
std::string tok() { return url_encode(g.utoken); }

bool folder_ok(int f) {
    return f == 0 || f == -1 || (f > 0 && f < kMaxFolders && !prof.xfld_name[static_cast<std::size_t>(f)].empty());
}

// The stored message of this request: the mapped file, or the message
// buffer another page (reply, forward) has loaded.
std::string_view current_message() {
    Private& p = pv();
    if (p.map && p.map->ok()) return p.map->view();
    if (p.pub.have) return p.pub.text;
    if (msgbuf().have) return msgbuf().text;
    return {};
}

bool map_message(int fld, int n) {
    Private& p = pv();
    std::string path = fld_item(fld, n);
    p.map = std::make_unique<MappedFile>(path);
    if (!p.map->ok()) {
        f_error(lang_get("Can't read item file (%s) (%s) \n"), path.c_str(), std::strerror(errno));
        p.map.reset();
        return false;
    }
    return true;
}

const char* yes(bool b) { return b ? "1" : "0"; }

bool file_exists(const std::string& path) {
    struct stat sb;
    return stat(path.c_str(), &sb) == 0;
}
const char* checked(int on) { return on ? "checked" : ""; }

std::string head_of(std::string_view msg) {
    std::size_t e = msg.find("\n\n");
    std::size_t e2 = msg.find("\r\n\r\n");
    std::size_t end = std::min(e, e2);
    if (end == std::string_view::npos) end = msg.size();
    return std::string(msg.substr(0, end));
}

std::string hv(const std::string& head, const char* name) { return mime_header_value(head, name, 511); }

// Position of message n in the current index (-1 when absent).
int pos_of(int n) { return fld_findid(n); }

// The list shows the highest position first: "next" is the row below.
void set_neighbours(const std::string& next, const std::string& prev) {
    if (next != prof.xni || prev != prof.xpi) {
        prof.xni = next;
        prof.xpi = prev;
        g.ui_changed = 1;
    }
}

void set_neighbours(int pos) {
    Index& idx = mainidx();
    set_neighbours(pos - 1 >= 0 ? idx.recs[static_cast<std::size_t>(pos - 1)][H_ID] : std::string(),
                   pos + 1 < idx.n ? idx.recs[static_cast<std::size_t>(pos + 1)][H_ID] : std::string());
}

int fetch_remote(int pos, int fld, const char* failure) {
    Record* r = fld_getrec(pos);
    if (!r || !flag_has((*r)[H_FLAGS], "rbody,")) return 1;
    if (!pop_read_rbody(pos)) {
        fld_write(fld);   // a "deleted," or "bad," mark is worth keeping
        f_error("%s", lang_get(failure));
        return 0;
    }
    fld_write(fld);
    return 1;
}

void mark_read(int pos, int fld) {
    Record* r = fld_getrec(pos);
    if (!r || flag_has((*r)[H_FLAGS], "read,")) return;
    flag_add((*r)[H_FLAGS], "read,");
    if (!user_read_only()) fld_write(fld);
}

// True when the message's first body line is the text of a stub left
// for a message too large to cache.
bool is_cache_stub(std::string_view msg) {
    std::size_t b = msg.find("\n\n");
    if (b == std::string_view::npos) return false;
    std::string_view body = msg.substr(b + 2);
    std::string_view stub = lang_get("I9: This message was too large to cache (%d kbytes) so it has been left on the server.");
    stub = stub.substr(0, 20);
    return !stub.empty() && body.substr(0, stub.size()) == stub;
}

void write_raw() {
    g.contdone = 1;
    std::string_view m = current_message();
    gwrite(security_headers() + "Content-type: text/plain; charset=\"UTF-8\"\nX-Content-Type-Options: nosniff\n\n");
    // Stored with LF ends already; written as it stands.
    gwrite(m);
    if (!m.empty() && m.back() != '\n') gwrite("\n");
}

// After a page that read the whole index: the folder's line table, so the
// next message page of the folder need not.  A list in arrival order can
// use it too; for any other order it is saved as a table of the message
// page alone: finding out whether index.dat is in that order (a date sort
// parses every date) would cost this page half as much again as reading
// the index, and the next list finds it out anyway.
void save_line_table(int fld) {
    if (user_read_only()) return;
    std::string key = sort_key_of(prof.xsort_on);
    listpos_save(fld, key.empty() ? key : std::string(kListposFileOrder));
}

// The message page for the record at pos of the current index.
int show_item_at(int pos) {
    ItemState& s = pv().pub;
    Record* r = fld_getrec(pos);
    if (!r) return 0;
    s.n = atoi_s((*r)[H_ID]);
    s.item = (*r)[H_ID];
    if (!fetch_remote(pos, s.fld, "pop read of remote msg failed\n")) return 0;
    if (!map_message(s.fld, s.n)) return 0;
    if (s.raw) {
        write_raw();
        return 1;
    }
    set_neighbours(pos);
    r = fld_getrec(pos);
    if (r && is_cache_stub(current_message())) {
        // A fetch cut short left the stub without its mark: mark it again
        // so the next opening fetches the body from the server.
        flag_add((*r)[H_FLAGS], "rbody,");
        flag_remove((*r)[H_FLAGS], "read,");
        if (!user_read_only()) fld_write(s.fld);
        pv().repairing = true;
    } else {
        mark_read(pos, s.fld);
    }
    if (prof.xfld != s.fld) {
        prof.xfld = s.fld;
        g.ui_changed = 1;
    }
    tpl_init_item(pos);
    tpl_show("item");
    return 1;
}

// A message page that changes nothing in the index (a read message whose
// body is here) needs its own record and the two beside it: with a current
// line table of the folder those three are all it reads of index.dat.
// Answers -1, having shown and changed nothing, when the table cannot serve
// (none, stale, damaged, the record not where it says) or the record needs
// a change; the caller then reads the whole index.
int show_item_windowed() {
    ItemState& s = pv().pub;
    int n = 0, unread = 0;
    if (!listpos_open_any(s.fld, n, unread)) return -1;
    const int pos = listpos_find(listpos_id_of(std::to_string(s.n)));
    const int lo = std::max(0, pos - 1), hi = std::min(n - 1, pos + 1);
    std::vector<Record> recs;
    const bool ok = pos >= 0 && listpos_read(lo, hi, recs);
    listpos_close();
    if (!ok) return -1;
    const Record& r = recs[static_cast<std::size_t>(pos - lo)];
    if (r[H_ID].empty() || atoi_s(r[H_ID]) != s.n || flag_has(r[H_FLAGS], "rbody,")) return -1;
    if (!s.raw && !flag_has(r[H_FLAGS], "read,")) return -1;
    s.item = r[H_ID];
    imsg("item %d: its record read through the folder's line table", s.n);
    if (!map_message(s.fld, s.n)) return 0;
    if (s.raw) {
        write_raw();
        return 1;
    }
    if (is_cache_stub(current_message())) {
        pv().map.reset();
        return -1;
    }
    set_neighbours(pos > lo ? recs[static_cast<std::size_t>(pos - 1 - lo)][H_ID] : std::string(),
                   pos < hi ? recs[static_cast<std::size_t>(pos + 1 - lo)][H_ID] : std::string());
    if (prof.xfld != s.fld) {
        prof.xfld = s.fld;
        g.ui_changed = 1;
    }
    init_item_vars(&r, n - pos, n);
    tpl_show("item");
    return 1;
}

}  // namespace

ItemState& item_state() { return pv().pub; }
void item_reset() { pv() = Private{}; }

std::string item_bare_addr(std::string_view in) {
    std::string t(in.substr(0, 511));
    std::size_t lt = t.find('<');
    if (lt != std::string::npos) {
        std::size_t gt = t.find('>', lt);
        std::string a = t.substr(lt + 1, gt == std::string::npos ? std::string::npos : gt - lt - 1);
        return contains(a, "@") ? trim_spaces(a) : std::string();
    }
    // "addr (Name)" or a bare word holding "@".
    std::size_t at = t.find('@');
    if (at == std::string::npos) return {};
    std::size_t b = t.find_last_of(" \t,;\"(", at);
    b = b == std::string::npos ? 0 : b + 1;
    std::size_t e = t.find_first_of(" \t,;\")", at);
    return t.substr(b, e == std::string::npos ? std::string::npos : e - b);
}

std::string item_charset(std::string_view ctype) {
    std::string l = lower(ctype);
    std::size_t p = l.find("charset");
    if (p == std::string::npos) return {};
    p += 7;
    while (p < l.size() && (l[p] == '=' || l[p] == ' ' || l[p] == '"')) p++;
    std::size_t e = p;
    while (e < l.size() && l[e] != '"' && l[e] != ' ' && l[e] != ';' && e - p < 99) e++;
    return std::string(ctype.substr(p, e - p));
}

void tpl_init_item(int pos) {
    const Index& idx = mainidx();
    init_item_vars(pos >= 0 ? fld_getrec(pos) : nullptr, pos >= 0 ? idx.n - pos : 0, idx.n);
}

namespace {

// The page variables of the shown message: r is its record (none for a
// message file the index has lost), item_id its row counted from the top
// of the list, nitems the folder's record count.
void init_item_vars(const Record* r, int item_id, int nitems) {
    ItemState& s = pv().pub;
    const std::string sc = g.path_script, t = tok(), eid = url_encode(s.item);
    var_set("item", value_encode(s.item));
    if (r) var_set("item_id", std::to_string(item_id));
    var_set("nitems", std::to_string(nitems));
    if (r) {
        const std::string& fl = (*r)[H_FLAGS];
        var_set("h_isread", yes(flag_has(fl, "read,")));
        var_set("h_isunseen", yes(flag_has(fl, "unseen,")));
        var_set("h_isremote", yes((*r)[H_REMOTE] == "1"));
        var_set("h_popuser", value_encode((*r)[H_POPUSER]));
        var_set("h_isreplied", yes(flag_has(fl, "replied,")));
        var_set("h_isattached", yes(flag_has(fl, "file,")));
    }
    std::string_view msg = current_message();
    // The key pages offer to take keys from the message and to decode its
    // encrypted sections.
    var_set("h_pgp_keys", yes(contains(msg, "-----BEGIN PGP PUBLIC KEY BLOCK-----")));
    var_set("h_pgp_msg", yes(contains(msg, "-----BEGIN PGP MESSAGE")));
    std::string head = head_of(msg);
    // Every header of the message takes part in the boundary list.
    for_each_line(head, [](std::string_view l) {
        if (!lc_equal(l.substr(0, 8), "nwflags:")) boundary_add(l);
        return true;
    });
    std::string ctype = hv(head, "content-type");
    // The page is written in UTF-8 whatever the message's own character set:
    // every text is converted on the way.
    if (!item_charset(ctype).empty() || !ctype.empty()) var_set("charset", "UTF-8");
    var_set("v_font", checked(prof.xv_font));
    var_set("v_headers", checked(prof.xv_headers));
    var_set("v_inline", checked(prof.xv_inline));
    var_set("v_asis", checked(prof.xv_asis));
    std::string pri = hv(head, "x-priority");
    if (pri.empty()) pri = hv(head, "priority");
    var_set("h_pri", show_priority(pri));
    auto dec = [](const std::string& v) { return rfc1522s(v); };
    std::string from = dec(hv(head, "from"));
    std::string reply = dec(hv(head, "reply-to"));
    var_set("h_from", value_encode(from));
    var_set("h_xfrom", value_encode(from));
    var_set("h_resent_from", value_encode(dec(hv(head, "resent-from"))));
    var_set("h_sender", value_encode(dec(hv(head, "sender"))));
    var_set("h_to", value_encode(dec(hv(head, "to"))));
    std::string cc = dec(hv(head, "cc"));
    var_set("h_cc", value_encode(cc));
    var_set("h_bcc", value_encode(dec(hv(head, "bcc"))));
    var_set("h_reply", value_encode(reply));
    std::string subj = dec(hv(head, "subject"));
    var_set("h_subject", value_encode(subj));
    var_set("h_subject_raw", value_encode(subj));
    var_set("h_from_trim", value_encode(h_from_trim(from)));
    if (std::string a = item_bare_addr(from); !a.empty()) var_set("a_from", value_encode(a));
    if (std::string a = item_bare_addr(reply); !a.empty()) var_set("a_reply", value_encode(a));
    {
        // The Cc list as bare addresses, comma separated.
        std::string out;
        std::size_t i = 0;
        while (i < cc.size()) {
            std::size_t e = i;
            bool q = false;
            while (e < cc.size() && (q || cc[e] != ',')) {
                if (cc[e] == '"') q = !q;
                e++;
            }
            std::string a = item_bare_addr(std::string_view(cc).substr(i, e - i));
            if (!a.empty()) out += (out.empty() ? "" : ", ") + a;
            i = e + 1;
        }
        var_set("a_cc", value_encode(out));
    }
    var_set("h_references", value_encode(hv(head, "references")));
    std::string date = hv(head, "date");
    var_set("h_date", value_encode(date));
    var_set("h_date_time", value_encode(h_date_time(date)));
    var_set("h_date_t24", value_encode(h_date_t24(date)));
    var_set("h_date_day", value_encode(h_date_day(date)));
    var_set("h_content-type", value_encode(ctype));
    auto link = [&](const char* cmd) {
        return sfmt("%s?cmd=%s&amp;item=%s&amp;utoken=%s&amp;fld=%d", sc.c_str(), cmd, eid.c_str(), t.c_str(), s.fld);
    };
    var_set("b_reply", link("reply"));
    var_set("b_replyall", link("replyall"));
    var_set("b_forward", link("forward"));
    var_set("b_forward_edit", link("forward_edit"));
    var_set("b_reject", link("reject"));
    std::string nw = hv(head, "nwflags");
    if (nw.empty() && r) nw = (*r)[H_NWFLAGS];
    if (std::atol(nw.c_str()) & 1) {
        var_set("b_child_accept", link("child_accept"));
        var_set("b_child_reject", link("child_reject"));
    }
    part_link_from_request(s.item, s.fld);
    part_source(msg);
    if (!(prof.xv_inline && !g.gwml)) {
        var_set("attachments", part_list());
        var_set("attachment_names", value_encode(part_names()));
    }
}

}  // namespace

// The body where the page's show_item or quote tag stands.
void tpl_show_item(int quote, const char* eol) {
    Private& p = pv();
    std::string_view msg = current_message();
    if (msg.empty()) return;
    if (p.repairing) {
        gwrite(html_escape(lang_get("Message was cached but not flagged. Repairing")));
        return;
    }
    BodyOptions opt = body_options_for_page(quote != 0, eol ? eol : "\n");
    if (const std::string* v = nform_find("v_exec"); v && !v->empty()) opt.v_exec = form_true("v_exec") || *v == "1";
    if (form_true("remote_images")) opt.remote_images = true;
    long limit = prof.xbody_limit;
    if (const std::string* w = nform_find("wbl"); w && !w->empty()) {
        limit = std::atol(w->c_str());
        if (log_has("body_limit")) imsg("body_limit set from template file before show item to %ld", limit);
    }
    if (g.gwml && !quote) {
        opt.body_limit = limit;
        opt.roffset = std::atol(form_find("roffset").c_str());
        opt.sent_before = gsent();
    }
    if (part_link_info().item.empty()) part_link_from_request(p.pub.item, p.pub.fld);
    p.rendered++;
    BodyResult res = tpl_show_item(msg, opt, [](std::string_view s) { gwrite(s); });
    if (res.roffset > 0) var_set("roffset", std::to_string(res.roffset));
}

int f_nitem(int pos) {
    ItemState& s = pv().pub;
    const std::string& page = form_find("page");
    if (pos - 1 < 0 || pos - 1 >= mainidx().n || page == "list") {
        list_state().xfolder = s.fld;
        return do_list();
    }
    Record* r = fld_getrec(pos - 1);
    if (!r) return do_list();
    form_put("item", (*r)[H_ID]);
    query_put("item", (*r)[H_ID]);
    if (!fetch_remote(pos - 1, s.fld, "pop_read_rbody failed\n")) return 0;
    return show_item_at(pos - 1);
}

int f_item() {
    ItemState& s = pv().pub;
    int part = atoi_s(form_find("part"));
    s.item = ncpy(form_find("item"), 99);
    s.n = atoi_s(s.item);
    s.fld = atoi_s(form_find("fld"));
    imsg("f_item part = %d %d", part, s.n);
    if (!user_checkauth()) return 0;
    // A section number asks for the decoded PGP section instead of the page.
    if (!form_find("sec").empty()) return handler_run("pgp_show_section");
    if (!folder_ok(s.fld)) s.fld = 0;
    if (s.item.empty() || s.item.find_first_not_of("0123456789") != std::string::npos) {
        f_error("%s", lang_get("No message was chosen"));
        return 0;
    }
    if (part >= 1) {
        if (!map_message(s.fld, s.n)) return 0;
        if (!show_article_part(current_message(), part)) {
            f_error(lang_get("There is no part %d in this message"), part);
            return 0;
        }
        return 1;
    }
    if (int shown = show_item_windowed(); shown >= 0) return shown;
    if (!fld_readxov(s.fld)) return 0;
    int pos = pos_of(s.n);
    if (pos >= 0) {
        if (!show_item_at(pos)) return 0;
        // What is in memory is index.dat as read, or as this page wrote it.
        save_line_table(s.fld);
        return 1;
    }
    // A message file the index has lost is still the user's mail: it is
    // shown from the file, without a record to mark.
    if (!file_exists(fld_item(s.fld, s.n))) {
        f_error("%s", lang_get("E12: Message must have been deleted"));
        return 0;
    }
    if (!map_message(s.fld, s.n)) return 0;
    if (s.raw) {
        write_raw();
        return 1;
    }
    tpl_init_item(-1);
    tpl_show("item");
    return 1;
}

int f_raw() {
    pv().pub.raw = true;
    return f_item();
}

int r_setview() {
    if (!user_checkauth()) return 0;
    prof.xv_font = form_true("v_font");
    prof.xv_headers = form_true("v_headers");
    prof.xv_inline = form_true("v_inline");
    prof.xv_asis = form_true("v_asis");
    if (form_true("v_exec")) form_put("v_exec", "1");
    g.ui_changed = 1;
    return f_item();
}

int do_gif() {
    std::string path = mygetenv("PATH_INFO");
    imsg("fcmd=dogif %s", path.c_str());
    std::string l = lower(path);
    if (!contains(l, ".gif") && !contains(l, ".jpg")) return 0;
    std::string name = std::string(nopath(path)).substr(0, 200);
    // Only plain names of the template directory: never a path.
    if (name.empty() || name[0] == '.' || name.find_first_of("/\\") != std::string::npos) {
        f_error(lang_get("E20: No such GIF file %s\n"), name.c_str());
        return 0;
    }
    std::string file = file_tpl(name);
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat sb;
    if (fd < 0 || fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode)) {
        if (fd >= 0) ::close(fd);
        f_error(lang_get("E20: No such GIF file %s\n"), name.c_str());
        return 0;
    }
    imsg("Sending gif %s \n", file.c_str());
    const bool jpg = contains(lower(name), ".jpg");
    g.contdone = 1;
    gprintf("Content-type: %s\nContent-Length: %ld\nX-Content-Type-Options: nosniff\n\n", jpg ? "image/jpeg" : "image/gif",
            static_cast<long>(sb.st_size));
    char buf[4000];
    ssize_t k;
    while ((k = ::read(fd, buf, sizeof buf)) > 0) gwrite(std::string_view(buf, static_cast<std::size_t>(k)));
    ::close(fd);
    imsg("Finished cmd=dogif\n\n");
    return 1;
}
