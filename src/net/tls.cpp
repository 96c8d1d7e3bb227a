#include "net/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <cstdlib>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/lang.h"
#include "net/sock.h"
#include "support/str.h"
#include "support/wild.h"

namespace {

// OpenSSL writes with write(2), which raises SIGPIPE on a connection the
// peer has closed (the plain socket path sends with MSG_NOSIGNAL).  The
// signal is held while OpenSSL works and a SIGPIPE it raised is taken back,
// so a closed connection is an error return, never the end of the process.
class NoSigpipe {
public:
    NoSigpipe() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pend;
        sigpending(&pend);
        was_pending_ = sigismember(&pend, SIGPIPE) == 1;
        sigprocmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~NoSigpipe() {
        int saved = errno;
        sigset_t pend;
        sigpending(&pend);
        if (!was_pending_ && sigismember(&pend, SIGPIPE) == 1) {
            timespec zero{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &zero) == -1 && errno == EINTR) {
            }
        }
        sigprocmask(SIG_SETMASK, &old_, nullptr);
        errno = saved;
    }
    NoSigpipe(const NoSigpipe&) = delete;
    NoSigpipe& operator=(const NoSigpipe&) = delete;

private:
    sigset_t pipe_, old_;
    bool was_pending_ = false;
};


struct TlsState {
    SSL_CTX* ctx = nullptr;
    bool cas_loaded = false; // the trusted certificates are in ctx
    SSL* ssl = nullptr;
    int fd = -1;             // descriptor the session runs on
    std::string failure;     // user words of the last failure
};

TlsState& ts() {
    static TlsState t;
    return t;
}

const char* const kKindName[2] = {"POP", "SMTP"};

std::string setting(int key) { return ini_isset(key) ? wm_ini_get(key) : std::string(ini_default(key)); }

std::string trimmed(std::string_view s) {
    std::size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string_view::npos) return "";
    std::size_t b = s.find_last_not_of(" \t\r\n");
    return std::string(s.substr(a, b - a + 1));
}

// The OpenSSL error queue as one log line, emptied.
std::string ssl_errors() {
    std::string out;
    char buf[256];
    while (unsigned long e = ERR_get_error()) {
        ERR_error_string_n(e, buf, sizeof buf);
        if (!out.empty()) out += "; ";
        out += buf;
    }
    return out;
}

// Bounds every read and write of the handshake and of the session, so a
// server that stops in the middle of a record cannot hold the request.
void bound_io(int fd) {
    struct timeval tv = {pop_timeout(), 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

SSL_CTX* make_ctx(std::string* detail) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        *detail = "SSL_CTX_new: " + ssl_errors();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    return ctx;
}

// Loads the certificates a server's chain must end in, once per process.
bool load_cas(SSL_CTX* ctx, std::string* detail) {
    std::string file = setting(K_tls_ca_file), dir = setting(K_tls_ca_dir);
    int ok;
    if (file.empty() && dir.empty()) {
        // The system store as a hashed directory: certificates are read
        // when a chain needs them, not the whole bundle at every request.
        ok = SSL_CTX_load_verify_locations(ctx, nullptr, X509_get_default_cert_dir());
    } else {
        ok = SSL_CTX_load_verify_locations(ctx, file.empty() ? nullptr : file.c_str(),
                                           dir.empty() ? nullptr : dir.c_str());
    }
    if (ok == 1) return true;
    *detail = "cannot load CA certificates (tls_ca_file \"" + file + "\", tls_ca_dir \"" + dir + "\"): " +
              ssl_errors();
    return false;
}

// The failure in the words of the error page, from the verification result.
std::string failure_words(long vr, const std::string& host) {
    switch (vr) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return sfmt(lang_get("The certificate of mail server %s has expired."), html_escape(host).c_str());
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return sfmt(lang_get("The certificate of mail server %s is not valid yet."),
                    html_escape(host).c_str());
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return sfmt(lang_get("The certificate of mail server %s is for another name."),
                    html_escape(host).c_str());
    case X509_V_OK:
        return sfmt(lang_get("Could not make a secure connection (TLS) to mail server %s."),
                    html_escape(host).c_str());
    default:
        return sfmt(lang_get("The certificate of mail server %s is not trusted."), html_escape(host).c_str());
    }
}

bool is_ip_literal(const std::string& host) {
    if (host.find(':') != std::string::npos) return true;
    for (char c : host)
        if (!((c >= '0' && c <= '9') || c == '.')) return false;
    return !host.empty();
}

int fail(const std::string& words, const std::string& detail, int kind, const std::string& host) {
    TlsState& t = ts();
    t.failure = words;
    f_error("%s", words.c_str());
    lmsg("TLS to %s server %s failed: %s", kKindName[kind], host.c_str(), detail.c_str());
    tcp_close();
    return 0;
}

}  // namespace

int tls_parse_mode(const std::string& text) {
    std::string v = lower(trimmed(text));
    if (v == "none") return TLS_NONE;
    if (v == "optional") return TLS_OPTIONAL;
    if (v == "required") return TLS_REQUIRED;
    if (v == "implicit") return TLS_IMPLICIT;
    return -1;
}

const char* tls_mode_name(int mode) {
    static const char* const names[] = {"none", "optional", "required", "implicit"};
    return mode >= 0 && mode <= 3 ? names[mode] : "?";
}

int tls_mode(int kind, int port) {
    int ports_key = kind == TLS_SMTP ? K_smtp_tls_ports : K_pop_tls_ports;
    int mode_key = kind == TLS_SMTP ? K_smtp_tls : K_pop_tls;
    std::string ports = setting(ports_key);
    std::size_t at = 0;
    while (at <= ports.size()) {
        std::size_t comma = ports.find(',', at);
        if (comma == std::string::npos) comma = ports.size();
        std::string p = trimmed(std::string_view(ports).substr(at, comma - at));
        if (!p.empty() && std::atoi(p.c_str()) == port) return TLS_IMPLICIT;
        at = comma + 1;
    }
    std::string text = setting(mode_key);
    int mode = tls_parse_mode(text);
    if (mode < 0) {
        // A mistyped setting must not weaken the connection: treat it as the
        // strictest mode that can still talk to a plain port.
        lmsg("unknown TLS mode \"%s\" for %s: using \"required\"", text.c_str(), kKindName[kind]);
        mode = TLS_REQUIRED;
    }
    return mode;
}

bool tls_capability(const std::string& line, int kind) {
    if (kind == TLS_POP) return lower(trimmed(line)) == "stls";
    // "250-STARTTLS" or "250 STARTTLS"
    if (line.size() < 4) return false;
    return (line[3] == '-' || line[3] == ' ') && lower(trimmed(line.substr(4))) == "starttls";
}

int tls_start(const std::string& host, int kind) {
    TlsState& t = ts();
    MailSocket& m = msock();
    if (kind != TLS_SMTP) kind = TLS_POP;
    t.failure.clear();
    if (m.sk < 0) return fail(failure_words(X509_V_OK, host), "no connection", kind, host);
    if (!m.rest.empty()) {
        lmsg("TLS to %s: dropped %d bytes the server sent before the handshake", host.c_str(),
             static_cast<int>(m.rest.size()));
        m.rest.clear();
    }
    tls_close();
    bool verify = !list_match(setting(K_tls_noverify), host);
    if (!verify)
        lmsg("TLS to %s server %s: certificate NOT verified (tls_noverify)", kKindName[kind], host.c_str());
    std::string detail;
    if (!t.ctx) t.ctx = make_ctx(&detail);
    if (t.ctx && verify && !t.cas_loaded) t.cas_loaded = load_cas(t.ctx, &detail);
    if (!t.ctx || (verify && !t.cas_loaded))
        return fail(failure_words(X509_V_OK, host), detail, kind, host);
    t.ssl = SSL_new(t.ctx);
    if (!t.ssl)
        return fail(failure_words(X509_V_OK, host), "SSL_new: " + ssl_errors(), kind, host);
    if (!verify) {
        SSL_set_verify(t.ssl, SSL_VERIFY_NONE, nullptr);
    } else {
        X509_VERIFY_PARAM* vp = SSL_get0_param(t.ssl);
        X509_VERIFY_PARAM_set_hostflags(vp, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        int set = is_ip_literal(host) ? X509_VERIFY_PARAM_set1_ip_asc(vp, host.c_str())
                                      : X509_VERIFY_PARAM_set1_host(vp, host.c_str(), 0);
        if (set != 1)
            return fail(failure_words(X509_V_ERR_HOSTNAME_MISMATCH, host), "bad host name for the check", kind,
                        host);
    }
    if (!is_ip_literal(host)) SSL_set_tlsext_host_name(t.ssl, host.c_str());
    SSL_set_fd(t.ssl, m.sk);
    t.fd = m.sk;
    bound_io(m.sk);
    ERR_clear_error();
    int r;
    {
        NoSigpipe quiet;
        r = SSL_connect(t.ssl);
    }
    if (r != 1) {
        long vr = SSL_get_verify_result(t.ssl);
        int e = SSL_get_error(t.ssl, r);
        const char* why = vr != X509_V_OK ? X509_verify_cert_error_string(vr) : "";
        detail = sfmt("handshake: %s (ssl error %d, errno %d) ", why, e, errno) + ssl_errors();
        return fail(failure_words(vr, host), detail, kind, host);
    }
    imsg("TLS to %s server %s: %s %s", kKindName[kind], host.c_str(), SSL_get_version(t.ssl),
         SSL_get_cipher_name(t.ssl));
    return 1;
}

int tls_refuse_plain(const std::string& host, int kind) {
    if (kind != TLS_SMTP) kind = TLS_POP;
    return fail(sfmt(lang_get("Mail server %s does not offer a secure connection (TLS), which this site requires."),
                     html_escape(host).c_str()),
                sfmt("%s not offered, %s_tls is \"required\"", kind == TLS_SMTP ? "STARTTLS" : "STLS",
                     kind == TLS_SMTP ? "smtp" : "pop"),
                kind, host);
}

int tls_open(std::string& host, int port, int kind) {
    int dns = 0;
    int s = tcp_openx(host, port, &dns);
    if (s < 0) {
        f_error(lang_get(dns ? "DNS lookup for host %s failed" : "Cannot connect to host %s"),
                html_escape(host).c_str());
        lmsg("connect to %s:%d failed: %s", host.c_str(), port, tcperror().c_str());
        return 0;
    }
    tcp_close();
    msock().sk = s;
    if (tls_mode(kind, port) == TLS_IMPLICIT) return tls_start(host, kind);
    return 1;
}

namespace {
// One EHLO and its multi-line reply; 1 when it was 250.
int ehlo_once(const std::string& helo_name, std::vector<std::string>* lines) {
    MailSocket& m = msock();
    lines->clear();
    tcp_printf(m.sk, "EHLO %s\r\n", helo_name.c_str());
    for (;;) {
        if (!readln()) return 0;
        lines->push_back(m.reason);
        if (m.reason.size() < 4 || m.reason[3] != '-') break;
        if (lines->size() > 200) return 0;
    }
    return starts_with(m.reason, "250");
}
}  // namespace

int tls_smtp_hello(const std::string& host, int port, const std::string& helo_name,
                   std::vector<std::string>* ehlo) {
    MailSocket& m = msock();
    int mode = tls_mode(TLS_SMTP, port);
    ts().failure.clear();
    if (!ehlo_once(helo_name, ehlo)) {
        if (m.sk < 0 || m.reason.empty()) return 0;   // the connection is gone
        ehlo->clear();                                // an old server: HELO follows
        return mode == TLS_REQUIRED ? tls_refuse_plain(host, TLS_SMTP) : 1;
    }
    if (mode == TLS_NONE || tls_active()) return 1;
    bool offered = false;
    for (const std::string& l : *ehlo)
        if (tls_capability(l, TLS_SMTP)) offered = true;
    if (offered) {
        tcp_printf(m.sk, "STARTTLS\r\n");
        if (readln() && starts_with(m.reason, "220")) {
            // What the server said before TLS, capabilities included, is
            // forgotten: only the protected EHLO counts.
            if (!tls_start(host, TLS_SMTP)) return 0;
            return ehlo_once(helo_name, ehlo);
        }
        imsg("STARTTLS refused by %s: %s", host.c_str(), m.reason.c_str());
    }
    if (mode == TLS_REQUIRED) return tls_refuse_plain(host, TLS_SMTP);
    imsg("SMTP server %s: no STARTTLS, going on without TLS", host.c_str());
    return 1;
}

bool tls_active() { return ts().ssl != nullptr && ts().fd >= 0; }
const std::string& tls_failure() { return ts().failure; }

bool tls_on(int s) { return s >= 0 && ts().ssl && ts().fd == s; }
bool tls_pending(int s) { return tls_on(s) && SSL_pending(ts().ssl) > 0; }

long tls_read(int s, char* buf, int size) {
    if (!tls_on(s)) {
        errno = EBADF;
        return -1;
    }
    ERR_clear_error();
    errno = 0;
    int n;
    {
        NoSigpipe quiet;
        n = SSL_read(ts().ssl, buf, size);
    }
    if (n > 0) return n;
    int e = SSL_get_error(ts().ssl, n);
    if (e == SSL_ERROR_ZERO_RETURN) return 0;
    if (e == SSL_ERROR_SYSCALL && errno == 0) return 0;   // closed without close_notify
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) errno = ETIMEDOUT;
    else if (e != SSL_ERROR_SYSCALL) errno = EPROTO;
    std::string why = ssl_errors();
    if (!why.empty()) imsg("TLS read: %s", why.c_str());
    return -1;
}

long tls_write(int s, const char* data, std::size_t len) {
    if (!tls_on(s)) {
        errno = EBADF;
        return -1;
    }
    if (len == 0) return 0;
    ERR_clear_error();
    int n;
    {
        NoSigpipe quiet;
        n = SSL_write(ts().ssl, data, static_cast<int>(len));
    }
    if (n > 0) return n;
    int e = SSL_get_error(ts().ssl, n);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) errno = ETIMEDOUT;
    else if (e != SSL_ERROR_SYSCALL) errno = EPROTO;
    std::string why = ssl_errors();
    if (!why.empty()) imsg("TLS write: %s", why.c_str());
    return -1;
}

void tls_close() {
    TlsState& t = ts();
    if (t.ssl) {
        // No close_notify exchange: the protocol's QUIT has already ended
        // the session, and waiting for the peer's alert costs a round trip.
        SSL_free(t.ssl);
        t.ssl = nullptr;
    }
    t.fd = -1;
}

void tls_reset() {
    TlsState& t = ts();
    tls_close();
    if (t.ctx) SSL_CTX_free(t.ctx);
    t = TlsState{};
}
