// The page pieces the renderer hands to other subsystems: the message-list,
// folder-list and rules blocks collected between their begin and end
// markers, the message body, and the address-book text.  Each is a plain
// function the owning subsystem defines with exactly this signature; until
// it does, a weak stand-in logs the call and writes nothing.  The renderer
// calls them through tpl_hooks(), which tests may point elsewhere.
#pragma once
#include <string>

void tpl_show_list(const std::string& block);    // rows of the message list
void tpl_show_flist(const std::string& block);   // rows of the folder list
void tpl_show_rules(const std::string& block);   // rule-editing rows
void tpl_show_item(int quote, const char* eol);  // the message body
std::string addr_book(const std::string& abook_edit);

struct TplHooks {
    void (*show_list)(const std::string&) = tpl_show_list;
    void (*show_flist)(const std::string&) = tpl_show_flist;
    void (*show_rules)(const std::string&) = tpl_show_rules;
    void (*show_item)(int, const char*) = tpl_show_item;
    std::string (*abook)(const std::string&) = addr_book;
};
TplHooks& tpl_hooks();
void tpl_hooks_reset();
