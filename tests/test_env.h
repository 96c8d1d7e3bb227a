// The one test environment of the unit tests: a private temporary
// directory, file helpers, captured standard output, the log's text, and a
// fresh process state (every subsystem reset through subsystems_reset()).
// The fixtures of each subsystem's tests build on it below.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "cgi/config.h"
#include "cgi/content.h"
#include "cgi/diag.h"
#include "cgi/dispatch.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "net/pop.h"
#include "net/sock.h"
#include "page/encode.h"
#include "page/hooks.h"
#include "page/tpl.h"
#include "page/var.h"
#include "store/index.h"
#include "store/msgfile.h"
#include "subsystems.h"
#include "user/lock.h"
#include "user/paths.h"
#include "user/profile.h"

namespace lk_test {

// The whole file, "" when it cannot be read.
inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Writes the file (and its parent directories), replacing what was there.
inline void spit(const std::string& path, const std::string& text) {
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << text;
}

inline bool file_exists(const std::string& path) {
    struct stat sb;
    return stat(path.c_str(), &sb) == 0;
}

// A directory under /tmp, removed with everything in it at the end.
struct TempDir {
    std::string path;
    explicit TempDir(const char* prefix = "lktest") {
        std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

// Runs f with standard output captured and returns what it wrote.
template <class F>
std::string capture(F f) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

// The log file of the current request.
inline std::string log_text() { return slurp(g.log_file); }

// The state of a fresh process, with the log in dir.
inline void fresh_process(const std::string& dir) {
    subsystems_reset();
    g.log_file = dir + "/test.log";
}

}  // namespace lk_test

// Request-entry tests: settings over a private work area, the CGI
// variables the decoders read cleared.
class CgiTest : public ::testing::Test {
protected:
    lk_test::TempDir tmp{"lkcgi"};
    std::string dir = tmp.path;
    FILE* body = nullptr;

    void SetUp() override {
        reset_all();
        for (const char* v : {"QUERY_STRING", "CONTENT_LENGTH", "CONTENT_TYPE", "REQUEST_METHOD", "PATH_INFO"})
            unsetenv(v);
    }
    void TearDown() override {
        subsystems_reset();
        if (body) std::fclose(body);
    }
    void reset_all() {
        lk_test::fresh_process(dir);
        ini_set(K_workarea, dir);
        ini_set(K_user_prefix, "u_");
    }
    // The request body the decoders read, with CONTENT_LENGTH set to its
    // size unless a length is given.
    void set_body(const std::string& text, long length = -1) {
        if (body) std::fclose(body);
        std::string path = dir + "/body.in";
        lk_test::spit(path, text);
        body = std::fopen(path.c_str(), "rb");
        g.mystdin = body;
        setenv("CONTENT_LENGTH", std::to_string(length < 0 ? static_cast<long>(text.size()) : length).c_str(), 1);
    }
    std::string log_text() const { return lk_test::log_text(); }
    static std::string slurp(const std::string& path) { return lk_test::slurp(path); }
};

// Page tests: no response header pending, a private template directory.
class PageTest : public ::testing::Test {
protected:
    lk_test::TempDir tmp{"lkpage"};
    std::filesystem::path dir = tmp.path;

    void SetUp() override {
        lk_test::fresh_process(tmp.path);
        std::filesystem::create_directory(dir / "tpl");
        g.contdone = 1;   // no response header in captured pages
        g.path_script = "/cgi-bin/lk";
        diag_end_pre_ini();
        diag_set_debug(true);
        ini_set(K_templates, (dir / "tpl").string());
    }

    void write_tpl(const std::string& name, const std::string& text) {
        lk_test::spit((dir / "tpl" / name).string(), text);
    }
    std::string log_text() { return lk_test::log_text(); }
    template <class F>
    std::string capture(F f) {
        return lk_test::capture(f);
    }
    std::string show(const std::string& name) {
        return lk_test::capture([&] { tpl_show(name); });
    }
};

// User-subsystem tests: a private work area read from an ini, as a request
// reads it.
class UserTest : public ::testing::Test {
protected:
    lk_test::TempDir tmp{"lkuser"};
    std::string dir = tmp.path, work = dir + "/work";

    void SetUp() override {
        std::filesystem::create_directories(work);
        configure("");
    }
    void TearDown() override { subsystems_reset(); }
    // Reads an ini made of the base lines and `extra`, as a request does.
    void configure(const std::string& extra) {
        lk_test::fresh_process(dir);
        // One ini per process: forked requests configure concurrently.
        const std::string root = "lk" + std::to_string(getpid());
        lk_test::spit(dir + "/" + root + ".ini", "workarea " + work + "\npophost pop.example\n" + extra);
        g.rootname = root;
        g.log_file = dir + "/lk.log";
        std::string vhost;
        ASSERT_EQ(ini_read(dir + "/" + root, vhost), 1);
        lang_english();
        diag_end_pre_ini();
        diag_set_debug(true);   // the information log is what several tests look at
    }
    std::string log_text() { return lk_test::log_text(); }
};

// Store and POP tests: the user "tester" logged in over a private work
// area, no response header on standard output.
struct StoreEnv {
    lk_test::TempDir tmp{"lkstore"};
    std::string root = tmp.path;
    StoreEnv() {
        lk_test::fresh_process(root);
        ini_set(K_workarea, root);
        g.log_file = root + "/larkspur.log";
        g.gcl = 1;   // no response header on standard output
        diag_end_pre_ini();
        diag_set_debug(true);
        prof.xuser = "tester";
        prof.xnextid = 1;
        fld_set_missing_wait(0);
    }
    ~StoreEnv() { subsystems_reset(); }
    static std::string slurp(const std::string& path) { return lk_test::slurp(path); }
    static void spit(const std::string& path, const std::string& text) { lk_test::spit(path, text); }
    std::string log() const { return lk_test::log_text(); }
    static bool exists(const std::string& p) { return lk_test::file_exists(p); }
};

// A record with the given message-id and subject, other fields empty.
inline Record make_rec(const std::string& msgid, const std::string& subject) {
    Record r;
    r[H_MSGID] = msgid;
    r[H_SUBJECT] = subject;
    r[H_FLAGS] = "";
    return r;
}
