#include "net/sock.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "cgi/config.h"
#include "cgi/content.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "net/tls.h"
#include "support/str.h"

namespace {
constexpr int kChunk = 412;          // bytes per read of the line reader
constexpr std::size_t kReason = 1999;
constexpr std::size_t kWrap = 1989;  // pending text beyond this is cut into a line
constexpr std::size_t kWriteMax = 7000;

// Waits for readability; answers 1 ready, 0 time-out, -1 wait failed,
// -2 exceptional condition.  Text TLS has already decrypted is ready even
// when the descriptor has nothing more.
int wait_readable(int s, int timeout_ms) {
    if (tls_pending(s)) return 1;
    struct pollfd p = {s, POLLIN | POLLPRI, 0};
    int r;
    do {
        r = poll(&p, 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    if (r == 0) return 0;
    if (p.revents & POLLNVAL) return -1;
    // A hang-up still has data (or the end) to read: let read tell.
    if ((p.revents & POLLERR) && !(p.revents & POLLIN)) return -2;
    return 1;
}

bool digits_and_dots(const std::string& h) {
    if (h.empty()) return false;
    for (char c : h)
        if (!((c >= '0' && c <= '9') || c == '.')) return false;
    return true;
}

// A connect that gives up after the read time-out instead of the system's
// minutes-long default: an unreachable server must not hold the request.
int connect_bounded(const struct addrinfo* ai, int timeout_secs) {
    int s = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (s < 0) return -1;
    int fl = fcntl(s, F_GETFL);
    fcntl(s, F_SETFL, fl | O_NONBLOCK);
    int r = connect(s, ai->ai_addr, ai->ai_addrlen);
    if (r < 0 && errno != EINPROGRESS) {
        int e = errno;
        close(s);
        errno = e;
        return -1;
    }
    if (r < 0) {
        struct pollfd p = {s, POLLOUT, 0};
        do {
            r = poll(&p, 1, timeout_secs * 1000);
        } while (r < 0 && errno == EINTR);
        int e = 0;
        if (r == 0) {
            e = ETIMEDOUT;
        } else if (r < 0) {
            e = errno;
        } else {
            socklen_t len = sizeof e;
            if (getsockopt(s, SOL_SOCKET, SO_ERROR, &e, &len) < 0) e = errno;
        }
        if (e) {
            close(s);
            errno = e;
            return -1;
        }
    }
    fcntl(s, F_SETFL, fl);
    return s;
}

// read(2) and send(2) on the mail socket, through TLS once it is started.
ssize_t sock_read(int s, char* buf, std::size_t size) {
    if (tls_on(s)) return tls_read(s, buf, static_cast<int>(size));
    return read(s, buf, size);
}
ssize_t sock_send(int s, const char* data, std::size_t len) {
    if (tls_on(s)) return tls_write(s, data, len);
    return send(s, data, len, MSG_NOSIGNAL);
}

}  // namespace

long tcp_send(int s, const char* data, std::size_t len) { return sock_send(s, data, len); }

namespace {
void write_copy(const std::string& text) {
    FILE* f = msock().tlog;
    if (!f) return;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            std::fputc('\n', f);
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            std::fputc(text[i], f);
        }
    }
}
}  // namespace

MailSocket& msock() {
    static MailSocket s;
    return s;
}

int pop_timeout() {
    MailSocket& m = msock();
    if (m.timeout <= 0) {
        m.timeout = std::atoi(wm_ini_get(K_pop_timeout).c_str());
        if (m.timeout <= 0) m.timeout = 30;
    }
    return m.timeout;
}

void tcp_lasterror() { msock().werrno = errno; }
std::string tcperror() { return std::strerror(msock().werrno); }

int tcp_openx(std::string& host, int port, int* dns_err) {
    if (dns_err) *dns_err = 0;
    host = lower(host);
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (digits_and_dots(host)) hints.ai_flags = AI_NUMERICHOST;
    struct addrinfo* res = nullptr;
    std::string service = std::to_string(port);
    int gr = getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
    if (gr != 0 || !res) {
        if (!digits_and_dots(host) || gr != EAI_NONAME) {
            if (dns_err) *dns_err = 1;
        }
        msock().werrno = gr == EAI_SYSTEM ? errno : EHOSTUNREACH;
        if (res) freeaddrinfo(res);
        return -1;
    }
    int s = -1;
    for (struct addrinfo* ai = res; ai; ai = ai->ai_next) {
        s = connect_bounded(ai, pop_timeout());
        if (s >= 0) break;
        tcp_lasterror();
    }
    freeaddrinfo(res);
    return s;
}

std::string tcp_log_text(const std::string& text) {
    if (contains(lower(text), "pass")) return "-> pass ****\n";
    return "-> " + text;
}

void tcp_write_line(int s, const std::string& text_in) {
    if (s < 0) {
        imsg("tcp_printf: with invalid socket parameter\n");
        return;
    }
    std::string text = ncpy(text_in, kWriteMax);
    std::size_t off = 0;
    while (off < text.size()) {
        ssize_t w = sock_send(s, text.data() + off, text.size() - off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            tcp_lasterror();
            imsg("Socket write failed\n");
            // Shut down rather than close: the number stays ours, so the
            // next read fails on this connection instead of on whatever
            // file reuses the descriptor.
            shutdown(s, SHUT_RDWR);
            break;
        }
        off += static_cast<std::size_t>(w);
    }
    ++msock().writes;
    if ((g.glog_send || log_has("send")) && text.size() < 200) imsg("%s", tcp_log_text(text).c_str());
    write_copy(text);
}

void tcp_printf(int s, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = vsfmt(fmt, ap);
    va_end(ap);
    tcp_write_line(s, text);
}

void tcp_close() {
    MailSocket& m = msock();
    tls_close();
    if (m.sk >= 0) close(m.sk);
    m.sk = -1;
    m.rest.clear();
}

bool isok(const std::string& line) { return !line.empty() && line[0] == '+'; }

int readok() { return readln() && isok(msock().reason); }

int tsocket_read(int s, char* buf, int size, int timeout_secs) {
    if (timeout_secs >= 0) {
        int w = wait_readable(s, timeout_secs * 1000);
        if (w == -1) {
            tcp_lasterror();
            return -2;
        }
        if (w == 0) return -3;
        if (w == -2) {
            imsg("Select exception error\n");
            return -5;
        }
    }
    ssize_t n;
    do {
        n = sock_read(s, buf, static_cast<std::size_t>(size));
    } while (n < 0 && errno == EINTR);
    ++msock().reads;
    if (n == 0) {
        imsg("Socket closed\n");
        return -4;
    }
    if (n < 0) {
        tcp_lasterror();
        return -1;
    }
    return static_cast<int>(n);
}

int readln() {
    MailSocket& m = msock();
    char buf[kChunk];
    for (;;) {
        std::size_t crlf = m.rest.find("\r\n");
        if (crlf != std::string::npos) {
            if (crlf > kReason) {
                // Only reachable through a line cut earlier: hand over the
                // bound and keep the rest for the next call.
                m.reason = m.rest.substr(0, kReason);
                m.rest.erase(0, kReason);
                m.wrapped = true;
                return 1;
            }
            m.reason = m.rest.substr(0, crlf);
            m.rest.erase(0, crlf + 2);
            m.wrapped = false;
            return 1;
        }
        if (m.sk < 0) {
            m.reason.clear();
            f_error("%s", lang_get("E26: Invalid socket in readln\n"));
            return 0;
        }
        int n = tsocket_read(m.sk, buf, kChunk, pop_timeout());
        if (n == -3) {
            do_content();
            f_error("%s", lang_get("E27: Timeout reading from pop/smtp server\n"));
            m.reason.clear();
            return 0;
        }
        if (n == -4) {
            // The peer is gone: nothing more can come on this connection.
            tcp_close();
            m.reason.clear();
            return 0;
        }
        if (n < 0) {
            do_content();
            f_error(lang_get("E28: Error reading from pop/smtp (%s)\n"), tcperror().c_str());
            tcp_close();
            m.reason.clear();
            return 0;
        }
        if (m.rest.size() + static_cast<std::size_t>(n) > kWrap) {
            imsg("Line too long %d+%d wrapping at %d", static_cast<int>(m.rest.size()), n,
                 static_cast<int>(m.rest.size()));
            m.reason = m.rest;
            m.rest.assign(buf, static_cast<std::size_t>(n));
            m.wrapped = true;
            return 1;
        }
        m.rest.append(buf, static_cast<std::size_t>(n));
    }
}

int readln_sm() {
    for (;;) {
        if (!readln()) return 0;
        const std::string& r = msock().reason;
        if (!(r.size() >= 4 && r[3] == '-')) return 1;
    }
}

void readln_clear() { msock().rest.clear(); }

int readln_flush() {
    MailSocket& m = msock();
    m.rest.clear();
    m.reason.clear();
    if (m.sk < 0) return -1;
    int count = 0;
    char buf[512];
    for (;;) {
        // Under TLS only what is already decrypted is dropped: readable
        // bytes on the descriptor may be a record without data (a session
        // ticket), and reading it would wait for data that never comes.
        int w = tls_on(m.sk) ? (tls_pending(m.sk) ? 1 : 0) : wait_readable(m.sk, 0);
        if (w == 0) break;
        if (w < 0) {
            tcp_close();
            break;
        }
        int n = tsocket_read(m.sk, buf, 511, 10);
        if (n <= 0) {
            if (n == -4 || n == -1 || n == -5) tcp_close();
            break;
        }
        count += n;
    }
    return count;
}

int readsk(int s) {
    MailSocket& m = msock();
    char buf[512];
    int w = s < 0 ? -1 : wait_readable(s, pop_timeout() * 1000);
    if (w == -1) {
        tcp_lasterror();
        f_error("smtp select error %s", tcperror().c_str());
        imsg("Error on select from smtp (%s)\n", tcperror().c_str());
        m.reason = "500 ERROR " + tcperror();
        return 0;
    }
    if (w == -2) {
        m.reason = "500 ERROR " + tcperror();
        return 0;
    }
    if (w == 0) {
        imsg("SMTP Socket timeout error\n");
        m.reason = "500 Timeout";
        return 0;
    }
    ssize_t n;
    do {
        n = sock_read(s, buf, 511);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        tcp_lasterror();
        f_error("smtp error %s", tcperror().c_str());
        imsg("Error reading from smtp (%s)\n", tcperror().c_str());
        m.reason = "500 ERROR " + tcperror();
        return 0;
    }
    if (n == 0) {
        imsg("SMTP Socket closed\n");
        m.reason = "500 Closed";
        return 0;
    }
    std::string text(buf, static_cast<std::size_t>(n));
    std::size_t lf = text.find('\n');
    if (lf != std::string::npos) text.resize(lf);
    m.reason = text;
    imsg("response: %s\n", text.c_str());
    return 1;
}

void tcp_logfile(const char* name) {
    MailSocket& m = msock();
    if (m.tlog) {
        std::fclose(m.tlog);
        m.tlog = nullptr;
    }
    if (!name) return;
    m.tlog = std::fopen(name, "w");
    if (!m.tlog) imsg("Could not open copy self temp file %s %s\n", name, std::strerror(errno));
}

const std::string& tcp_hostname() {
    MailSocket& m = msock();
    if (!m.hostname_done) {
        char name[256];
        if (gethostname(name, sizeof name) == 0) {
            name[sizeof name - 1] = '\0';
            m.hostname = ncpy(name, 190);
            m.hostname_done = true;
        } else {
            std::printf("tcp: Can't get host name\n");
            m.hostname.clear();
        }
    }
    return m.hostname;
}

int tcp_startup() { return 1; }

void sock_reset() {
    MailSocket& m = msock();
    tls_reset();
    if (m.sk >= 0) close(m.sk);
    if (m.tlog) std::fclose(m.tlog);
    m = MailSocket{};
}
