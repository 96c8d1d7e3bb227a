#include "net/netobj.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "net/sock.h"
#include "support/str.h"

namespace {

const char* const kSlotName[3] = {"POP", "SMTP", "POPPASS"};

void say(NetMsg cb, const std::string& text) {
    if (cb) cb(("NET: " + text).c_str());
}
void trace(NETWORK* net, const std::string& text) { say(net->dmsg, text); }
void error(NETWORK* net, const std::string& text) { say(net->emsg, text); }

// Misuse guard: an object that never saw net_init would carry garbage
// descriptors and pointers; stop before using them.
void check_init(NETWORK* net) {
    if (!net) {
        std::fprintf(stderr, "Error Using Network before Init\n");
        std::exit(1);
    }
    if (net->init_value == kNetInit) return;
    net_init(net, nullptr, nullptr);
    std::fprintf(stderr, "Error Using Network before Init\n");
    std::exit(1);
}

char* dup_or_null(const char* s) { return s ? strdup(s) : nullptr; }

void set_error_string(NETWORK* net, const char* text) {
    std::free(net->error_string);
    net->error_string = dup_or_null(text);
}

bool prefix_ci(const char* s, const char* p) {
    for (; *p; ++s, ++p)
        if (!*s || (*s | 0x20) != (*p | 0x20)) return false;
    return true;
}

// Traces a line with passwords masked by the same prefix rule as commands.
std::string masked(const char* dir, const char* line, bool braces) {
    if (prefix_ci(line, "newpass")) return sfmt(braces ? "%s {newpass ****}" : "%s newpass ****", dir);
    if (prefix_ci(line, "pass")) return sfmt(braces ? "%s {pass ****}" : "%s pass ****", dir);
    return sfmt(braces ? "%s {%s}" : "%s %s", dir, line);
}

// Waits until the slot is ready; 1 ready, 0 time-out, -1 failure, -2 exception.
int wait_slot(NETWORK* net, int fd, short events) {
    struct pollfd p = {fd, static_cast<short>(events | POLLPRI), 0};
    int ms = static_cast<int>(net->timeout.tv_sec * 1000 + net->timeout.tv_usec / 1000);
    int r;
    do {
        r = poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    if (r == 0) return 0;
    if ((p.revents & (POLLERR | POLLNVAL)) && !(p.revents & events)) return -2;
    return 1;
}

}  // namespace

bool net_reply_ok_slot(int slot, const char* line) {
    if (slot != NET_POPPASS) return net_reply_ok(line);
    // poppassd answers with a three-digit code; anything else (a different
    // server on the port, a garbled line) is no success, so a password is
    // never taken as changed when it was not.
    if (!line || !(line[0] >= '2' && line[0] <= '3') || !(line[1] >= '0' && line[1] <= '9') ||
        !(line[2] >= '0' && line[2] <= '9'))
        return false;
    return line[3] == '\0' || line[3] == ' ' || line[3] == '-';
}

bool net_reply_ok(const char* line) {
    if (!line) return false;
    if (line[0] && line[1] == 'O' && line[2] == 'K') return true;
    int code = std::atoi(line);
    if (!(line[0] >= '0' && line[0] <= '9')) code = 0;
    return code == 200 || code == 220 || code == 221 || code == 250 || code == 354 || code < 500;
}

int net_init(NETWORK* net, NetMsg emsg_cb, NetMsg dmsg_cb) {
    if (!net) return 0;
    *net = NETWORK{};
    net->init_value = kNetInit;
    net->emsg = emsg_cb;
    net->dmsg = dmsg_cb;
    return 1;
}

int net_set_user(NETWORK* net, const char* user, const char* password) {
    check_init(net);
    if (!user || !password) {
        net->last_error = 10;
        return 0;
    }
    trace(net, "net set username and password.");
    trace(net, sfmt("  username = %s.", user));
    std::free(net->username);
    if (net->password) {
        std::memset(net->password, 0, std::strlen(net->password));
        std::free(net->password);
    }
    net->username = strdup(user);
    net->password = strdup(password);
    return 1;
}

int net_set(NETWORK* net, const char* host, int port, int slot) {
    check_init(net);
    if (!host) {
        net->last_error = 11;
        return 0;
    }
    if (slot < 0 || slot > 2) {
        net->last_error = 33;
        return 0;
    }
    trace(net, sfmt("%s Connection information setup.", kSlotName[slot]));
    trace(net, sfmt("  IP Address = %s", host));
    trace(net, sfmt("        Port = %d", port));
    std::free(net->ip_address[slot]);
    net->ip_address[slot] = strdup(host);
    net->port[slot] = port;
    return 1;
}

int net_pop_smtp_open(NETWORK* net, int slot) {
    check_init(net);
    if (slot < 0 || slot > 2) {
        error(net, "Unexpected server type in net_pop_smtp_open...");
        return 0;
    }
    if (net->connection[slot] >= 0) {
        trace(net, sfmt("Connection %d is already up...", slot));
        return 1;
    }
    const char* ip = net->ip_address[slot];
    if (!ip || std::strlen(ip) < 4) {
        error(net, sfmt("Could not open net -- IP Address not set {%d}", slot));
        return 0;
    }
    if (net->port[slot] == 0) {
        error(net, sfmt("Could not open net -- Port not set {%d}", slot));
        return 0;
    }
    std::string host = ip;
    int dns_err = 0;
    msock().werrno = 0;
    int s = tcp_openx(host, net->port[slot], &dns_err);
    if (s < 0) {
        if (dns_err) {
            error(net, "gethostbyname failed.");
        } else {
            error(net, "Connection to Socket Failed.");
        }
        net->last_error = msock().werrno;
        return 0;
    }
    net->connection[slot] = s;
    trace(net, "Channel successfully opened.");
    const char* greet = net_readln(net, slot);
    if (!greet) {
        error(net, "No reply message received.");
        return 0;
    }
    trace(net, sfmt("%s %s", "Server -->", greet));
    if (net_reply_ok_slot(slot, greet)) return 1;
    set_error_string(net, greet);
    return 0;
}

int net_open(NETWORK* net) {
    check_init(net);
    int code = 0;
    if (net->port[NET_POPPASS]) {
        if (!net_pop_smtp_open(net, NET_POPPASS)) {
            error(net, "Failed to connect to POPPASS port");
            code = 32;
        } else if (net_cmd(net, NET_POPPASS, "user %s", net->username ? net->username : "") != 1 ||
                   net_cmd(net, NET_POPPASS, "pass %s", net->password ? net->password : "") != 1) {
            trace(net, "Failed password check to POPPASS");
            code = 30;
        }
    } else {
        if (!net_pop_smtp_open(net, NET_POP)) {
            code = 32;
        } else if (net_cmd(net, NET_POP, "user %s", net->username ? net->username : "") != 1 ||
                   net_cmd(net, NET_POP, "pass %s", net->password ? net->password : "") != 1) {
            code = 30;
        } else if (net->port[NET_SMTP]) {
            if (!net_pop_smtp_open(net, NET_SMTP)) {
                code = 33;
            } else if (net_cmd(net, NET_SMTP, "HELO %s", tcp_hostname().c_str()) != 1) {
                code = 31;
            }
        }
    }
    net->last_error = code;
    return code;
}

int net_cmd(NETWORK* net, int slot, const char* fmt, ...) {
    check_init(net);
    if (slot < 0 || slot > 2 || net->connection[slot] < 0) return 1;
    va_list ap;
    va_start(ap, fmt);
    std::string cmd = vsfmt(fmt, ap);
    va_end(ap);
    trace(net, masked("Server <--", cmd.c_str(), true));
    if (net_writeln(net, slot, cmd.c_str()) <= 0) {
        // The command itself may hold a password: name only its verb.
        std::string shown = masked("", cmd.c_str(), false).substr(1);
        error(net, sfmt("On %d -- Failed to write command {%s}", slot, shown.c_str()));
        return 0;
    }
    const char* reply = net_readln(net, slot);
    if (!reply) {
        if (prefix_ci(cmd.c_str(), "QUIT")) return -1;
        std::string shown = masked("", cmd.c_str(), false).substr(1);
        trace(net, sfmt("On %d -- Failed to read responce from command {%s}", slot, shown.c_str()));
        return 0;
    }
    trace(net, masked("Server -->", reply, true));
    if (net_reply_ok_slot(slot, reply)) return 1;
    set_error_string(net, reply);
    trace(net, sfmt("On %d -- Command Error located {%s}", slot, reply));
    return 0;
}

int net_read(NETWORK* net, int slot, char* buf, int size) {
    check_init(net);
    if (slot < 0 || slot > 2) {
        error(net, sfmt("Incorrect port to read {%d}", slot));
        return 0;
    }
    char* st = net->stored_read;
    const std::size_t cap = sizeof net->stored_read - 1;
    for (;;) {
        char* crlf = std::strstr(st, "\r\n");
        std::size_t len = std::strlen(st);
        std::size_t cut = 0, skip = 0;
        if (crlf) {
            cut = static_cast<std::size_t>(crlf - st);
            skip = cut + 2;
        } else if (len >= cap) {
            // A line longer than the buffer: hand it over in pieces rather
            // than wait for an end that cannot fit.
            cut = len;
            skip = len;
        } else {
            int fd = net->connection[slot];
            if (fd < 0) return 0;
            int w = wait_slot(net, fd, POLLIN);
            if (w == 0 || w == -1) {
                trace(net, "setting timeout failed");
                return -1;
            }
            if (w == -2) return 0;
            ssize_t n;
            do {
                n = read(fd, st + len, cap - len);
            } while (n < 0 && errno == EINTR);
            if (n <= 0) {
                if (n < 0) net->last_error = errno;
                return 0;
            }
            // NUL bytes from the peer would hide the rest of the buffer.
            for (ssize_t i = 0; i < n; ++i)
                if (st[len + static_cast<std::size_t>(i)] == '\0') st[len + static_cast<std::size_t>(i)] = ' ';
            st[len + static_cast<std::size_t>(n)] = '\0';
            continue;
        }
        std::size_t out = size > 0 ? std::min(cut, static_cast<std::size_t>(size - 1)) : 0;
        if (size > 0) {
            std::memcpy(buf, st, out);
            buf[out] = '\0';
        }
        std::memmove(st, st + skip, len - skip + 1);
        return static_cast<int>(out) + 2;
    }
}

const char* net_readln(NETWORK* net, int slot) {
    static char line[1023];
    int r = net_read(net, slot, line, sizeof line);
    return r > 0 ? line : nullptr;
}

int net_write(NETWORK* net, int slot, const char* data, int len) {
    check_init(net);
    if (slot < 0 || slot > 2 || net->connection[slot] < 0) return 0;
    int fd = net->connection[slot];
    int off = 0;
    while (off < len) {
        if (wait_slot(net, fd, POLLOUT) != 1) return 0;
        ssize_t w = send(fd, data + off, static_cast<std::size_t>(len - off), MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            net->last_error = errno;
            return 0;
        }
        off += static_cast<int>(w);
    }
    return len;
}

int net_writeln(NETWORK* net, int slot, const char* line) {
    std::string text = ncpy(line ? line : "", 1023);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    text += "\r\n";
    return net_write(net, slot, text.data(), static_cast<int>(text.size()));
}

void net_send_quit(NETWORK* net) {
    check_init(net);
    const int order[3] = {NET_SMTP, NET_POP, NET_POPPASS};
    for (int slot : order)
        if (net->connection[slot] >= 0) net_cmd(net, slot, "QUIT");
    net_close(net);
}

int net_close(NETWORK* net) {
    check_init(net);
    int ok = 1;
    for (int i = 0; i < 3; ++i) {
        if (net->connection[i] < 0) continue;
        if (close(net->connection[i]) != 0) {
            error(net, sfmt("Channel %d close failed", i));
            ok = 0;
        } else {
            trace(net, sfmt("Channel %d close successfully", i));
        }
        net->connection[i] = -1;
    }
    net->stored_read[0] = '\0';
    return ok;
}

void net_clear(NETWORK* net) {
    check_init(net);
    net_close(net);
    for (auto& ip : net->ip_address) {
        std::free(ip);
        ip = nullptr;
    }
    std::free(net->username);
    net->username = nullptr;
    if (net->password) {
        std::memset(net->password, 0, std::strlen(net->password));
        std::free(net->password);
        net->password = nullptr;
    }
    std::free(net->error_string);
    net->error_string = nullptr;
}

std::string net_texterror(const NETWORK* net) {
    if (!net || net->init_value != kNetInit) return "NET has not been defined";
    switch (net->last_error) {
    case 10:
        return "Memory Allocation Error -- in net_set_user";
    case 11:
        return "Memory Allocation Error -- in net_set";
    case 30:
        return net->error_string ? sfmt("Incorrect Username/Password (%s)", net->error_string)
                                 : "Incorrect Username/Password (unknown)";
    case 31:
        return "SMTP 'HELO' command failed";
    case 32:
        return net->ip_address[NET_POP] ? sfmt("Failed to Connected to %s", net->ip_address[NET_POP])
                                        : "Failed to Connected to 'invalid ip address'";
    case 33:
        return "Connection not POP/SMTP/POPPASS";
    default:
        break;
    }
    if (net->error_string) return net->error_string;
    if (net->last_error > 0) {
        const char* t = std::strerror(net->last_error);
        if (t && *t) return t;
    }
    return "Unexpected Error";
}
