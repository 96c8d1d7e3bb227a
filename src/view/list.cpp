#include "view/list.h"

#include <cmath>
#include <cstdlib>
#include <ctime>

#include "cgi/config.h"
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
#include "support/str.h"
#include "user/lock.h"
#include "user/login.h"
#include "user/profile.h"
#include "user/session.h"
#include "view/date.h"
#include "view/mimecodec.h"

namespace {

ListState& ls() {
    static ListState s;
    return s;
}

int atoi_s(const std::string& s) { return std::atoi(s.c_str()); }

bool folder_exists(int f) {
    if (f == 0 || f == -1) return true;
    return f > 0 && f < kMaxFolders && !prof.xfld_name[static_cast<std::size_t>(f)].empty();
}

// The page size of this request for the browser kind.
int page_size_now() {
    int ps = g.gwml ? prof.xwml_page_size : prof.xpage_size;
    if (ps <= 0) ps = g.gwml ? 5 : 10;
    return ps;
}

int poslimit(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// The rows a paged list shows of n records: positions start down to
// start - rows + 1 (fewer when the body limit stops it).
void page_rows(int n, int ps, int& start, int& rows) {
    start = n - 1;
    rows = n;
    if (ini_true(K_use_page_size)) {
        if (const std::string* u = nform_find("upto"); u && !u->empty()) start = std::min(atoi_s(*u), n - 1);
        rows = ps > 0 ? ps : n;
    }
}

// A paged list of a folder whose line table is current reads the rows it
// shows and nothing else; anything amiss and the whole index is read.
bool open_window(ListState& s) {
    s.windowed = false;
    if (!ini_true(K_use_page_size) || s.stub) return false;
    int n = 0, unread = 0;
    if (!listpos_open(s.xfolder, sort_key_of(prof.xsort_on), n, unread)) return false;
    int start = 0, rows = 0;
    page_rows(n, page_size_now(), start, rows);
    const int lo = std::max(0, start - rows + 1);
    bool ok = listpos_read(lo, start, s.win);
    listpos_close();
    if (!ok) {
        s.win.clear();
        return false;
    }
    s.windowed = true;
    s.win_n = n;
    s.win_unread = unread;
    s.win_lo = lo;
    return true;
}

// Fields of a posted or linked list request that change the stored view.
void take_view_fields() {
    if (const std::string* v = nform_find("page_size"); v && !v->empty()) {
        int n = atoi_s(*v);
        if (n >= 1 && n <= 10000 && n != prof.xpage_size) {
            prof.xpage_size = n;
            g.ui_changed = 1;
        }
    }
    if (const std::string* v = nform_find("wml_page_size"); v && !v->empty()) {
        int n = atoi_s(*v);
        if (n >= 1 && n <= 10000 && n != prof.xwml_page_size) {
            prof.xwml_page_size = n;
            g.ui_changed = 1;
        }
    }
    // The sort order chosen on the list itself is kept like the page size.
    if (const std::string* v = nform_find("sort_on"); v && !v->empty()) {
        static const char* const keys[] = {"arrival", "datetime", "-datetime", "from:",  "-from:",  "subject:",
                                           "-subject:", "bytes:",  "-bytes:",   "to:",    "-to:"};
        for (const char* k : keys)
            if (*v == k) {
                std::string want = *v == "arrival" ? std::string() : *v;
                if (want != prof.xsort_on) {
                    prof.xsort_on = want;
                    g.ui_changed = 1;
                }
            }
    }
}

std::string script() { return g.path_script; }
std::string tok() { return url_encode(g.utoken); }

// Sets the "match" rule variables for one record.
void match_vars(const Record& r) {
    for (const MatchItem& m : ini_match()) {
        if (m.header.empty() || m.var.empty()) continue;
        for (int i = 0; i < nhead; ++i) {
            const std::string& f = r[static_cast<std::size_t>(i)];
            if (f.empty()) continue;
            std::string_view key = h_names[i];
            if (key.size() < m.header.size() || !lc_equal(key.substr(0, m.header.size()), m.header)) continue;
            bool hit = contains(f, m.pattern);
            if (m.negate) hit = !hit;
            var_set(m.var, hit ? m.value : std::string());
        }
    }
}

std::string blank_subject(const std::string& s) {
    return whitespace(s) ? std::string(lang_get("(no subject)")) : s;
}

int popn_of(const Record& r) {
    for (int i = 0; i < kPopSlots; ++i)
        if (!prof.xpop_name[static_cast<std::size_t>(i)].empty() && prof.xpop_name[static_cast<std::size_t>(i)] == r[H_POPHOST] &&
            prof.xpop_user[static_cast<std::size_t>(i)] == r[H_POPUSER])
            return i;
    return -1;
}

const char* yes(bool b) { return b ? "1" : "0"; }

// Template variables of the list page besides the rows.
void list_page_tpl_hook() {
    ListState& s = ls();
    // A profile without page sizes lists by the defaults: the controls
    // show the size in use.
    if (prof.xpage_size <= 0) var_set("page_size", "10");
    if (prof.xwml_page_size <= 0) var_set("wml_page_size", "5");
    // The folder name of the held folder is not in the profile's table.
    if (prof.xfld == -1) var_set("folder", value_encode(get_xfld_name(-1)));
    if (!prof.xuser.empty()) {
        if (var_find("fldlist").empty()) var_set("fldlist", fld_options(prof.xfld, g.gwml != 0));
        if (var_find("dfldlist").empty()) var_set("dfldlist", fld_options(prof.xdfld, g.gwml != 0));
        if (!prof.xni.empty()) {
            var_set("b_next", sfmt("%s?cmd=item&amp;utoken=%s&amp;item=%s", script().c_str(), tok().c_str(),
                                   url_encode(prof.xni).c_str()));
            var_set("bn", value_encode(prof.xni));
        }
        if (!prof.xpi.empty()) {
            var_set("b_prev", sfmt("%s?cmd=item&amp;utoken=%s&amp;item=%s", script().c_str(), tok().c_str(),
                                   url_encode(prof.xpi).c_str()));
            var_set("bp", value_encode(prof.xpi));
        }
    }
    (void)s;
}

struct Registrar {
    Registrar() { tpl_init_add(list_page_tpl_hook); }
} registrar;

}  // namespace

ListState& list_state() { return ls(); }
void list_reset() { ls() = ListState{}; }

std::string get_xfld_name(int folder) {
    if (folder == -1) return lang_get("held");
    if (folder < 0 || folder >= kMaxFolders) return {};
    return prof.xfld_name[static_cast<std::size_t>(folder)];
}

const char* show_priority(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) i++;
    if (i < text.size()) {
        char c = text[i];
        if (c == '1' || c == '2') return "High";
        if (c == '4' || c == '5') return "Low";
    }
    return contains(lower(text), "urgent") ? "High" : "Normal";
}

std::string h_from_trim(std::string_view in) {
    std::string t = ncpy(in, 511);
    std::size_t op = t.find('(');
    if (op != std::string::npos) {
        std::size_t cp = t.find(')', op + 1);
        if (cp == std::string::npos) return t;
        return t.substr(op + 1, cp - op - 1);
    }
    for (;;) {
        std::size_t q1 = t.find('"');
        if (q1 == std::string::npos) break;
        std::size_t q2 = t.find('"', q1 + 1);
        if (q2 == std::string::npos) return t;
        if (q2 > q1 + 1) return t.substr(q1 + 1, q2 - q1 - 1);
        t.erase(q1, 2);   // an empty pair says nothing
    }
    std::size_t i = 0;
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) i++;
    std::size_t lt = t.find('<', i);
    if (lt == std::string::npos) {
        std::size_t e = t.find_first_of(" \t\r\n", i);
        return t.substr(i, e == std::string::npos ? std::string::npos : e - i);
    }
    if (lt == i) {
        std::size_t gt = t.find('>', lt + 1);
        if (gt == std::string::npos) return t;
        return t.substr(lt + 1, gt - lt - 1);
    }
    return t.substr(i, lt - i);
}

std::string h_trim(std::string_view in, int width) {
    std::string_view t = in.substr(0, 508);
    enum { Plain, Shift, Entity, TwoByte } state = Plain;
    std::string out;
    int pos = 0;
    int twobytes = 0;
    std::size_t i = 0;
    bool cut = false;
    while (i < t.size()) {
        unsigned char c = static_cast<unsigned char>(t[i]);
        if (state == Plain) {
            if (pos >= width) {
                cut = true;
                break;
            }
            if (c == 0x0E) {
                state = Shift;
                out += t[i++];
                continue;
            }
            if (c == '&') {
                state = Entity;
                out += t[i++];
                continue;
            }
            if (c == 0x1B && i + 1 < t.size() && t[i + 1] == '$') {
                state = TwoByte;
                twobytes = 0;
                // ESC $ and the set letter that follows.
                std::size_t n = i + 2 < t.size() ? 3 : 2;
                out.append(t.substr(i, n));
                i += n;
                continue;
            }
            if (c >= 0xC0) {
                // One UTF-8 character: the lead byte and its continuation bytes.
                std::size_t j = i + 1;
                while (j < t.size() && (static_cast<unsigned char>(t[j]) & 0xC0) == 0x80 && j - i < 4) j++;
                out.append(t.substr(i, j - i));
                i = j;
            } else {
                out += t[i++];
            }
            pos++;
            continue;
        }
        if (state == Shift) {
            out += t[i++];
            if (c == 0x0F) {
                state = Plain;
                pos++;
            }
            continue;
        }
        if (state == Entity) {
            out += t[i++];
            if (c == ';') {
                state = Plain;
                pos++;
            } else if (c == ' ' || c == '&') {
                state = Plain;   // a lone "&" is only a character
            }
            continue;
        }
        // TwoByte
        if (c == 0x1B && i + 1 < t.size() && t[i + 1] == '(') {
            std::size_t n = i + 2 < t.size() ? 3 : 2;
            out.append(t.substr(i, n));
            i += n;
            state = Plain;
            pos++;
            continue;
        }
        out += t[i++];
        twobytes++;
    }
    if (state == Shift) out += '\x0F';
    if (state == TwoByte) {
        if (twobytes % 2) out.pop_back();
        out += "\x1B(B";
    }
    if (state == Entity) {
        // Cut inside an entity: drop the unfinished entity.
        std::size_t amp = out.rfind('&');
        if (amp != std::string::npos) out.erase(amp);
    }
    if (cut || in.size() > 508) out += "...";
    return out;
}

std::string fld_options(int selected, bool wml) {
    std::string out;
    bool sep = !wm_ini_get(K_separator).empty();
    for (int k = 0; k < kMaxFolders; ++k) {
        const std::string& name = prof.xfld_name[static_cast<std::size_t>(k)];
        if (k != 0 && name.empty()) continue;
        std::string ename = ncpy(value_encode(name.empty() ? get_xfld_name(k) : name), 90);
        std::string entry;
        if (k == 0 && !sep) entry = "<option value=\"0\"" + std::string(!wml && selected == 0 ? " selected" : "") + ">" + ename;
        else if (k == 0) entry = ename;
        else
            entry = sfmt("<option value=\"%d\"%s>%s", k, !wml && k == selected ? " selected" : "", ename.c_str());
        if (!out.empty()) out += "</option>\n";
        out += entry;
        if (out.size() > 3900) break;
    }
    return out;
}

void recalc_diskuse() {
    long kb = 0;
    fld_push();
    for (int k = 0; k < kMaxFolders; ++k) {
        if (k != 0 && prof.xfld_name[static_cast<std::size_t>(k)].empty()) continue;
        Fld_stats st;
        if (fld_read_stats(k, st)) kb += st.size;
    }
    fld_pop();
    f_error_clear();   // a folder without an index is not an error here
    prof.xdiskuse = kb * 1024;
    g.ui_changed = 1;
}

void list_row_vars(const Record& r, int pos, int n, int row) {
    const std::string& id = r[H_ID];
    const int fld = ls().xfolder;
    const std::string s = script(), t = tok(), eid = url_encode(id);
    var_set("b_item", sfmt("%s?cmd=item&amp;utoken=%s&amp;item=%s&amp;fld=%d", s.c_str(), t.c_str(), eid.c_str(), fld));
    var_set("item", value_encode(id));
    var_set("b_reply", sfmt("%s?cmd=reply&amp;item=%s&amp;utoken=%s&amp;fld=%d", s.c_str(), eid.c_str(), t.c_str(), fld));
    var_set("b_forward", sfmt("%s?cmd=forward&amp;utoken=%s&amp;item=%s&amp;fld=%d", s.c_str(), t.c_str(), eid.c_str(), fld));
    var_set("b_forward_edit",
            sfmt("%s?cmd=forward_edit&amp;utoken=%s&amp;item=%s&amp;fld=%d", s.c_str(), t.c_str(), eid.c_str(), fld));
    const std::string& fl = r[H_FLAGS];
    var_set("h_isread", yes(flag_has(fl, "read,")));
    var_set("h_isunseen", yes(flag_has(fl, "unseen,")));
    var_set("h_isreplied", yes(flag_has(fl, "replied,")));
    var_set("h_isforwarded", yes(flag_has(fl, "forwarded,")));
    var_set("h_isattached", yes(flag_has(fl, "file,")));
    var_set("h_isremote", yes(r[H_REMOTE] == "1"));
    int pn = popn_of(r);
    var_set("h_popn", pn >= 0 ? std::to_string(pn) : std::string());
    var_set("h_pophost", contains(r[H_POPUSER], "@") ? std::string() : r[H_POPHOST]);
    var_set("h_popuser", r[H_POPUSER]);
    std::string from = rfc1522s(r[H_FROM]);
    std::string to = rfc1522s(r[H_TO]);
    var_set("h_from", value_encode(from));
    var_set("h_to", value_encode(to));
    var_set("h_pri", show_priority(r[H_PRIORITY]));
    var_set("h_uidl", value_encode(id));
    var_set("h_status", value_encode(r[H_STATUS]));
    var_set("h_lines", r[H_LINES]);
    var_set("h_bytes", r[H_BYTES]);
    var_set("h_kbytes", sfmt("%0.0f", std::atof(r[H_BYTES].c_str()) / 1024.0));
    var_set("h_cc", value_encode(rfc1522s(r[H_CC])));
    const std::string& date = r[H_DATE];
    var_set("h_date", value_encode(date));
    var_set("h_date_trim", value_encode(h_date_trim(date)));
    var_set("h_date_day", value_encode(h_date_day(date)));
    var_set("h_date_time", value_encode(h_date_time(date)));
    var_set("h_date_t24", value_encode(h_date_t24(date)));
    std::string ft = h_from_trim(from);
    var_set("h_from_trim", value_encode(ft));
    std::size_t at = ft.find('@');
    var_set("h_from_trim2", value_encode(at == std::string::npos ? ft : ft.substr(0, at)));
    var_set("h_to_trim", value_encode(h_from_trim(to)));
    std::string subj = value_encode(blank_subject(rfc1522s(r[H_SUBJECT])));
    var_set("h_subject", subj);
    var_set("h_subject_40", h_trim(subj, 40));
    var_set("h_subject_60", h_trim(subj, 60));
    var_set("h_subject_30", h_trim(subj, 30));
    var_set("list_i", std::to_string(row));
    var_set("list_m", std::to_string(n - pos));
    match_vars(r);
}

void tpl_show_list(const std::string& block) {
    Index& idx = mainidx();
    ListState& s = ls();
    const int n = s.windowed ? s.win_n : idx.n;
    int start = 0, stop_after = 0;
    page_rows(n, s.list_ps, start, stop_after);
    const bool limit = ini_true(K_limit_list);
    const long body_limit = prof.xbody_limit;
    int row = 0;
    std::string text;
    for (int pos = start; pos >= 0 && row < stop_after; --pos) {
        if (limit && gsent() + static_cast<long>(text.size()) + 40 >= body_limit) {
            if (log_has("body_limit"))
                imsg("+ body_limit=%ld gsent=%ld", body_limit, gsent() + static_cast<long>(text.size()));
            break;
        }
        const int at = s.windowed ? pos - s.win_lo : pos;
        const std::vector<Record>& recs = s.windowed ? s.win : idx.recs;
        if (at < 0 || at >= static_cast<int>(recs.size())) break;
        ++row;
        list_row_vars(recs[static_cast<std::size_t>(at)], pos, n, row);
        std::string line = ncpy(block, 9999);
        tpl_replace_vars(line);
        text += line;
        text += '\n';
        // Output goes out in pieces so that a long folder never builds one
        // huge string, and the limit check above sees what was written.
        if (text.size() > 32768 || limit) {
            gwrite(text);
            text.clear();
        }
    }
    if (!text.empty()) gwrite(text);
}

void tpl_show_flist(const std::string& block) {
    for (const char* v : {"f_rename", "f_delete", "f_newname"}) var_set(v, "");
    const std::string s = script(), t = tok();
    long tm = 0, tu = 0, tn = 0, ts = 0;
    int maxlen = atoi_s(wm_ini_get(K_fld_maxlength));
    if (maxlen <= 0) maxlen = 14;
    fld_push();
    std::string out;
    for (int k = 0; k < kMaxFolders; ++k) {
        const std::string& name = prof.xfld_name[static_cast<std::size_t>(k)];
        if (name.empty()) continue;
        Fld_stats st;
        if (!fld_read_stats(k, st)) continue;
        var_set("f_href", sfmt("%s?cmd=list&amp;utoken=%s&amp;fld=%d", s.c_str(), t.c_str(), k));
        var_set("f_name", value_encode(name));
        var_set("f_msgs", std::to_string(st.msgs));
        var_set("f_unread", std::to_string(st.unread));
        var_set("f_new", std::to_string(st.nnew));
        var_set("f_size", std::to_string(st.size));
        var_set("f_id", std::to_string(k));
        var_set("f_del", sfmt("%s?cmd=fld_delete&amp;utoken=%s&amp;dstfld=%d", s.c_str(), t.c_str(), k));
        if (k > 2) {
            var_set("f_delete", sfmt("<a href=\"%s?cmd=fld_delete&amp;utoken=%s&amp;dstfld=%d&amp;\"> %s</a>", s.c_str(),
                                     t.c_str(), k, lang_get("Delete")));
            var_set("f_rename", sfmt("<input type=\"submit\" name=\"fld_rename%d\" value=\"%s\">", k, lang_get("Rename")));
            var_set("f_newname", sfmt("<input type=\"text\" maxlength=\"%d\" size=\"12\" name=\"f_name%d\" value=\"%s\">",
                                      maxlen, k, value_encode(name).c_str()));
        } else {
            for (const char* v : {"f_rename", "f_delete", "f_newname"}) var_set(v, "");
        }
        tm += st.msgs;
        tu += st.unread;
        tn += st.nnew;
        ts += st.size;
        std::string line = ncpy(block, 9999);
        tpl_replace_vars(line);
        out += line;
    }
    fld_pop();
    f_error_clear();   // a folder never opened has no index yet: no error for the page
    gwrite(out);
    var_set("f_tmsgs", std::to_string(tm));
    var_set("f_tunread", std::to_string(tu));
    var_set("f_tnew", std::to_string(tn));
    var_set("f_tsize", std::to_string(ts));
    prof.xdiskuse = ts * 1024;
    g.ui_changed = 1;
}

int fld_show(int folder) {
    ListState& s = ls();
    Index& idx = mainidx();
    if (!s.windowed && (curfld() != folder || idx.max == 0)) {
        if (!fld_readxov(folder)) return 0;
        s.fresh_read = true;
    }
    const int n = s.windowed ? s.win_n : idx.n;
    int ps = page_size_now();
    s.list_ps = ps;
    int upto = n - 1;
    if (const std::string* u = nform_find("upto"); u && !u->empty()) upto = poslimit(atoi_s(*u), 0, n > 0 ? n - 1 : 0);
    int pages = 1, page_num = 1;
    if (ps > 0) {
        pages = (n + ps - 1) / ps;
        page_num = (n - upto + ps - 1) / ps;
        if (page_num < 1) page_num = 1;
    }
    const std::string sc = script(), t = tok();
    if (upto + ps < n)
        var_set("b_list_prev", sfmt("%s?cmd=list&amp;upto=%d&amp;utoken=%s&amp;fld=%d", sc.c_str(), upto + ps, t.c_str(), folder));
    if (upto - ps >= 0)
        var_set("b_list_next", sfmt("%s?cmd=list&amp;upto=%d&amp;utoken=%s&amp;fld=%d", sc.c_str(), upto - ps, t.c_str(), folder));
    var_set("pages", std::to_string(pages));
    var_set("page_num", std::to_string(page_num));
    int unread = s.win_unread;
    if (!s.windowed) {
        std::string key = sort_key_of(prof.xsort_on);
        bool in_order = key.empty() || idx_sorted(idx, key.c_str());
        if (!in_order) {
            idx_sort(idx, key.c_str());
            if (!user_read_only()) in_order = fld_write(folder) != 0;
        }
        unread = 0;
        for (const Record& r : idx.recs)
            if (!flag_has(r[H_FLAGS], "read,")) unread++;
        // index.dat as read (or just written) is in the list's order: the
        // next page of this folder need not read all of it.
        if (in_order && s.fresh_read && !user_read_only() && ini_true(K_use_page_size)) listpos_save(folder, key);
        // Once only: what is in memory may change after this page.
        s.fresh_read = false;
    }
    var_set("nitems", std::to_string(n));
    var_set("nnew", std::to_string(popst().gnnew));
    var_set("nnew_sl", std::to_string(prof.xnnew_sl));
    var_set("nrej", std::to_string(popst().gnrej));
    var_set("upto", std::to_string(upto));
    var_set("tunread", std::to_string(unread));
    if (s.stub) tpl_show("stub");
    else tpl_show("list");
    return 1;
}

int list_read_stored(int folder) {
    ListState& s = ls();
    s.xfolder = folder;
    if (open_window(s)) return 1;
    if (!fld_readxov(folder)) return 0;
    s.fresh_read = true;
    return 1;
}

int do_list() {
    ListState& s = ls();
    if (const std::string* c = nform_find("checknew"); c && !c->empty() && (*c)[0] != 'f') s.forceupdate = true;
    if (!user_checkauth()) {
        if (f_error_text().empty()) f_error("%s", lang_get("User or Password failed, login again"));
        return 0;
    }
    // The slot is chosen once the profile is loaded, so that it sticks.
    if (const std::string* pc = nform_find("pop_cur"); pc && !pc->empty()) {
        int slot = atoi_s(*pc);
        if (slot < 0 || slot >= kPopSlots || (slot > 0 && prof.xpop_name[static_cast<std::size_t>(slot)].empty())) slot = 0;
        if (slot != prof.xpop_cur) {
            prof.xpop_cur = slot;
            g.ui_changed = 1;
        }
    }
    if (user_read_only()) s.forceupdate = false;
    take_view_fields();
    if (const std::string* w = nform_find("wbl"); w && !w->empty()) {
        prof.xbody_limit = atoi_s(*w);
        g.ui_changed = 1;
        if (log_has("body_limit")) imsg("+ body_limit set from do_list to %d", prof.xbody_limit);
    }
    if (!folder_exists(s.xfolder)) s.xfolder = 0;
    if (prof.xfld != s.xfolder) {
        prof.xfld = s.xfolder;
        g.ui_changed = 1;
    }
    const long now = static_cast<long>(std::time(nullptr));
    bool check = false;
    if (s.xfolder == 0) {
        if (const std::string* np = nform_find("newpass"); np && !np->empty()) {
            if (token_posted()) {
                prof.xpop_pass[static_cast<std::size_t>(prof.xpop_cur)] = *np;
                g.ui_changed = 1;
            } else {
                lmsg("newpass for %s ignored: not posted with the session's token", prof.xuser.c_str());
            }
        }
        const long since = now - prof.xfetch_last;
        const long fetch_min = g.xfetch_min;
        // A check is made when asked for, and by the first list of a
        // session (login and logout reset "fetch_last"), so the mail is
        // there after login.  Asked for or not, the server is not
        // troubled again within fetch_min seconds of the last check.
        const bool due = s.forceupdate || (!user_read_only() && prof.xfetch_last == 0);
        if (due && prof.xfetch_last != 0 && since < fetch_min)
            imsg("Not connecting again as it's too soon %d<%d\n", static_cast<int>(since), static_cast<int>(fetch_min));
        else if (due)
            check = true;
        var_set("newmail", "true");
        if (prof.xrefresh > 0) var_set("refresh", std::to_string(prof.xrefresh));
    }
    if (prof.xll != prof.xlast_login && prof.xll != 0) {
        std::time_t t = static_cast<std::time_t>(prof.xll);
        char buf[32];
        std::string ct = ctime_r(&t, buf) ? std::string(buf) : std::string();
        var_set("last_login", value_encode(ncpy(ct, 19)));
    }
    if (prof.xll != prof.xlast_login) {
        // Shown once per login: the next list says nothing more.
        prof.xll = prof.xlast_login;
        g.ui_changed = 1;
    }
    if (check) {
        const int chosen = prof.xpop_cur;
        if (prof.xpopall) {
            int opened = 0;
            for (int i = 0; i < kPopSlots; ++i) {
                if (i > 0 && prof.xpop_name[static_cast<std::size_t>(i)].empty()) continue;
                // The scan files records under the current slot's account
                // and reconciles the cache against it: slot i is current
                // while its server is read.
                prof.xpop_cur = i;
                if (!pop_open(i)) continue;
                opened++;
                pop_read();
                pop_close();
            }
            prof.xpop_cur = chosen;
            if (!opened) return 0;
            pop_open(chosen);
        } else {
            if (!pop_open(chosen)) return 0;
            pop_read();
        }
        prof.xfetch_last = now;
        g.ui_changed = 1;
        if (curfld() != 0 || mainidx().max == 0) fld_readxov(0);
    } else if (!list_read_stored(s.xfolder)) {
        return 0;
    }
    var_set("nnew", std::to_string(popst().gnnew));
    var_set("nnew_sl", std::to_string(prof.xnnew_sl));
    var_set("nrej", std::to_string(popst().gnrej));
    var_set_list("reject_from", &prof.reject_from);
    return fld_show(s.xfolder);
}

int f_list() {
    ListState& s = ls();
    if (!form_find("newframe").empty() && g.xisframes) {
        tpl_show("frame");
        return 1;
    }
    const std::string* f = nform_find("fld");
    s.xfolder = f && !f->empty() ? atoi_s(*f) : 0;
    return do_list();
}

int f_list_new() {
    ls().xfolder = 0;
    ls().forceupdate = true;
    return do_list();
}

namespace {
int list_named(int key, const char* dflt) {
    // Without the setting, the name new profiles give the folder.
    const std::string name = wm_ini_get(key).empty() ? std::string(dflt) : wm_ini_get(key);
    int f = fld_find(name);
    if (f < 0) {
        imsg("Folder %s does not exist\n", name.c_str());
        f = 0;
    }
    ls().xfolder = f;
    return do_list();
}
}  // namespace

int f_list_waste() {
    if (!user_checkauth()) return 0;
    return list_named(K_waste_name, "Trash Can");
}
int f_list_copy() {
    if (!user_checkauth()) return 0;
    return list_named(K_copy_name, "Copies to self");
}

int f_list_held() {
    ls().xfolder = -1;
    return do_list();
}

int f_stub() {
    ListState& s = ls();
    s.stub = true;
    s.xfolder = 0;
    s.forceupdate = true;
    if (!form_find("newframe").empty() && g.xisframes) {
        tpl_show("frame");
        return 1;
    }
    return do_list();
}

int f_switch() {
    ls().xfolder = atoi_s(form_find("dstfld"));
    return do_list();
}
