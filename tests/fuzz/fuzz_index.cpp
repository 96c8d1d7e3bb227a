// Feeds arbitrary bytes to the folder-index reader as an index.dat, then
// rewrites, re-reads and sorts what it kept: nothing may crash, and a
// rewrite must read back as the same number of records.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/request.h"
#include "store/index.h"
#include "user/paths.h"
#include "user/profile.h"
#include "subsystems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string dir = [] {
        char tmpl[] = "/tmp/lkfuzz_idxXXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    subsystems_reset();
    fld_set_missing_wait(0);
    g.log_file = "/dev/null";
    ini_set(K_workarea, dir);
    prof.xuser = "fuzz";
    std::string path = fld_file(0, "index.dat");
    make_parent_dirs(path);
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    Fld_stats st;
    fld_read_stats(0, st);
    if (!fld_readxov(0)) return 0;
    int n = mainidx().n;
    if (st.msgs != n) std::abort();
    for (const char* key : {"datetime", "-subject:", "bytes:", "from:"}) {
        idx_sort(mainidx(), key);
        if (!idx_sorted(mainidx(), key) && std::string(key) != "datetime") std::abort();
    }
    if (size & 1) ini_set(K_extended_index, "true");
    if (!fld_write(0)) return 0;
    if (!fld_readxov(0)) std::abort();
    if (mainidx().n != n) std::abort();
    return 0;
}
