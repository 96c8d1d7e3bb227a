// Feeds arbitrary text to the profile reader as a user.dat, then checks
// that what the writer makes of it carries a line count that matches.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/var.h"
#include "user/lock.h"
#include "user/paths.h"
#include "user/profile.h"
#include "subsystems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string dir = [] {
        char tmpl[] = "/tmp/lkfuzz_profXXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    subsystems_reset();
    diag_end_pre_ini();
    lang_english();
    g.log_file = "/dev/null";
    ini_set(K_workarea, dir);
    ini_set(K_pophost, "pop.example");
    // a failing checksum would make the reader wait a second per retry
    ini_set(K_no_checksum, "true");
    if (size > 0 && (data[0] & 1)) ini_set(K_save_v_asis, "true");
    prof.xuser = "fuzz@pop.example";
    user_lock_flags().g_read_only = 1;
    std::string path = user_file();
    make_parent_dirs(path);
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    if (user_getinfo(0, 1) != 1) return 0;

    ini_unset(K_no_checksum);
    int count = 0;
    std::string text = profile_text(&count);
    int lines = 0;
    for (char c : text)
        if (c == '\n') ++lines;
    if (lines != count) std::abort();
    std::size_t at = text.rfind("\nchecksum ");
    if (at == std::string::npos || std::atoi(text.c_str() + at + 10) != lines) std::abort();
    return 0;
}
