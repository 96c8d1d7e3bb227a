// Feeds arbitrary text to the settings reader as an ini file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/request.h"
#include "subsystems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string dir = [] {
        char tmpl[] = "/tmp/lkfuzz_iniXXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    std::string path = dir + "/fuzz.ini";
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    subsystems_reset();
    g.log_file = "/dev/null";
    g.rootname = "fuzz";
    std::string vhost = "example.test";
    std::string prog = dir + "/fuzz";
    ini_read(prog, vhost);
    (void)get_tpl_dir();
    (void)file_work("x");
    return 0;
}
