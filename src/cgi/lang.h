// Language strings: user-visible English texts are passed through lang_get
// at the point of use; with a language file loaded they come back
// translated.  Numbered messages ("E21: ...") are translated whole.
#pragma once
#include <string>

int lang_read(const std::string& path);  // 1 on success or same file already loaded
void lang_english();
const char* lang_get(const char* text);   // translation, or the text itself
const char* lang_find(const char* text);
inline const char* nlang_get(const char* text) { return text; }
std::string slashn(const std::string& text);  // "\n" and "\r" escapes
void lang_reset();
