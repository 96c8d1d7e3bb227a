// Recipient lists and addresses of the compose form: splitting a list into
// tokens outside quotes and comments, keeping the tokens that are
// addresses, local completion with the mail domain, the site's allowed
// recipients, the bare address of a header value, and the user's own From
// address.  Every value that can reach a header or an SMTP command is first
// checked for line breaks (line_clean).
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Tokens of a list split at any delimiter byte that lies outside double
// quotes and parentheses; empty tokens are left out.  The callers use ", <>".
std::vector<std::string> next_addr(std::string_view text, std::string_view delims = ", <>");
// The text without its double-quoted stretches (quotes included), cut to
// size - 1 bytes.
std::string strnqcpy(std::string_view src, std::size_t size);
// The token when it holds "@" (at most 511 bytes, else refused), "" for
// display names and comments.
std::string fix_addr(std::string_view token);
// Local completion: every item (split at "," or ">" outside quotes and
// parentheses) without "@" gets "@" and the mail domain.  false when the
// result would not fit in size - 1 bytes: a cut address could reach a
// wrong domain, so the caller refuses the send.
bool fix_local(std::string& list, std::size_t size, const std::string& domain);
// The address-book lookup local completion tries first for an entry name
// (the address books register it); null: none.
using AbookLookup = std::optional<std::string> (*)(std::string_view name);
void fix_local_set_lookup(AbookLookup fn);
// Where a sent message's To and Cc addresses are offered for collection
// (the address books register it); null: nowhere.
using AddrCollect = void (*)(std::string_view address);
void send_set_collector(AddrCollect fn);
AddrCollect send_collector();
// Replaces a body by its encryption for the chosen recipient key, signed
// with the named key when one is given (the key pages register it); null:
// mail cannot be encrypted.  false with err set on failure.
using BodyEncrypt = bool (*)(std::string& body, const std::string& to, const std::string& sign, std::string& err);
void send_set_encrypter(BodyEncrypt fn);
BodyEncrypt send_encrypter();
// The site's recipient rule (setting valid_to): true when allowed.
bool took(std::string_view address);
// "<addr>" unless the address already holds "<".
std::string brkt(std::string_view address);
// The bare address of a header value; "" when the text holds no "@".
std::string addr_only(std::string_view text);
// The bare addresses of a recipient list, in order.
std::vector<std::string> addr_list(std::string_view list);
// The user's From address (the compose form's "reply", the profile's
// default, or the login name at the mail domain).
std::string get_reply();

// True when the value can go into a header or a command: no CR, LF or NUL.
bool line_clean(std::string_view value);
// A mailbox that may follow "MAIL FROM:" or "RCPT TO:": printable ASCII
// without blanks, quotes that balance, one "@" outside quotes.
bool addr_sane(std::string_view address);
