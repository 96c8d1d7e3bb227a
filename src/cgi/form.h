// Request fields: the query store (QUERY_STRING, or the -query text) and the
// form store (a posted body, URL-encoded or multipart/form-data), with the
// lookups every handler uses.  Uploaded files go to temporary files whose
// names the program chooses; the form field of an upload holds that path.
// Names compare exactly; when a name occurs twice the first entry wins.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "support/list.h"

// Decoding, once per request.  query_get returns 0 when the query must be
// refused (over 2048 characters), else 1.
int query_get();
void form_get();
void form_get_mime(const std::string& content_type);

// Decoders of the raw request text, usable alone.
// "+" to blank, "%xx" to its byte.  A "%" not followed by two hexadecimal
// digits stays as it is; a decoded NUL byte ends the text.
std::string url_unescape(std::string_view text);
void plustospace(std::string& text);
void unescape_url(std::string& text);
// Drops every CR; the character after it is kept (a CR last in the text is
// simply dropped).
void convert_crlf(std::string& text);

// Query lookups.
const std::string& query_find(std::string_view name);        // "" when absent
const std::string* nquery_find(std::string_view name);       // null when absent
void query_put(std::string_view name, std::string_view value);
int query_n();
bool query_get_pair(int i, std::string& name, std::string& value);

// Form lookups (form first, then the query, unless said otherwise).
const std::string& form_find(std::string_view name);
const std::string* nform_find(std::string_view name);
const std::string* form_findn(std::string_view prefix);      // name of the first form field with the prefix
const std::string& form_findi(std::string_view name, int n);  // form_find of name + n
const std::string* nform_findi(std::string_view name, int n);
const std::string& form_find_i(std::string_view name, int n); // form only
bool form_true(std::string_view name);                       // value contains "on" or "ON"
bool form_truei(std::string_view name, int n);
// The field's lines (split at CR and LF, empty lines left out) in reverse
// order: the last line first.  false when the field is absent.
bool form_get_list(std::string_view name, std::vector<std::string>& out);
// The lines of the last form field of that name (else the query field), in
// order; out is replaced.
void form_find_list(std::string_view name, std::vector<std::string>& out);
void form_put(std::string_view name, std::string_view value);
int form_n();
bool form_get_pair(int i, std::string& name, std::string& value);   // each cut to 511 characters

// The generic list variant of form_find_list: the list is cleared (its
// items freed) and filled with malloc'd copies of the lines.
inline void form_find_list(std::string_view name, LINK_LIST* list) {
    std::vector<std::string> lines;
    form_find_list(name, lines);
    list_clear_dealloc(list);
    for (const auto& l : lines) list_add(list, strdup(l.c_str()));
}

// Template variables from fields.
int clear_vars();
int form_user_prefix();
int query_user_prefix();

// Fields whose values never reach the log: passwords and session tokens.
bool field_is_secret(std::string_view name);
// A query or form text for the log, with the values of such fields masked.
std::string field_text_for_log(std::string_view text);

// Environment value, "" when unset.
std::string mygetenv(const char* name);
// A quoted word, or the text up to a blank, ";", "," or newline; at most 511
// characters.
std::string get_quote(std::string_view text);

// Upload slots 0-3 (a slot outside that range means slot 0).  attach_fname
// creates the slot's temporary file on first use.
const std::string& attach_fname(int slot);
const std::string& attach_type(int slot);
const std::string& attach_name(int slot);
// Removes the temporary files this request created that are still there.
void attach_cleanup();

void form_reset();
