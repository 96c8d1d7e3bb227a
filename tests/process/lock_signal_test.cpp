// The user lock against signals at random moments: after SIGTERM no lock
// outlives the process; after SIGKILL the stale-lock rule breaks it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "process/cgi_harness.h"

namespace {

using lk_test::CgiHarness;
using lk_test::kPass;
using lk_test::url_enc;

TEST(LockSignals, NoLockOutlivesAProcessEndedBySigterm) {
    FakeServer pop("pop3", "user ann " + kPass + "\nmessages 2\n", 120);
    ASSERT_TRUE(pop.ok()) << pop.error();
    CgiHarness h("", true);
    h.set_ini("templates @TPL@\nworkarea @WORK@\npophost 127.0.0.1\nport " + std::to_string(pop.port()) +
              "\nlock_old 1\nlock_wait 5\n");
    auto in = h.post("cmd=login&user=ann&pass=" + url_enc(kPass) + "&nflogin=on");
    const std::string tok = lk_test::cookie_value(in, "utok", "");
    ASSERT_FALSE(tok.empty()) << in.out;
    const std::string lock = h.path("work/u_an/ann@127_0_0_1/user_lock");
    const std::string query = "cmd=list&utoken=" + url_enc(tok);

    // The length of one request sets the range the signals are spread over
    // (a sample, not a limit: nothing is asserted about time).
    auto t0 = std::chrono::steady_clock::now();
    CgiHarness::reap(h.spawn(query));
    auto span = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0);
    ASSERT_FALSE(std::filesystem::exists(lock));
    std::mt19937 rng(20261207);
    std::uniform_int_distribution<long> at(0, span.count() * 5 / 4);

    int signalled = 0;
    for (int trial = 0; trial < 120; ++trial) {
        pid_t pid = h.spawn(query);
        std::this_thread::sleep_for(std::chrono::microseconds(at(rng)));
        if (kill(pid, SIGTERM) == 0) ++signalled;
        CgiHarness::reap(pid);
        ASSERT_FALSE(std::filesystem::exists(lock)) << "trial " << trial << ": " << lk_test::slurp(lock);
    }
    EXPECT_GT(signalled, 60);

    // SIGKILL cannot be handled: a lock may stay behind, naming a process
    // that is gone, until the stale-lock rule (lock_old) breaks it.
    int left = 0;
    for (int trial = 0; trial < 30; ++trial) {
        pid_t pid = h.spawn(query);
        std::this_thread::sleep_for(std::chrono::microseconds(at(rng)));
        kill(pid, SIGKILL);
        CgiHarness::reap(pid);
        if (!std::filesystem::exists(lock)) continue;
        ++left;
        std::string text = lk_test::slurp(lock);
        // Killed between making the file and writing it, it is empty.
        EXPECT_TRUE(text.empty() || text.rfind("PID=" + std::to_string(pid) + ",", 0) == 0) << text;
        auto again = h.post("cmd=login&user=ann&pass=" + url_enc(kPass) + "&nflogin=on");
        EXPECT_FALSE(lk_test::cookie_value(again, "utok", "").empty()) << again.out;
        EXPECT_FALSE(std::filesystem::exists(lock));
        break;
    }
    std::cout << "SIGKILL trials leaving a lock: " << left << "\n";
}

}  // namespace
