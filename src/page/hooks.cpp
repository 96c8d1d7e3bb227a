#include "page/hooks.h"

#include "cgi/diag.h"

#define LK_WEAK __attribute__((weak))

LK_WEAK void tpl_show_list(const std::string& block) {
    imsg("tpl_show_list: no message list in this installation (%d bytes)", static_cast<int>(block.size()));
}
LK_WEAK void tpl_show_flist(const std::string& block) {
    imsg("tpl_show_flist: no folder list in this installation (%d bytes)", static_cast<int>(block.size()));
}
LK_WEAK void tpl_show_rules(const std::string& block) {
    imsg("tpl_show_rules: no rules page in this installation (%d bytes)", static_cast<int>(block.size()));
}
LK_WEAK void tpl_show_item(int quote, const char*) {
    imsg("tpl_show_item: no message display in this installation (quote=%d)", quote);
}
LK_WEAK std::string addr_book(const std::string&) {
    imsg("addr_book: no address book in this installation");
    return {};
}

TplHooks& tpl_hooks() {
    static TplHooks h;
    return h;
}

void tpl_hooks_reset() { tpl_hooks() = TplHooks{}; }
