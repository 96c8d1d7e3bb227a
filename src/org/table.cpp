#include "org/table.h"

#include "cgi/config.h"
#include "cgi/form.h"
#include "net/pop_hooks.h"
#include "org/abook.h"
#include "org/chpass.h"
#include "org/junk.h"
#include "org/keys.h"
#include "org/rules.h"
#include "org/settings.h"
#include "org/supervise.h"
#include "org/wpgp.h"
#include "page/hooks.h"
#include "send/addr.h"
#include "user/login.h"

namespace {

// Reading and saving an encrypted section differ only in the flag
// "pgpbinary" the shared button handler has put in the form.
int r_keyread_save() {
    if (!user_checkauth()) return 0;
    return pgp_show_section();
}

const Handler kHandlers[] = {
    {"f_pick", f_pick},
    {"r_pick", r_pick},
    {"f_edit_abook", f_edit_abook},
    {"f_del_abook", f_del_abook},
    {"r_addfrom", r_addfrom},
    {"r_addfroma", r_addfroma},
    {"f_config", f_config},
    {"r_config", r_config},
    // The password change pages.
    {"f_ch_pass(0)", [] { return f_ch_pass(0); }},
    {"f_ch_pass(1)", [] { return f_ch_pass(1); }},
    {"f_ch_pass(2)", [] { return f_ch_pass(2); }},
    {"f_ch_pass(3)", [] { return f_ch_pass(3); }},
    {"r_ch_pass", r_ch_pass},
    // Supervised accounts.
    {"f_child_show", f_child_show},
    {"r_child(0)", [] { return r_child(0); }},
    {"r_child(1)", [] { return r_child(1); }},
    {"r_childx(1, 1)", [] { return r_childx(1, 1); }},
    {"r_child_ar(0)", [] { return r_child_ar(0); }},
    {"r_child_ar(1)", [] { return r_child_ar(1); }},
    {"r_reject", r_reject},
    // The junk-mail introduction settings.
    {"f_jconf(0)", [] { return f_jconf(0); }},
    {"f_jconf(1)", [] { return f_jconf(1); }},
    {"r_jconf", r_jconf},
    // The key pages; the two row-button scans answer 1 when they handled
    // the form, and the compose pages ask for the recipient key choice.
    {"f_keylist", f_keylist},
    {"r_keylist", f_keylist},
    {"f_keymake", f_keymake},
    {"r_keymake", r_keymake},
    {"r_keyadd", r_keyadd},
    {"f_item_pgp", f_item_pgp},
    {"r_keyread", r_keyread_save},
    {"r_keysave", r_keyread_save},
    {"cmd_keysig", cmd_keysig},
    {"cmd_keydel", cmd_keydel},
    {"pgp_show_section", pgp_show_section},
    {"pgp_picklist", pgp_picklist},
};

// The rule rows of the settings page and the rules run on each fetched
// message; the supervision of new mail; the book lookups of the send code.
void install() {
    abook_install();
    PopHooks& h = pop_hooks();
    h.do_rules = do_rules;
    h.isparent = isparent;
    h.sender_match = sender_match;
    h.kill_it = kill_it;
    h.do_parent_fwd = do_parent_fwd;
    tpl_hooks().show_rules = tpl_show_rules;
    send_set_encrypter(do_encrypt);
}

// The rule names, translated once the language file is read.
void start() {
    static const char* const actions[] = {"(No action)", "Move", "Copy", "Forward", "Delete"};
    static const char* const headers[] = {"(No Rule)", "From", "Subject", "To", "Body", "Sender", "CC"};
    ract_init(actions, 5);
    rhdr_init(headers, 7);
    if (const std::string& dev = wm_ini_get(K_randomdevice); !dev.empty()) wpgp_setrandom(dev);
}

void reset() {
    abook_reset();
    rules_reset();
    supervise_reset();
    wpgp_freeall();
}

}  // namespace

const Subsystem& org_subsystem() {
    static const Subsystem s{"org", kHandlers, reset, start, install};
    return s;
}
