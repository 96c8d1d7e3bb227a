#include "send/table.h"

#include "send/forward.h"
#include "send/reply.h"
#include "send/send.h"

namespace {

const Handler kHandlers[] = {
    {"f_send", f_send},
    {"r_send", r_send},
    {"f_reply", f_reply},
    {"f_replyall", f_replyall},
    {"f_forward_edit", f_forward_edit},
    {"r_forward", r_forward},
    {"r_doforward", r_doforward},
};

}  // namespace

const Subsystem& send_subsystem() {
    static const Subsystem s{"send", kHandlers};
    return s;
}
