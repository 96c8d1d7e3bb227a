// Feeds arbitrary bytes to the multipart/form-data decoder.  The first byte
// chooses the boundary form, text_stdin and how CONTENT_LENGTH relates to
// the body; uploads go to a private temporary directory and are removed
// after each run.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/request.h"
#include "page/var.h"
#include "subsystems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string dir = [] {
        char tmpl[] = "/tmp/lkfuzz_mpXXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    if (size < 1) return 0;
    subsystems_reset();
    g.log_file = "/dev/null";
    ini_set(K_workarea, dir);
    uint8_t mode = data[0];
    if (mode & 4) ini_set(K_text_stdin, "true");
    if (mode & 8) ini_set(K_log, "form");
    static const char* const types[] = {"multipart/form-data; boundary=B", "multipart/form-data; boundary=\"B\"",
                                        "multipart/form-data", "multipart/form-data; boundary="};
    long len = static_cast<long>(size - 1);
    if (mode & 16) len /= 2;
    if (mode & 32) len = len * 2 + 7;
    setenv("CONTENT_LENGTH", std::to_string(len).c_str(), 1);
    std::vector<char> copy(data + 1, data + size);
    FILE* in = fmemopen(copy.empty() ? nullptr : copy.data(), copy.size(), "rb");
    if (!in) in = std::fopen("/dev/null", "rb");
    g.mystdin = in;
    form_get_mime(types[mode & 3]);
    std::fclose(in);
    for (int s = 0; s < 4; ++s) {
        (void)attach_name(s);
        (void)attach_type(s);
    }
    std::string n, v;
    for (int i = 0; form_get_pair(i, n, v); ++i) (void)form_find(n);
    subsystems_reset();
    return 0;
}
