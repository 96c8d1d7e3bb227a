// Feeds arbitrary text to the Date-header parser and every display form.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/request.h"
#include "page/var.h"
#include "view/date.h"
#include "subsystems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    subsystems_reset();
    g.log_file = "/dev/null";
    std::string text(reinterpret_cast<const char*>(data), size);
    // The first byte picks the display order, as the `date_format` setting does.
    static const char* const formats[] = {"", "dmy", "ymd", "mdy"};
    ini_set(K_date_format, formats[size ? data[0] % 4 : 0]);
    long t = parsedate(text);
    (void)t;
    int h = 0, m = 0, s = 0;
    (void)get_hour(text, h, m, s);
    long z = get_zone(text);
    (void)z;
    (void)month_find(text);
    if (h_date_trim(text).size() > 511) std::abort();
    if (h_date_day(text).size() > 511) std::abort();
    if (h_date_time(text).size() > 511) std::abort();
    if (h_date_t24(text).size() > 511) std::abort();
    if (lib_email_date(text, 1).size() > 70) std::abort();
    std::string id = lib_email_mid(text);
    if (id.size() > 511 || id.find_first_of("\r\n ") != std::string::npos) std::abort();
    return 0;
}
