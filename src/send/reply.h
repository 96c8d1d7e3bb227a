// Answering a stored message: reply, reply to all and forwarding through
// the compose page, each pre-filled from the message named by the form's
// "fld" and "item", which gets its "replied," or "forwarded," mark.
#pragma once
#include <string>
#include <string_view>

int f_reply();
int f_replyall();
int f_forward_edit();

// The reply-to-all list as bare addresses joined with ",", without the
// user's own (me, compared ignoring case) and without repeats; at most 511
// bytes, whole addresses only.
std::string replyall_tidy(std::string_view list, std::string_view me);
// The same reduction keeping the user's address; text without "@" as it is.
std::string addr_list_tidy(std::string_view text);
// Adds a flag word to a message's index record and writes the index; 1
// when the record exists.
int flags_add(int fld, std::string_view item, std::string_view word);
// A stored header value made fit for one line of a form: control bytes
// (CR, LF, TAB, NUL ...) become blanks, and it is cut to max bytes without
// splitting a UTF-8 sequence.
std::string one_line(std::string_view v, std::size_t max);
// Threading headers of a reply to a message with the given Message-ID and
// References: In-Reply-To is the id, References the old list (oldest ids
// dropped to stay within 900 bytes) followed by the id.  Both empty when
// the id is not one "<...>" token.
void reply_threading(std::string_view msgid, std::string_view refs, std::string& in_reply_to,
                     std::string& references);
