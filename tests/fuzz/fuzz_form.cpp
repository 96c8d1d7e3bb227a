// Feeds arbitrary bytes to the URL-encoded body decoder.  The first byte
// picks how CONTENT_LENGTH relates to the body (exact, shorter, longer), so
// truncated and over-announced bodies are explored too.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/request.h"
#include "page/var.h"
#include "subsystems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    subsystems_reset();
    g.log_file = "/dev/null";
    ini_set(K_user_prefix, "u_");
    long len = static_cast<long>(size - 1);
    switch (data[0] % 3) {
    case 1: len /= 2; break;
    case 2: len = len * 2 + 100; break;
    default: break;
    }
    setenv("CONTENT_LENGTH", std::to_string(len).c_str(), 1);
    setenv("CONTENT_TYPE", "application/x-www-form-urlencoded", 1);
    std::vector<char> copy(data + 1, data + size);
    FILE* in = fmemopen(copy.empty() ? nullptr : copy.data(), copy.size(), "rb");
    if (!in) in = std::fopen("/dev/null", "rb");
    g.mystdin = in;
    form_get();
    std::fclose(in);
    std::string n, v;
    std::vector<std::string> lines;
    for (int i = 0; form_get_pair(i, n, v); ++i) {
        (void)nform_find(n);
        (void)form_findn(n);
        form_get_list(n, lines);
        form_find_list(n, lines);
    }
    (void)form_user_prefix();
    (void)clear_vars();
    return 0;
}
