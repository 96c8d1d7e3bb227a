// The settings page and its save command, and the rules every saved
// setting passes.
#pragma once
#include <string>
#include <string_view>

int f_config();
int r_config();
// A form value fit for a one-line profile value: CR, LF and NUL become a
// blank, ends trimmed, at most max characters.
std::string setting_text(std::string_view v, std::size_t max);
// Sets "<key>selected" for the current sort key ("arrivalselected" for none).
void sort_on_pick();
