// Shared set-up of the page tests: a fresh request with no response header
// pending, a private template directory and a log file that can be read.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "cgi/config.h"
#include "cgi/content.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/request.h"
#include "page/encode.h"
#include "page/hooks.h"
#include "page/tpl.h"
#include "page/var.h"
#include "user/profile.h"

class PageTest : public ::testing::Test {
protected:
    std::filesystem::path dir;

    void SetUp() override {
        request_reset();
        ini_reset();
        diag_reset();
        content_reset();
        form_reset();
        var_reset();
        encode_reset();
        tpl_reset();
        tpl_hooks_reset();
        profile_reset();
        char tmpl[] = "/tmp/lkpageXXXXXX";
        dir = mkdtemp(tmpl);
        std::filesystem::create_directory(dir / "tpl");
        g.log_file = (dir / "test.log").string();
        g.contdone = 1;   // no response header in captured pages
        g.path_script = "/cgi-bin/lk";
        diag_end_pre_ini();
        diag_set_debug(true);
        ini_set(K_templates, (dir / "tpl").string());
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    void write_tpl(const std::string& name, const std::string& text) {
        std::filesystem::path p = dir / "tpl" / name;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
    }
    std::string log_text() {
        std::ifstream in(dir / "test.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // Runs f with standard output captured and returns what it wrote.
    template <class F>
    std::string capture(F f) {
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        f();
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
    std::string show(const std::string& name) {
        return capture([&] { tpl_show(name); });
    }
};
