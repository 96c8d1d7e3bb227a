// Feeds arbitrary text to the session-token and cookie parsers, and as a
// user name to the directory mapping, which must never leave the work area.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/request.h"
#include "page/var.h"
#include "user/codec.h"
#include "user/paths.h"
#include "user/profile.h"
#include "user/session.h"
#include "subsystems.h"

namespace {

bool climbs_out(const std::string& path) {
    std::size_t i = 0;
    while (i <= path.size()) {
        std::size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        if (path.compare(i, j - i, "..") == 0) return true;
        i = j + 1;
    }
    for (unsigned char c : path)
        if (c < 32) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in(reinterpret_cast<const char*>(data), size);
    subsystems_reset();
    diag_end_pre_ini();
    g.log_file = "/dev/null";
    ini_set(K_workarea, "/w");
    const unsigned sel = size ? static_cast<unsigned char>(in[0]) : 0;
    if (sel & 1) ini_set(K_allow_dot, "true");
    if (sel & 2) ini_set(K_allow_slash, "true");
    if (sel & 4) ini_set(K_hash_method, "2");
    if (sel & 8) ini_set(K_original_pophost, "old.example");
    ini_set(K_pophost, "pop.example");

    std::string user, code;
    (void)parse_token(in, static_cast<int>(sel % 366), user, code);
    (void)cookie_value(in, "utok");
    (void)cookie_value(in, "utokc");
    setenv("HTTP_COOKIE", in.c_str(), 1);
    (void)get_cookie("utok");
    form_put("utoken", in);
    if (get_user() == 1) {
        std::string d = user_dir();
        if (d.compare(0, 3, "/w/") != 0 || climbs_out(d)) std::abort();
        if (climbs_out(fld_file(0, in)) || climbs_out(user_fname(in))) std::abort();
    }
    std::string dir = user_dir_of(in);
    if (dir.compare(0, 3, "/w/") != 0 || climbs_out(dir) || dir.size() > 511) std::abort();
    if (rdecode(rencode(in)).size() > in.size()) std::abort();
    (void)x_unhide(in, in, sel);
    (void)cr_decode(in);
    return 0;
}
