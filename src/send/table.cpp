#include "send/table.h"

#include "send/forward.h"
#include "send/reply.h"
#include "send/send.h"
#include "send/spell.h"

namespace {

const Handler kHandlers[] = {
    {"f_send", f_send},
    {"r_send", r_send},
    {"f_reply", f_reply},
    {"f_replyall", f_replyall},
    {"f_forward_edit", f_forward_edit},
    {"r_forward", r_forward},
    {"r_doforward", r_doforward},
    {"r_spell_check", r_spell_check},
    {"f_spell_fix", f_spell_fix},
    {"r_spell_set", r_spell_set},
    {"r_spell_alt", r_spell_alt},
    {"r_spell_add", r_spell_add},
    {"r_spell_edit", r_spell_edit},
    {"r_spell_save", r_spell_save},
    {"r_spell_done", r_spell_done},
    // The command line's dictionary check ("-spell").
    {"do_spell", do_spell},
};

}  // namespace

const Subsystem& send_subsystem() {
    static const Subsystem s{"send", kHandlers};
    return s;
}
