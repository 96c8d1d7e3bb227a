// Plain forwarding and resending: the stored message itself, its headers
// and body, sent again to new recipients with Resent headers over an SMTP
// dialogue of its own, optionally with a note in front.  Serves the forward
// command, the forwarding action of filter rules and the release of a
// supervised account's messages.
#pragma once
#include <string>
#include <string_view>
#include <vector>

int r_forward();
int r_doforward();

// Forwards the message in the message buffer (msgbuf(), loaded by
// get_item or msg_load).  to, cc, bcc: recipient lists (the placeholders
// "to", "cc", "bcc" count as empty); subject: the new subject, "" or
// "(From message)" for the stored one, "(Fwd: From message)" for "Fwd: "
// and the stored one; from: envelope sender and, when the user forwards as
// coming from themself, the From address; resent_from: the Resent-from
// value; child_flags: null, or the supervised-account flags (decimal text)
// for the X-Child-To and Nwflags headers.  The note is the form's
// "fwd_note" (empty outside a request).  Returns 1 when the server took the
// message, 0 with the reason recorded.
int forward_msg(const std::string& to, const std::string& subject, const std::string& from,
                const std::string& resent_from, const std::string& cc, const std::string& bcc,
                const char* child_flags);

// The message of the forward form with its recipients: 1 on success.
int forward_msg_form();

// The numbers of a forward list ("12,13," or blanks between); false when
// the list is over 511 bytes, holds more than 1000 numbers or anything but
// numbers, so that no cut number forwards or deletes the wrong message.
bool fwd_list_parse(std::string_view list, std::vector<int>& out);

// The whole message text that forward_msg sends (CR LF lines, without the
// final dot): built apart from the dialogue so it can be checked alone.
struct ForwardText {
    std::string stored;        // the stored message (LF or CR LF lines)
    std::string subject;       // as given to forward_msg
    std::string from;          // envelope sender / From address
    std::string resent_from;
    std::string to_list, cc_list;   // completed lists
    std::string note;
    bool myfrom = false;       // forward as coming from the user
    std::string real_name;     // the user's real name (myfrom only)
    const char* child_flags = nullptr;
    std::string child_user;    // the supervised user's login (odd flags)
    std::string date, message_id;
    bool no_qp = false;
};
std::string forward_build(const ForwardText& f);
