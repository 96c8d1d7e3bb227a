// The shape of what a subsystem offers the program: its handlers by name,
// its page output (the page subsystem only), the reset of its state, its
// start-up and its wiring.  Plain data; the dispatcher (cgi/commands.h)
// builds its lookup from a list of these.
#pragma once
#include <span>
#include <string>

// One handler: the function with its fixed arguments, named as the route
// tables write it ("r_delitem(1)", "f_list").  Non-zero means success.
struct Handler {
    const char* name;
    int (*run)();
};

// The page output the error page and the dispatcher need from the page
// subsystem.
struct PageOutput {
    void (*set)(const std::string& name, const std::string& value);   // var_set
    // var_set_outside: a value from a request, escaped for any place a
    // template may print it.
    void (*set_outside)(const std::string& name, const std::string& value);
    void (*show)(const std::string& page);                            // tpl_show
    bool (*shown)();   // a template has been rendered completely
};

struct Subsystem {
    const char* name;
    std::span<const Handler> handlers;
    void (*reset)() = nullptr;   // forgets every piece of process state it owns
    void (*start)() = nullptr;   // runs once the configuration and language are read
    void (*install)() = nullptr; // wires the subsystem to the ones below it
    const PageOutput* page = nullptr;
};
