// The one place the filter rules hand a message to the forwarding engine.
#pragma once
#include <string>

// Resends the message in the message buffer to `to`, with `from` as
// envelope, From and Resent-From address; 1 when it was sent.
int rule_forward_send(const std::string& to, const std::string& from);
