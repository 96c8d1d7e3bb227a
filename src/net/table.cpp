#include "net/table.h"

#include <cstdlib>

#include "cgi/diag.h"
#include "net/pop.h"
#include "net/pop_hooks.h"
#include "net/sock.h"
#include "store/folders.h"
#include "support/str.h"

namespace {

// Deletes one message on the POP server when it is still there.  1 when it
// is gone from the server (or never was there), 0 when it could not be
// deleted: the caller then keeps its local record.
int dele_on_server(int pos) {
    Record* r = fld_getrec(pos);
    if (!r || !starts_with((*r)[H_REMOTE], "1")) return 1;
    int slot = popid((*r)[H_POPHOST], (*r)[H_POPUSER]);
    if (slot < 0) {
        imsg("No server setting for message %d: kept there\n", std::atoi((*r)[H_ID].c_str()));
        return 1;
    }
    if (!pop_open(slot)) return 0;
    if (get_uidl() > 0 || popst().uidl_ok) {
        r = fld_getrec(pos);
        if (find_uidl((*r)[H_UIDL]) < 0) {
            imsg("Message %d no longer on the server\n", std::atoi((*r)[H_ID].c_str()));
            return 1;
        }
    }
    imsg("POP Delete %d\n", std::atoi((*fld_getrec(pos))[H_ID].c_str()));
    return r_delpop(pos);
}



const Handler kHandlers[] = {
    {"pop_close", pop_close},
    // The login's check of the name and password against the POP server.
    {"pop_open(0)", [] { return pop_open(0); }},
    // 1 when the last pop_open was refused by the server itself (not just
    // unreachable).
    {"pop_refused", [] { return popst().refused ? 1 : 0; }},
    // A message read from its file leaves no server reply pending.
    {"readln_clear", [] {
         readln_clear();
         return 1;
     }},
};

// The folder operations delete on the server and fetch bodies through us.
void install() { folder_server() = FolderServer{dele_on_server, pop_read_rbody, pop_close}; }

void reset() {
    sock_reset();
    pop_reset();
    pop_hooks_reset();
}

}  // namespace

const Subsystem& net_subsystem() {
    static const Subsystem s{"net", kHandlers, reset, nullptr, install};
    return s;
}
