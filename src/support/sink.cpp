#include "support/sink.h"

#include <cstdarg>

#include "support/str.h"

namespace {
SupportSink& sink() {
    static SupportSink s;
    return s;
}
}  // namespace

void support_set_sink(const SupportSink& s) { sink() = s; }

void sup_log(SupportLogLevel level, const char* fmt, ...) {
    if (!sink().log) return;
    va_list ap;
    va_start(ap, fmt);
    std::string text = vsfmt(fmt, ap);
    va_end(ap);
    sink().log(level, text.c_str());
}

const char* sup_tr(const char* text) { return sink().translate ? sink().translate(text) : text; }

std::string sup_setting(std::string_view name) { return sink().setting ? sink().setting(name) : std::string(); }

bool sup_true(std::string_view name) {
    std::string v = sup_setting(name);
    return v == "1" || lc_equal(v, "true");
}

std::string sup_work_path(std::string_view name) {
    return sink().work_path ? sink().work_path(name) : std::string(name);
}

bool sup_wml() { return sink().wml && sink().wml(); }
