// The template renderer: a page is a template file from the template
// directory copied line by line to the response, with its directives
// (conditions, includes, list blocks, program output) acted on and its
// variable references replaced.  tpl_show is how every handler ends.
#pragma once
#include <string>
#include <string_view>

void tpl_show(const std::string& name);
// Renders a file of the template directory in place; 0 when it is missing.
int tpl_show_file(const std::string& name);
// Writes a template's source text, escaped, for viewing; 1 when shown.
int tpl_show_tpl(const std::string& name);
// Publishes the common page variables and resets the renderer.
void tpl_init();
// Page-variable publishers of other subsystems: each runs at the end of
// every tpl_init.  Register once, e.g. from a static initialiser.
void tpl_init_add(void (*fn)());

// Rewrites the `separator` marker of a line as "%%" (not where it stands
// alone between blanks).
std::string fix_bars(std::string_view line);
// Runs the program a template names and copies its output to the page.
void tpl_do(std::string_view command);
std::string item_pre(int flag);
std::string item_post(int flag);
inline std::string nl(const char* s) { return s ? std::string(s) : std::string(); }
// "; charset=\"...\"" for the message being shown, when `set_charset`.
std::string charset();
// The response's content type (for WML with a no-cache line after it).
std::string content_type();

// Cuts the next chunk off the rest of a line: a directive at the start is
// one chunk, else the text up to the earliest directive.  Returns the
// chunk's length; `directive` tells which it is.
std::size_t ifish(std::string_view rest, bool& directive);
// Acts on one chunk in the current mode; returns the text to write.
std::string tpl_replace(std::string_view chunk);

enum TplMode { kTplNormal = 0, kTplSuppressed = 1, kTplList = 2, kTplSkip = 3, kTplRules = 4, kTplFlist = 5 };

struct TplState {
    int tpl_mode = kTplNormal;
    int lvl = 0;
    std::string tpl_item;     // collected list or folder-list block
    std::string tpl_rules;    // collected rules block
    bool template_shown = false;
    bool process_done = false;
    bool head_seen = false;   // a "<head" was written: add_header goes next
    bool header_added = false;
    bool began_this_line = false;
    bool collected_this_line = false;
    int depth = 0;            // include nesting
    int do_seconds = 10;      // how long a "do" program may take in all
};
TplState& tpl_state();
void tpl_reset();
