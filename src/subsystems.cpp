#include "subsystems.h"

#include "admin/table.h"
#include "cgi/table.h"
#include "net/table.h"
#include "org/table.h"
#include "page/table.h"
#include "send/table.h"
#include "store/table.h"
#include "support/table.h"
#include "user/table.h"
#include "view/table.h"

std::span<const Subsystem> subsystems() {
    // Lowest first: a reset of a higher subsystem may still log through the
    // lower ones.
    static const Subsystem list[] = {
        support_subsystem(), cgi_subsystem(), page_subsystem(), user_subsystem(),
        store_subsystem(),   net_subsystem(),   view_subsystem(), send_subsystem(),
        org_subsystem(),    admin_subsystem(),
    };
    return list;
}

void subsystems_install() { commands_install(subsystems()); }

void subsystems_reset() {
    for (const Subsystem& s : subsystems())
        if (s.reset) s.reset();
    subsystems_install();
}

void subsystems_start() {
    for (const Subsystem& s : subsystems())
        if (s.start) s.start();
}
