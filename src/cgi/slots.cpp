// Weak placeholders for handlers that later subsystems build.  Each raises
// a clear error (logged and shown on the error page) and fails, so an
// unbuilt command never reports success.
#include "cgi/handlers.h"

#include "cgi/diag.h"
#include "cgi/lang.h"
#include "page/tpl.h"

namespace {
bool g_slot_ran = false;
bool g_tpl_missing = false;

int missing(const char* name) {
    g_slot_ran = true;
    lmsg("Not available in this installation: %s", name);
    f_error(lang_get("This function is not available in this installation: %s\n"), name);
    return 0;
}
}  // namespace

bool slot_missing_ran() { return g_slot_ran; }
bool slot_tpl_show_missing() { return g_tpl_missing; }
void slots_reset() {
    g_slot_ran = false;
    g_tpl_missing = false;
}

#define LK_WEAK __attribute__((weak))
LK_WEAK int f_send() { return missing("f_send"); }
LK_WEAK int r_forward() { return missing("r_forward"); }
LK_WEAK int f_list() { return missing("f_list"); }
LK_WEAK int f_list_new() { return missing("f_list_new"); }
LK_WEAK int f_list_waste() { return missing("f_list_waste"); }
LK_WEAK int f_list_copy() { return missing("f_list_copy"); }
LK_WEAK int f_list_held() { return missing("f_list_held"); }
LK_WEAK int f_spell_fix() { return missing("f_spell_fix"); }
LK_WEAK int r_spell_set() { return missing("r_spell_set"); }
LK_WEAK int r_spell_add() { return missing("r_spell_add"); }
LK_WEAK int r_spell_alt() { return missing("r_spell_alt"); }
LK_WEAK int r_spell_done() { return missing("r_spell_done"); }
LK_WEAK int r_spell_save() { return missing("r_spell_save"); }
LK_WEAK int r_spell_edit() { return missing("r_spell_edit"); }
LK_WEAK int r_addfrom() { return missing("r_addfrom"); }
LK_WEAK int r_addfroma() { return missing("r_addfroma"); }
LK_WEAK int r_setview() { return missing("r_setview"); }
LK_WEAK int r_movesel() { return missing("r_movesel"); }
LK_WEAK int r_copysel() { return missing("r_copysel"); }
LK_WEAK int r_empty() { return missing("r_empty"); }
LK_WEAK int f_config() { return missing("f_config"); }
LK_WEAK int r_config() { return missing("r_config"); }
LK_WEAK int f_child_show() { return missing("f_child_show"); }
LK_WEAK int r_reject() { return missing("r_reject"); }
LK_WEAK int r_ch_pass() { return missing("r_ch_pass"); }
LK_WEAK int r_jconf() { return missing("r_jconf"); }
LK_WEAK int r_rebuild_indexes() { return missing("r_rebuild_indexes"); }
LK_WEAK int r_keyadd() { return missing("r_keyadd"); }
LK_WEAK int f_keymake() { return missing("f_keymake"); }
LK_WEAK int r_keymake() { return missing("r_keymake"); }
LK_WEAK int r_keyread() { return missing("r_keyread"); }
LK_WEAK int r_keysave() { return missing("r_keysave"); }
LK_WEAK int f_keylist() { return missing("f_keylist"); }
LK_WEAK int r_keylist() { return missing("r_keylist"); }
LK_WEAK int f_edit_abook() { return missing("f_edit_abook"); }
LK_WEAK int f_del_abook() { return missing("f_del_abook"); }
LK_WEAK int f_switch() { return missing("f_switch"); }
LK_WEAK int r_spell_check() { return missing("r_spell_check"); }
LK_WEAK int r_fld_create() { return missing("r_fld_create"); }
LK_WEAK int r_fld_delete() { return missing("r_fld_delete"); }
LK_WEAK int r_fld_rename() { return missing("r_fld_rename"); }
LK_WEAK int f_pick() { return missing("f_pick"); }
LK_WEAK int r_send_auto_login() { return missing("r_send_auto_login"); }
LK_WEAK int r_send() { return missing("r_send"); }
LK_WEAK int f_empty() { return missing("f_empty"); }
LK_WEAK int r_pick() { return missing("r_pick"); }
LK_WEAK int r_doforward() { return missing("r_doforward"); }
LK_WEAK int f_stub() { return missing("f_stub"); }
LK_WEAK int r_manager() { return missing("r_manager"); }
LK_WEAK int f_item() { return missing("f_item"); }
LK_WEAK int f_raw() { return missing("f_raw"); }
LK_WEAK int f_item_pgp() { return missing("f_item_pgp"); }
LK_WEAK int f_reply() { return missing("f_reply"); }
LK_WEAK int f_forward_edit() { return missing("f_forward_edit"); }
LK_WEAK int f_replyall() { return missing("f_replyall"); }
// The key-row scans run on every posted form: until the key pages exist
// no form carries their buttons, so they find nothing.
LK_WEAK int cmd_keysig() { return 0; }
LK_WEAK int cmd_keydel() { return 0; }
LK_WEAK int cmd_item_del() { return missing("cmd_item_del"); }
LK_WEAK int do_gif() { return missing("do_gif"); }
LK_WEAK int do_list() { return missing("do_list"); }
LK_WEAK int user_checkauth() { return missing("user_checkauth"); }
LK_WEAK int get_token() { return missing("get_token"); }





// Finish and start-up hooks: until their subsystems exist there is no
// profile, lock or connection for them to deal with, so they succeed
// silently.
LK_WEAK int user_write() { return 1; }
LK_WEAK int pop_close() { return 1; }
LK_WEAK int user_release() { return 1; }
LK_WEAK int auto_purge() { return 1; }
LK_WEAK int tcp_startup() { return 1; }
LK_WEAK int r_logout(int) { return missing("r_logout"); }
LK_WEAK int f_ch_pass(int) { return missing("f_ch_pass"); }
LK_WEAK int r_moveto(int) { return missing("r_moveto"); }
LK_WEAK int r_delsel(int) { return missing("r_delsel"); }
LK_WEAK int r_delitem(int) { return missing("r_delitem"); }
LK_WEAK int f_jconf(int) { return missing("f_jconf"); }
LK_WEAK int r_child(int) { return missing("r_child"); }
LK_WEAK int r_child_ar(int) { return missing("r_child_ar"); }
LK_WEAK int f_manager(int) { return missing("f_manager"); }
LK_WEAK int r_login(int) { return missing("r_login"); }
LK_WEAK int f_login(int) { return missing("f_login"); }
LK_WEAK int r_childx(int, int) { return missing("r_childx"); }
LK_WEAK void tpl_show(const std::string& name) {
    g_tpl_missing = true;
    // The error and frame pages have a plain fallback; any other page is a
    // missing function.
    if (name != "error" && name != "frame") missing(("tpl_show(" + name + ")").c_str());
}
LK_WEAK bool template_shown() { return tpl_state().template_shown; }
LK_WEAK int tpl_show_tpl(const std::string&) { return missing("tpl_show_tpl"); }
LK_WEAK int user_getinfo(int, int) { return missing("user_getinfo"); }
LK_WEAK void ract_init(const char* const*, int) {}
LK_WEAK void rhdr_init(const char* const*, int) {}
LK_WEAK int do_spell(int, char**) { return missing("do_spell"); }
