#include "admin/table.h"

#include "admin/manager.h"

namespace {

const Handler kHandlers[] = {
    {"f_manager(0)", [] { return f_manager(0); }},
    {"r_manager", r_manager},
    // Runs after a login has released its lock.
    {"auto_purge", auto_purge},
};

}  // namespace

const Subsystem& admin_subsystem() {
    static const Subsystem s{"admin", kHandlers, manager_reset};
    return s;
}
