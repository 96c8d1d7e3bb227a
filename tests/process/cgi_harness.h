// Runs the real larkspur executable as a web server would: a private
// directory with an ini file, a work area and a template directory, a CGI
// environment built from a map (nothing inherited from the test process),
// the request body on standard input, and a time-out.  Each CgiHarness owns
// its directory and removes it when it goes out of scope.
//
// Layout of dir (the child's working directory):
//   dir/larkspur.ini     the ini text given (see placeholders below)
//   dir/work/            the work area
//   dir/templates/       the template directory (copy of the shipped
//                        templates when asked for)
//   dir/larkspur         argv[0] of the child (the real binary is exec'd, but
//                        the program looks for its ini beside argv[0])
//   dir/larkspur.log     the log, unless the ini names another (log_path)
//
// Placeholders replaced in the ini text: @DIR@, @WORK@, @TPL@.
//
// Typical use:
//   lk_test::CgiHarness h("templates @TPL@\nworkarea @WORK@\n");
//   auto r = h.get("cmd=test");
//   EXPECT_EQ(r.status, 0);
//   EXPECT_NE(r.body().find("Test Results"), std::string::npos);
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_env.h"

#ifndef LK_BINARY_DIR
#error "LK_BINARY_DIR must name the build directory"
#endif
#ifndef LK_SOURCE_DIR
#error "LK_SOURCE_DIR must name the source directory"
#endif

namespace lk_test {

struct CgiResult {
    std::string out;       // everything written to standard output
    std::string err;       // everything written to standard error
    std::string log;       // the log file's text after the run ("" when none)
    int status = -1;       // exit status; -1 when killed by a signal
    int signal = 0;        // the signal that ended the child, if any
    bool timed_out = false;

    // The response header (up to the first empty line) and the body after
    // it.  Both LF and CRLF line ends are accepted.  Without an empty line,
    // header() is "" and body() is all of out.
    std::string header() const {
        std::size_t n = split();
        return n == std::string::npos ? std::string() : out.substr(0, n);
    }
    std::string body() const {
        std::size_t n = split();
        if (n == std::string::npos) return out;
        std::size_t skip = out.compare(n, 4, "\r\n\r\n") == 0 ? 4 : 2;
        return out.substr(n + skip);
    }
    bool out_has(const std::string& s) const { return out.find(s) != std::string::npos; }
    bool log_has(const std::string& s) const { return log.find(s) != std::string::npos; }

private:
    std::size_t split() const {
        std::size_t a = out.find("\n\n"), b = out.find("\r\n\r\n");
        return a < b ? a : b;
    }
};

// The file helpers of the shared test environment.
using lk_test::slurp;
using lk_test::spit;

struct CgiHarness {
    std::string dir;        // private directory, the child's working directory
    std::string work;       // dir/work
    std::string templates;  // dir/templates
    std::string ini_path;   // dir/larkspur.ini
    std::string argv0;      // dir/larkspur
    std::string log_path;   // read into CgiResult::log after every run
    std::string binary = LK_BINARY_DIR "/larkspur";
    int timeout_seconds = 30;

    // The environment every run starts from (a GET for the test host);
    // the map given to run() adds to it and overrides it.  An entry whose
    // value is "\x01" (kUnset) is removed instead.
    std::map<std::string, std::string> base_env;
    static constexpr const char* kUnset = "\x01";

    explicit CgiHarness(const std::string& ini_text = "templates @TPL@\nworkarea @WORK@\n",
                        bool copy_templates = false) {
        char tmpl[] = "/tmp/lkprocXXXXXX";
        if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
        dir = tmpl;
        work = dir + "/work";
        templates = dir + "/templates";
        ini_path = dir + "/larkspur.ini";
        argv0 = dir + "/larkspur";
        log_path = dir + "/larkspur.log";
        std::filesystem::create_directories(work);
        std::filesystem::create_directories(templates);
        if (copy_templates) {
            std::filesystem::path src = std::filesystem::path(LK_SOURCE_DIR) / "templates";
            if (std::filesystem::exists(src))
                std::filesystem::copy(src, templates,
                                      std::filesystem::copy_options::recursive |
                                          std::filesystem::copy_options::overwrite_existing);
        }
        set_ini(ini_text);
        base_env = {
            {"REQUEST_METHOD", "GET"},
            {"QUERY_STRING", ""},
            {"SCRIPT_NAME", "/cgi-bin/larkspur"},
            {"SERVER_NAME", "localhost"},
            {"SERVER_PORT", "80"},
            {"REMOTE_ADDR", "127.0.0.1"},
            {"HTTP_USER_AGENT", "Mozilla/5.0 (X11; Linux x86_64) larkspur-test"},
            {"GATEWAY_INTERFACE", "CGI/1.1"},
            {"SERVER_PROTOCOL", "HTTP/1.1"},
            {"PATH", "/usr/bin:/bin"},
        };
    }
    ~CgiHarness() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    CgiHarness(const CgiHarness&) = delete;
    CgiHarness& operator=(const CgiHarness&) = delete;

    // Replaces @DIR@, @WORK@ and @TPL@.
    std::string expand(std::string text) const {
        const std::pair<const char*, const std::string*> subs[] = {
            {"@DIR@", &dir}, {"@WORK@", &work}, {"@TPL@", &templates}};
        for (const auto& [key, val] : subs) {
            std::size_t p;
            while ((p = text.find(key)) != std::string::npos) text.replace(p, std::strlen(key), *val);
        }
        return text;
    }
    void set_ini(const std::string& ini_text) { spit(ini_path, expand(ini_text)); }
    void remove_ini() { std::filesystem::remove(ini_path); }

    // Files relative to dir (absolute paths are used as they are).
    std::string path(const std::string& rel) const { return rel.size() && rel[0] == '/' ? rel : dir + "/" + rel; }
    void write_file(const std::string& rel, const std::string& text) const { spit(path(rel), text); }
    std::string read_file(const std::string& rel) const { return slurp(path(rel)); }
    bool exists(const std::string& rel) const { return std::filesystem::exists(path(rel)); }
    std::string log() const { return slurp(log_path); }
    void clear_log() const { std::filesystem::remove(log_path); }

    // A GET request with the given query string.
    CgiResult get(const std::string& query, const std::map<std::string, std::string>& env = {}) {
        std::map<std::string, std::string> e = env;
        e["REQUEST_METHOD"] = "GET";
        e["QUERY_STRING"] = query;
        return run(e, "");
    }
    // A POST with a URL-encoded body (and an optional query string).
    CgiResult post(const std::string& body, const std::string& query = "",
                   const std::map<std::string, std::string>& env = {}) {
        std::map<std::string, std::string> e = env;
        e["REQUEST_METHOD"] = "POST";
        e["QUERY_STRING"] = query;
        if (!e.count("CONTENT_TYPE")) e["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
        return run(e, body);
    }
    // A multipart/form-data POST; parts are (name, value) fields, files are
    // (name, filename, content type, content).
    struct FilePart { std::string name, filename, type, content; };
    static std::string multipart_body(const std::string& boundary,
                                      const std::vector<std::pair<std::string, std::string>>& fields,
                                      const std::vector<FilePart>& files = {}) {
        std::string b;
        for (const auto& [n, v] : fields)
            b += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + n + "\"\r\n\r\n" + v + "\r\n";
        for (const auto& f : files)
            b += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + f.name + "\"; filename=\"" +
                 f.filename + "\"\r\nContent-Type: " + f.type + "\r\n\r\n" + f.content + "\r\n";
        b += "--" + boundary + "--\r\n";
        return b;
    }
    CgiResult post_multipart(const std::vector<std::pair<std::string, std::string>>& fields,
                             const std::vector<FilePart>& files = {}, const std::string& query = "",
                             const std::map<std::string, std::string>& env = {}) {
        const std::string boundary = "----lktestBoundary7MA4YWxkTrZu0gW";
        std::map<std::string, std::string> e = env;
        e["CONTENT_TYPE"] = "multipart/form-data; boundary=" + boundary;
        return post(multipart_body(boundary, fields, files), query, e);
    }

    // Runs the program with base_env + env, body on standard input and the
    // given extra arguments.  CONTENT_LENGTH is the body's length unless env
    // sets it (or unsets it with kUnset).
    CgiResult run(const std::map<std::string, std::string>& env, const std::string& body,
                  const std::vector<std::string>& args = {}) {
        std::map<std::string, std::string> e = base_env;
        if (!body.empty()) e["CONTENT_LENGTH"] = std::to_string(body.size());
        for (const auto& [k, v] : env) e[k] = v;
        std::vector<std::string> envs;
        for (const auto& [k, v] : e)
            if (v != kUnset) envs.push_back(k + "=" + v);
        std::vector<std::string> argv{argv0};
        argv.insert(argv.end(), args.begin(), args.end());
        CgiResult r = exec(argv, envs, body);
        r.log = slurp(log_path);
        return r;
    }
    // Runs only with command-line arguments (and base_env).
    CgiResult run_args(const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& env = {}) {
        return run(env, "", args);
    }

private:
    CgiResult exec(const std::vector<std::string>& argv, const std::vector<std::string>& envs,
                   const std::string& body) {
        CgiResult r;
        int in[2], out[2], err[2];
        if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe failed");
        pid_t pid = fork();
        if (pid < 0) throw std::runtime_error("fork failed");
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
            if (chdir(dir.c_str()) != 0) _exit(126);
            std::vector<char*> av, ev;
            for (const auto& a : argv) av.push_back(const_cast<char*>(a.c_str()));
            av.push_back(nullptr);
            for (const auto& s : envs) ev.push_back(const_cast<char*>(s.c_str()));
            ev.push_back(nullptr);
            execve(binary.c_str(), av.data(), ev.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        // The child may exit without reading its input.
        struct sigaction ign {}, old {};
        ign.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ign, &old);
        fcntl(in[1], F_SETFL, O_NONBLOCK);
        std::size_t written = 0;
        int wfd = in[1];
        if (body.empty()) {
            close(wfd);
            wfd = -1;
        }
        int ofd = out[0], efd = err[0];
        struct timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        char buf[65536];
        while (ofd >= 0 || efd >= 0) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            long elapsed_ms = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
            long left = timeout_seconds * 1000L - elapsed_ms;
            if (left <= 0) {
                r.timed_out = true;
                kill(pid, SIGKILL);
                break;
            }
            struct pollfd p[3];
            int n = 0;
            if (ofd >= 0) p[n++] = {ofd, POLLIN, 0};
            if (efd >= 0) p[n++] = {efd, POLLIN, 0};
            if (wfd >= 0) p[n++] = {wfd, POLLOUT, 0};
            int rc = poll(p, n, static_cast<int>(left > 1000 ? 1000 : left));
            if (rc < 0 && errno == EINTR) continue;
            for (int i = 0; i < n; ++i) {
                if (!p[i].revents) continue;
                if (p[i].fd == wfd) {
                    ssize_t w = write(wfd, body.data() + written, body.size() - written);
                    if (w > 0) written += static_cast<std::size_t>(w);
                    if (w < 0 && errno != EAGAIN) written = body.size();
                    if (written >= body.size()) {
                        close(wfd);
                        wfd = -1;
                    }
                    continue;
                }
                ssize_t got = read(p[i].fd, buf, sizeof buf);
                if (got > 0) {
                    (p[i].fd == ofd ? r.out : r.err).append(buf, static_cast<std::size_t>(got));
                } else if (got == 0 || errno != EINTR) {
                    close(p[i].fd);
                    (p[i].fd == ofd ? ofd : efd) = -1;
                }
            }
        }
        for (int fd : {wfd, ofd, efd})
            if (fd >= 0) close(fd);
        int st = 0;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        sigaction(SIGPIPE, &old, nullptr);
        if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
        if (WIFSIGNALED(st)) r.signal = WTERMSIG(st);
        return r;
    }
};

// Percent-encodes everything but letters, digits, "-", "_" and ".", for
// putting passwords and tokens into test requests.
inline std::string url_enc(const std::string& s) {
    static const char* hex = "0123456789ABCDEF";
    std::string o;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.') {
            o += static_cast<char>(c);
        } else {
            o += '%';
            o += hex[c >> 4];
            o += hex[c & 15];
        }
    }
    return o;
}

// The value of the first "Set-cookie: NAME=" line of a response header, or
// `absent` when the header sets no such cookie.
inline std::string cookie_value(const CgiResult& r, const std::string& name, const std::string& absent = "") {
    const std::string h = r.header();
    const std::string key = "Set-cookie: " + name + "=";
    std::size_t at = h.find(key);
    if (at == std::string::npos) return absent;
    at += key.size();
    std::size_t end = h.find(';', at);
    return end == std::string::npos ? absent : h.substr(at, end - at);
}

}  // namespace lk_test
