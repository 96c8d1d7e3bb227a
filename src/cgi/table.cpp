#include "cgi/table.h"

#include "cgi/config.h"
#include "cgi/content.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/maint.h"
#include "cgi/request.h"
#include "support/sink.h"

namespace {

int show(const std::string& page) {
    page_show(page);
    return 1;
}

int f_show() {
    const std::string& page = form_find("page");
    if (!page.empty()) page_show(page);
    return 1;
}

int f_fld_manage() {
    if (!form_find("newframe").empty() && g.xisframes) page_show("frame");
    else page_show("folders");
    return 1;
}

int cmd_check() {
    int ok = handler_run("user_checkauth");
    gprintf(ok ? "+OK %s\n" : "-ERR %s\n", f_error_text().c_str());
    return ok;
}

// The key-ring buttons share one handler pair; the field "pgpbinary" tells
// it whether the key is wanted in binary.
int key_read_save(int binary) {
    form_put("pgpbinary", binary ? "1" : "0");
    return handler_run(binary ? "r_keysave" : "r_keyread");
}

const Handler kHandlers[] = {
    {"f_show", f_show},
    {"f_fld_manage", f_fld_manage},
    {"check", cmd_check},
    {"key_read_save(0)", [] { return key_read_save(0); }},
    {"key_read_save(1)", [] { return key_read_save(1); }},
    {"tpl_show(page)", [] { return show(form_find("page")); }},
    {"tpl_show(menubar)", [] { return show("menubar"); }},
    {"tpl_show(help)", [] { return show("help"); }},
    {"tpl_show(jhelp)", [] { return show("jhelp"); }},
    {"f_showini", [] { return f_showini(g.program_path); }},
    {"f_test", [] { return f_test(g.program_path); }},
};

// The support library logs, translates and reads its settings through us.
void install() {
    SupportSink sink;
    sink.log = [](SupportLogLevel level, const char* text) {
        if (level == kSupError) emsg("%s", text);
        else if (level == kSupFileError) filemsg("%s", text);
        else imsg("%s", text);
    };
    sink.translate = [](const char* text) { return lang_get(text); };
    sink.setting = [](std::string_view name) {
        int key = ini_find(name);
        return key < 0 ? std::string() : wm_ini_get(key);
    };
    sink.work_path = [](std::string_view name) { return file_work(name); };
    sink.wml = [] { return g.gwml != 0; };
    support_set_sink(sink);
}

void reset() {
    request_reset();
    ini_reset();
    diag_reset();
    form_reset();
    lang_reset();
    content_reset();
    commands_reset();
}

}  // namespace

const Subsystem& cgi_subsystem() {
    static const Subsystem s{"cgi", kHandlers, reset, nullptr, install};
    return s;
}
