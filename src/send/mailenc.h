// Encoding what a person typed (UTF-8) for the wire: header values as
// RFC 2047 encoded words in folded lines, attachment names as RFC 2231
// parameters, line wrapping of the body, and the choice of a transfer
// encoding for a text part.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

// The send wrap width: the setting send_wrap, 75 when absent, 0 or negative.
int get_send_wrap();

// An unstructured header value (Subject): runs of words holding 8-bit or
// control bytes become UTF-8 encoded words of at most 75 characters, never
// splitting a character.  Words are separated by single blanks in the result.
std::string encode_rfc1522(std::string_view text);
// A display name: as it is when it is a plain atom run, quoted when it
// needs quoting, encoded words when it holds 8-bit bytes.
std::string encode_phrase(std::string_view name);
// An address list header value (To, Cc, From): each item's display name
// passes encode_phrase, its address stays as it is.
std::string encode_addr_list(std::string_view list);
// "Name: value" folded at blanks so that lines stay within 78 characters
// where the words allow; continuation lines begin with one blank.  Ends
// with CR LF.
std::string fold_header(std::string_view name, std::string_view value);

// The parameter of an attachment name: name="ascii" for plain names, else
// the RFC 2231 form (name*=UTF-8''..., continued as name*0*, name*1* ...)
// followed by the encoded-word form under the plain parameter name, which
// older readers understand.  Each piece begins with "; " and may hold
// folding ("\r\n\t").
std::string rfc2231_param(std::string_view param, std::string_view value);

// Wraps in place at blanks after more than width characters on a line
// (UTF-8 characters counted once); stops at the first escape byte.
void do_wrap(std::string& text, int width);

// 1 when every byte is ASCII without controls other than CR, LF, TAB and ESC.
bool body_plain(std::string_view text);
// The transfer encoding of a text part: "7bit" for plain text with short
// lines, "8bit" when quoted-printable is off by setting, else
// "quoted-printable" or, for mostly 8-bit text, "base64".
std::string text_cte(std::string_view text, bool no_qp);
// The text (CR LF line ends) in that transfer encoding, lines ended by CR LF.
std::string text_encode_cte(std::string_view text, const std::string& cte);
// Lines of the text cut at CR LF, lone CR or lone LF, joined with CR LF
// and ended with one (an empty text gives one empty line).
std::string to_crlf_lines(std::string_view text, std::string_view suffix = {});
