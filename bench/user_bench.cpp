// Costs of the per-request user work: reading and writing a large profile
// (200 folders, 30 From entries, 100 rules) and taking/releasing the lock.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/var.h"
#include "support/str.h"
#include "user/lock.h"
#include "user/paths.h"
#include "user/profile.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string g_work;

void fresh(const char* extra_key = nullptr, const char* extra_val = nullptr) {
    request_reset();
    ini_reset();
    diag_reset();
    diag_end_pre_ini();
    var_reset();
    paths_reset();
    lock_reset();
    profile_reset();
    lang_english();
    g.log_file = "/dev/null";
    ini_set(K_workarea, g_work);
    ini_set(K_pophost, "pop.example");
    if (extra_key) ini_set(ini_find(extra_key), extra_val);
    prof.xuser = "bench@pop.example";
}

template <class F>
double per_op_us(int n, F f) {
    auto t0 = Clock::now();
    for (int i = 0; i < n; ++i) f(i);
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / n;
}

}  // namespace

int main() {
    char tmpl[] = "/tmp/lkbenchXXXXXX";
    g_work = mkdtemp(tmpl);
    fresh();
    for (int i = 0; i < 200; ++i) add_folder(sfmt("%d Folder number %d", i, i));
    for (int i = 0; i < 30; ++i) prof.xfrom.push_back(sfmt("Sender %d <sender%d@example.org>", i, i));
    for (int i = 0; i < 100; ++i)
        prof.rules.push_back({"Subject", sfmt("match text %d", i), "move", std::to_string(i % 200), "", 0});
    prof.xpop_name[0] = "pop.example";
    prof.xpop_user[0] = "bench";
    prof.xpop_pass[0] = "secret";
    prof.xsig = "Bench\nSignature";
    make_parent_dirs(user_file());

    const int n = 300;
    double write_us = per_op_us(n, [](int) {
        g.ui_changed = 1;
        if (user_write() != 1) std::abort();
    });
    long size = static_cast<long>(std::filesystem::file_size(user_file()));
    double read_us = per_op_us(n, [](int) {
        fresh();
        user_lock_flags().g_read_only = 1;
        if (user_getinfo(0, 1) != 1 || prof.nxfld != 200 || prof.rules.size() != 100) std::abort();
    });
    std::printf("profile: %ld bytes; write %.1f us; read %.1f us (mean of %d)\n", size, write_us, read_us, n);

    for (int nfs = 0; nfs < 2; ++nfs) {
        fresh();
        mylock_init("bench", nfs, 0, nullptr, nullptr);
        std::string base = user_fname("user");
        double us = per_op_us(1000, [&](int) {
            if (mylock_get(base.c_str(), "bench", 0, 300) != 1) std::abort();
            mylock_free(base.c_str());
        });
        std::printf("lock take+release (%s mode, no release pause): %.1f us "
                    "(includes the 1 ms pause after taking)\n", nfs ? "NFS" : "standard", us);
    }
    fresh();
    double full = per_op_us(10, [](int) {
        user_lock_flags() = UserLockFlags{};
        if (user_lock("login") != 1) std::abort();
        user_release();
    });
    std::printf("user_lock + user_release (with the 0.1 s release pause): %.1f ms\n", full / 1000);
    std::filesystem::remove_all(g_work);
    return 0;
}
