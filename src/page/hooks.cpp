#include "page/hooks.h"

#include "cgi/diag.h"

namespace {

void no_list(const std::string& block) {
    imsg("tpl_show_list: no message list in this installation (%d bytes)", static_cast<int>(block.size()));
}
void no_flist(const std::string& block) {
    imsg("tpl_show_flist: no folder list in this installation (%d bytes)", static_cast<int>(block.size()));
}
void no_rules(const std::string& block) {
    imsg("tpl_show_rules: no rules page in this installation (%d bytes)", static_cast<int>(block.size()));
}
void no_item(int quote, const char*) {
    imsg("tpl_show_item: no message display in this installation (quote=%d)", quote);
}
std::string no_abook(const std::string&) {
    imsg("addr_book: no address book in this installation");
    return {};
}

bool no_user() { return false; }

constexpr TplHooks kStandIns{no_list, no_flist, no_rules, no_item, no_abook, no_user};

}  // namespace

TplHooks& tpl_hooks() {
    static TplHooks h = kStandIns;
    return h;
}

void tpl_hooks_reset() { tpl_hooks() = kStandIns; }
