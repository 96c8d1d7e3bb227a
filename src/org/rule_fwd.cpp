// Forwarding for the filter rules: the resend engine of the send code.  A
// forward that fails leaves the message where it is, so a following Delete
// rule never removes mail that was not sent on.
#include "org/rule_fwd.h"

#include "org/rules.h"
#include "send/forward.h"

int rule_forward_send(const std::string& to, const std::string& from) {
    // The loaded message goes out as it is, with Resent headers; the
    // stored subject is kept (an empty subject), no Cc or Bcc.
    return forward_msg(to, "", from, from, "", "", nullptr);
}
