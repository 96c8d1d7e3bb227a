// Forwarding for the filter rules.  The resend engine is not part of this
// installation yet: the rule reports that and the message stays where it
// is, so a following Delete rule never removes mail that was not sent on.
#include "org/rule_fwd.h"

#include "cgi/diag.h"
#include "cgi/lang.h"
#include "org/rules.h"

int rule_forward_send(const std::string&, const std::string&) {
    emsg("Forwarding is not available in this installation\n");
    rule_err(std::string(lang_get("Forwarding is not available in this installation")) + "\n");
    return 0;
}
