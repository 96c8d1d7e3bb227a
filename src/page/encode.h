// Output text encoders: every value that comes from mail, users or files
// passes through one of these before it reaches a page.  Each returns a new
// string; inputs and outputs keep the fixed bounds pages have always had
// (input read up to 4000 characters, output cut after 4990 bytes).
#pragma once
#include <string>
#include <string_view>

#include "support/escape.h"   // html_escape, pct_encode, hexval, tencode, tdecode
// Where the user's profile keeps its view options (u_eight_bit, v_font,
// v_asis); the user subsystem points these at its profile.  Null: off.
struct EncodeProfile {
    const int* eight_bit = nullptr;
    const int* v_font = nullptr;
    const int* v_asis = nullptr;
};
void encode_set_profile(const EncodeProfile& p);

// View options that change how text is encoded.  Each is on when the
// profile has it on or when set here for the request (the message page
// sets eight_bit for the message shown).
struct EncodeState {
    bool eight_bit = false;   // copy bytes of 128 and above as they are
    bool v_font = false;      // proportional font: breaks are "<br>"
    bool v_asis = false;      // show message text as it is
    std::string send_link;    // compose-link prefix for mail addresses
    EncodeProfile profile;    // kept by encode_reset
};
EncodeState& encode_state();
void encode_reset();
// Proportional font: on in the profile or for this request.
bool encode_v_font();

// The display line width: the read_wrap setting, 85 when 0 or unset.
int get_read_wrap();

std::string value_encode(std::string_view text);
std::string value_encode(const char* text);          // null gives ""
std::string text_encode(const char* text);           // null gives ""
std::string text_encode(std::string_view text);
std::string text_encode2(std::string_view text, std::size_t length);
std::string text_encode3(std::string_view text);
std::string text_encode4(std::string_view text);
std::string quote_encode(std::string_view text);
std::string quote_encode(const char* text);
std::string url_encode(std::string_view text);
std::string url_encode(const char* text);
std::string wrap_encode(std::string_view text);
std::string ref_encode(std::string_view text);
// The two link makers behind ref_encode; they change the text in place.
void ref_encode_http(std::string& text);
void ref_encode_mail(std::string& text);

// Value of two hexadecimal digits (-1 for anything else).
int hexbyte(const char* two);
// Appends text, returns the number of characters appended (0 for null).
std::size_t pcat(std::string* out, const char* text);

