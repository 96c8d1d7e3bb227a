// Feeds the template renderer and the encoders: the input is split at NUL
// bytes into a template, a separator setting and variable values.  The
// page goes to /dev/null; "do" directives are defused so the fuzzer never
// starts a program.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/request.h"
#include "page/encode.h"
#include "page/hooks.h"
#include "page/tpl.h"
#include "page/var.h"
#include "subsystems.h"

namespace {
void rows(const std::string& block) {
    for (int i = 0; i < 2; ++i) {
        std::string copy = block;
        gwrite(tpl_replace_vars(copy));
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string dir = [] {
        char tmpl[] = "/tmp/lkfuzz_tplXXXXXX";
        std::string d = mkdtemp(tmpl);
        std::ofstream(d + "/inc.inc") << "inc %%v0%%\n%%include%%inc.inc%%\n";
        if (!std::freopen("/dev/null", "w", stdout)) std::abort();
        return d;
    }();
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && parts.size() < 8) parts.emplace_back();
        else parts.back() += static_cast<char>(data[i]);
    }
    std::string& tpl = parts[0];
    for (size_t p; (p = tpl.find("do(")) != std::string::npos;) tpl[p + 1] = 'x';

    subsystems_reset();
    g.log_file = "/dev/null";
    g.contdone = 1;
    g.gwml = parts.size() > 2 && !parts[2].empty() && (parts[2][0] & 1);
    diag_end_pre_ini();
    ini_set(K_templates, dir);
    ini_set(K_read_wrap, "12");
    if (parts.size() > 1) ini_set(K_separator, parts[1].substr(0, 2));
    tpl_hooks().show_list = rows;
    tpl_hooks().show_flist = rows;
    tpl_hooks().show_rules = rows;
    for (size_t i = 2; i < parts.size(); ++i) {
        var_set("v" + std::to_string(i - 2), parts[i]);
        (void)text_encode(parts[i]);
        (void)value_encode(parts[i]);
        (void)text_encode4(parts[i]);
        encode_state().v_font = !encode_state().v_font;
    }
    std::ofstream(dir + "/f.tpl", std::ios::binary | std::ios::trunc) << tpl;
    tpl_show("f");
    std::string line = tpl;
    tpl_replace_vars(line);
    return 0;
}
