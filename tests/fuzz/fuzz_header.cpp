// Feeds arbitrary text to the message buffer's line reader and to header
// matching into an index record, the way a fetched message is read.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "cgi/diag.h"
#include "cgi/request.h"
#include "store/index.h"
#include "store/msgfile.h"
#include "subsystems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    subsystems_reset();
    g.log_file = "/dev/null";
    std::string_view text(reinterpret_cast<const char*>(data), size);
    msg_add(text);
    Record rec;
    int last = -1;
    std::size_t lines = 0;
    while (const char* l = get_line()) {
        std::size_t len = std::strlen(l);
        if (len > 2047) std::abort();
        if (++lines > size + 1) std::abort();   // every call consumes input
        rec_head_line(rec, std::string_view(l, len), &last);
        std::string v;
        head_get("content-disposition", v, l);
        if (v.size() > 511) std::abort();
        head_cat(l);
    }
    for (const std::string& f : rec)
        if (f.size() > 511) std::abort();
    return 0;
}
