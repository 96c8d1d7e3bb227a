// Compose page and send command.
#include "send/send.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <ctime>
#include <fstream>
#include <sstream>

#include "cgi/commands.h"
#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "net/pop.h"
#include "net/sock.h"
#include "net/tls.h"
#include "page/encode.h"
#include "page/tpl.h"
#include "page/var.h"
#include "send/addr.h"
#include "send/compose.h"
#include "send/mailenc.h"
#include "send/reply.h"
#include "send/smtp.h"
#include "store/copyself.h"
#include "store/msgfile.h"
#include "support/spawn.h"
#include "support/str.h"
#include "user/paths.h"
#include "user/login.h"
#include "user/profile.h"
#include "user/session.h"
#include "view/date.h"
#include "view/mime.h"
#include "view/mimecodec.h"

namespace {

constexpr std::size_t kToMax = 2047;
constexpr std::size_t kCcMax = 511;
constexpr int kKeepSlots = 4;

// Files of a failed send kept for the next try, in the user's directory
// under names of our own: keepN.dat (bytes) and keepN.inf (name TAB type).
std::string keep_dat(int n) { return user_fname(sfmt("keep%d.dat", n)); }
std::string keep_inf(int n) { return user_fname(sfmt("keep%d.inf", n)); }

bool keep_read(int n, OutAttach& a) {
    std::ifstream f(keep_inf(n), std::ios::binary);
    std::string line;
    if (!f || !std::getline(f, line)) return false;
    struct stat sb;
    if (stat(keep_dat(n).c_str(), &sb) != 0) return false;
    std::size_t tab = line.find('\t');
    a.path = keep_dat(n);
    a.name = line.substr(0, tab);
    a.type = tab == std::string::npos ? "" : line.substr(tab + 1);
    return true;
}

void keep_clear() {
    for (int n = 0; n < kKeepSlots; ++n) {
        std::remove(keep_dat(n).c_str());
        std::remove(keep_inf(n).c_str());
    }
}

// Keeps the attachments of a failed send (already-kept ones stay where
// they are) so the compose page can offer them again.
void keep_store(const std::vector<OutAttach>& files) {
    std::vector<OutAttach> kept;
    for (const OutAttach& a : files) {
        if (static_cast<int>(kept.size()) >= kKeepSlots) break;
        kept.push_back(a);
    }
    // Move into a staging name first: a kept file may be re-kept in
    // another slot.
    std::vector<std::string> staged;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        std::string tmp = user_fname(sfmt("keep%zu.new", i));
        std::error_code ec;
        if (std::rename(kept[i].path.c_str(), tmp.c_str()) != 0 &&
            !std::filesystem::copy_file(kept[i].path, tmp, std::filesystem::copy_options::overwrite_existing, ec))
            tmp.clear();
        staged.push_back(tmp);
    }
    keep_clear();
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (staged[i].empty()) continue;
        int n = static_cast<int>(i);
        if (std::rename(staged[i].c_str(), keep_dat(n).c_str()) != 0) continue;
        std::ofstream inf(keep_inf(n), std::ios::binary | std::ios::trunc);
        inf << kept[i].name << '\t' << kept[i].type << '\n';
        var_set(sfmt("kept_attach%d", n), html_escape(kept[i].name));
    }
    if (!kept.empty()) var_set("kept_attach", "1");
}

// The uploaded files of this request's multipart body, by the compose
// form's fields "attach", "attach2" .. "attach4".  A field whose value is
// not a file this request's upload created (a path typed into the form
// or the query string) is ignored.
std::vector<OutAttach> uploads() {
    std::vector<OutAttach> out;
    for (int f = 1; f <= 4; ++f) {
        std::string field = f == 1 ? "attach" : sfmt("attach%d", f);
        const std::string& v = form_find(field);
        if (v.empty()) continue;
        for (int k = 0; k < 4; ++k) {
            if (attach_name(k).empty() || attach_fname(k) != v) continue;
            if (attach_fname(k) == sfmt("attach%d.tmp", k)) break;   // not a unique file: refuse
            out.push_back({v, attach_name(k), attach_type(k)});
            break;
        }
    }
    return out;
}

// Size checks: empty files are left out; beyond the user's limit a file is
// reported and left out ("E19").
void check_attachments(std::vector<OutAttach>& files) {
    long total = 0;
    std::vector<OutAttach> kept;
    for (std::size_t i = 0; i < files.size(); ++i) {
        struct stat sb;
        if (stat(files[i].path.c_str(), &sb) != 0 || sb.st_size == 0) continue;
        total += static_cast<long>(sb.st_size);
        if (prof.xumax_attach > 0 && total / 1024 > prof.xumax_attach) {
            f_error(lang_get("E19: Attach file %d (%s) %d kbytes too large to send\n"), static_cast<int>(i + 1),
                    html_escape(files[i].name).c_str(), static_cast<int>(sb.st_size / 1024));
            total -= static_cast<long>(sb.st_size);
            continue;
        }
        imsg("attach file %d (%s) %ld bytes\n", static_cast<int>(i + 1), files[i].name.c_str(),
             static_cast<long>(sb.st_size));
        kept.push_back(files[i]);
    }
    files = kept;
}

// A field placeholder ("cc" in the Cc box) counts as empty.
std::string field_or_empty(const char* name) {
    std::string v = form_find(name);
    return lower(v) == name ? "" : v;
}

// The named parts of the message being forwarded (form fields "fld" and
// "item"), each with its own header and encoded body as stored.  false
// when the message cannot be read: the person asked for its files.
bool forward_attachments(std::vector<std::string>& out) {
    const std::string& fld = form_find("fld");
    const std::string& item = form_find("item");
    if (!get_item(fld.c_str(), item.c_str())) {
        imsg("forward_attachments: get_item failed for original item (fld=%.200s,item=%.200s)\n", fld.c_str(),
             item.c_str());
        return false;
    }
    MimeTree tree;
    mime_parse(msgbuf().text, tree);
    for (std::size_t i = 1; i < tree.parts.size(); ++i) {
        const MimePart& p = tree.parts[i];
        if (!p.children.empty() || p.h.name.empty() || p.number <= 0) continue;
        std::string part = to_crlf_lines(p.head);
        part += "\r\n";
        std::string body(p.body);
        if (!body.empty() && body.back() != '\n') body += "\r\n";
        part += body;
        out.push_back(part);
    }
    return true;
}

void spawn_log(const char* text) { imsg("%s", text); }

std::string resell(const std::string& key) {
    std::ifstream f(file_tpl("res.dat"));
    if (f) {
        std::string line;
        while (std::getline(f, line)) {
            std::size_t c = line.find(':');
            if (c == std::string::npos || line.substr(0, c) != key) continue;
            std::string v = line.substr(c + 1);
            while (!v.empty() && (v.back() == '\r' || v.back() == ' ')) v.pop_back();
            while (!v.empty() && v.front() == ' ') v.erase(0, 1);
            return v.empty() ? "noaddress" : v;
        }
        return "";
    }
    if (key == "advert") return "web mail for every browser";
    return "";
}

// The trailer of the setting body_add: a file of the template directory
// ("@name"), a program's output ("~command"), the form's own text
// ("from_template") or the setting's literal text.
std::string body_trailer() {
    const std::string& add = wm_ini_get(K_body_add);
    if (add.empty()) return "";
    if (add[0] == '@') {
        std::string name = add.substr(1);
        if (name.find('\\') != std::string::npos || name.find('/') != std::string::npos ||
            name.find("..") != std::string::npos) {
            imsg("body_add_file: name not allowed in body_add @\n");
            return "";
        }
        std::ifstream f(file_tpl(name), std::ios::binary);
        if (!f) {
            imsg("body_add_file: unable to open body_add file (%.200s)\n", name.c_str());
            return "";
        }
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }
    if (add[0] == '~') {
        // The first line may take the program up to 10 seconds; further
        // lines are taken while they are already there.
        sp_init(spawn_log, spawn_log, spawn_log);
        SpawnHandle* sp = sp_do(add.substr(1));
        if (!sp) {
            emsg("body_add_spawn: spawn (%.200s) failed: %.200s", add.c_str() + 1, sp_msg(nullptr));
            return "";
        }
        std::string out, line;
        int wait = 10;
        while (sp_gets(sp, line, 512, wait) > 0) {
            out += line.substr(0, line.find_first_of("\r\n")) + "\n";
            wait = 0;
        }
        sp_close(sp);
        return out;
    }
    if (add == "from_template") return form_find("body_add");
    return add;
}

// Every value that reaches a header or a command, and the name of its field.
bool fields_clean(std::string& bad) {
    static const char* kFields[] = {"to",          "tolist",    "cc",       "bcc", "subject", "reply",
                                    "h_priority", "content_type", "send_date", "in_reply_to", "references"};
    for (const char* f : kFields)
        if (!line_clean(form_find(f))) {
            bad = f;
            return false;
        }
    if (!line_clean(prof.xreal_name)) {
        bad = "real_name";
        return false;
    }
    return true;
}

// Text for a form value of the page: in a WML deck a "$" starts a variable.
std::string field_text(std::string_view v) {
    std::string out = html_escape(v);
    if (!g.gwml) return out;
    std::string w;
    for (char c : out) w += c == '$' ? std::string("$$") : std::string(1, c);
    return w;
}

// The compose page again after a failed send: everything typed, the files
// kept, the reason in words.
int show_compose_again(const std::vector<OutAttach>& files) {
    if (!files.empty()) keep_store(files);
    // The To box shows "h_from", as on reply pages.
    var_set("h_from", field_text(form_find("to")));
    for (const char* f : {"cc", "bcc", "subject", "h_priority"})
        var_set(std::string(f).rfind("h_", 0) == 0 ? f : "h_" + std::string(f), field_text(form_find(f)));
    var_set("reply", field_text(form_find("reply")));
    var_set("h_message", field_text(form_find("message")));
    if (const std::string* html = nform_find("message_html")) var_set("h_message_html", field_text(*html));
    var_set("v_copyself", form_true("copyself") ? "checked" : "");
    var_set("v_addsig", form_true("addsig") ? "checked" : "");
    var_set("v_send_autocc", form_true("send_autocc") ? "checked" : "");
    for (const char* f : {"in_reply_to", "references", "item"}) var_set(f, field_text(one_line(form_find(f), 998)));
    if (form_true("fwdedit_attachments")) {
        var_set("fwdedit", "checked");
        var_set("fwdedit_attachments", "checked");
    }
    var_set("send_failed", "1");
    f_error_set();
    hook_run("pgp_picklist", 1);
    tpl_show("send");
    return 0;
}

struct Recipients {
    std::vector<std::string> rcpt;   // envelope recipients in order
    std::string to_text, cc_text;    // header texts after completion
    std::string autocc;              // the auto-cc address, "" = none
};

// Recipients of the form, vetted; false with the reason recorded.
bool recipients(Recipients& r, const std::string& reply) {
    const std::string domain = get_domain();
    std::string to = form_find("tolist");
    if (!to.empty() && to[0] == '(') to.clear();
    if (!form_find("to").empty()) to = form_find("to");
    if (to.size() > kToMax) {
        f_error(lang_get("Too many entries in to field - not sending more than %d characters"),
                static_cast<int>(kToMax));
        return false;
    }
    if (to.empty() || lower(to) == "to") {
        f_error("%s", lang_get("To: must be specified\n"));
        return false;
    }
    std::string cc = field_or_empty("cc"), bcc = field_or_empty("bcc");
    if (cc.size() > kCcMax || bcc.size() > kCcMax) {
        f_error(lang_get("Too many entries in cc field - not sending more than %d characters"),
                static_cast<int>(kCcMax));
        return false;
    }
    if (!fix_local(to, 2048, domain) || !fix_local(cc, 2048, domain) || !fix_local(bcc, 2048, domain)) {
        f_error("%s", lang_get("Too many entries in to field - the addresses do not fit"));
        return false;
    }
    r.to_text = to;
    r.cc_text = cc;
    auto add = [&](const std::string& list, int kind) {
        std::vector<std::string> a = addr_list(list);
        if (kind == 0 && a.empty()) {
            f_error(lang_get("No valid to addresses %s\n"), html_escape(list).c_str());
            return false;
        }
        for (const std::string& addr : a) {
            if (!addr_sane(addr) || !took(addr)) {
                f_error(lang_get("Send failed: invalid to address %s"), html_escape(addr).c_str());
                return false;
            }
            if (kind >= 2 && too_many_sends()) {
                f_error(lang_get("send failed not allowed > %d messages in 1 day"), prof.xsends);
                return false;
            }
            r.rcpt.push_back(addr);
        }
        return true;
    };
    if (!add(to, 0) || !add(cc, 1) || !add(bcc, 2)) return false;
    if (form_true("send_autocc")) {
        std::string me = addr_only(reply);
        if (!add(me, 3)) return false;
        r.autocc = me;
    }
    return true;
}

// The text part: wrapped, the line suffix, signature and trailer.
std::string text_body(bool html_body) {
    std::string body = form_find("message");
    do_wrap(body, get_send_wrap());
    std::string suffix = html_body && !form_find("add_br").empty() ? "<br>" : "";
    std::string out = to_crlf_lines(body, suffix);
    if (form_true("addsig") && !prof.xsig.empty()) {
        if (html_body) out += "<br>\r\n";
        out += to_crlf_lines(prof.xsig);
    }
    std::string trailer = body_trailer();
    if (!trailer.empty()) {
        if (html_body) out += "<br>\r\n";
        out += to_crlf_lines(trailer);
    }
    return out;
}

std::string html_body_text() {
    std::string out = to_crlf_lines(form_find("message_html"));
    if (form_true("addsig") && !prof.xsig.empty()) {
        out += "<br>\r\n";
        std::string sig = to_crlf_lines(prof.xsig);
        for (std::size_t at = 0, e; (e = sig.find("\r\n", at)) != std::string::npos; at = e + 2)
            out += html_escape(sig.substr(at, e - at)) + "<br>\r\n";
    }
    return out;
}

// The From line: the real name (encoded) with the reply address.
std::string from_value(const std::string& reply) {
    if (ini_true(K_fix_from)) return user_only_ns(prof.xuser) + "@" + get_domain();
    if (!prof.xreal_name.empty() && reply.find('<') == std::string::npos)
        return encode_phrase(prof.xreal_name) + " <" + reply + ">";
    return encode_addr_list(reply);
}

std::string mailbox_of_user() {
    std::string ns = user_only_ns(prof.xuser);
    return ns.find('@') == std::string::npos ? ns + "@" + get_domain() : ns;
}

// Removes a file when the object goes away.
struct TempFile {
    std::string path;
    ~TempFile() {
        if (!path.empty()) std::remove(path.c_str());
    }
};

// The message with the lines of the user's public key block (pgp.sig)
// after it, in a file of its own: the key goes to the server, the filed
// copy stays as written.  No key file: nothing to add, out stays empty.
bool add_public_key(const std::string& msgfile, TempFile& out) {
    std::ifstream key(user_fname("pgp.sig"), std::ios::binary);
    if (!key) return true;
    std::string lines;
    for (std::string l; std::getline(key, l);) {
        l = ncpy(l, 511);
        while (!l.empty() && (l.back() == '\r' || l.back() == '\n')) l.pop_back();
        lines += l + "\r\n";
    }
    out.path = temp_fname();
    if (out.path.empty()) return false;
    std::ifstream in(msgfile, std::ios::binary);
    std::ofstream o(out.path, std::ios::binary | std::ios::trunc);
    if (!in || !o) return false;
    o << in.rdbuf() << lines;
    return static_cast<bool>(o.flush());
}

enum class Step { greeting, ehlo, auth, mail, rcpt, data, end };

// The dialogue; true when the server took the message.
bool submit(const std::string& msgfile, const std::string& sender, const std::vector<std::string>& rcpt) {
    std::string host = get_smtphost();
    int port = get_smtp_port();
    int dns_err = 0;
    tcp_close();
    int s = tcp_openx(host, port, &dns_err);
    if (s < 0) {
        f_error(lang_get("Cannot connect to SMTP host (%s:%d:%d) %s"), html_escape(host).c_str(), port, dns_err,
                html_escape(tcperror()).c_str());
        return false;
    }
    msock().sk = s;
    readln_clear();
    const int tls = tls_mode(TLS_SMTP, port);
    if (tls == TLS_IMPLICIT && !tls_start(host, TLS_SMTP)) return false;
    auto refused = [&](const char* what) {
        std::string r = smtp_reason();
        if (r.empty()) r = lang_get("no reply from the server");
        f_error(lang_get("W1: Send failed %s\n"), html_escape(std::string(what) + ": " + r).c_str());
        tcp_close();
        return false;
    };
    int code = smtp_reply();
    if (code < 0 || code >= 400) return refused("greeting");
    const std::string domain = get_domain();
    // The EHLO that asks for STARTTLS greets the server; AUTH then reads
    // the capabilities of the session as it is now (protected or not).
    std::vector<std::string> ehlo;
    if (tls == TLS_OPTIONAL || tls == TLS_REQUIRED) {
        if (!tls_smtp_hello(host, port, domain, &ehlo)) {
            if (!tls_failure().empty()) return false;
            return refused("EHLO");
        }
    }
    const std::string& auth = wm_ini_get(K_smtp_auth);
    bool greeted = false;
    if (ini_true(K_smtp_auth) || lower(auth) == "plain") {
        imsg("r_send: send helo\n");
        int a = smtp_auth(domain, prof.xpop_user[0], prof.xpop_pass[0], &ehlo);
        if (a < 0) return refused("AUTH");
        greeted = a > 0;
    }
    if (!greeted && ehlo.empty()) {
        smtp_cmd("HELO " + domain);
        code = smtp_reply();
        if (code < 0 || code >= 400) return refused("HELO");
    }
    smtp_cmd("MAIL FROM:" + brkt(sender));
    code = smtp_reply();
    if (code < 0 || code >= 400) return refused("MAIL FROM");
    for (const std::string& a : rcpt) {
        smtp_cmd("RCPT TO:" + brkt(a));
        code = smtp_reply();
        if (code < 0 || code >= 400) {
            f_error(lang_get("Rcpt to %s failed:%s\n"), html_escape(a).c_str(), html_escape(smtp_reason()).c_str());
            tcp_close();
            return false;
        }
    }
    imsg("r_send: send data\n");
    smtp_cmd("DATA");
    code = smtp_reply();
    if (code < 0 || code >= 400) return refused("DATA");
    if (!smtp_data_file(msgfile)) {
        f_error(lang_get("Sorry I could not send the message (%s)"), lang_get("the connection failed while sending"));
        tcp_close();
        return false;
    }
    code = smtp_reply();
    if (code < 0 || code >= 400) {
        f_error(lang_get("Sorry I could not send the message (%s)"),
                html_escape(smtp_reason().empty() ? lang_get("no reply from the server") : smtp_reason()).c_str());
        tcp_close();
        return false;
    }
    smtp_cmd("QUIT");
    if (smtp_reply() < 0 || msock().reason.empty()) imsg("r_send: no reply to QUIT (the message was sent)\n");
    tcp_close();
    return true;
}

void sent_vars(const Recipients& r) {
    var_set("h_to", html_escape(rfc1522s(r.to_text)));
    var_set("h_cc", html_escape(rfc1522s(r.cc_text)));
    var_set("h_bcc", html_escape(rfc1522s(field_or_empty("bcc"))));
    var_set("h_subject", html_escape(form_find("subject")));
    var_set("h_date", html_escape(lib_email_date()));
}

// The page variables "from" and "reply": the user's From address.
void from_vars() {
    if (prof.xuser.empty()) return;
    std::string r = get_reply();
    var_set("from", html_escape(r));
    if (var_find("reply").empty()) var_set("reply", html_escape(r));
}

struct RegisterFromVars {
    RegisterFromVars() { tpl_init_add(from_vars); }
} register_from_vars;

}  // namespace

int too_many_sends() {
    std::time_t now = std::time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    ++g.ui_changed;
    if (prof.xsend_day != lt.tm_yday) {
        // A new day starts a new count.
        prof.xsend_day = lt.tm_yday;
        prof.xsends = 0;
    }
    ++prof.xsends;
    int limit = std::atoi(wm_ini_get(K_max_sends).c_str());
    if (limit <= 0 || prof.xsends <= limit) return 0;
    --prof.xsends;
    return 1;
}

int f_send() {
    if (!user_checkauth()) return 0;
    keep_clear();
    if (const std::string* to = nform_find("to")) {
        var_set("h_from", html_escape(rfc1522s(*to)));
        var_set("a_from", html_escape(addr_only(*to)));
    }
    for (int i = 0; i < kPopSlots; ++i) {
        if (get_host(i).empty() || (i > 0 && prof.xpop_name[i].empty())) continue;
        const std::string& user = prof.xpop_user[i];
        var_set(sfmt("pop_name%d", i), html_escape(get_host(i)));
        var_set(sfmt("pop_user%d", i), html_escape(user));
        var_set(sfmt("pop_port%d", i), std::to_string(pop_port(i)));
        std::string reply = prof.xpop_reply[i].empty() ? user + "@" + get_host(i) : prof.xpop_reply[i];
        var_set(sfmt("pop_reply%d", i), html_escape(reply));
    }
    var_set("v_copyself", prof.xcopyself ? "checked" : "");
    var_set("v_addsig", prof.xaddsig ? "checked" : "");
    var_set("v_send_autocc", prof.xsend_autocc ? "checked" : "");
    prof.g_xsw = 1;
    ++g.ui_changed;
    std::remove(user_fname("spell.dat").c_str());
    std::remove(user_fname("spell.msg").c_str());
    const std::string& page = form_find("page");
    hook_run("pgp_picklist", 1);
    tpl_show(page.empty() ? "send" : page);
    return 1;
}

int r_send() {
    if (!user_checkauth()) return 0;
    std::vector<OutAttach> files;
    for (int n = 0; n < kKeepSlots; ++n) {
        OutAttach a;
        if (form_true(sfmt("keep_attach%d", n)) && keep_read(n, a)) files.push_back(a);
    }
    for (OutAttach& a : uploads()) files.push_back(a);

    std::string bad;
    if (!fields_clean(bad)) {
        f_error(lang_get("Send failed: the %s field holds a line break"), bad.c_str());
        return show_compose_again(files);
    }
    const std::string& pgpto = form_find("pgpto");
    const std::string sign = ncpy(form_find("send_sign"), 511);
    const bool encrypt = (!pgpto.empty() && pgpto.find("(no encryption)") == std::string::npos) || !sign.empty();
    if (log_has("send")) imsg("r_send: Encrypt is set to %d\n", encrypt ? 1 : 0);
    // Only the text body can be encrypted: never send in clear what was
    // meant to go encrypted or signed.
    if (encrypt && (!send_encrypter() || !files.empty() || !form_find("message_html").empty() ||
                    !form_find("fwdedit_attachments").empty())) {
        f_error("%s", lang_get("Send failed: encryption and signing are not available"));
        return show_compose_again(files);
    }
    check_attachments(files);
    const std::string reply = get_reply();
    std::string sender = ini_true(K_fix_from) ? mailbox_of_user() : addr_only(reply);
    if (!addr_sane(sender)) {
        f_error(lang_get("Send failed: invalid from address %s"), html_escape(reply).c_str());
        return show_compose_again(files);
    }
    Recipients rc;
    if (!recipients(rc, reply)) return show_compose_again(files);

    const std::string ctype = lower(form_find("content_type"));
    OutMessage m;
    m.from = from_value(reply);
    if (!ini_true(K_no_sender)) m.sender = mailbox_of_user();
    m.reply_to = encode_addr_list(reply);
    m.to = rc.to_text;
    m.cc = rc.cc_text;
    m.x_cc_sender = rc.autocc;
    m.date = lib_email_date(form_find("send_date"));
    m.subject = form_find("subject");
    if (!ini_true(K_hide_x_mailer)) m.x_mailer = "Larkspur Web to Mail Gateway 2.8a, " + resell("advert");
    m.priority = encode_rfc1522(form_find("h_priority"));
    m.message_id = lib_email_mid(get_domain());
    // A reply carries its threading headers through the form; they are
    // rebuilt from the ids found there, so nothing else reaches the header.
    reply_threading(form_find("in_reply_to"), form_find("references"), m.in_reply_to, m.references);
    if (!ini_true(K_hide_ip)) m.user_info = g.remote_addr;
    m.html_body = ctype.find("html") != std::string::npos;
    m.text = text_body(m.html_body);
    if (encrypt) {
        std::string err;
        if (!send_encrypter()(m.text, pgpto, sign, err)) {
            f_error(lang_get("Unable to encrypt message %s\n"), html_escape(err).c_str());
            return show_compose_again(files);
        }
    }
    if (const std::string* html = nform_find("message_html"); html && !html->empty()) {
        imsg("r_send: msg_html\n");
        m.has_html = true;
        m.html = html_body_text();
    }
    m.no_qp = ini_true(K_no_quoted_printable);
    m.attach = files;
    if (!form_find("fwdedit_attachments").empty() && !forward_attachments(m.carried)) {
        f_error(lang_get("Sorry I could not send the message (%s)"), lang_get("the forwarded message is gone"));
        return show_compose_again(files);
    }

    TempFile msg{temp_fname()};
    long lines = 0;
    std::string err;
    if (msg.path.empty() || !compose_write(m, msg.path, lines, err)) {
        f_error(lang_get("Sorry I could not send the message (%s)"),
                html_escape(err.empty() ? std::string("no temporary file") : err).c_str());
        return show_compose_again(files);
    }

    imsg("r_send: check user\n");
    if (!pop_open(0)) {
        pop_close();
        f_error(lang_get("Sorry I could not send the message (%s)"), lang_get("the mail server refused your login"));
        return show_compose_again(files);
    }
    pop_close();

    TempFile with_key;
    if (form_true("send_addpgp") && !add_public_key(msg.path, with_key)) {
        f_error(lang_get("Sorry I could not send the message (%s)"), lang_get("no temporary file"));
        return show_compose_again(files);
    }
    if (!submit(with_key.path.empty() ? msg.path : with_key.path, sender, rc.rcpt)) return show_compose_again(files);

    // Sent: remember the choices, file the copy, drop the files.
    prof.xcopyself = form_true("copyself");
    prof.xaddsig = form_true("addsig");
    prof.xsend_autocc = form_true("send_autocc");
    ++g.ui_changed;
    if (prof.xcopyself && !do_copyself(msg.path, lines, !files.empty()))
        f_error("%s", lang_get("The message was sent, but no copy could be filed"));
    for (const OutAttach& a : files) std::remove(a.path.c_str());
    keep_clear();
    if (AddrCollect collect = send_collector())
        for (const std::string* list : {&rc.to_text, &rc.cc_text})
            for (const std::string& a : addr_list(*list)) collect(a);
    sent_vars(rc);
    const std::string& page = form_find("page");
    tpl_show(page.empty() ? "sentok" : page);
    return 1;
}
