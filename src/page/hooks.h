// The page pieces the renderer hands to other subsystems: the user's
// variables, the message-list,
// folder-list and rules blocks collected between their begin and end
// markers, the message body, and the address-book text.  The subsystem
// that draws a piece points its hook here when it is installed; until then
// the stand-in logs the call and writes nothing.  Tests may point them
// elsewhere too.
#pragma once
#include <string>

struct TplHooks {
    void (*show_list)(const std::string& block);     // rows of the message list
    void (*show_flist)(const std::string& block);    // rows of the folder list
    void (*show_rules)(const std::string& block);    // rule-editing rows
    void (*show_item)(int quote, const char* eol);   // the message body
    std::string (*abook)(const std::string& abook_edit);
    // Sets the logged-in user's page variables; false when no user is known.
    bool (*user_vars)();
};
TplHooks& tpl_hooks();
// Back to the stand-ins.
void tpl_hooks_reset();
