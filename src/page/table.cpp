#include "page/table.h"

#include "cgi/form.h"
#include "page/encode.h"
#include "page/hooks.h"
#include "page/tpl.h"
#include "page/var.h"

namespace {

const Handler kHandlers[] = {
    {"tpl_show_tpl", [] { return tpl_show_tpl(form_find("page")); }},
};

const PageOutput kOutput{
    [](const std::string& name, const std::string& value) { var_set(name, value); },
    [](const std::string& name, const std::string& value) { var_set_outside(name, value); },
    tpl_show,
    [] { return tpl_state().template_shown; },
};

void reset() {
    var_reset();
    encode_reset();
    tpl_reset();
    tpl_hooks_reset();
}

}  // namespace

const Subsystem& page_subsystem() {
    static const Subsystem s{"page", kHandlers, reset, nullptr, nullptr, &kOutput};
    return s;
}
