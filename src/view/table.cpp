#include "view/table.h"

#include "page/hooks.h"
#include "store/index.h"
#include "view/date.h"
#include "view/item.h"
#include "view/links.h"
#include "view/list.h"
#include "view/mime.h"
#include "view/search_page.h"

namespace {

const Handler kHandlers[] = {
    {"f_list", f_list},
    {"f_list_new", f_list_new},
    {"f_list_waste", f_list_waste},
    {"f_list_copy", f_list_copy},
    {"f_list_held", f_list_held},
    {"f_stub", f_stub},
    {"f_switch", f_switch},
    {"f_item", f_item},
    {"f_raw", f_raw},
    {"f_search", f_search},
    {"r_setview", r_setview},
    {"do_gif", do_gif},
    // Logout's disk-use figure (diskuse_on_logout).
    {"recalc_diskuse", [] {
         recalc_diskuse();
         return 1;
     }},
};

// The list and message pages draw their rows and bodies through the
// renderer's hooks; the index sorts by date with our parser.
void install() {
    fld_set_date_parser(parsedate);
    tpl_hooks().show_list = view_show_list;
    tpl_hooks().show_flist = tpl_show_flist;
    tpl_hooks().show_item = tpl_show_item;
}

void reset() {
    list_reset();
    item_reset();
    mime_reset();
    links_reset();
    date_reset();
    search_reset();
}

}  // namespace

const Subsystem& view_subsystem() {
    static const Subsystem s{"view", kHandlers, reset, nullptr, install};
    return s;
}
