// Resending stored messages.  Stored header text goes out as it is stored
// (never decoded, so an encoded word holding CR LF stays inert), every
// value given by the form is checked for line breaks, and each server
// reply is read whole, so a multi-line reply never passes for the answer
// to the next command.
#include "send/forward.h"

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

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
#include "send/compose.h"
#include "send/mailenc.h"
#include "send/reply.h"
#include "send/send.h"
#include "send/smtp.h"
#include "store/folders.h"
#include "store/index.h"
#include "store/msgfile.h"
#include "support/str.h"
#include "user/login.h"
#include "user/profile.h"
#include "user/session.h"
#include "view/date.h"
#include "view/mime.h"
#include "view/mimecodec.h"

namespace {

constexpr std::size_t kFwdListMax = 511;
constexpr std::size_t kFwdMax = 1000;
constexpr std::size_t kSubjectMax = 900;

// Stored headers the resent copy leaves out (compared ignoring case).
bool dropped(const std::string& lname, const ForwardText& f, bool multipart_ctype) {
    static const char* kAlways[] = {"subject", "message-id", "status", "x-uidl", "nwflags", "delivered-to"};
    for (const char* n : kAlways)
        if (lname == n) return true;
    if (lname == "received" && f.child_flags && (std::atoi(f.child_flags) & 1)) return true;
    // With a note the message gets a MIME block of its own.
    if ((lname == "content-type" || lname == "mime-version") && multipart_ctype && !f.note.empty()) return true;
    if (f.myfrom) {
        static const char* kMine[] = {"to", "date", "reply", "reply-to", "sender", "cc"};
        for (const char* n : kMine)
            if (lname == n) return true;
    }
    return false;
}

// A stored header line made fit for the wire (998 bytes a line): folded
// at blanks; a run with no blank to fold at is cut there.
std::string fold_stored(const std::string& line) {
    constexpr std::size_t kLine = 990;
    std::string out;
    std::string_view rest = line;
    while (rest.size() > kLine) {
        std::size_t b = rest.find_last_of(" \t", kLine);
        if (b == std::string_view::npos || b == 0) return out + std::string(rest.substr(0, kLine)) + "\r\n";
        out += std::string(rest.substr(0, b)) + "\r\n";
        rest.remove_prefix(b);   // the blank starts the continuation line
    }
    return out + std::string(rest) + "\r\n";
}

std::string strip_cr(std::string_view l) {
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    return std::string(l);
}

struct Dialogue {
    // Records the refusal (fmt takes the address or the reply first, then
    // the reply) and ends the dialogue.
    int fail(const char* fmt, const std::string& a, const std::string& b = "") {
        imsg("forward_msg: refused: %s %s\n", a.c_str(), b.c_str());
        f_error(fmt, html_escape(a).c_str(), html_escape(b).c_str());
        tcp_close();
        return 0;
    }
    // One command and its whole reply; false when refused or unread.
    bool step(const std::string& cmd, const char* refused_fmt, const std::string& arg = "") {
        int code = smtp_cmd(cmd) ? smtp_reply() : -1;
        if (code >= 0 && code < 400) return true;
        std::string r = smtp_reason().empty() ? lang_get("no reply from the server") : smtp_reason();
        if (arg.empty()) fail(refused_fmt, r);
        else fail(refused_fmt, arg, r);
        return false;
    }
};

// Recipients of one list, vetted; false with the reason recorded.
bool vet(const std::string& list, std::vector<std::string>& out, const char* invalid_fmt, bool count) {
    for (const std::string& a : addr_list(list)) {
        if (!addr_sane(a) || !took(a)) {
            f_error(lang_get(invalid_fmt), html_escape(a).c_str());
            return false;
        }
        if (count && too_many_sends()) {
            f_error(lang_get("send failed not allowed > %d messages in 1 day"), prof.xsends);
            return false;
        }
        out.push_back(a);
    }
    return true;
}

std::string placeholder_empty(const std::string& v, const char* name) { return lower(v) == name ? "" : v; }

}  // namespace

std::string forward_build(const ForwardText& f) {
    std::string out;
    std::string_view msg = f.stored;
    std::size_t at = 0;
    std::string stored_subject;
    bool dropping = false, in_subject = false;
    const std::string head = std::string(msg.substr(0, std::min(msg.find("\n\n"), msg.find("\r\n\r\n"))));
    std::string ctype = mime_header_value(head, "content-type", 2000);
    std::string boundary = lower(ctype).find("multipart") != std::string::npos ? mime_param(ctype, "boundary") : "";
    // Header lines up to the first empty one.
    while (at < msg.size()) {
        std::size_t e = msg.find('\n', at);
        std::string line = strip_cr(msg.substr(at, e == std::string_view::npos ? std::string_view::npos : e - at));
        at = e == std::string_view::npos ? msg.size() : e + 1;
        if (line.empty()) break;
        if (head_is_cont(line)) {
            if (dropping) {
                if (in_subject) stored_subject += line;
                continue;
            }
            out += fold_stored(line);
            continue;
        }
        std::size_t colon = line.find(':');
        std::string lname = lower(colon == std::string::npos ? line : line.substr(0, colon));
        dropping = dropped(lname, f, !boundary.empty());
        in_subject = lname == "subject";
        if (in_subject) stored_subject = line.substr(colon + 1);
        if (dropping) continue;
        if (f.myfrom && lname == "from") {
            if (!f.real_name.empty() && f.from.find('<') == std::string::npos)
                out += "From: " + encode_phrase(f.real_name) + " <" + f.from + ">\r\n";
            else
                out += "From: " + encode_addr_list(f.from) + "\r\n";
            continue;
        }
        out += fold_stored(line);
    }
    // The stored subject stays in its stored (encoded) form.
    std::string subj;
    std::string fwd_from = lower(lang_get("(From message)")), fwd_fwd = lower(lang_get("(Fwd: From message)"));
    std::string ls = lower(f.subject);
    std::string stored = stored_subject;
    stored.erase(0, stored.find_first_not_of(" \t"));
    // A line of the wire holds at most 998 bytes: a longer stored subject
    // is cut (at a blank when there is one, so encoded words stay whole).
    if (stored.size() > kSubjectMax) {
        std::size_t cut = stored.rfind(' ', kSubjectMax);
        stored.resize(cut == std::string::npos || cut < kSubjectMax / 2 ? kSubjectMax : cut);
    }
    if (f.subject.empty() || ls == fwd_from)
        subj = stored;
    else if (ls == fwd_fwd)
        subj = "Fwd: " + stored;
    else
        subj = encode_rfc1522(f.subject);
    out += fold_header("Subject", subj);
    out += "Resent-to: " + f.to_list + "\r\n";
    if (f.myfrom) out += "To: " + f.to_list + "\r\n";
    if (!f.cc_list.empty()) out += "Resent-cc: " + f.cc_list + "\r\n";
    out += "Resent-from: " + f.resent_from + "\r\n";
    out += (f.myfrom ? "Date: " : "Resent-date: ") + f.date + "\r\n";
    out += "Message-id: " + f.message_id + "\r\n";
    if (f.child_flags) {
        if (std::atoi(f.child_flags) & 1) out += "X-Child-To: " + f.child_user + "\r\n";
        out += "Nwflags: " + std::string(f.child_flags) + "\r\n";
    }
    const bool parts = !f.note.empty() && !boundary.empty();
    if (parts) out += "MIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n\tboundary=\"" + boundary + "\"\r\n";
    out += "\r\n";
    std::string_view body = msg.substr(at);
    if (!f.note.empty()) {
        std::string note = f.note;
        do_wrap(note, get_send_wrap());
        std::string text = to_crlf_lines(note);
        std::string cte = text_cte(text, f.no_qp);
        if (parts) {
            out += "This is a multi-part message in MIME format.\r\n\r\n--" + boundary + "\r\n";
            out += "Content-Type: text/plain; charset=\"UTF-8\"\r\nContent-Transfer-Encoding: " + cte + "\r\n\r\n";
            out += text_encode_cte(text, cte);
            out += lang_get("****** Forwarded Message is in next mime section *******\r\n");
            out += "\r\n";
            // The stored parts follow the note: skip the preamble up to the
            // first boundary line, which is kept.
            std::string open = "--" + boundary;
            std::size_t p = 0;
            while (p < body.size()) {
                std::size_t e = body.find('\n', p);
                std::string_view l = body.substr(p, e == std::string_view::npos ? std::string_view::npos : e - p);
                if (l.substr(0, open.size()) == open) break;
                p = e == std::string_view::npos ? body.size() : e + 1;
            }
            body = body.substr(p);
        } else {
            // Without parts the note is plain lines in front of the message.
            out += text;
            out += lang_get("****** Forwarded Message Follows *******\r\n");
            out += "\r\n";
        }
    }
    for (std::size_t p = 0; p < body.size();) {
        std::size_t e = body.find('\n', p);
        out += strip_cr(body.substr(p, e == std::string_view::npos ? std::string_view::npos : e - p)) + "\r\n";
        p = e == std::string_view::npos ? body.size() : e + 1;
    }
    return out;
}

bool fwd_list_parse(std::string_view list, std::vector<int>& out) {
    out.clear();
    if (list.size() > kFwdListMax) return false;
    std::size_t i = 0;
    while (i < list.size()) {
        if (list[i] == ',' || list[i] == ' ') {
            ++i;
            continue;
        }
        std::size_t e = list.find_first_of(", ", i);
        std::string tok(list.substr(i, e == std::string_view::npos ? std::string_view::npos : e - i));
        int n = 0;
        if (!fld_parse_num(tok, n) || n < 0 || out.size() >= kFwdMax) return false;
        out.push_back(n);
        i = e == std::string_view::npos ? list.size() : e;
    }
    return true;
}

int forward_msg(const std::string& to_in, const std::string& subject, const std::string& from,
                const std::string& resent_from, const std::string& cc_in, const std::string& bcc_in,
                const char* child_flags) {
    std::string to = placeholder_empty(to_in, "to"), cc = placeholder_empty(cc_in, "cc"),
                bcc = placeholder_empty(bcc_in, "bcc");
    const std::string note = form_find("fwd_note");
    for (const std::string* v : std::initializer_list<const std::string*>{&to, &cc, &bcc, &subject, &from, &resent_from})
        if (!line_clean(*v)) {
            f_error("%s", lang_get("Forwarding failed: a field holds a line break"));
            return 0;
        }
    if (child_flags && !line_clean(child_flags)) return 0;
    if (!msgbuf().have || msgbuf().text.empty()) {
        f_error("%s", lang_get("Cannot get message to forward"));
        return 0;
    }
    const std::string domain = get_domain();
    if (to.empty() || !fix_local(to, 2048, domain) || to.empty()) {
        f_error("%s", lang_get("To: must be specified\n"));
        return 0;
    }
    if (!fix_local(cc, 512, domain) || !fix_local(bcc, 512, domain)) {
        f_error("%s", lang_get("Too many entries in to field - the addresses do not fit"));
        return 0;
    }
    std::string sender = addr_only(from);
    if (!addr_sane(sender)) {
        f_error(lang_get("Send failed: invalid from address %s"), html_escape(from).c_str());
        return 0;
    }
    // Every recipient is vetted before the server hears of any.
    std::vector<std::string> rcpt;
    if (!vet(to, rcpt, "W6: Send failed: invalid to address %s\n", false)) return 0;
    if (rcpt.empty()) {
        f_error(lang_get("No valid to addresses %s\n"), html_escape(to).c_str());
        return 0;
    }
    std::size_t n_to = rcpt.size();
    if (!vet(cc, rcpt, "W8: Send failed: invalid to address %s\n", true)) return 0;
    if (!vet(bcc, rcpt, "Send failed: invalid to address %s", true)) return 0;
    std::size_t n_copies = rcpt.size();
    if (prof.xsend_autocc && !vet(addr_only(get_reply()), rcpt, "Send failed: invalid to address %s", true)) return 0;

    ForwardText f;
    f.stored = msgbuf().text;
    f.subject = subject;
    f.from = from;
    f.resent_from = resent_from;
    f.to_list = to;
    f.cc_list = cc;
    f.note = note;
    f.myfrom = prof.xv_myfrom != 0;
    f.real_name = prof.xreal_name;
    f.child_flags = child_flags;
    f.child_user = prof.xuser;
    f.date = lib_email_date();
    f.message_id = lib_email_mid(domain);
    f.no_qp = ini_true(K_no_quoted_printable);
    std::string text = forward_build(f);
    std::string path = temp_fname();
    FILE* out = path.empty() ? nullptr : std::fopen(path.c_str(), "wb");
    bool written = out && std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (out) written = std::fclose(out) == 0 && written;
    if (!written) {
        if (!path.empty()) std::remove(path.c_str());
        f_error(lang_get("Sorry I could not send the message (%s)"), "no temporary file");
        return 0;
    }
    struct Remove {
        std::string p;
        ~Remove() { std::remove(p.c_str()); }
    } cleanup{path};

    std::string host = get_smtphost();
    int port = get_smtp_port();
    imsg("Open smtp host %s\n", host.c_str());
    int dns_err = 0;
    tcp_close();
    int s = tcp_openx(host, port, &dns_err);
    if (s < 0) {
        f_error(lang_get("Cannot connect to SMTP host (%s): Error %d:%s"), html_escape(host).c_str(), dns_err,
                html_escape(tcperror()).c_str());
        return 0;
    }
    msock().sk = s;
    readln_clear();
    Dialogue d;
    int code = smtp_reply();
    if (code < 0 || code >= 400) return d.fail("didn't like open response (%s)", smtp_reason());
    // The site's submission server may require the user's login, as for
    // composed mail.
    bool greeted = false;
    if (ini_true(K_smtp_auth) || lower(wm_ini_get(K_smtp_auth)) == "plain") {
        int a = smtp_auth(domain, prof.xpop_user[0], prof.xpop_pass[0]);
        if (a < 0) return d.fail("didn't like helo response (%s)", smtp_reason());
        greeted = a > 0;
    }
    imsg("r_forward, helo\n");
    if (!greeted && !d.step("HELO " + domain, "didn't like helo response (%s)")) return 0;
    if (!d.step("MAIL FROM:" + brkt(sender), "didn't like from resposne (%s)")) return 0;
    for (std::size_t i = 0; i < rcpt.size(); ++i) {
        const char* fmt = i < n_to ? "W7: Didn't like to address %s\n"
                          : i < n_copies ? "W7: Didn't like to addr %s\n"
                                         : "auto cc to sender %s failed %s";
        if (!d.step("RCPT TO:" + brkt(rcpt[i]), lang_get(fmt), rcpt[i])) return 0;
    }
    if (!d.step("DATA", "smtp error %s")) return 0;
    if (!smtp_data_file(path)) return d.fail("%s", lang_get("the connection failed while sending"));
    code = smtp_reply();
    if (code < 0 || code >= 400) return d.fail("%s", smtp_reason());
    smtp_cmd("QUIT");
    if (smtp_reply() < 0) imsg("forward_msg: no reply to QUIT (the message was sent)\n");
    tcp_close();
    return 1;
}

int forward_msg_form() {
    std::string subject = one_line(form_find("subject"), 511);
    std::string reply = get_reply();
    std::string to = form_find("tolist");
    if (!to.empty() && to[0] == '(') to.clear();
    if (!form_find("to").empty()) to = form_find("to");
    if (to.size() > 2047) {
        f_error(lang_get("Too many entries in to field - not sending more than %d characters"), 2047);
        return 0;
    }
    if (to.empty() || lower(to) == "to") {
        f_error("%s", lang_get("To: must be specified\n"));
        return 0;
    }
    if (!pop_open(0)) {
        imsg("forward_msg: pop_open failed so wont forward msg\n");
        pop_close();
        return 0;
    }
    pop_close();
    // Only a person's own forward form changes how they forward; rules and
    // supervised releases have no form and leave the setting alone.
    if (nform_find("v_myfrom") || nform_find("myfrom_shown")) {
        int v = form_true("v_myfrom") ? 1 : 0;
        if (v != prof.xv_myfrom) {
            prof.xv_myfrom = v;
            ++g.ui_changed;
        }
    }
    return forward_msg(to, subject, reply, reply, form_find("cc"), form_find("bcc"), nullptr);
}

int r_forward() {
    if (!user_checkauth()) return 0;
    int fld = 0;
    if (!fld_take("fld", fld) || !fld_readxov(fld)) return 0;
    std::vector<int> nums;
    const std::string& item = form_find("item");
    if (!item.empty()) {
        int n = 0;
        if (fld_parse_num(item, n)) nums.push_back(n);
    } else {
        nums = form_selection();
    }
    if (nums.empty() || nums.size() > kFwdMax) {
        f_error("%s", lang_get("No items selected\n"));
        return 0;
    }
    std::string list;
    for (int n : nums) list += std::to_string(n) + ",";
    if (list.size() > kFwdListMax) {
        f_error("%s", lang_get("Too many messages to forward at once"));
        return 0;
    }
    var_set("fwd_list", value_encode(list));
    var_set("nfwd", std::to_string(nums.size()));
    var_set("fld", std::to_string(fld));
    if (!item.empty()) {
        int pos = fld_findid(nums[0]);
        if (const Record* r = pos >= 0 ? fld_getrec(pos) : nullptr)
            var_set("h_subject_raw", value_encode(one_line(rfc1522s((*r)[H_SUBJECT]), 511)));
    }
    var_set("v_myfrom", prof.xv_myfrom ? "checked" : "");
    const std::string& page = form_find("page");
    tpl_show(page.empty() ? "forward" : page);
    return 1;
}

int r_doforward() {
    if (!user_checkauth()) return 0;
    int fld = 0;
    if (!fld_take("fld", fld)) return 0;
    std::vector<int> nums;
    if (!fwd_list_parse(form_find("fwd_list"), nums) || nums.empty()) {
        f_error("%s", lang_get("Forwarding failed: the list of messages is not valid"));
        return 0;
    }
    const bool senddel = !form_find("action_senddel").empty();
    if (senddel && !fld_writable()) return 0;
    if (!fld_readxov(fld)) {
        f_error("%s", lang_get("Forwarding failed"));
        return 0;
    }
    for (int n : nums) {
        int pos = fld_findid(n);
        Record* r = pos >= 0 ? fld_getrec(pos) : nullptr;
        if (r && fld == 0 && flag_has((*r)[H_FLAGS], "rbody,")) {
            if (!pop_read_rbody(pos)) f_error("%s", lang_get("pop read of remote msg failed\n"));
            fld_write(fld);
        }
        if (!r || !msg_load(fld, n)) {
            f_error("%s", lang_get("Cannot get message to forward"));
            f_error("%s", lang_get("Forwarding failed"));
            return 0;
        }
        flags_add(fld, std::to_string(n), "forwarded,");
        if (!forward_msg_form()) {
            f_error("%s", lang_get("Forwarding failed"));
            return 0;
        }
    }
    if (senddel) {
        // Only after every forward went out: each message leaves the
        // server (inbox) and the folder.
        if (!fld_readxov(fld)) {
            f_error("%s", lang_get("Forwarding failed"));
            return 0;
        }
        std::vector<int> pos;
        for (int n : nums) {
            int p = fld_findid(n);
            if (p >= 0) {
                imsg("Deleting message %d %s\n", n, fld == 0 ? "(inbox)" : "");
                pos.push_back(p);
            }
        }
        if (fld_delete_positions(pos) != static_cast<int>(pos.size())) {
            f_error("%s", lang_get("Can't open pop link"));
            f_error("%s", lang_get("Forwarding failed"));
            return 0;
        }
    }
    for (const char* f : {"to", "cc", "bcc"})
        var_set(std::string("h_") + f, html_escape(rfc1522s(placeholder_empty(form_find(f), f))));
    var_set("h_date", html_escape(lib_email_date()));
    const std::string& page = form_find("page");
    tpl_show(page.empty() ? "sentok" : page);
    return 1;
}
