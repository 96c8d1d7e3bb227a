// Every command handler and finish hook the dispatcher calls.  A handler
// that is not built yet has a weak placeholder in cgi/slots.cpp that
// reports the command as unavailable (an error, never a success); the
// subsystem that builds it defines the same function and replaces it.
// Handlers return non-zero for success, 0 for failure.
#pragma once
#include <string>

int f_send();
int r_forward();
int f_list();
int f_list_new();
int f_list_waste();
int f_list_copy();
int f_list_held();
int f_spell_fix();
int r_spell_set();
int r_spell_add();
int r_spell_alt();
int r_spell_done();
int r_spell_save();
int r_spell_edit();
int r_addfrom();
int r_addfroma();
int r_setview();
int r_movesel();
int r_copysel();
int r_empty();
int f_config();
int r_config();
int f_child_show();
int r_reject();
int r_ch_pass();
int r_jconf();
int r_rebuild_indexes();
int r_keyadd();
int f_keymake();
int r_keymake();
int r_keyread();
int r_keysave();
int f_keylist();
int r_keylist();
int f_edit_abook();
int f_del_abook();
int f_switch();
int r_spell_check();
int r_fld_create();
int r_fld_delete();
int r_fld_rename();
int f_pick();
int r_send_auto_login();
int r_send();
int f_empty();
int r_pick();
int r_doforward();
int f_stub();
int r_manager();
int f_item();
int f_raw();
int f_item_pgp();
int f_reply();
int f_forward_edit();
int f_replyall();
int cmd_keysig();
int cmd_keydel();
int cmd_item_del();
int do_gif();
int do_list();
int user_checkauth();
int get_token();
int user_write();
int pop_close();
int user_release();
int auto_purge();
int tcp_startup();
int r_logout(int arg);
int f_ch_pass(int arg);
int r_moveto(int arg);
int r_delsel(int arg);
int r_delitem(int arg);
int f_jconf(int arg);
int r_child(int arg);
int r_child_ar(int arg);
int f_manager(int arg);
int r_login(int arg);
int f_login(int arg);
int r_childx(int a, int b);

// Page output (page subsystem).  template_shown: a template has been
// rendered completely in this request.
void tpl_show(const std::string& name);
bool template_shown();
int tpl_show_tpl(const std::string& name);
// Profile load (user subsystem): 1 when loaded.
int user_getinfo(int allow_new, int nocheck);
// Rule action and header names (rules subsystem).
void ract_init(const char* const* names, int n);
void rhdr_init(const char* const* names, int n);
// The spelling-dictionary tool of the command line ("-spell").
int do_spell(int argc, char** argv);

// True once a placeholder has run in this request: the dispatcher then
// takes the error finish.
bool slot_missing_ran();
// True once the placeholder tpl_show has been asked for a page: the error
// page then falls back to its plain form.
bool slot_tpl_show_missing();
void slots_reset();
