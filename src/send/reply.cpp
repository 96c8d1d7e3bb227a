// Reply, reply to all and forward-with-editing: the compose page filled
// from a stored message.  Every header value taken from the message is
// outside input: it is decoded, made one line and bounded before it lands
// in a form field, and the form's values are checked again when sent.
#include "send/reply.h"

#include <cstdlib>

#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "net/pop.h"
#include "page/encode.h"
#include "page/tpl.h"
#include "page/var.h"
#include "send/addr.h"
#include "send/send.h"
#include "store/index.h"
#include "store/msgfile.h"
#include "support/str.h"
#include "user/login.h"
#include "user/profile.h"
#include "view/item.h"
#include "view/mime.h"
#include "view/mimecodec.h"

namespace {

constexpr std::size_t kListMax = 511;
constexpr std::size_t kRefsMax = 900;

std::string head_of(std::string_view msg) {
    std::size_t e = std::min(msg.find("\n\n"), msg.find("\r\n\r\n"));
    return std::string(msg.substr(0, e == std::string_view::npos ? msg.size() : e));
}

std::string hv(const std::string& head, const char* name) { return mime_header_value(head, name, 2000); }

// The bare addresses of a list, in order.
std::vector<std::string> bare_list(std::string_view list) {
    std::vector<std::string> out;
    for (const std::string& a : addr_list(list)) {
        std::string b = one_line(a, 511);
        if (b.find('@') != std::string::npos && b.find_first_of(" ,<>\"") == std::string::npos) out.push_back(b);
    }
    return out;
}

std::string tidy(std::string_view list, std::string_view me, bool drop_me) {
    std::string out, lme = lower(me);
    std::vector<std::string> seen;
    for (const std::string& a : bare_list(list)) {
        std::string la = lower(a);
        if (drop_me && !lme.empty() && la == lme) continue;
        bool dup = false;
        for (const std::string& s : seen) dup = dup || s == la;
        if (dup) continue;
        // Whole addresses only: a cut one would go to someone else.
        if (out.size() + (out.empty() ? 0 : 1) + a.size() > kListMax) break;
        seen.push_back(la);
        out += (out.empty() ? "" : ",") + a;
    }
    return out;
}

// The message of the form's "fld" and "item": its body fetched when only
// a stub is kept, loaded for the page, its record at *pos.
bool open_message(int& fld, int& pos) {
    fld = std::atoi(form_find("fld").c_str());
    const std::string item = ncpy(form_find("item"), 99);
    // Message numbers start at 0; anything but digits names no message.
    if (item.empty() || item.size() > 9 || item.find_first_not_of("0123456789") != std::string::npos) {
        f_error("%s", lang_get("No message was chosen"));
        return false;
    }
    int n = std::atoi(item.c_str());
    if (fld < 0 || fld >= kMaxFolders || (fld > 0 && prof.xfld_name[static_cast<std::size_t>(fld)].empty())) fld = 0;
    if (!fld_readxov(fld)) return false;
    pos = fld_findid(n);
    if (pos < 0) {
        f_error("%s", lang_get("E12: Message must have been deleted"));
        return false;
    }
    Record* r = fld_getrec(pos);
    if (r && flag_has((*r)[H_FLAGS], "rbody,")) {
        int ok = pop_read_rbody(pos);
        fld_write(fld);
        if (!ok) {
            f_error("%s", lang_get("pop read of remote msg failed\n"));
            return false;
        }
    }
    if (!msg_load(fld, n)) return false;
    ItemState& s = item_state();
    s.fld = fld;
    s.n = n;
    s.item = std::to_string(n);
    s.text = msgbuf().text;
    s.have = true;
    return true;
}

// Page variables shared by the reply pages: the message's own, then the
// subject with its prefix, the threading headers and an empty Cc.
std::string reply_common(int pos, const char* prefix) {
    tpl_init_item(pos);
    std::string head = head_of(item_state().text);
    std::string subj = one_line(rfc1522s(hv(head, "subject")), 500);
    std::string want = lower(prefix);
    if (lower(subj.substr(0, want.size())) != want) subj = std::string(prefix) + subj;
    var_set("h_subject", value_encode(subj));
    std::string irt, refs;
    reply_threading(hv(head, "message-id"), hv(head, "references"), irt, refs);
    var_set("in_reply_to", value_encode(irt));
    var_set("references", value_encode(refs));
    var_set("h_cc", "");
    return head;
}

std::string my_address() { return addr_only(get_reply()); }

}  // namespace

std::string one_line(std::string_view v, std::size_t max) {
    std::string out;
    out.reserve(std::min(v.size(), max));
    for (char c : v) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (u < 32 || u == 127) ? ' ' : c;
    }
    if (out.size() > max) {
        std::size_t cut = max;
        // Never end inside a UTF-8 sequence.
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
    }
    return out;
}

std::string replyall_tidy(std::string_view list, std::string_view me) { return tidy(list, me, true); }

std::string addr_list_tidy(std::string_view text) {
    if (text.find('@') == std::string_view::npos) return std::string(text);
    return tidy(text, "", false);
}

void reply_threading(std::string_view msgid, std::string_view refs, std::string& in_reply_to,
                     std::string& references) {
    in_reply_to.clear();
    references.clear();
    std::string id = one_line(msgid, 998);
    id.erase(0, id.find_first_not_of(' '));
    id.erase(id.find_last_not_of(' ') + 1);
    if (id.size() < 3 || id.front() != '<' || id.back() != '>' || id.find_first_of(" <>", 1) != id.size() - 1)
        return;
    in_reply_to = id;
    std::vector<std::string> ids;
    std::string r = one_line(refs, 4000);
    for (std::size_t at = 0; (at = r.find('<', at)) != std::string::npos;) {
        std::size_t e = r.find('>', at);
        if (e == std::string::npos) break;
        std::string one = r.substr(at, e - at + 1);
        if (one.find_first_of(" <", 1) == std::string::npos && one != id) ids.push_back(one);
        at = e + 1;
    }
    // The first (thread root) and the newest ids matter most to readers.
    std::size_t total = id.size();
    std::vector<std::string> keep;
    for (std::size_t i = ids.size(); i-- > 1;) {
        if (total + ids[i].size() + 1 + (ids.empty() ? 0 : ids[0].size() + 1) > kRefsMax) break;
        keep.insert(keep.begin(), ids[i]);
        total += ids[i].size() + 1;
    }
    if (!ids.empty() && total + ids[0].size() + 1 <= kRefsMax) keep.insert(keep.begin(), ids[0]);
    for (const std::string& k : keep) references += k + " ";
    references += id;
}

int flags_add(int fld, std::string_view item, std::string_view word) {
    if (!fld_readxov(fld)) return 0;
    int pos = fld_findid(std::atoi(std::string(item).c_str()));
    Record* r = pos >= 0 ? fld_getrec(pos) : nullptr;
    if (!r) return 0;
    if (flag_has((*r)[H_FLAGS], word)) return 1;
    std::string fl = (*r)[H_FLAGS];
    flag_add(fl, word);
    if (fl.size() > 511) return 1;   // a full list keeps what it has
    (*r)[H_FLAGS] = fl;
    fld_write(fld);
    return 1;
}

int f_reply() {
    if (!user_checkauth()) return 0;
    int fld = 0, pos = -1;
    if (!open_message(fld, pos)) return 0;
    flags_add(fld, item_state().item, "replied,");
    std::string head = reply_common(pos, "Re: ");
    // The answer goes where the sender asked: Reply-To, else From.
    std::string to = rfc1522s(hv(head, "reply-to"));
    if (to.empty()) to = rfc1522s(hv(head, "from"));
    std::string tidied = replyall_tidy(to, "");
    var_set("h_from", value_encode(tidied.empty() ? one_line(to, 511) : tidied));
    var_set("a_reply", value_encode(tidied));
    return f_send();
}

int f_replyall() {
    if (!user_checkauth()) return 0;
    int fld = 0, pos = -1;
    if (!open_message(fld, pos)) return 0;
    flags_add(fld, item_state().item, "replied,");
    std::string head = reply_common(pos, "Re: ");
    std::string first = rfc1522s(hv(head, "reply-to"));
    if (first.empty()) first = rfc1522s(hv(head, "from"));
    std::string list = first;
    for (const char* h : {"to", "cc"}) {
        std::string v = rfc1522s(hv(head, h));
        if (!v.empty()) list += ", " + v;
    }
    std::string tidied = replyall_tidy(list, my_address());
    var_set("h_from", value_encode(tidied));
    var_set("h_reply", value_encode(tidied));
    var_set("a_from", value_encode(tidied));
    var_set("a_reply", value_encode(tidied));
    return f_send();
}

int f_forward_edit() {
    if (!user_checkauth()) return 0;
    int fld = 0, pos = -1;
    if (!open_message(fld, pos)) return 0;
    flags_add(fld, item_state().item, "forwarded,");
    // Attachments travel as parts of the new message, not inline in its text.
    int inline_was = prof.xv_inline;
    prof.xv_inline = 0;
    reply_common(pos, "Fwd: ");
    var_set("in_reply_to", "");
    var_set("references", "");
    var_set("h_from", "");
    var_set("a_reply", "");
    for (const char* v : {"fwdedit", "fwdedit_headers", "fwdedit_attachments"}) var_set(v, "checked");
    const std::string& page = form_find("page");
    if (page.empty()) form_put("page", "fwdedit");
    int rc = f_send();
    prof.xv_inline = inline_was;
    return rc;
}
