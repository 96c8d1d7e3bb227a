#include "cgi/commands.h"

#include <map>

#include "cgi/diag.h"
#include "cgi/lang.h"

namespace {

struct Entry {
    const Handler* handler;
    const char* owner;
};

struct CommandState {
    std::map<std::string, Entry, std::less<>> handlers;
    const PageOutput* page = nullptr;
    bool missing_ran = false;
};
CommandState& st() {
    static CommandState s;
    return s;
}

// The function's own name, without the fixed arguments the tables add.
std::string bare_name(std::string_view name) { return std::string(name.substr(0, name.find('('))); }

}  // namespace

void commands_install(std::span<const Subsystem> subs) {
    CommandState& s = st();
    s.handlers.clear();
    s.page = nullptr;
    for (const Subsystem& sub : subs) {
        if (sub.install) sub.install();
        if (sub.page && !s.page) s.page = sub.page;
        for (const Handler& h : sub.handlers) {
            auto [it, fresh] = s.handlers.emplace(h.name, Entry{&h, sub.name});
            if (!fresh) emsg("Handler %s offered by %s and %s", h.name, it->second.owner, sub.name);
        }
    }
}

const Handler* handler_find(std::string_view name) {
    auto it = st().handlers.find(name);
    return it == st().handlers.end() ? nullptr : it->second.handler;
}

const char* handler_owner(std::string_view name) {
    auto it = st().handlers.find(name);
    return it == st().handlers.end() ? "" : it->second.owner;
}

int handler_run(std::string_view name) {
    if (const Handler* h = handler_find(name)) return h->run();
    st().missing_ran = true;
    std::string fn = bare_name(name);
    lmsg("Not available in this installation: %s", fn.c_str());
    f_error(lang_get("This function is not available in this installation: %s\n"), fn.c_str());
    return 0;
}

int hook_run(std::string_view name, int dflt) {
    const Handler* h = handler_find(name);
    return h ? h->run() : dflt;
}

void page_set(const std::string& name, const std::string& value) {
    if (st().page) st().page->set(name, value);
}

void page_set_outside(const std::string& name, const std::string& value) {
    if (st().page) st().page->set_outside(name, value);
}

bool page_show(const std::string& page) {
    if (!st().page) return false;
    st().page->show(page);
    return true;
}

bool page_shown() { return st().page && st().page->shown(); }

bool command_missing_ran() { return st().missing_ran; }

// The lookup itself is installed, not state of a request: only the
// request's own flag is forgotten.
void commands_reset() { st().missing_ran = false; }
