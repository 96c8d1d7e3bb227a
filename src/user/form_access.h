// The request fields the user layer looks at (lock mode fields, user-prefix
// variables), read through the request decoder.
#pragma once
#include <string>

bool user_form_has(const char* name);             // a form or query field of that name exists
const std::string& user_form_find(const char* name);
// Name/value pairs of the form (0) or the query (1) store; false past the end.
bool user_field_pair(int store, int i, std::string& name, std::string& value);
