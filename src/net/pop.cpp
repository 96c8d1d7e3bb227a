#include "net/pop.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "net/pop_hooks.h"
#include "net/sock.h"
#include "net/tls.h"
#include "page/var.h"
#include "store/msgfile.h"
#include "support/str.h"
#include "support/wild.h"
#include "user/codec.h"
#include "user/profile.h"
#include "user/session.h"

namespace {

constexpr int kMaxUidl = 4999;

struct PopPrivate {
    PopState pub;
    std::unordered_map<std::string, int> uid_first;   // id -> lowest message number
    // Ids deleted in the open session: a server commits DELE only at QUIT,
    // so a session that dies must have them deleted again.
    std::vector<std::string> pending_dele;
};

PopPrivate& pv() {
    static PopPrivate p;
    return p;
}

std::string setting_s(int key) { return ini_isset(key) ? wm_ini_get(key) : std::string(ini_default(key)); }
long setting_n(int key) { return std::atol(setting_s(key).c_str()); }

int stream_max() {
    int n = std::atoi(wm_ini_get(K_stream_max).c_str());
    return n >= 1 && n <= 100 ? n : 1;
}

long max_msgs() {
    return prof.xmax_download_msgs >= 0 ? prof.xmax_download_msgs : setting_n(K_default_max_dmsgs);
}
long max_kbytes() {
    return prof.xmax_download_kbytes >= 0 ? prof.xmax_download_kbytes : setting_n(K_default_max_dkbytes);
}
long disk_quota() { return prof.xdiskquota >= 0 ? prof.xdiskquota : setting_n(K_default_quota); }

int cur_slot() { return prof.xpop_cur >= 0 && prof.xpop_cur < kPopSlots ? prof.xpop_cur : 0; }
std::size_t us(int i) { return static_cast<std::size_t>(i); }

void info(const std::string& text) {
    PopState& s = pv().pub;
    s.info = s.info.empty() ? html_escape(text) : html_escape(text) + g.gbr + s.info;
    var_set("info_msg", s.info);
    imsg("%s", text.c_str());
}

// Reads a multi-line body up to the "." line into lines (dot-stuffing
// removed).  0 when the connection failed before the end.
int read_multiline(std::vector<std::string>* lines, bool log_lines) {
    for (;;) {
        if (!readln()) return 0;
        std::string& r = msock().reason;
        if (log_lines) imsg("<- %s", r.c_str());
        if (r == ".") return 1;
        if (lines) lines->push_back(r[0] == '.' ? r.substr(1) : r);
    }
}

// Connects the mail socket to host:port; 0 with the error page prepared.
int pop_connect(std::string host, int port, bool retrying) {
    int dns = 0;
    int s = tcp_openx(host, port, &dns);
    if (s < 0) {
        if (dns)
            f_error(lang_get("DNS lookup for POP host %s failed"), host.c_str());
        else if (retrying)
            f_error(lang_get("Cannot connect to POP host %s\n"), host.c_str());
        else
            f_error(lang_get("Cannot connect to POP host %s:%d"), host.c_str(), port);
        imsg(retrying ? "Can't connect to POP host %s Error: %d:%s" : "Cannot connect to POP host %s Error: %d:%s",
             host.c_str(), msock().werrno, tcperror().c_str());
        return 0;
    }
    msock().sk = s;
    msock().rest.clear();
    if (tls_mode(TLS_POP, port) == TLS_IMPLICIT && !tls_start(host, TLS_POP)) return 0;
    return 1;
}

// STLS on a plain connection whose greeting has been read, as the mode of
// the port asks.  1 when the session may go on (protected, or plain where
// plain is allowed); 0 when it must not, with the error page prepared and
// the connection closed: no password may follow.
int pop_secure(const std::string& host, int port) {
    int mode = tls_mode(TLS_POP, port);
    if (mode == TLS_NONE || tls_active()) return 1;
    MailSocket& m = msock();
    tcp_printf(m.sk, "capa\r\n");
    bool offered = false;
    std::vector<std::string> caps;
    bool listed = readln() && isok(m.reason);
    if (m.sk < 0 || (listed && !read_multiline(&caps, false))) {
        f_error(lang_get("Cannot connect to POP host %s\n"), html_escape(host).c_str());
        tcp_close();
        return 0;
    }
    for (const std::string& c : caps)
        if (tls_capability(c, TLS_POP)) offered = true;
    if (offered) {
        tcp_printf(m.sk, "stls\r\n");
        if (readok()) return tls_start(host, TLS_POP);
        imsg("STLS refused by %s: %s", host.c_str(), m.reason.c_str());
    }
    if (mode == TLS_REQUIRED) return tls_refuse_plain(host, TLS_POP);
    imsg("POP server %s: no STLS, going on without TLS", host.c_str());
    return 1;
}

// One login dialogue on a fresh connection.  *pass_sent is set when PASS
// was sent.  -1 when TLS failed or was refused: no retry can mend that.
int login_attempt(const std::string& host, int port, const std::string& user, const std::string& pass,
                  bool* pass_sent) {
    MailSocket& m = msock();
    *pass_sent = false;
    if (!readln()) {
        info(lang_get("W12: No initial response from POP host"));
        return 0;
    }
    readln_flush();
    if (!pop_secure(host, port)) return -1;
    tcp_printf(m.sk, "user %s\r\n", user.c_str());
    if (!readok()) return 0;
    tcp_printf(m.sk, "pass %s\r\n", pass.c_str());
    *pass_sent = true;
    int delay = std::atoi(wm_ini_get(K_pop_delay).c_str());
    if (delay > 0) {
        imsg("++ adding delay of %d secs", delay);
        sleep(static_cast<unsigned>(delay));
    }
    return readok();
}

void quit_and_close() {
    MailSocket& m = msock();
    if (m.sk >= 0) {
        tcp_printf(m.sk, "quit\r\n");
        readln();
    }
    tcp_close();
}

// A user name or password that would end the command line early could
// smuggle a second command to the server.
bool line_safe(const std::string& s) { return s.find_first_of("\r\n") == std::string::npos && s.find('\0') == std::string::npos; }

void forget_session() {
    PopPrivate& p = pv();
    p.pub.curpop = -1;
    p.pub.nstat_done = false;
    p.pub.nstat = 0;
    p.pub.map_uidl.clear();
    p.uid_first.clear();
}

}  // namespace

namespace {
// Opens the session again after the connection was lost, and repeats the
// deletions the lost session never committed.  0 when the server is gone.
int pop_reopen() {
    PopPrivate& p = pv();
    int slot = p.pub.curpop >= 0 ? p.pub.curpop : cur_slot();
    int nxov = p.pub.nxov;
    tcp_close();
    forget_session();
    if (!pop_open(slot) || get_uidl() <= 0) return 0;
    p.pub.nxov = nxov;
    std::vector<std::string> again;
    again.swap(p.pending_dele);
    for (const std::string& uid : again) {
        int n = find_uidl(uid);
        if (n < 0) continue;
        tcp_printf(msock().sk, "dele %d\r\n", n);
        if (readok()) p.pending_dele.push_back(uid);
    }
    return 1;
}
}  // namespace

PopState& popst() { return pv().pub; }

std::string makenice(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '@';
        if (!keep) c = '_';
    }
    return out;
}

int pop_open(int slot) {
    PopState& s = pv().pub;
    MailSocket& m = msock();
    if (slot < 0 || slot >= kPopSlots) slot = 0;
    if (s.curpop == slot && m.sk >= 0) {
        imsg("Pop already open\n");
        return 1;
    }
    if (m.sk >= 0) pop_close();
    s.refused = false;
    std::string host = get_host(slot);
    int port = pop_port(slot);
    imsg("Open socket to %s:%d\n", host.c_str(), port);
    const std::string& valid = wm_ini_get(K_valid_pop);
    if (!valid.empty() && !list_match(valid, host)) {
        f_error(lang_get("Invalid POP host %s\n"), host.c_str());
        return 0;
    }
    if (!pop_connect(host, port, false)) return 0;
    if (prof.xuser.empty() && !get_user()) {
        f_error("%s", lang_get("Username or password failed\n"));
        tcp_close();
        return 0;
    }
    int uslot = slot;
    if (prof.xpop_user[us(slot)].empty()) {
        if (prof.xpop_user[0].empty()) {
            imsg("pop_open: No username for pophost %d and no pophost[0] setting", slot);
            f_error("%s", lang_get("Username or password failed - pophost settings invalid"));
            tcp_close();
            return 0;
        }
        imsg("pop_open: No username for pophost %d reverting to %s", slot, prof.xpop_user[0].c_str());
        uslot = 0;
    }
    const std::string& user = prof.xpop_user[us(uslot)];
    const std::string& pass = prof.xpop_pass[us(uslot)];
    if (!line_safe(user) || !line_safe(pass)) {
        f_error("%s", lang_get("Username or password failed\n"));
        tcp_close();
        return 0;
    }
    int retries = std::atoi(setting_s(K_pop_retry).c_str());
    std::string busy = setting_s(K_pop_busy);
    for (;;) {
        bool pass_sent = false;
        int got = login_attempt(host, port, user, pass, &pass_sent);
        if (got < 0) {
            forget_session();
            return 0;
        }
        if (got) {
            prof.xpass_crypt = pass_encrypt(pass);
            s.curpop = slot;
            s.nstat_done = false;
            return 1;
        }
        std::string reply = m.reason;
        if (pass_sent && !reply.empty() && (busy.empty() || !contains(reply, busy))) break;
        if (retries-- <= 0) break;
        imsg("pop connection failed for %s (%s) retrying...\n", user.c_str(), reply.c_str());
        quit_and_close();
        sleep(2);
        if (!pop_connect(host, port, true)) return 0;
    }
    std::string reply = m.reason;
    // The server answered the name or password with a refusal of its own
    // (not busy): a login must not go ahead on a stored password then.
    s.refused = !reply.empty() && reply[0] == '-' && (busy.empty() || !contains(reply, busy));
    tcp_close();
    forget_session();
    if (!ini_true(K_hide_host) && !g.gcl) f_error(lang_get("W10: Cannot login to host (%s:%d) \n"), host.c_str(), port);
    if (user.empty())
        f_error("%s", lang_get("User or Password incorrect and NULL"));
    else
        f_error(lang_get("W11: User or Password incorrect for %s (%s)\n"), user.c_str(), reply.c_str());
    if (pass.empty()) f_error("%s", lang_get("Zero length password"));
    return 0;
}

int pop_open_check(const std::string& user, const std::string& pass, const std::string& host) {
    if (user.empty()) {
        imsg("Null username for pop_open_check of domain %s", host.c_str());
        return 0;
    }
    if (!line_safe(user) || !line_safe(pass)) return 0;
    if (msock().sk >= 0) pop_close();
    // The site's POP port: the account checked is one of this site's.
    const int port = get_port();
    imsg("Open socket to %s:%d\n", host.c_str(), port);
    std::string h = host;
    int dns = 0;
    int sk = tcp_openx(h, port, &dns);
    if (sk < 0) {
        if (dns)
            f_error(lang_get("DNS lookup for POP host %s failed"), host.c_str());
        else
            f_error(lang_get("Cannot connect to POP host %s Error: %d,%s"), host.c_str(), msock().werrno,
                    tcperror().c_str());
        return 0;
    }
    msock().sk = sk;
    msock().rest.clear();
    if (tls_mode(TLS_POP, port) == TLS_IMPLICIT && !tls_start(h, TLS_POP)) return 0;
    if (!readln()) imsg("pop_open_check: No initial response from POP host");
    readln_flush();
    if (!pop_secure(h, port)) return 0;
    tcp_printf(sk, "user %s\r\n", user.c_str());
    if (!readok()) return 0;
    tcp_printf(sk, "pass %s\r\n", pass.c_str());
    int delay = std::atoi(wm_ini_get(K_pop_delay).c_str());
    if (delay > 0) sleep(static_cast<unsigned>(delay));
    return readok();
}

int pop_close() {
    MailSocket& m = msock();
    if (m.sk >= 0) {
        imsg("Pop quit and close\n");
        tcp_printf(m.sk, "quit\r\n");
        bool got = readln();
        if (got && !isok(m.reason) && !m.reason.empty())
            imsg("pop_close: Invalid response to quit: %s\n", m.reason.c_str());
        if (got && isok(m.reason)) pv().pending_dele.clear();
        tcp_close();
    }
    readln_clear();
    forget_session();
    return 1;
}

int get_uidl() {
    PopPrivate& p = pv();
    PopState& s = p.pub;
    MailSocket& m = msock();
    if (s.nstat_done) return s.nstat;
    s.nstat_done = true;
    s.nstat = 0;
    s.uidl_ok = false;
    s.map_uidl.assign(kMaxUidl + 1, std::string());
    p.uid_first.clear();
    tcp_printf(m.sk, "stat\r\n");
    if (!readln()) return 0;
    if (log_has("stat_reply")) imsg("<- %s", m.reason.c_str());
    if (!isok(m.reason)) return 0;
    int count = m.reason.size() > 4 ? std::atoi(m.reason.c_str() + 4) : 0;
    if (count < 0) count = 0;
    if (count == 0) {
        s.uidl_ok = true;
        return 0;
    }
    tcp_printf(m.sk, "uidl\r\n");
    if (!readln()) return 0;
    if (isok(m.reason)) {
        bool log_lines = log_has("uidl_reply");
        for (;;) {
            if (!readln()) return 0;
            std::string line = m.reason;
            if (log_lines) imsg("<- %s", line.c_str());
            if (line == ".") break;
            std::size_t a = line.find_first_not_of(" \t");
            if (a == std::string::npos) continue;
            std::size_t b = line.find_first_of(" \t", a);
            int n = std::atoi(line.c_str() + a);
            // Numbers outside the map are read past (the list must be read
            // to its end, or its rest would be taken for later replies).
            if (n < 1 || n > kMaxUidl) continue;
            std::size_t c = b == std::string::npos ? std::string::npos : line.find_first_not_of(" \t", b);
            std::string id;
            if (c != std::string::npos) {
                std::size_t e = line.find_first_of(" \t", c);
                id = line.substr(c, e == std::string::npos ? std::string::npos : e - c);
            }
            if (id.empty()) {
                s.map_uidl[us(n)] = "Bad UIDL line";
                f_error(lang_get("E8: Bad uidl line in message %d\n"), n);
                continue;
            }
            auto it = p.uid_first.find(id);
            if (it != p.uid_first.end() && it->second < n) {
                imsg(lang_get("Faulty POP: Duplicate uidl msgs %d,%d,%s"), it->second, n, id.c_str());
                // Looked up by id, both messages would fetch the lower one's
                // body: the later one gets an id of its own, stable while the
                // server keeps both.
                id += "#" + std::to_string(n);
            }
            if (p.uid_first.find(id) == p.uid_first.end()) p.uid_first[id] = n;
            s.map_uidl[us(n)] = id;
        }
        s.nstat = count;
        s.uidl_ok = true;
        return count;
    }
    var_set("nouidl", "WARNING: you should use a pop server that supports UIDL");
    int upto = count < kMaxUidl ? count : kMaxUidl;
    for (int n = 1; n <= upto; ++n) {
        tcp_printf(m.sk, "top %d 0\r\n", n);
        if (!readln()) {
            imsg("get_mid: top %d failed", n);
            count = 0;
            break;
        }
        if (!isok(m.reason)) break;
        std::vector<std::string> lines;
        int ok = read_multiline(&lines, false);
        if (!ok || (!lines.empty() && starts_with(lines[0], "-ERR"))) {
            imsg("get_mid: top %d failed", n);
            count = 0;
            break;
        }
        std::string mid, date;
        for (const std::string& l : lines) {
            if (l.empty()) break;
            std::string v;
            if (mid.empty() && head_getv("message-id:", v, l)) mid = v;
            if (date.empty() && head_getv("date:", v, l)) date = v;
        }
        std::string id = mid;
        if (id.empty()) {
            imsg("Message had no msgid or uidl, you should upgrade your pop server\n");
            for (char c : date)
                if (c != ' ' && c != '\t') id += c;
        }
        id = makenice(id);
        s.map_uidl[us(n)] = id;
        auto it = p.uid_first.find(id);
        if (it == p.uid_first.end()) p.uid_first[id] = n;
    }
    s.nstat = count;
    s.uidl_ok = count > 0;
    return count;
}

int find_uidl(const std::string& uid) {
    PopPrivate& p = pv();
    int limit = p.pub.nxov > 0 ? p.pub.nxov : kMaxUidl;
    auto it = p.uid_first.find(uid);
    if (it == p.uid_first.end() || it->second > limit) return -1;
    return it->second;
}

int popid(const std::string& host, const std::string& user) {
    for (int i = 0; i < kPopSlots; ++i)
        if (prof.xpop_name[us(i)] == host && prof.xpop_user[us(i)] == user && !host.empty()) return i;
    return -1;
}

namespace {

// Fills a new record from header lines and the session's state.
void complete_record(Record& rec, const std::vector<std::string>& lines, int n) {
    int lastpos = -1;
    for (const std::string& l : lines) {
        if (l.empty()) break;
        rec_head_line(rec, l, &lastpos);
    }
    rec[H_FLAGS] = "new,unseen,rkeep,";
    if (ini_true(K_read_status) && contains(rec[H_STATUS], setting_s(K_read_flag))) flag_add(rec[H_FLAGS], "read,");
    if (contains(rec[H_CTYPE], "multipart/mixed")) flag_add(rec[H_FLAGS], "file,");
    const std::string& id = pv().pub.map_uidl.size() > us(n) ? pv().pub.map_uidl[us(n)] : std::string();
    rec[H_UIDL] = id.empty() ? "NO_UIDL_UPGRADE_POP_SERVER" : id;
    if (rec[H_SUBJECT].empty()) rec[H_SUBJECT] = lang_get("(no subject)");
    if (rec[H_MSGID].empty()) rec[H_MSGID] = rec[H_UIDL];
    // The account of the open session, which is the one the message is on.
    int slot = pv().pub.curpop >= 0 ? pv().pub.curpop : cur_slot();
    rec[H_POPHOST] = prof.xpop_name[us(slot)];
    rec[H_POPUSER] = prof.xpop_user[us(slot)];
    rec[H_POPPORT] = std::to_string(pop_port(slot));
    rec[H_REMOTE] = prof.xpop_del[us(slot)] ? "0" : "1";
}

// Decides what happens to a scanned message; answers 1 when it was added.
// Deletions wait in *kills until no TOP reply is outstanding.
int decide(Record& rec, int n, bool* handed, std::vector<int>* kills) {
    PopState& s = pv().pub;
    if (pop_hooks().isparent(rec)) return fld_addxov(rec) >= 0;
    if (!prof.reject_from.empty() && pop_hooks().sender_match(prof.reject_from, rec)) {
        kills->push_back(n);
        ++s.gnrej;
        return 0;
    }
    if (!prof.accept_from.empty() && pop_hooks().sender_match(prof.accept_from, rec)) return fld_addxov(rec) >= 0;
    if (!prof.xparent.empty()) {
        *handed = pop_hooks().send_to_parent(rec) >= 0;
        return 0;
    }
    if (!prof.accept_from.empty()) {
        kills->push_back(n);
        ++s.gnrej;
        return 0;
    }
    return fld_addxov(rec) >= 0;
}

}  // namespace

void pop_read() {
    PopState& s = pv().pub;
    MailSocket& m = msock();
    if (ini_true(K_jcgi)) return;
    s.scan_failed = false;
    auto t0 = std::chrono::steady_clock::now();
    int count = get_uidl();
    if (!s.uidl_ok) {
        // Without the server's list nothing can be told about the cache:
        // reconciling now would drop every message kept on the server.
        imsg("pop_read failed");
        return;
    }
    if (!fld_readxov(0)) {
        imsg("pop_read failed");
        return;
    }
    // New records stay in memory until the scan has finished, so a lost
    // connection leaves the folder's index as it was.
    fld_defer_appends(true);
    int added = 0;
    bool handed_any = false;
    std::vector<int> kills;
    int outstanding = 0;     // TOP commands written but not yet answered
    int next_send = 1;       // next message number to send TOP for
    const int smax = stream_max();
    const bool log_top = log_has("top_reply");
    for (int n = 1; n <= count; ++n) {
        s.nxov = n - 1;
        if (!ini_true(K_last_first) && added > max_msgs()) {
            info(sfmt(lang_get("I5: Got %d, too many msgs, leaving rest on POP server"), added));
            break;
        }
        if (s.nxov > kMaxUidl) {
            info(sfmt(lang_get("I6: Got %d, too many headers, leaving rest on POP server"), added));
            break;
        }
        if (outstanding == 0) {
            for (int k = 0; k < smax && next_send <= count; ++k, ++next_send) {
                tcp_printf(m.sk, "top %d 0\r\n", next_send);
                ++outstanding;
                ++s.top_sent;
            }
            ++s.flushes;
        }
        --outstanding;
        if (!readln()) {
            imsg("pop_read failed");
            s.scan_failed = true;
            break;
        }
        if (log_top) imsg("<- %s", m.reason.c_str());
        if (!isok(m.reason)) {
            imsg("pop_read: top %d returned %s", n, m.reason.c_str());
            continue;
        }
        std::vector<std::string> lines;
        if (!read_multiline(&lines, log_top) || (!lines.empty() && starts_with(lines[0], "-ERR"))) {
            imsg("pop_read failed");
            s.scan_failed = true;
            break;
        }
        Record rec;
        complete_record(rec, lines, n);
        s.nxov = n;
        bool handed = false;
        if (decide(rec, n, &handed, &kills)) {
            ++added;
            if (prof.xautoadd) pop_hooks().autoadd(rec);
        }
        if (handed) handed_any = true;
    }
    // An early stop leaves replies to TOP commands sent ahead: read them
    // off so no later command takes one of them for its own reply.
    while (!s.scan_failed && outstanding > 0) {
        --outstanding;
        if (!readln()) {
            s.scan_failed = true;
            break;
        }
        if (isok(m.reason) && !read_multiline(nullptr, false)) s.scan_failed = true;
    }
    fld_defer_appends(false);
    if (s.scan_failed) {
        // Nothing of this scan is kept: the next request scans again.
        tcp_close();
        forget_session();
        fld_readxov(0);
        return;
    }
    for (int k : kills)
        if (pop_hooks().kill_it(m.sk, k)) s.did_dele = true;
    auto t1 = std::chrono::steady_clock::now();
    s.scan_secs = std::chrono::duration<double>(t1 - t0).count();
    s.nxov = count;
    prof.xmsgs += added;
    s.gnnew += added;
    prof.xnnew_sl += added;
    if (added) ++g.ui_changed;
    if (added || handed_any) fetch_new();
    bool changed = added || handed_any;
    if (empty_new()) changed = true;
    if (ini_true(K_rset) && m.sk >= 0) {
        if (s.did_dele) {
            imsg("Cant quit with rset as doing dele");
        } else {
            imsg("pop socket close with rset \n");
            tcp_printf(m.sk, "rset\r\n");
            if (!readok()) imsg("Invalid response to rset: %s\n", m.reason.c_str());
        }
    }
    pop_close();
    std::string key = sort_key_of(prof.xsort_on);
    if (!idx_sorted(mainidx(), key.c_str())) {
        idx_sort(mainidx(), key.c_str());
        changed = true;
    }
    if (changed) fld_write(0);
    s.fetch_secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
}

int fetch_size(int pos, int n) {
    (void)pos;
    MailSocket& m = msock();
    tcp_printf(m.sk, "list %d\r\n", n);
    int size = 0;
    if (readln() && isok(m.reason)) {
        // "+OK n size": the third word.
        std::string r = m.reason;
        std::size_t a = r.find(' ');
        std::size_t b = a == std::string::npos ? a : r.find(' ', a + 1);
        if (b != std::string::npos) size = std::atoi(r.c_str() + b + 1);
    }
    if (size < 0) size = 0;
    imsg("Size %d %d\n", n, size);
    return size;
}

void dummy_one(int pos, int n, const std::string& text, long size) {
    (void)n;
    Record* r = fld_getrec(pos);
    if (!r) return;
    msg_write_stub(0, *r, text, size);
    flag_add((*r)[H_FLAGS], "rbody,");
    flag_remove((*r)[H_FLAGS], "new,");
}

void fetch_new() {
    PopState& s = pv().pub;
    Index& idx = mainidx();
    bool last_first = ini_true(K_last_first);
    long maxk = max_kbytes();
    long mcache = ini_isset(K_mcache_kbytes) ? std::atol(wm_ini_get(K_mcache_kbytes).c_str())
                                             : std::atol(ini_default(K_mcache_kbytes));
    long quota = disk_quota();
    for (int k = 0; k < idx.n; ++k) {
        int pos = last_first ? idx.n - 1 - k : k;
        Record& r = idx.recs[us(pos)];
        if (!flag_has(r[H_FLAGS], "new,")) continue;
        int n = find_uidl(r[H_UIDL]);
        if (n < 0) {
            r[H_FLAGS] = "deleted,";
            continue;
        }
        if (msock().sk < 0 && !pop_reopen()) break;
        if (s.fetched >= max_msgs()) {
            info(sfmt(lang_get("I7: Got %d msgs, leaving rest on POP server"), s.fetched));
            break;
        }
        if (!flag_has(r[H_FLAGS], "fwd_to_parent,")) {
            int size = fetch_size(pos, n);
            long kb = size / 1024;
            if (kb >= maxk) {
                info(sfmt(lang_get("I8: Message of %d kbytes too large to download"), static_cast<int>(kb)));
                dummy_one(pos, n,
                          sfmt(lang_get("This message was too large to download (%d kbytes) so it has been left on the server."),
                               static_cast<int>(kb)),
                          size);
                imsg("Part fetched %d and removed 'new'\n", n);
                continue;
            }
            if (ini_true(K_set_status)) {
                dummy_one(pos, n, lang_get("Headers only body has been left on the server."), size);
                imsg("Headers only fetched %d and removed 'new'\n", n);
                continue;
            }
            if (mcache >= 0 && kb >= mcache) {
                dummy_one(pos, n,
                          sfmt(lang_get("I9: This message was too large to cache (%d kbytes) so it has been left on the server."),
                               static_cast<int>(kb)),
                          size);
                imsg("Headers only fetched %d and removed 'new'\n", n);
                continue;
            }
            if (quota != 0 && (size + prof.xdiskuse) / 1024 >= quota) {
                info(lang_get("I10: Disk quota exceeded leaving rest on POP server"));
                break;
            }
        }
        int before = idx.n;
        if (fetch_one(pos, n, 0)) {
            ++s.fetched;
            // A filter rule may have taken the record out: the position
            // then holds the next message, still to be fetched.
            Record* rr = idx.n < before ? nullptr : fld_getrec(pos);
            if (rr && flag_remove((*rr)[H_FLAGS], "new,")) imsg("Fetched %d and removed 'new'\n", n);
        } else {
            std::string text = sfmt(lang_get("I11: There was an error retrieving message %d from POP host."), n);
            info(text);
            dummy_one(pos, n, text, 0);
            Record* rr = fld_getrec(pos);
            if (rr) flag_add((*rr)[H_FLAGS], "bad,");
            if (msock().sk < 0) break;   // the session could not be reopened
        }
        if (idx.n < before) --k;   // the record left the folder
    }
    imsg("Now process deletes");
    for (int i = idx.n - 1; i >= 0; --i) {
        if (flag_has(idx.recs[us(i)][H_FLAGS], "deleted,")) {
            imsg("Delete %d\n", i);
            fld_killrec(i);
        }
    }
}

int fetch_one(int pos, int n, int force) {
    MailSocket& m = msock();
    Record* r = fld_getrec(pos);
    if (!r) return 0;
    int id = std::atoi((*r)[H_ID].c_str());
    std::string path = fld_item(0, id);
    if (!force) {
        struct stat sb;
        while (stat(path.c_str(), &sb) == 0) {
            id = static_cast<int>(prof.xnextid > id ? prof.xnextid : id + 1);
            prof.xnextid = id + 1;
            ++g.ui_changed;
            std::string old = path;
            path = fld_item(0, id);
            imsg("Duplicate message file name %s changed id to %d", old.c_str(), id);
            (*r)[H_ID] = std::to_string(id);
        }
    }
    create_dir(path);
    std::string tmp = path + sfmt(".%d.part", static_cast<int>(getpid()));
    FILE* f = std::fopen(force ? tmp.c_str() : path.c_str(), "w");
    if (!f) {
        f_error(lang_get("E16: Cannot create (%s) (%s) \n"), path.c_str(), std::strerror(errno));
        return 0;
    }
    tcp_printf(m.sk, "retr %d\r\n", n);
    long lines = 0, bytes = 0;
    bool attach = false, begin_seen = false, complete = false, any = false, at_start = true;
    if (readln() && isok(m.reason)) {
        any = true;
        for (;;) {
            if (!readln()) break;
            const std::string& raw = m.reason;
            bool wrapped = m.wrapped;
            if (at_start && raw == ".") {
                complete = true;
                break;
            }
            std::string_view line = raw;
            if (at_start && !line.empty() && line[0] == '.') line.remove_prefix(1);
            std::fwrite(line.data(), 1, line.size(), f);
            bytes += static_cast<long>(line.size());
            // A line the reader had to cut continues in the next piece.
            at_start = !wrapped;
            if (wrapped) continue;
            std::fputc('\n', f);
            ++lines;
            ++bytes;
            std::string low = lower(line);
            if (contains(low, "base64")) attach = true;
            if (begin_seen && !low.empty() && low[0] == 'm') {
                attach = true;
            }
            begin_seen = starts_with(line, "begin ");
            if (begin_seen) imsg("found begin %s\n", std::string(line).c_str());
        }
    }
    std::fclose(f);
    if (!any || (lines == 0 && !complete)) {
        f_error("%s", lang_get("Unable to fetch message\n"));
        std::remove(force ? tmp.c_str() : path.c_str());
        pop_reopen();
        return 0;
    }
    if (force) {
        if (!complete) {
            // Never replace a stub by a body cut short.
            std::remove(tmp.c_str());
            f_error(lang_get("Error fetching message %d - may be incomplete"), n);
            return 0;
        }
        std::remove(path.c_str());
        std::rename(tmp.c_str(), path.c_str());
    }
    r = fld_getrec(pos);
    struct stat sb;
    long len = stat(path.c_str(), &sb) == 0 ? static_cast<long>(sb.st_size) : bytes;
    imsg("Diskuse %d + %d \n", static_cast<int>(prof.xdiskuse), static_cast<int>(len));
    prof.xdiskuse += len;
    ++g.ui_changed;
    if ((*r)[H_BYTES].empty() || force) (*r)[H_BYTES] = std::to_string(bytes);
    if ((*r)[H_LINES].empty()) (*r)[H_LINES] = std::to_string(lines);
    if (!complete) {
        // The connection failed part-way: keep what came, mark it, and
        // leave the message on the server so it can be fetched whole.
        f_error(lang_get("Error fetching message %d - may be incomplete"), n);
        flag_add((*r)[H_FLAGS], "bad,");
        flag_add((*r)[H_FLAGS], "rbody,");
        (*r)[H_REMOTE] = "1";
        return 1;
    }
    int slot = pv().pub.curpop >= 0 ? pv().pub.curpop : cur_slot();
    if (prof.xpop_del[us(slot)] && !flag_has((*r)[H_FLAGS], "fwd_to_parent,")) {
        tcp_printf(m.sk, "dele %d\r\n", n);
        if (readln() && isok(m.reason)) {
            flag_add((*r)[H_FLAGS], "xdel,");
            pv().pub.did_dele = true;
            pv().pending_dele.push_back((*r)[H_UIDL]);
        } else {
            f_error(lang_get("Deleting from host (%s) "), m.reason.c_str());
            flag_remove((*r)[H_FLAGS], "rbody,");
            return 1;
        }
    }
    if (attach) {
        imsg("Found attachment on message\n");
        flag_add((*r)[H_FLAGS], "file,");
    }
    flag_remove((*r)[H_FLAGS], "rbody,");
    flag_remove((*r)[H_FLAGS], "bad,");
    if (flag_has((*r)[H_FLAGS], "fwd_to_parent,")) {
        // The child never keeps the message.  When the parent could not be
        // sent it, it stays on the server: the next check finds it new
        // again and tries once more.
        const std::string uid = (*r)[H_UIDL];
        if (pop_hooks().do_parent_fwd(pos)) {
            // Sending took the mail socket: the session is opened again
            // (which repeats the deletions it had not committed yet).
            int at = m.sk >= 0 ? n : pop_reopen() ? find_uidl(uid) : -1;
            if (at > 0) {
                tcp_printf(m.sk, "dele %d\r\n", at);
                if (readok()) {
                    pv().pub.did_dele = true;
                    pv().pending_dele.push_back(uid);
                } else {
                    imsg("Error deleting from host (%s) ", m.reason.c_str());
                }
            } else {
                imsg("Error deleting from host (%s) ", "the session could not be opened again");
            }
        }
        std::remove(path.c_str());
        prof.xdiskuse = std::max(0L, prof.xdiskuse - len);
        fld_killrec(pos);
        return 1;
    }
    pop_hooks().do_rules(pos);
    return 1;
}

int pop_read_rbody(int pos) {
    Record* r = fld_getrec(pos);
    if (!r) return 0;
    int slot = popid((*r)[H_POPHOST], (*r)[H_POPUSER]);
    if (slot < 0) {
        f_error("%s", lang_get("Cant retrieve remote message as no matching pophost setting\n"));
        return 0;
    }
    if (!pop_open(slot)) {
        f_error("%s", lang_get("E10: pop_open failed\n"));
        return 0;
    }
    if (get_uidl() <= 0) {
        f_error("%s", lang_get("E11: Cant get uidl list\n"));
        return 0;
    }
    r = fld_getrec(pos);
    int n = find_uidl((*r)[H_UIDL]);
    if (n < 0) {
        f_error("%s", lang_get("E12: Message must have been deleted"));
        (*r)[H_FLAGS] = "deleted,";
        return 0;
    }
    long quota = disk_quota();
    if (quota != 0) {
        long size = std::atol((*r)[H_BYTES].c_str());
        if ((size + prof.xdiskuse) / 1024 >= quota) {
            f_error(lang_get("E13: Disk quota exceeded (%s) leaving msg on POP server"), prof.xuser.c_str());
            return 0;
        }
    }
    if (fetch_one(pos, n, 1)) {
        r = fld_getrec(pos);
        if (r) {
            flag_remove((*r)[H_FLAGS], "rbody,");
            (*r)[H_REMOTE] = prof.xpop_del[us(slot)] ? "0" : "1";
        }
        imsg("Fetched 1 and removed flag 'rbody,'\n");
        return 1;
    }
    f_error(lang_get("E14: There was an error retrieving message %d from POP host."), n);
    r = fld_getrec(pos);
    if (r) flag_add((*r)[H_FLAGS], "bad,");
    return 0;
}

int r_delpop(int pos) {
    Record* r = fld_getrec(pos);
    if (!r || !starts_with((*r)[H_REMOTE], "1")) return 0;
    int slot = popid((*r)[H_POPHOST], (*r)[H_POPUSER]);
    if (slot < 0) return 0;
    if (prof.xuser.empty()) get_user();
    if (!pop_open(slot)) return 0;
    get_uidl();
    r = fld_getrec(pos);
    std::string uid = (*r)[H_UIDL];
    int n = find_uidl(uid);
    if (n < 0) {
        f_error(lang_get("Message not found on pop server (%s) maybe it has been deleted"), uid.c_str());
        return 0;
    }
    imsg("Deleting message %d %s\n", n, uid.c_str());
    tcp_printf(msock().sk, "dele %d\r\n", n);
    if (!readok()) {
        f_error(lang_get("Unable to delete item (%s)"), msock().reason.c_str());
        return 0;
    }
    pv().pub.did_dele = true;
    return 1;
}

void pop_reset() { pv() = PopPrivate{}; }
