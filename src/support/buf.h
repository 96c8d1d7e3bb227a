// The growable text buffer the spell checker builds its result page in: one
// process-wide block that grows as text is appended.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

void bf_init();                                  // empty, 100 bytes reserved
void bf_add(const char* text, std::size_t n);    // appends n bytes
void bf_add(std::string_view text);
// Appends the first n characters HTML-escaped ("<" ">" "&" and the double
// quote; the apostrophe too on WML pages).
void bf_add_encode(const char* text, std::size_t n);
void bf_remove_cr();
const std::string& bf_str();
std::size_t bf_len();
std::size_t bf_size();                           // bytes reserved
