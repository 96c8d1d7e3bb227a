// Runs the real larkspur executable as a web server would: a private
// directory (removed with the harness) holding larkspur.ini, work/ and
// templates/ (the shipped ones when asked), a CGI environment built from a
// map, the request body on standard input, and a time-out.  argv[0] is
// dir/larkspur, since the program looks for its ini beside it.  The ini text
// may name @DIR@, @WORK@ and @TPL@.
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
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake/fake_server.h"
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

    // Starts the program without waiting for it (a GET, or a POST of body),
    // its output thrown away; returns its PID for the caller to signal and reap.
    pid_t spawn(const std::string& query, const std::string& body = "") const {
        std::map<std::string, std::string> e = base_env;
        e["QUERY_STRING"] = query;
        if (!body.empty()) {
            e["REQUEST_METHOD"] = "POST";
            e["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
            e["CONTENT_LENGTH"] = std::to_string(body.size());
        }
        std::vector<std::string> envs;
        for (const auto& [k, v] : e) envs.push_back(k + "=" + v);
        const std::string in = dir + "/spawn.in";
        spit(in, body);
        pid_t pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_RDWR), src = open(in.c_str(), O_RDONLY);
            dup2(src, 0);
            dup2(null, 1);
            dup2(null, 2);
            if (chdir(dir.c_str()) != 0) _exit(126);
            std::vector<char*> ev;
            for (auto& s : envs) ev.push_back(s.data());
            ev.push_back(nullptr);
            char* av[] = {const_cast<char*>(argv0.c_str()), nullptr};
            execve(binary.c_str(), av, ev.data());
            _exit(127);
        }
        return pid;
    }
    static int reap(pid_t pid) {
        int st = 0;
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        return st;
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

// The password every scripted mailbox gives its users.
inline const std::string kPass = "Pw7-secretPW";

inline bool has(const std::string& text, const std::string& s) { return text.find(s) != std::string::npos; }
inline int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// Every one of parts is in text (expect_all) or none is (expect_none).
inline void expect_all(const std::string& text, std::initializer_list<std::string> parts, const std::string& what = "") {
    for (const auto& p : parts) EXPECT_TRUE(has(text, p)) << what << " lacks: " << p << "\n" << text.substr(0, 4000);
}
inline void expect_none(const std::string& text, std::initializer_list<std::string> parts, const std::string& what = "") {
    for (const auto& p : parts) EXPECT_FALSE(has(text, p)) << what << " holds: " << p << "\n" << text.substr(0, 4000);
}

// One message of a scripted POP3 mailbox.
inline std::string pop_message(const std::string& head, const std::string& body = "hello") {
    return "message <<EOM\n" + head + "\n\n" + body + "\nEOM\n";
}

// The subjects of a list or search page's rows, in order.
inline std::vector<std::string> subjects(const std::string& page) {
    std::vector<std::string> out;
    std::regex re("cmd=item[^\"]*\">([^<]*)</a>");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), re); it != std::sregex_iterator(); ++it)
        out.push_back((*it)[1].str());
    return out;
}

// The text of each message an SMTP server took (DATA to "."), dot-stuffing
// undone when asked.
inline std::vector<std::string> smtp_messages(const FakeServer& smtp, bool unstuff = false) {
    std::vector<std::string> out;
    bool in = false;
    for (const std::string& l : smtp.log_lines()) {
        if (!in && l == "DATA") {
            in = true;
            out.emplace_back();
        } else if (in && l == ".") {
            in = false;
        } else if (in) {
            out.back() += (unstuff && l.rfind("..", 0) == 0 ? l.substr(1) : l) + "\n";
        }
    }
    return out;
}

// xmllint's complaints about a phone deck ("" when it is well-formed).
inline std::string xml_errors(const CgiHarness& h, const std::string& deck) {
    h.write_file("deck.wml", deck);
    FILE* p = popen(("xmllint --noout " + h.path("deck.wml") + " 2>&1").c_str(), "r");
    std::string out;
    char buf[512];
    while (p && fgets(buf, sizeof buf, p)) out += buf;
    int rc = p ? pclose(p) : -1;
    return rc == 0 ? std::string() : "xmllint failed: " + out + deck;
}

// The tab-separated fields of each line of a folder index.
inline std::vector<std::vector<std::string>> index_records(const std::string& index) {
    std::vector<std::vector<std::string>> out;
    std::istringstream in(index);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f;
        std::size_t b = 0;
        for (std::size_t e; (e = line.find('\t', b)) != std::string::npos; b = e + 1) f.push_back(line.substr(b, e - b));
        f.push_back(line.substr(b));
        out.push_back(f);
    }
    return out;
}

// A user of a scripted POP3 server (and SMTP server, when given a script)
// and the program with the templates shipped; login() starts the session
// and get()/post()/send() carry its token and cookie.
struct Session {
    FakeServer pop;
    std::optional<FakeServer> smtp;
    CgiHarness h{"", true};
    std::string ini, tok, utokc;
    std::string dir = "work/u_an/ann@127_0_0_1/";   // the user's directory
    int logins = 0;

    explicit Session(const std::string& pop_script, const std::string& extra_ini = "",
                     const std::optional<std::string>& smtp_script = std::nullopt, int idle = 120)
        : pop("pop3", pop_script, idle) {
        ini = "templates @TPL@\nworkarea @WORK@\npophost 127.0.0.1\nport " + std::to_string(pop.port()) +
              "\ndebug true\n";
        if (smtp_script) {
            smtp.emplace("smtp", *smtp_script, idle);
            ini += "smtphost 127.0.0.1\nsmtp_port " + std::to_string(smtp->port()) +
                   "\ndomain example.test\npop_timeout 2\n";
        }
        ini += extra_ini;
        h.set_ini(ini);
    }
    // Each login comes from a login page of its own (its own code).
    CgiResult login(const std::string& user = "ann", const std::string& pass = kPass) {
        auto r = h.post("cmd=login&user=" + url_enc(user) + "&pass=" + url_enc(pass) + "&tcode=" +
                        std::to_string(1000 + ++logins));
        tok = cookie_value(r, "utok");
        utokc = cookie_value(r, "utokc");
        return r;
    }
    std::map<std::string, std::string> env() const { return {{"HTTP_COOKIE", "utokc=" + utokc}}; }
    CgiResult get(const std::string& q) { return h.get(q + "&utoken=" + url_enc(tok), env()); }
    CgiResult post(const std::string& body) { return h.post(body + "&utoken=" + url_enc(tok), "", env()); }
    // The compose form sent, as a browser posts it.
    CgiResult send(std::vector<std::pair<std::string, std::string>> fields,
                   const std::vector<CgiHarness::FilePart>& files = {}, const std::string& query = "") {
        fields.emplace_back("utoken", tok);
        fields.emplace_back("cmd", "send");
        return h.post_multipart(fields, files, query, env());
    }
    std::string file(const std::string& rel) const { return h.read_file(dir + rel); }
    std::string index(int fld = 0) const { return file(std::to_string(fld) + "/index.dat"); }
    // The message number of the first record of a folder holding text.
    std::string id_of(const std::string& text, int fld = 0) const {
        for (const auto& f : index_records(index(fld)))
            for (const auto& v : f)
                if (has(v, text)) return f[0];
        return "";
    }
    int pop_logins() const {
        int k = 0;
        for (const auto& l : pop.log_lines()) k += l.rfind("user ", 0) == 0;
        return k;
    }
};

}  // namespace lk_test
