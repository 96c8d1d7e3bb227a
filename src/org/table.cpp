#include "org/table.h"

#include "org/abook.h"

namespace {

const Handler kHandlers[] = {
    {"f_pick", f_pick},
    {"r_pick", r_pick},
    {"f_edit_abook", f_edit_abook},
    {"f_del_abook", f_del_abook},
    {"r_addfrom", r_addfrom},
    {"r_addfroma", r_addfroma},
};

}  // namespace

const Subsystem& org_subsystem() {
    static const Subsystem s{"org", kHandlers, abook_reset, nullptr, abook_install};
    return s;
}
