// Mail transfer encodings: base64, quoted-printable, uuencoded lines and
// RFC 2047 encoded words, plus the charset conversion that turns what mail
// declares into the UTF-8 of our pages.  The decoders take arbitrary bytes
// and never fail hard: bad input gives an error answer or a best-effort
// result, never a crash or a loop.  The sending side uses the encoders.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

// Base64 of one text without line ends, strictly: groups of four from the
// alphabet, "=" only as padding in the last two places of a group.  Bytes
// are appended to out; the answer is the number appended, or -1 when the
// text is not valid (out then keeps what earlier groups gave).  A single
// character left over after the last group is ignored.
long decode_base64(std::string_view text, std::string& out);
// The same, giving the decoded text; an invalid text gives "".  At most
// 1999 bytes are kept (header values and short strings).
std::string decode_base64s(std::string_view text);

// Body decoding: RFC 2045 lets a decoder skip characters outside the
// alphabet (line ends, blanks, garbage), so a damaged line loses only its
// own bytes.  Feed any number of pieces, then finish().
class Base64Stream {
public:
    // Appends the bytes decoded from text to out.
    void feed(std::string_view text, std::string& out);
    // Flushes a final partial group (missing padding) into out.
    void finish(std::string& out);
    bool saw_garbage() const { return garbage_; }
private:
    unsigned acc_ = 0;
    int n_ = 0;
    bool garbage_ = false;
};

// Standard base64 with "=" padding and no line breaks.
std::string sencode_base64(std::string_view text);
// Whole-file encoding in lines of 60 characters, each ended by LF.  Both
// files are closed.  Answers 1, or 0 when either file is missing.
int base64_encode(FILE* in, FILE* out);

// One uuencoded line: the count from the first character, then groups of
// four.  Appends to out and answers the bytes appended (never more than
// the line holds).
int decode_uu(std::string_view line, std::string& out);

// Quoted-printable, one line (without its line end).  Lower-case hex is
// accepted; "=" that starts no valid escape is kept as it is; "=" at the
// end of the line (blanks after it allowed) is a soft line break, after
// which decode_quote_eol() is "" instead of "\n".
std::string decode_quote(std::string_view line);
const char* decode_quote_eol();
// Appends the decoding of line to out; answers false for a soft break.
bool decode_quote_to(std::string_view line, std::string& out);

// Quoted-printable encoding of a whole text: bytes >= 128, controls other
// than CR and LF, "=" and blanks before a line end become "=XX"; lines are
// kept within 76 characters by soft breaks using the text's own line end.
std::string qprint(std::string_view text);
// 1 when the text can go out without encoding.
int printable(std::string_view text);

// Encoded words in a header value, converted to UTF-8 (text outside the
// words is taken as UTF-8 when valid, else as Windows-1252).  Blanks
// between two adjacent encoded words are dropped, as RFC 2047 says.
// Answers the number of words decoded; out holds at most max - 1 bytes
// (never a cut UTF-8 sequence).
int decode_rfc1522(std::string_view in, std::string& out, std::size_t max);
std::string rfc1522s(std::string_view text);   // max 2000

// Charset conversion to UTF-8.  An empty, unknown or malformed charset
// name takes the text as UTF-8 when it is valid, else as Windows-1252
// (what mailers mean when they declare nothing or ISO-8859-1).  Bytes the
// charset cannot map become U+FFFD.  The result is always valid UTF-8.
std::string to_utf8(std::string_view bytes, std::string_view charset);
bool valid_utf8(std::string_view s);
// Cut s to at most n bytes without splitting a UTF-8 sequence.
std::string utf8_cut(std::string_view s, std::size_t n);

