// Template variables: the one channel from command handlers to the page.
// At most 500 named values per request; names compare exactly.  Pages
// refer to a variable as %%name%%, with the suffixes "esc%%" (URL-encoded),
// "left%%n%%" (first n characters) and "left+%%n%%" (cut with "...").
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

void var_set(std::string_view name, std::string_view value);
// The pointer form logs a null name and ignores a null value.
void var_set(const char* name, const char* value);
// For values that come from a request: escaped for page text and quoted
// attributes, and a script address dropped, so no template can print
// outside input as markup whatever name the value takes.
void var_set_outside(std::string_view name, std::string_view value);
const std::string& var_find(std::string_view name);   // "" when unset
int var_count();
void var_reset();
// Entry i of the store in the order the names were first set; false past
// the end.  The profile writer walks the store with it to save user
// variables that handlers set.
bool var_get_pair(int i, std::string& name, std::string& value);

// The items, each followed by "\n", as one value.  A null list is logged.
void var_set_list(std::string_view name, const std::vector<std::string>* list);
struct LINK_LIST;
void var_set_list(std::string_view name, LINK_LIST* list);   // items are C strings
// As var_set_list, cut to 999 characters and made safe for a form value.
void var_setl(std::string_view name, const std::vector<std::string>& items);

// The longest line the renderer produces after replacing references.
constexpr std::size_t kTplLineMax = 80000;

// Replaces every variable reference in the line and returns it.  Inserted
// values are never scanned again, so a value holding "%%" shows as it is.
std::string& tpl_replace_vars(std::string& line);
// Replaces line[pos, pos+len) by the value (kept within kTplLineMax).
void tpl_replace_var(std::string& line, std::size_t pos, std::size_t len, std::string_view value);
inline void tpl_replace_var_trim(std::string& line, std::size_t pos, std::size_t len, std::string_view value) {
    tpl_replace_var(line, pos, len, value);
}
