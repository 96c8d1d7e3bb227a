#include "user/table.h"

#include "page/encode.h"
#include "page/hooks.h"
#include "user/lock.h"
#include "user/login.h"
#include "user/paths.h"
#include "user/profile.h"
#include "user/tpl_vars.h"

namespace {

const Handler kHandlers[] = {
    {"f_login(0)", [] { return f_login(0); }},
    {"f_login(1)", [] { return f_login(1); }},
    {"r_login(0)", [] { return r_login(0); }},
    {"r_login(1)", [] { return r_login(1); }},
    {"r_logout(0)", [] { return r_logout(0); }},
    {"r_logout(1)", [] { return r_logout(1); }},
    {"r_send_auto_login", r_send_auto_login},
    {"user_checkauth", user_checkauth},
    // Finish steps of every request.
    {"post_profile_fields", post_profile_fields},
    {"user_write", user_write},
    {"user_release_detached", user_release_detached},
};

// The renderer's user block and the view options the encoders read.
void install() {
    tpl_hooks().user_vars = user_tpl_vars;
    encode_set_profile({&prof.g_eight_bit, &prof.xv_font, &prof.xv_asis});
}

void reset() {
    paths_reset();
    lock_reset();
    profile_reset();
    login_reset();
    auth_reset();
}

}  // namespace

const Subsystem& user_subsystem() {
    static const Subsystem s{"user", kHandlers, reset, nullptr, install};
    return s;
}
