// Timings for bench/index.sh (LK_BENCH=1): loading and sorting a folder
// index of 9,998 records by each sort key.  LoadSortOnce is the
// whole-process case the script times with hyperfine.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <random>

#include "store/store_env.h"
#include "support/str.h"

namespace {
// CPU time of this thread in ms: on a shared machine wall time mostly
// measures the other processes.
double cpu_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

// Writes a realistic 9,998-record index under root (work area) for "bench".
void make_index(const std::string& root) {
    ini_set(K_workarea, root);
    prof.xuser = "bench";
    std::mt19937 rng(42);
    const char* words[] = {"report", "lunch", "Invoice", "holiday", "server", "Re:", "\"quoted\"", "meeting", "plan"};
    const char* days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::string text;
    for (int i = 1; i <= 9998; ++i) {
        Record r;
        r[H_ID] = std::to_string(i);
        r[H_UIDL] = "uid-" + std::to_string(rng());
        r[H_FLAGS] = i % 3 ? "read," : "unseen,";
        r[H_MSGID] = "<" + std::to_string(rng()) + "@example.test>";
        r[H_SUBJECT] = std::string(words[rng() % 9]) + " " + words[rng() % 9] + " " + std::to_string(rng() % 1000);
        r[H_FROM] = "Person " + std::to_string(rng() % 500) + " <p" + std::to_string(rng() % 500) + "@example.org>";
        r[H_TO] = "bench@example.test";
        r[H_DATE] = sfmt("%s, %d %s %d %02d:%02d:%02d +0%d00", days[rng() % 7], static_cast<int>(1 + rng() % 28),
                         months[rng() % 12], static_cast<int>(2000 + rng() % 25), static_cast<int>(rng() % 24),
                         static_cast<int>(rng() % 60), static_cast<int>(rng() % 60), static_cast<int>(rng() % 10));
        r[H_POPHOST] = "127.0.0.1";
        r[H_REMOTE] = "1";
        r[H_POPUSER] = "bench";
        r[H_BYTES] = std::to_string(500 + rng() % 200000);
        r[H_CTYPE] = "text/plain; charset=utf-8";
        r[H_NWFLAGS] = "0";
        r[H_POPPORT] = "110";
        text += idx_format(r, 23);
    }
    StoreEnv::spit(fld_file(0, "index.dat"), text);
}
}  // namespace

TEST(IndexBench, Keys) {
    if (!std::getenv("LK_BENCH")) GTEST_SKIP() << "set LK_BENCH=1 (bench/index.sh)";
    StoreEnv env;
    diag_set_debug(false);
    make_index(env.root);
    for (const char* key : {"", "datetime", "-datetime", "subject:", "-subject:", "from:", "bytes:", "-bytes:", "to:"}) {
        std::vector<double> load_ms, sort_ms;
        for (int rep = 0; rep < 15; ++rep) {
            double t0 = cpu_ms();
            ASSERT_EQ(fld_readxov(0), 1);
            double t1 = cpu_ms();
            idx_sort(mainidx(), key);
            double t2 = cpu_ms();
            load_ms.push_back(t1 - t0);
            sort_ms.push_back(t2 - t1);
            ASSERT_EQ(mainidx().n, 9998);
        }
        std::sort(load_ms.begin(), load_ms.end());
        std::sort(sort_ms.begin(), sort_ms.end());
        std::printf("index 9998 key=%-10s load %.2f ms  sort %.2f ms (CPU, medians of 15)\n", *key ? key : "(arrival)",
                    load_ms[7], sort_ms[7]);
    }
}

// One load and sort, for a whole-process timing: LK_BENCH_DIR is a work
// area made by Keys (kept when LK_BENCH_KEEP is set), LK_BENCH_KEY the key.
TEST(IndexBench, LoadSortOnce) {
    const char* dir = std::getenv("LK_BENCH_DIR");
    if (!dir) GTEST_SKIP() << "set LK_BENCH_DIR (bench/index.sh)";
    ini_set(K_workarea, dir);
    prof.xuser = "bench";
    g.log_file = "/dev/null";
    ASSERT_EQ(fld_readxov(0), 1);
    const char* key = std::getenv("LK_BENCH_KEY");
    idx_sort(mainidx(), key ? key : "");
    ASSERT_EQ(mainidx().n, 9998);
}

TEST(IndexBench, MakeWorkArea) {
    const char* dir = std::getenv("LK_BENCH_MAKE");
    if (!dir) GTEST_SKIP() << "set LK_BENCH_MAKE (bench/index.sh)";
    make_index(dir);
    SUCCEED();
}
