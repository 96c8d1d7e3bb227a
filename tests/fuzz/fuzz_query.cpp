// Feeds arbitrary text to the query decoder (as a -query text, so NUL bytes
// and any length reach it) and runs the lookups over what it stored.
#include <cstdint>
#include <string>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/request.h"
#include "page/var.h"
#include "subsystems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    subsystems_reset();
    g.log_file = "/dev/null";
    unsetenv("QUERY_STRING");
    g.cl_query.assign(reinterpret_cast<const char*>(data), size);
    if (query_get()) {
        std::string n, v;
        for (int i = 0; query_get_pair(i, n, v); ++i) {
            (void)form_find(n);
            (void)form_true(n);
            (void)form_findi(n, i);
        }
        query_put("cmd", "x");
        (void)query_user_prefix();
    }
    (void)get_quote(g.cl_query);
    std::string s = g.cl_query;
    convert_crlf(s);
    (void)url_unescape(s);
    return 0;
}
