// A fresh request state for each test of the request-entry code: settings,
// log, fields and variables reset, the log in a private directory, and the
// CGI environment variables the decoders read cleared.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "cgi/config.h"
#include "cgi/content.h"
#include "cgi/diag.h"
#include "cgi/dispatch.h"
#include "cgi/form.h"
#include "cgi/handlers.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/var.h"

class CgiTest : public ::testing::Test {
protected:
    std::string dir;
    FILE* body = nullptr;

    void SetUp() override {
        char tmpl[] = "/tmp/lkcgiXXXXXX";
        dir = mkdtemp(tmpl);
        reset_all();
        for (const char* v : {"QUERY_STRING", "CONTENT_LENGTH", "CONTENT_TYPE", "REQUEST_METHOD", "PATH_INFO"})
            unsetenv(v);
    }
    void TearDown() override {
        form_reset();
        if (body) std::fclose(body);
        std::filesystem::remove_all(dir);
    }
    void reset_all() {
        form_reset();
        request_reset();
        ini_reset();
        diag_reset();
        var_reset();
        lang_reset();
        content_reset();
        slots_reset();
        dispatch_reset();
        g.log_file = dir + "/test.log";
        ini_set(K_workarea, dir);
        ini_set(K_user_prefix, "u_");
    }
    // The request body the decoders read, with CONTENT_LENGTH set to its
    // size unless a length is given.
    void set_body(const std::string& text, long length = -1) {
        if (body) std::fclose(body);
        std::string path = dir + "/body.in";
        std::ofstream(path, std::ios::binary) << text;
        body = std::fopen(path.c_str(), "rb");
        g.mystdin = body;
        setenv("CONTENT_LENGTH", std::to_string(length < 0 ? static_cast<long>(text.size()) : length).c_str(), 1);
    }
    std::string log_text() const {
        std::ifstream f(g.log_file);
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }
    static std::string slurp(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        std::ostringstream s;
        s << f.rdbuf();
        return s.str();
    }
};
