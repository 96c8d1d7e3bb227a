#include "user/form_access.h"

#include <string_view>

#if __has_include("cgi/form.h")
#include "cgi/form.h"
#endif

// The request decoder may be absent from a build (tools, fuzz targets):
// then there are no fields.
extern const std::string* nform_find(std::string_view name) __attribute__((weak));
extern const std::string& form_find(std::string_view name) __attribute__((weak));
extern bool form_get_pair(int i, std::string& name, std::string& value) __attribute__((weak));
extern bool query_get_pair(int i, std::string& name, std::string& value) __attribute__((weak));

bool user_form_has(const char* name) { return nform_find && nform_find(name) != nullptr; }

const std::string& user_form_find(const char* name) {
    static const std::string empty;
    return form_find ? form_find(name) : empty;
}

bool user_field_pair(int store, int i, std::string& name, std::string& value) {
    if (store == 0) return form_get_pair && form_get_pair(i, name, value);
    return query_get_pair && query_get_pair(i, name, value);
}
