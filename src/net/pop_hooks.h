// What the POP fetch asks of the supervised-account and filter-rule code,
// as a table of plain functions.  The defaults keep every message (no
// parent, no rules, the From lists matched on bare addresses); a subsystem
// that builds the real behaviour points the hook at its own function when
// it is installed.
#pragma once
#include <string>
#include <vector>

#include "store/index.h"

struct PopHooks {
    // 1 when the record comes from the user's parent.
    int (*isparent)(const Record& rec);
    // 1 when the record's sender is on the list.
    int (*sender_match)(const std::vector<std::string>& list, const Record& rec);
    // Deletes server message n on the open connection; 1 on success.
    int (*kill_it)(int sk, int n);
    // Hands a record to the parent (marks it "fwd_to_parent," and stores
    // it); answers the fld_addxov result.
    int (*send_to_parent)(Record& rec);
    // Forwards the message at this position of folder 0 to the parent; 1 done.
    int (*do_parent_fwd)(int pos);
    // Runs the filter rules on the record at this position of folder 0.
    int (*do_rules)(int pos);
    // Adds the record's From address to the user's From list ("autoadd").
    void (*autoadd)(const Record& rec);
};
PopHooks& pop_hooks();
// Back to the defaults.
void pop_hooks_reset();
