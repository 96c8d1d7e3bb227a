// A private work area and a fresh process state for each user-subsystem test.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/var.h"
#include "user/lock.h"
#include "user/paths.h"
#include "user/profile.h"

namespace lk_user_test {

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void spit(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline bool file_exists(const std::string& path) {
    struct stat sb;
    return stat(path.c_str(), &sb) == 0;
}

inline void reset_process_state() {
    request_reset();
    ini_reset();
    diag_reset();
    var_reset();
    lang_reset();
    paths_reset();
    lock_reset();
    profile_reset();
}

class UserTest : public ::testing::Test {
protected:
    std::string dir, work;

    void SetUp() override {
        char tmpl[] = "/tmp/lkuserXXXXXX";
        dir = mkdtemp(tmpl);
        work = dir + "/work";
        std::filesystem::create_directories(work);
        configure("");
    }
    void TearDown() override {
        lock_reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    // Reads an ini made of the base lines and `extra`, as a request does.
    void configure(const std::string& extra) {
        reset_process_state();
        // One ini per process: forked requests configure concurrently.
        const std::string root = "lk" + std::to_string(getpid());
        spit(dir + "/" + root + ".ini", "workarea " + work + "\npophost pop.example\n" + extra);
        g.rootname = root;
        g.log_file = dir + "/lk.log";
        std::string vhost;
        ASSERT_EQ(ini_read(dir + "/" + root, vhost), 1);
        lang_english();
        diag_end_pre_ini();
        diag_set_debug(true);   // the information log is what several tests look at
    }
    std::string log_text() { return slurp(dir + "/lk.log"); }
};

}  // namespace lk_user_test
