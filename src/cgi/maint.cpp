#include "cgi/maint.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi/config.h"
#include "cgi/content.h"
#include "cgi/diag.h"
#include "cgi/lang.h"
#include "cgi/form.h"
#include "cgi/request.h"
#include "support/escape.h"
#include "support/str.h"

namespace {

constexpr const char* kProduct = "Larkspur";
constexpr const char* kVersion = "2.8a";
constexpr const char* kBuild = "10b";

void row(const std::string& a, const std::string& b, const std::string& c) {
    gprintf("<tr><td>%s</td><td>%s</td><td>%s</td></tr>\n", html_escape(a).c_str(), html_escape(b).c_str(),
            html_escape(c).c_str());
}

const char* result(bool ok) { return ok ? "Succeeded" : "Failed"; }

// The log may be created here, before anything is logged: it gets the same
// private mode as when the logger creates it.
bool can_append(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool can_read(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return false;
    std::fclose(f);
    return true;
}

bool can_create(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    bool ok = std::fputs("test\n", f) >= 0;
    ok = std::fclose(f) == 0 && ok;
    return std::remove(path.c_str()) == 0 && ok;
}

int port_of(int key, int dflt) {
    int p = std::atoi(wm_ini_get(key).c_str());
    return p > 0 && p < 65536 ? p : dflt;
}

void server_row(const char* label, const std::string& host, int port) {
    int timeout = std::atoi(wm_ini_get(K_pop_timeout).c_str());
    if (timeout <= 0 || timeout > 10) timeout = 10;
    int err = 0;
    std::string hp = sfmt("%s:%d", host.c_str(), port);
    if (!host.empty() && probe_connect(host, port, timeout, &err))
        row(label, hp, "Succeeded");
    else
        row(label, hp, sfmt("Failed:%d", host.empty() ? EDESTADDRREQ : err));
}

// This machine's name: where a server setting left empty points.
std::string this_host() {
    char buf[256] = {0};
    if (gethostname(buf, sizeof buf - 1) != 0) return {};
    return buf;
}

// The servers as a session without its own accounts would reach them: an
// empty setting means this machine, and "$pophost" in smtphost the POP host.
std::string pop_host_setting() {
    const std::string& h = wm_ini_get(K_pophost);
    return h.empty() ? this_host() : h;
}
std::string smtp_host_setting() {
    std::string h = wm_ini_get(K_smtphost);
    if (h == "$pophost") return pop_host_setting();
    return h.empty() ? this_host() : h;
}

}  // namespace

int probe_connect(const std::string& host, int port, int timeout_secs, int* err) {
    *err = 0;
    struct addrinfo hints {}, *res = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
    if (rc != 0) {
        *err = rc == EAI_SYSTEM ? errno : EHOSTUNREACH;
        return 0;
    }
    int ok = 0;
    for (struct addrinfo* a = res; a && !ok; a = a->ai_next) {
        int s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (s < 0) {
            *err = errno;
            continue;
        }
        if (connect(s, a->ai_addr, a->ai_addrlen) == 0) {
            ok = 1;
        } else if (errno == EINPROGRESS) {
            struct pollfd p {s, POLLOUT, 0};
            int n;
            do n = poll(&p, 1, timeout_secs * 1000);
            while (n < 0 && errno == EINTR);
            if (n == 0) {
                *err = ETIMEDOUT;
            } else {
                int so = 0;
                socklen_t len = sizeof so;
                getsockopt(s, SOL_SOCKET, SO_ERROR, &so, &len);
                if (so == 0) ok = 1;
                else *err = so;
            }
        } else {
            *err = errno;
        }
        close(s);
    }
    freeaddrinfo(res);
    if (ok) *err = 0;
    return ok;
}

// The maintenance pages show the installation's layout (and the test page
// writes files): off unless the settings say "notest false", or the
// administrator runs the program from the command line.
bool maint_pages_on() {
    if (g.gcl || (ini_isset(K_notest) && !ini_true(K_notest))) return true;
    f_error("%s", lang_get("This page is not enabled in this installation."));
    return false;
}

int f_showini(const std::string&) {
    if (!maint_pages_on()) return 0;
    do_content();
    gprintf("<html><head><title>%s Config Settings\n", kProduct);
    gprintf("</title></head><body>\n");
    gprintf("<h2>%s %s Config Settings for %s</h2>\n", kProduct, kVersion, html_escape(g.g_vhost).c_str());
    gprintf("<table>\n");
    for (int k = 0; k < K_COUNT; ++k) {
        std::string v = k == K_manager_password && !wm_ini_get(k).empty() ? "*****" : wm_ini_get(k);
        gprintf("<tr><td>%s</td><td>...</td><td>%s</td></tr>\n", ini_name(k), html_escape(v).c_str());
    }
    // No advertising text is configured in this system.
    gprintf("<td>Web Advert:</td><td>...</td><td>%s</td>\n", "");
    gprintf("</table>\n");
    gprintf("</body></html>\n");
    return 1;
}

int f_test(const std::string& program_path) {
    if (!maint_pages_on()) return 0;
    do_content();
    gprintf("<html><head><title>%s Test Results\n", kProduct);
    gprintf("</title></head><body>\n");
    gprintf("<h2>%s %s(build %s) Test Results for %s</h2>\n", kProduct, kVersion, kBuild,
            html_escape(g.g_vhost).c_str());
    gprintf("<table border=\"2\">\n");
    row("SYSTEM_TYPE", "Linux", kProduct);
    row("Config_file", ini_config_file(), "");
    row("Argv[0]", program_path, "");
    row("VHost", g.g_vhost, "");
    uid_t uid = geteuid();
    if (struct passwd* pw = getpwuid(uid))
        row("User", pw->pw_name, "");
    else
        gprintf("<tr><td>%s</td><td>%d</td><td>%s</td></tr>\n", "User", static_cast<int>(uid), "");
    row("SERVER_NAME", g.g_server, "");
    row("path_script", g.path_script, "");
    row("log_file", g.log_file, result(can_append(g.log_file)));
    std::string tpl = file_tpl("login.tpl");
    row("Read template file", tpl, result(can_read(tpl)));
    std::string t1 = file_tpl("test.tmp");
    row("Write to template area", t1, result(can_create(t1)));
    std::string t2 = file_work("test.tmp");
    row("Write to work area", t2, result(can_create(t2)));
    server_row("POP Open", pop_host_setting(), port_of(K_port, 110));
    server_row("SMTP Open", smtp_host_setting(), port_of(K_smtp_port, 25));
    gprintf("</table>\n");
    gprintf("</body></html>\n");
    return 1;
}
