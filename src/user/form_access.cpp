#include "user/form_access.h"

#include "cgi/form.h"

bool user_form_has(const char* name) { return nform_find(name) != nullptr; }

const std::string& user_form_find(const char* name) { return form_find(name); }

bool user_field_pair(int store, int i, std::string& name, std::string& value) {
    return store == 0 ? form_get_pair(i, name, value) : query_get_pair(i, name, value);
}
