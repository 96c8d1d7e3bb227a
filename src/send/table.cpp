#include "send/table.h"

#include "send/send.h"

namespace {

const Handler kHandlers[] = {
    {"f_send", f_send},
    {"r_send", r_send},
};

}  // namespace

const Subsystem& send_subsystem() {
    static const Subsystem s{"send", kHandlers};
    return s;
}
