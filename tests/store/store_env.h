// A fresh request state over a private work area for store and POP tests:
// settings, log, profile, index, message buffer and mail socket all reset,
// the user "tester" logged in, and the work area removed afterwards.
#pragma once
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "cgi/config.h"
#include "cgi/content.h"
#include "cgi/diag.h"
#include "cgi/request.h"
#include "net/pop.h"
#include "net/sock.h"
#include "page/var.h"
#include "store/index.h"
#include "store/msgfile.h"
#include "user/paths.h"
#include "user/profile.h"

struct StoreEnv {
    std::string root;
    StoreEnv() {
        char tmpl[] = "/tmp/lkstoreXXXXXX";
        root = mkdtemp(tmpl);
        request_reset();
        ini_reset();
        diag_reset();
        content_reset();
        var_reset();
        profile_reset();
        paths_reset();
        index_reset();
        msgfile_reset();
        sock_reset();
        pop_reset();
        ini_set(K_workarea, root);
        g.log_file = root + "/larkspur.log";
        g.gcl = 1;   // no response header on standard output
        diag_end_pre_ini();
        diag_set_debug(true);
        prof.xuser = "tester";
        prof.xnextid = 1;
        fld_set_missing_wait(0);
    }
    ~StoreEnv() {
        sock_reset();
        std::string cmd = "rm -rf '" + root + "'";
        if (std::system(cmd.c_str()) != 0) std::perror("rm");
    }
    static std::string slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static void spit(const std::string& path, const std::string& text) {
        make_parent_dirs(path);
        std::ofstream out(path, std::ios::binary);
        out << text;
    }
    std::string log() const { return slurp(g.log_file); }
    static bool exists(const std::string& p) {
        struct stat sb;
        return stat(p.c_str(), &sb) == 0;
    }
};

// A record with the given message-id and subject, other fields empty.
inline Record make_rec(const std::string& msgid, const std::string& subject) {
    Record r;
    r[H_MSGID] = msgid;
    r[H_SUBJECT] = subject;
    r[H_FLAGS] = "";
    return r;
}
