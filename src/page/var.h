// Template variables: the one channel from command handlers to the page.
// At most 500 named values per request; names compare exactly.
#pragma once
#include <string>
#include <string_view>
#include <vector>

void var_set(std::string_view name, std::string_view value);
const std::string& var_find(std::string_view name);   // "" when unset
int var_count();
void var_reset();
