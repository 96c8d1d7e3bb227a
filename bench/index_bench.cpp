// Folder index timings for bench/index.sh: loading and sorting an index of
// 9,998 records by each sort key (CPU time, medians of 15), and a single load
// and sort for whole-process runs.
//   index_bench keys            in-process medians for every key
//   index_bench make DIR        write the index into work area DIR
//   index_bench once DIR KEY    one load and sort of DIR's index
//   index_bench none            start and exit (the process cost alone)
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/request.h"
#include "store/index.h"
#include "support/str.h"
#include "user/paths.h"
#include "user/profile.h"

namespace {
// CPU time of this thread in ms: on a shared machine wall time mostly
// measures the other processes.
double cpu_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

void use_workarea(const std::string& root) {
    ini_set(K_workarea, root);
    g.log_file = "/dev/null";
    g.gcl = 1;
    diag_end_pre_ini();
    diag_set_debug(false);
    prof.xuser = "bench";
    prof.xnextid = 1;
    fld_set_missing_wait(0);
}

// A realistic 9,998-record index for the user "bench".
void make_index() {
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
    std::string path = fld_file(0, "index.dat");
    make_parent_dirs(path);
    std::ofstream(path, std::ios::binary) << text;
}

int keys() {
    char tmpl[] = "/tmp/lkbench_idxXXXXXX";
    std::string root = mkdtemp(tmpl);
    use_workarea(root);
    make_index();
    for (const char* key : {"", "datetime", "-datetime", "subject:", "-subject:", "from:", "bytes:", "-bytes:", "to:"}) {
        std::vector<double> load_ms, sort_ms;
        for (int rep = 0; rep < 15; ++rep) {
            double t0 = cpu_ms();
            if (fld_readxov(0) != 1 || mainidx().n != 9998) return 1;
            double t1 = cpu_ms();
            idx_sort(mainidx(), key);
            load_ms.push_back(t1 - t0);
            sort_ms.push_back(cpu_ms() - t1);
        }
        std::sort(load_ms.begin(), load_ms.end());
        std::sort(sort_ms.begin(), sort_ms.end());
        std::printf("index 9998 key=%-10s load %.2f ms  sort %.2f ms (CPU, medians of 15)\n", *key ? key : "(arrival)",
                    load_ms[7], sort_ms[7]);
    }
    return std::system(("rm -rf '" + root + "'").c_str()) == 0 ? 0 : 1;
}
}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "keys") return keys();
    if (mode == "make" && argc > 2) {
        use_workarea(argv[2]);
        make_index();
        return 0;
    }
    if (mode == "once" && argc > 2) {
        use_workarea(argv[2]);
        if (fld_readxov(0) != 1) return 1;
        idx_sort(mainidx(), argc > 3 ? argv[3] : "");
        return mainidx().n == 9998 ? 0 : 1;
    }
    return mode == "none" ? 0 : 2;
}
