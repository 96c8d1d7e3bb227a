// Small reversible encodings of the profile: the password hiding used for
// stored server passwords and session tokens, its hex form, the escaping
// of multi-line texts, and the short password hash.
#pragma once
#include <string>
#include <string_view>

// The fixed seed for stored server passwords (tokens use the day number).
constexpr long kHideSeed = 7349;

// Hides text under key and seed: 2 * (length + 1) lower-case hex digits,
// the last two "00".  Characters 0-126 survive x_unhide; key and text are
// meant to be at most 99 characters.
std::string x_hide(std::string_view key, std::string_view text, long seed);
std::string x_unhide(std::string_view key, std::string_view hex, long seed);

std::string bintostr(std::string_view bytes);   // lower-case hex, two digits a byte
std::string strtobin(std::string_view hex);     // pairs of hex digits back to bytes

// Multi-line text on one profile line: CR dropped, LF as "\n", "\" doubled.
std::string cr_encode(std::string_view text);
std::string cr_decode(std::string_view text);

// Short hash of a password as lower-case hex (at most 5 digits).
std::string pass_encrypt(std::string_view text);
