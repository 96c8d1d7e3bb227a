// SMTP dialogue on the mail socket.
#include "send/smtp.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <algorithm>

#include "cgi/diag.h"
#include "net/sock.h"
#include "support/str.h"
#include "view/mimecodec.h"

namespace {
bool send_logging() { return log_has("send"); }

// Writes all of the bytes, waiting at most the read time-out whenever the
// server takes nothing.  Through TLS when the connection has it.
bool write_all(const char* p, std::size_t n) {
    int s = msock().sk;
    if (s < 0) return false;
    while (n > 0) {
        struct pollfd pf{s, POLLOUT, 0};
        int r = poll(&pf, 1, pop_timeout() * 1000);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            imsg("Socket write timed out\n");
            return false;
        }
        long w = tcp_send(s, p, n);
        if (w < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (w <= 0) {
            tcp_lasterror();
            imsg("Socket write failed\n");
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    ++msock().writes;
    return true;
}
}  // namespace

bool smtp_cmd(std::string_view line, bool secret) {
    if (send_logging()) {
        if (secret) imsg("-> ****\n");
        else imsg("-> %.*s\n", static_cast<int>(std::min<std::size_t>(line.size(), 300)), line.data());
    }
    std::string text(line);
    text += "\r\n";
    return write_all(text.data(), text.size());
}

int smtp_reply() {
    if (!readln_sm()) return -1;
    const std::string& r = msock().reason;
    if (send_logging()) imsg("<- %.300s\n", r.c_str());
    if (r.size() < 3 || !std::isdigit(static_cast<unsigned char>(r[0])) ||
        !std::isdigit(static_cast<unsigned char>(r[1])) || !std::isdigit(static_cast<unsigned char>(r[2])))
        return 500;
    return std::atoi(r.substr(0, 3).c_str());
}

std::string smtp_reason() { return msock().reason; }

int smtp_auth(const std::string& domain, const std::string& user, const std::string& pass,
              const std::vector<std::string>* ehlo) {
    bool offered = false, plain = false, login = false;
    int code = 0;
    auto take = [&](const std::string& r) {
        std::string low = lower(r.substr(0, 502));
        code = std::atoi(low.substr(0, 3).c_str());
        if (low.size() > 4 && (low.compare(4, 5, "auth ") == 0 || low.compare(4, 5, "auth=") == 0)) {
            offered = true;
            std::string mechs = " " + low.substr(9) + " ";
            plain = plain || mechs.find(" plain ") != std::string::npos;
            login = login || mechs.find(" login ") != std::string::npos;
        }
    };
    if (ehlo && !ehlo->empty()) {
        for (const std::string& r : *ehlo) take(r);
    } else {
        if (!smtp_cmd("EHLO " + domain)) return 0;
        for (;;) {
            if (!readln()) return 0;
            const std::string& r = msock().reason;
            if (send_logging()) imsg("<- %.300s\n", r.c_str());
            take(r);
            if (!(r.size() >= 4 && r[3] == '-')) break;
        }
    }
    if (code < 200 || code > 299) {
        imsg("smtp_auth: ehlo failed status %d\n", code);
        return 0;
    }
    if (!offered || (!plain && !login)) {
        imsg("smtp_auth: smtp server didn't return auth information\n");
        return 0;
    }
    if (plain) {
        std::string blob;
        blob += '\0';
        blob += user;
        blob += '\0';
        blob += pass;
        if (send_logging()) imsg("-> AUTH PLAIN ****\n");
        if (!smtp_cmd("AUTH PLAIN " + sencode_base64(blob), true)) return -1;
        code = smtp_reply();
        if (code >= 200 && code < 300) return 1;
        imsg("smtp_auth: auth plain, failed response (%.200s)\n", smtp_reason().c_str());
        return -1;
    }
    if (!smtp_cmd("AUTH LOGIN")) return -1;
    for (int round = 0; round < 5; ++round) {
        code = smtp_reply();
        if (code < 0) return -1;
        if (code < 300) {
            imsg("smtp_auth: auth login, smtp server told us we're done authenticating (%.200s)\n",
                 smtp_reason().c_str());
            return 1;
        }
        if (code >= 400) {
            imsg("smtp_auth: auth login, failed response (%.200s)\n", smtp_reason().c_str());
            return -1;
        }
        std::string ask = lower(decode_base64s(smtp_reason().size() > 4 ? smtp_reason().substr(4, 502) : ""));
        if (ask.find("username") != std::string::npos) {
            smtp_cmd(sencode_base64(user), true);
        } else if (ask.find("password") != std::string::npos) {
            smtp_cmd(sencode_base64(pass), true);
        } else {
            imsg("smtp_auth: server requested extra auth information (%.200s)\n", ask.c_str());
            smtp_cmd("*");
        }
    }
    return -1;
}

bool smtp_data_file(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        imsg("Cannot read the message file %s (%s)\n", path.c_str(), std::strerror(errno));
        return false;
    }
    constexpr std::size_t kChunk = 64 * 1024;
    std::string in(kChunk, '\0');
    std::string out;
    out.reserve(kChunk + kChunk / 8);
    bool line_start = true, ok = true;
    for (;;) {
        ssize_t n = read(fd, in.data(), kChunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) break;
        out.clear();
        for (ssize_t i = 0; i < n; ++i) {
            char c = in[static_cast<std::size_t>(i)];
            if (line_start && c == '.') out += '.';
            out += c;
            line_start = c == '\n';
        }
        if (!write_all(out.data(), out.size())) {
            ok = false;
            break;
        }
    }
    close(fd);
    if (!ok) return false;
    static const char kEnd[] = "\r\n.\r\n";
    // The message file ends with a line end; only the dot line follows.
    return line_start ? write_all(kEnd + 2, 3) : write_all(kEnd, 5);
}
