#include "support/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/str.h"

struct SpawnHandle {
    int magic = 0;
    int rfd = -1;            // child's standard output
    int wfd = -1;            // child's standard input
    pid_t pid = 0;
    std::string msg;         // last message about this handle
    std::string line;        // output read but not yet returned
    bool eof = false;
};

namespace {
constexpr int kMagic = 12345;
constexpr std::size_t kMsgSize = 512;
constexpr std::size_t kLineSize = 1024;
constexpr std::size_t kMaxArgs = 94;
const char* const kVersion = "2.1c";

struct SpawnState {
    sp_msgfn err = nullptr, info = nullptr, debug = nullptr;
    std::string msg;   // messages that have no valid handle
    int before_term_ms = 1000;
    int after_term_ms = 30000;
};
SpawnState& st() {
    static SpawnState s;
    return s;
}

bool valid(const SpawnHandle* sp) { return sp && sp->magic == kMagic; }

enum Level { kErr, kInfo, kDebug };

void vmsg(SpawnHandle* sp, Level level, const char* fmt, va_list ap) {
    std::string& buf = valid(sp) ? sp->msg : st().msg;
    buf = vsfmt(fmt, ap);
    if (buf.size() > kMsgSize - 6) {
        buf.resize(kMsgSize - 6);
        buf += "...\n";
    } else if (buf.empty() || buf.back() != '\n') {
        buf += '\n';
    }
    sp_msgfn f = level == kErr ? st().err : level == kInfo ? st().info : st().debug;
    if (f) f(buf.c_str());
}

void sp_emsg(SpawnHandle* sp, const char* fmt, ...) LK_PRINTF(2, 3);
void sp_imsg(SpawnHandle* sp, const char* fmt, ...) LK_PRINTF(2, 3);
void sp_dmsg(SpawnHandle* sp, const char* fmt, ...) LK_PRINTF(2, 3);
void sp_emsg(SpawnHandle* sp, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vmsg(sp, kErr, fmt, ap);
    va_end(ap);
}
void sp_imsg(SpawnHandle* sp, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vmsg(sp, kInfo, fmt, ap);
    va_end(ap);
}
void sp_dmsg(SpawnHandle* sp, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vmsg(sp, kDebug, fmt, ap);
    va_end(ap);
}

long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Waits up to ms for the child to end; true once it has been reaped (or
// was reaped elsewhere).
bool reap_within(SpawnHandle* sp, int ms, int& status) {
    long deadline = now_ms() + ms;
    for (;;) {
        pid_t r = waitpid(sp->pid, &status, WNOHANG);
        if (r == sp->pid) return true;
        if (r < 0 && errno != EINTR) return true;   // not ours any more
        if (now_ms() >= deadline) return false;
        usleep(10000);
    }
}

void close_fd(int& fd, bool& ok) {
    if (fd < 0) return;
    if (::close(fd) != 0 && errno != EINTR) ok = false;
    fd = -1;
}

// Everything after fork runs in the child: only async-signal-safe calls.
[[noreturn]] void child_exec(int in_r, int out_w, char* const* argv, char* const* envp) {
    setpgid(0, 0);
    // Dispositions set to "ignore" survive execve: give the program the
    // defaults it expects, and an empty signal mask.
    for (int sig : {SIGPIPE, SIGVTALRM, SIGPROF, SIGTERM, SIGINT, SIGHUP, SIGALRM, SIGCHLD, SIGQUIT})
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Keep the pipe ends clear of 0-2 before moving them there.
    if (in_r < 3) in_r = fcntl(in_r, F_DUPFD, 3);
    if (out_w < 3) out_w = fcntl(out_w, F_DUPFD, 3);
    dup2(in_r, 0);
    dup2(out_w, 1);
    // A closed standard error would be taken by the program's first open(),
    // and its error texts would land in that file.
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0 && devnull != 2) dup2(devnull, 2);
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
#endif
    {
        long maxfd = sysconf(_SC_OPEN_MAX);
        if (maxfd < 0 || maxfd > 65536) maxfd = 65536;
        for (int fd = 3; fd < maxfd; ++fd) close(fd);
    }
    execve(argv[0], argv, envp);
    int e = errno;
    char buf[600];
    int n = snprintf(buf, sizeof buf, "-ERR Spawn error on exec %.200s %s\n", argv[0], strerror(e));
    if (n > 0) {
        if (n >= static_cast<int>(sizeof buf)) n = sizeof buf - 1;
        ssize_t w = write(1, buf, static_cast<std::size_t>(n));
        (void)w;
    }
    _exit(0);
}
}  // namespace

void sp_init(sp_msgfn err, sp_msgfn info, sp_msgfn debug) {
    st().err = err;
    st().info = info;
    st().debug = debug;
    sp_imsg(nullptr, "lib_spawn initialized Version %s", kVersion);
    std::signal(SIGPIPE, SIG_IGN);
}

void sp_set_grace(int before_term_ms, int after_term_ms) {
    st().before_term_ms = before_term_ms < 0 ? 0 : before_term_ms;
    st().after_term_ms = after_term_ms < 0 ? 0 : after_term_ms;
}

void spawn_reset() { st() = SpawnState{}; }

SpawnHandle* sp_do(std::string_view cmdline) {
    std::vector<std::string> args;
    std::size_t pos = 0;
    for (;;) {
        std::size_t blank = cmdline.find(' ', pos);
        if (args.size() == kMaxArgs) {
            sp_emsg(nullptr, "%s", sup_tr("E40: Too many tokens in this cmd"));
            break;
        }
        if (blank == std::string_view::npos) {
            args.emplace_back(cmdline.substr(pos));
            break;
        }
        args.emplace_back(cmdline.substr(pos, blank - pos));
        pos = blank + 1;
    }
    return sp_do_argv(args);
}

SpawnHandle* sp_do_argv(const std::vector<std::string>& argv) {
    // A write to a child that has gone must fail, not end the request.
    std::signal(SIGPIPE, SIG_IGN);
    if (argv.empty()) {
        sp_emsg(nullptr, "sp_do: no program given");
        return nullptr;
    }
    auto* sp = new (std::nothrow) SpawnHandle;
    if (!sp) {
        sp_emsg(nullptr, "Cant allocate memory for sp structure");
        return nullptr;
    }
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        sp_emsg(nullptr, "sp_do: Cant create pipe: %s", std::strerror(errno));
        delete sp;
        return nullptr;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        sp_emsg(nullptr, "sp_do: Cant create pipe: %s", std::strerror(errno));
        ::close(in[0]);
        ::close(in[1]);
        delete sp;
        return nullptr;
    }

    // Built before fork: the child must not allocate.
    std::vector<std::string> args(argv.begin(), argv.end());
    std::vector<char*> cargv;
    for (std::string& a : args) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    const char* path = std::getenv("PATH");
    const char* tz = std::getenv("TIMEZONE");
    std::string env_path = sfmt("%s=%s", "PATH", path ? path : "");
    std::string env_tz = sfmt("%s=%s", "TIMEZONE", tz ? tz : "");
    char* envp[] = {env_path.data(), env_tz.data(), nullptr};

    pid_t pid = fork();
    if (pid == 0) child_exec(in[0], out[1], cargv.data(), envp);
    int fork_errno = errno;
    ::close(in[0]);
    ::close(out[1]);
    if (pid < 0) {
        ::close(in[1]);
        ::close(out[0]);
        delete sp;
        sp_emsg(nullptr, "sp_do: Cant fork: %s", std::strerror(fork_errno));
        return nullptr;
    }
    // Also set here, so a kill of the group cannot race the child's own call.
    setpgid(pid, pid);
    sp->wfd = in[1];
    sp->rfd = out[0];
    sp->pid = pid;
    sp->magic = kMagic;
    sp_dmsg(sp, "sp_do: started %s pid %d", args[0].c_str(), static_cast<int>(pid));
    return sp;
}

int sp_gets(SpawnHandle* sp, std::string& line, std::size_t size, int timeout) {
    line.clear();
    if (!valid(sp)) {
        sp_emsg(nullptr, "sp_gets: Invalid sp pointer");
        return -1;
    }
    if (size == 0) return -1;
    const long deadline = timeout >= 0 ? now_ms() + timeout * 1000L : 0;
    for (;;) {
        std::size_t lf = sp->line.find('\n');
        // Output that ends without a line feed is still the program's last line.
        if (lf == std::string::npos && sp->eof && !sp->line.empty()) lf = sp->line.size() - 1;
        if (lf != std::string::npos) {
            std::size_t len = lf + 1;
            if (len > size - 1) {
                sp_emsg(sp, "sp_gets: line too long returning %d of %d chars", static_cast<int>(size - 1),
                        static_cast<int>(len));
                line.assign(sp->line, 0, size - 1);
            } else {
                line.assign(sp->line, 0, len);
            }
            sp->line.erase(0, len);
            return static_cast<int>(line.size());
        }
        if (sp->eof) return -1;
        if (sp->line.size() >= kLineSize) {
            sp_emsg(sp, "sp_gets: line too long throwing away line starting %.100s", sp->line.c_str());
            sp->line.clear();
        }
        pollfd pfd{sp->rfd, POLLIN, 0};
        int wait_ms = -1;
        if (timeout >= 0) {
            long left = deadline - now_ms();
            wait_ms = left > 0 ? static_cast<int>(left) : 0;
        }
        int pr = poll(&pfd, 1, wait_ms);
        if (pr < 0) {
            if (errno == EINTR) continue;
            sp_emsg(sp, "sp_gets: Error poll failed errno = %d:%s", errno, std::strerror(errno));
            return -1;
        }
        if (pr == 0) return -2;
        char buf[kLineSize];
        std::size_t room = kLineSize - sp->line.size();
        ssize_t n = ::read(sp->rfd, buf, room);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            sp_emsg(sp, "sp_gets: Error on read sp_read returned %d of %d", static_cast<int>(n),
                    static_cast<int>(room));
            return -1;
        }
        if (n == 0) {
            sp->eof = true;
            continue;
        }
        sp_dmsg(sp, "Got %d %.*s", static_cast<int>(n), static_cast<int>(n > 100 ? 100 : n), buf);
        sp->line.append(buf, static_cast<std::size_t>(n));
    }
}

int sp_read(SpawnHandle* sp, char* buf, std::size_t count) {
    if (!valid(sp)) {
        sp_emsg(nullptr, "sp_read: Invalid sp pointer");
        return -1;
    }
    if (!buf) return -1;
    // Bytes sp_gets has already taken from the pipe come first.
    if (!sp->line.empty()) {
        std::size_t n = std::min(count, sp->line.size());
        std::memcpy(buf, sp->line.data(), n);
        sp->line.erase(0, n);
        return static_cast<int>(n);
    }
    ssize_t n;
    do n = ::read(sp->rfd, buf, count);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        sp_emsg(sp, "Read failed %d:%s", errno, std::strerror(errno));
        return -1;
    }
    return static_cast<int>(n);
}

int sp_write(SpawnHandle* sp, const void* data, std::size_t len) {
    if (!valid(sp)) {
        sp_emsg(nullptr, "sp_write: Invalid sp pointer");
        return -1;
    }
    if (sp->wfd < 0 || !data) return -1;
    sp_dmsg(sp, "Writing data %d bytes", static_cast<int>(len));
    ssize_t n;
    do n = ::write(sp->wfd, data, len);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        sp_emsg(sp, "Write failed %d:%s", errno, std::strerror(errno));
        return -1;
    }
    sp_dmsg(sp, "Writing data done %d", static_cast<int>(n));
    return static_cast<int>(n);
}

int sp_printf(SpawnHandle* sp, const char* fmt, ...) {
    if (!valid(sp)) {
        sp_emsg(nullptr, "sp_printf: Invalid sp pointer");
        return -1;
    }
    char buf[kLineSize];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return -1;
    if (static_cast<std::size_t>(n) >= sizeof buf) {
        sp_emsg(sp, "Fatal error print overuns buffer %d>%d", n, static_cast<int>(sizeof buf));
        return -1;
    }
    return sp_write(sp, buf, static_cast<std::size_t>(n));
}

int sp_close_input(SpawnHandle* sp) {
    if (!valid(sp)) return 0;
    bool ok = true;
    close_fd(sp->wfd, ok);
    return ok ? 1 : 0;
}

int sp_flush(SpawnHandle* sp) {
    if (!valid(sp)) {
        sp_emsg(nullptr, "sp_flush: Invalid sp pointer");
        return -1;
    }
    int total = 0;
    std::string line;
    for (;;) {
        int n = sp_gets(sp, line, kLineSize + 1, 0);
        if (n <= 0) break;
        sp_dmsg(sp, "Flushing %d chars", n);
        total += n;
    }
    sp->line.clear();
    return total;
}

const char* sp_msg(const SpawnHandle* sp) { return valid(sp) ? sp->msg.c_str() : st().msg.c_str(); }

pid_t sp_pid(const SpawnHandle* sp) { return valid(sp) ? sp->pid : 0; }

int sp_close(SpawnHandle*& sp) {
    if (!valid(sp)) {
        sp_emsg(nullptr, "sp_close: Invalid sp pointer");
        return 0;
    }
    bool ok = true;
    // Closing first lets the child see end of input, and a child still
    // writing get EPIPE, so most children end on their own at once.
    close_fd(sp->wfd, ok);
    close_fd(sp->rfd, ok);
    int status = 0;
    if (sp->pid > 0 && !reap_within(sp, st().before_term_ms, status)) {
        sp_emsg(sp, "killing process %d", static_cast<int>(sp->pid));
        kill(-sp->pid, SIGTERM);
        kill(sp->pid, SIGTERM);
        if (!reap_within(sp, st().after_term_ms, status)) {
            // It ignores SIGTERM: it must still not outlive the request.
            sp_emsg(sp, "waitpid %d: no end after SIGTERM, sending SIGKILL", static_cast<int>(sp->pid));
            kill(-sp->pid, SIGKILL);
            kill(sp->pid, SIGKILL);
            while (waitpid(sp->pid, &status, 0) < 0 && errno == EINTR) {
            }
            ok = false;
        }
    }
    sp_dmsg(sp, "waitpid %d status=%d", static_cast<int>(sp->pid), status);
    sp->magic = 0;
    delete sp;
    sp = nullptr;
    return ok ? 1 : 0;
}
