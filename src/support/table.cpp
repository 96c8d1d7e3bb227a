#include "support/table.h"

#include "support/buf.h"
#include "support/spawn.h"

namespace {
void reset() {
    spawn_reset();
    bf_init();
}
}  // namespace

const Subsystem& support_subsystem() {
    static const Subsystem s{"support", {}, reset};
    return s;
}
