// Command dispatch: which handler answers a request, and how the request
// ends.  The routing lives in tables (query commands, posted buttons,
// posted commands) so it can be read and checked in one place; the
// dispatchers walk them in order and run the first match.
#pragma once
#include <string>
#include <string_view>

// How a dispatched command wants the request to end.
enum Finish {
    kFinishNormal,   // error page if needed, write profile, process chain, exit 0
    kFinishLogin,    // as normal, then the automatic purge
    kFinishError,    // error page, exit 1, profile not written
    kFinishExit0,    // the handler has already finished everything
};

// What to do with a handler's result.
enum RouteKind {
    kRouteNormal,        // normal finish whatever the result
    kRouteLogin,         // login finish
    kRouteZeroIsError,   // a 0 result takes the error finish
    kRouteLogout,        // success releases the lock and exits 0 at once
};

struct Route {
    const char* name;      // command, button or field name
    const char* handler;   // the handler's name in the subsystem tables, e.g. "r_delitem(1)"
    RouteKind kind;
};

// Query commands: exact match; session tells whether user_checkauth must
// succeed first.  Unknown commands give nullptr (the login page).
const Route* query_route(std::string_view cmd, bool* session);
// The first posted button (in table order) that the current form presses,
// or nullptr.
const Route* post_button_route();
// Posted "cmd" values: exact match, or nullptr.
const Route* post_command_route(std::string_view cmd);

// A button counts as pressed when its field, or its image-button field
// "<name>.x", is non-empty.
bool ispressed(std::string_view name);

Finish query_dispatch(bool reread_cmd);
Finish post_dispatch();
// Runs the finish (with its error_do and process re-dispatch) and returns
// the exit status.
int finish_request(Finish how);

// The "url" command: a redirect page for web addresses only.
Finish do_url();
bool url_is_web_address(std::string_view url);

// Every route table in dispatch order, one line per row, with the subsystem
// that offers each handler ("-" when none does): what the golden file of the
// tests pins.
std::string dispatch_tables_dump();
