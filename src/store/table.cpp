#include "store/table.h"

#include "store/folders.h"
#include "store/index.h"
#include "store/msgfile.h"
#include "user/profile.h"

namespace {

const Handler kHandlers[] = {
    // The login's reset of the new-message marks of the current folder.
    {"fld_clear_unseen", [] { return fld_clear_unseen(prof.xfld); }},
    // Folder operations.
    {"r_movesel", r_movesel},
    {"r_copysel", r_copysel},
    {"r_moveto(0)", [] { return r_moveto(0); }},
    {"r_moveto(1)", [] { return r_moveto(1); }},
    {"r_delitem(0)", [] { return r_delitem(0); }},
    {"r_delitem(1)", [] { return r_delitem(1); }},
    {"r_delsel(0)", [] { return r_delsel(0); }},
    {"r_delsel(1)", [] { return r_delsel(1); }},
    {"cmd_item_del", cmd_item_del},
    {"r_empty", r_empty},
    {"f_empty", f_empty},
    {"r_fld_create", r_fld_create},
    {"r_fld_delete", r_fld_delete},
    {"r_fld_rename", r_fld_rename},
    {"r_rebuild_indexes", r_rebuild_indexes},
    // The session end's clean-ups.
    {"empty_trash(0)", [] { return empty_trash(0); }},
    {"empty_remote_newmail(0, 0)", [] { return empty_remote_newmail(0, 0); }},
};

void reset() {
    index_reset();
    msgfile_reset();
    get_line_reset();
}
}  // namespace

const Subsystem& store_subsystem() {
    static const Subsystem s{"store", kHandlers, reset};
    return s;
}
