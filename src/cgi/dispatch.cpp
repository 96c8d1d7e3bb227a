// The two dispatchers and the three finishes.  A posted form without a
// query command goes through the posted-form dispatcher (session-free
// commands, row buttons, named buttons, then the form's "cmd"); every other
// request through the query dispatcher on the query "cmd".  The route
// tables below name handlers; the subsystems offer them (cgi/commands.h).
#include "cgi/dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi/commands.h"
#include "cgi/config.h"
#include "cgi/content.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/maint.h"
#include "cgi/request.h"
#include "support/escape.h"
#include "support/str.h"

namespace {

#define R(name, handler) {name, handler, kRouteNormal}
#define RK(name, handler, kind) {name, handler, kind}

const Route kQueryOpen[] = {
    R("", "f_login(0)"),
    R("show_tpl", "tpl_show_tpl"),
    R("flogin", "f_login(1)"),
    RK("logout", "r_logout(0)", kRouteLogout),
    RK("lg", "r_logout(1)", kRouteLogout),
    RK("login", "r_login(0)", kRouteLogin),
    RK("auto_login", "r_login(1)", kRouteLogin),
    R("manager", "f_manager(0)"),
    R("domanage", "r_manager"),
    R("showini", "f_showini"),
    R("check", "check"),
    R("test", "f_test"),
};

const Route kQuerySession[] = {
    R("list", "f_list"),
    R("fld_delete", "r_fld_delete"),
    R("addfrom", "r_addfrom"),
    R("send_auto_login", "r_send_auto_login"),
    R("addfroma", "r_addfroma"),
    R("show", "f_show"),
    R("list_copy", "f_list_copy"),
    R("list_waste", "f_list_waste"),
    R("delitem", "r_delitem(0)"),
    R("delitemn", "r_delitem(1)"),
    R("item", "f_item"),
    R("raw", "f_raw"),
    R("list_new", "f_list_new"),
    R("checknew", "f_list_new"),
    R("stub", "f_stub"),
    R("send", "f_send"),
    R("dosend", "r_send"),
    R("pick_edit", "f_pick"),
    R("keylist", "f_keylist"),
    R("menubar", "tpl_show(menubar)"),
    R("item_pgp", "f_item_pgp"),
    R("spell_fix", "f_spell_fix"),
    R("reply", "f_reply"),
    R("forward_edit", "f_forward_edit"),
    R("replyall", "f_replyall"),
    R("config", "f_config"),
    R("rebuild_indexes", "r_rebuild_indexes"),
    R("saveconfig", "r_config"),
    R("child_show", "f_child_show"),
    R("child_save", "r_child(1)"),
    R("child_release", "r_childx(1, 1)"),
    R("child_load", "r_child(0)"),
    R("child_accept", "r_child_ar(1)"),
    R("child_reject", "r_child_ar(0)"),
    R("delsel", "r_delsel(0)"),
    R("reject", "r_reject"),
    R("jconf", "f_jconf(0)"),
    R("dfltjconf", "f_jconf(1)"),
    R("empty", "r_empty"),
    R("new", "f_send"),
    R("help", "tpl_show(help)"),
    R("jhelp", "tpl_show(jhelp)"),
    R("edit_abook", "f_edit_abook"),
    R("fld_create", "r_fld_create"),
    R("fld_manage", "f_fld_manage"),
    R("forward", "r_forward"),
    R("search", "f_search"),
};

// Buttons: the first four rows are tested as plain fields, the rest with
// ispressed.  Order matters: the first match wins.
struct Button {
    Route route;
    bool field_only;   // the field itself must be non-empty (no ".x" form)
    const char* log;   // debug line written before the handler, or nullptr
};

#define BF(name, handler) {R(name, handler), true, "fcmd=" name}
#define BP(name, handler) {R(name, handler), false, nullptr}

const Button kButtons[] = {
    BF("new", "f_send"),
    BF("new.x", "f_send"),
    BF("forward", "r_forward"),
    {RK("logout", "r_logout(0)", kRouteZeroIsError), false, "fcmd=logout"},
    BF("show", "tpl_show(page)"),
    BF("list", "f_list"),
    BF("list_new", "f_list_new"),
    BF("list_waste", "f_list_waste"),
    BF("list_copy", "f_list_copy"),
    BF("list_held", "f_list_held"),
    BF("list_new.x", "f_list_new"),
    BF("forward.x", "r_forward"),
    BF("list.x", "f_list"),
    BP("set_pass0", "f_ch_pass(0)"),
    BP("set_pass1", "f_ch_pass(1)"),
    BP("set_pass2", "f_ch_pass(2)"),
    BP("set_pass3", "f_ch_pass(3)"),
    BP("pass0", "f_ch_pass(0)"),
    BP("pass1", "f_ch_pass(1)"),
    BP("pass2", "f_ch_pass(2)"),
    BP("pass3", "f_ch_pass(3)"),
    BP("spell_fix", "f_spell_fix"),
    BP("spell_set", "r_spell_set"),
    BP("spell_add", "r_spell_add"),
    BP("spell_alt", "r_spell_alt"),
    BP("spell_done", "r_spell_done"),
    BP("spell_save", "r_spell_save"),
    BP("spell_edit", "r_spell_edit"),
    BP("addfrom", "r_addfrom"),
    BP("addfroma", "r_addfroma"),
    BP("help", "tpl_show(help)"),
    BP("jhelp", "tpl_show(jhelp)"),
    BP("setview", "r_setview"),
    BP("movesel", "r_movesel"),
    BP("moveto", "r_moveto(0)"),
    BP("moveton", "r_moveto(1)"),
    BP("copysel", "r_copysel"),
    BP("delsel", "r_delsel(0)"),
    BP("rejsel", "r_delsel(1)"),
    BP("delitem", "r_delitem(0)"),
    BP("delitemn", "r_delitem(1)"),
    BP("empty", "r_empty"),
    BP("config", "f_config"),
    BP("jconf", "f_jconf(0)"),
    BP("saveconfig", "r_config"),
    BP("child_show", "f_child_show"),
    BP("child_release", "r_childx(1, 1)"),
    BP("child_save", "r_child(1)"),
    BP("child_load", "r_child(0)"),
    BP("child_accept", "r_child_ar(1)"),
    BP("child_reject", "r_child_ar(0)"),
    BP("reject", "r_reject"),
    BP("do_ch_pass", "r_ch_pass"),
    BP("savejconf", "r_jconf"),
    BP("dfltjconf", "f_jconf(1)"),
    BP("rebuild_indexes", "r_rebuild_indexes"),
    BP("keyadd", "r_keyadd"),
    BP("f_keymake", "f_keymake"),
    BP("r_keymake", "r_keymake"),
    BP("r_keyread", "key_read_save(0)"),
    BP("r_keysave", "key_read_save(1)"),
    BP("f_keylist", "f_keylist"),
    BP("r_keylist", "r_keylist"),
    BP("edit_abook", "f_edit_abook"),
    BP("del_abook", "f_del_abook"),
    BP("switch", "f_switch"),
    BP("fswitch", "f_switch"),
    BP("spell_check", "r_spell_check"),
    BP("fld_manage", "f_fld_manage"),
    BP("fld_create", "r_fld_create"),
    BP("fld_delete", "r_fld_delete"),
};
// Any field whose name begins with "fld_rename" (the button carries the
// folder number in its name).
const Route kRenameButton = R("fld_rename", "r_fld_rename");
const Route kPickButton = R("pick_edit", "f_pick");

// Posted "cmd" values that need no session, tested before anything else.
const Route kPostOpen[] = {
    R("manager", "f_manager(0)"),
    R("domanager", "r_manager"),
    RK("nflogin", "r_login(0)", kRouteLogin),
    RK("login", "r_login(0)", kRouteLogin),
    RK("auto_login", "r_login(1)", kRouteLogin),
    RK("loginframe", "r_login(0)", kRouteLogin),
};

const Route kPostCommands[] = {
    R("send_auto_login", "r_send_auto_login"),
    R("pick_edit", "f_pick"),
    R("addfrom", "r_addfrom"),
    R("addfroma", "r_addfroma"),
    R("edit_abook", "f_edit_abook"),
    R("list", "f_list"),
    R("list_held", "f_list_held"),
    // A refused send shows the compose page again and fails the request.
    RK("send", "r_send", kRouteZeroIsError),
    RK("dosend", "r_send", kRouteZeroIsError),
    R("help", "tpl_show(help)"),
    R("jhelp", "tpl_show(jhelp)"),
    R("empty_trash", "f_empty"),
    R("empty", "r_empty"),
    R("pick_set", "r_pick"),
    R("child_load", "r_child(0)"),
    R("doforward", "r_doforward"),
    R("checknew", "f_list_new"),
    R("new", "f_send"),
    R("delsel", "r_delsel(0)"),
    R("search", "f_search"),
    RK("logout", "r_logout(0)", kRouteZeroIsError),
};

#undef R
#undef RK
#undef BF
#undef BP

Finish route_result(const Route& r, int result) {
    switch (r.kind) {
    case kRouteLogin: return kFinishLogin;
    case kRouteZeroIsError: return result ? kFinishNormal : kFinishError;
    case kRouteLogout:
        if (!result) return kFinishError;
        imsg("Finished cmd=%s\n\n", g.gcmd.c_str());
        hook_run("user_release_detached", 1);
        return kFinishExit0;
    case kRouteNormal: break;
    }
    return kFinishNormal;
}

Finish run_route(const Route& r) { return route_result(r, handler_run(r.handler)); }

bool is_web_scheme(std::string_view url, std::string_view scheme) {
    return url.size() > scheme.size() && lc_equal(url.substr(0, scheme.size()), scheme);
}

}  // namespace

const Route* query_route(std::string_view cmd, bool* session) {
    for (const Route& r : kQueryOpen)
        if (cmd == r.name) {
            if (session) *session = false;
            return &r;
        }
    for (const Route& r : kQuerySession)
        if (cmd == r.name) {
            if (session) *session = true;
            return &r;
        }
    return nullptr;
}

bool ispressed(std::string_view name) {
    std::string n(name);
    if (!form_find(n).empty()) {
        imsg("p=%s", n.c_str());
        return true;
    }
    std::string x = n + ".x";
    if (!form_find(x).empty()) {
        imsg("p=%s", x.c_str());
        return true;
    }
    return false;
}

const Route* post_button_route() {
    for (const Button& b : kButtons) {
        bool hit = b.field_only ? !form_find(b.route.name).empty() : ispressed(b.route.name);
        if (!hit) continue;
        if (b.log) imsg("%s", b.log);
        return &b.route;
    }
    if (form_findn("fld_rename")) {
        imsg("fcmd=fld_rename");
        return &kRenameButton;
    }
    if (ispressed("pick_edit")) return &kPickButton;
    return nullptr;
}

const Route* post_command_route(std::string_view cmd) {
    for (const Route& r : kPostCommands)
        if (cmd == r.name) return &r;
    return nullptr;
}

bool url_is_web_address(std::string_view url) {
    if (!(is_web_scheme(url, "http://") || is_web_scheme(url, "https://") || is_web_scheme(url, "ftp://")))
        return false;
    for (unsigned char c : url)
        if (c < 32 || c == 127) return false;
    return true;
}

// The links in mail lead here with the session's token: only then is the
// address followed at once.  Anyone else gets it as a plain link to click,
// so the program is never a redirector for a stranger's address.
Finish do_url() {
    const std::string& url = form_find("url");
    if (!url_is_web_address(url)) {
        imsg("url refused: %s", url.c_str());
        f_error("%s", lang_get("The link is not a web address (http, https or ftp) and was not followed.\n"));
        return kFinishError;
    }
    const bool own = !query_find("utoken").empty() && handler_run("user_checkauth");
    if (!own && !query_find("utoken").empty()) return kFinishNormal;   // the session check answered
    g.contdone = 1;
    std::string a = html_escape(url);
    gwrite(security_headers() + "Content-type: text/html\n\n");
    if (own)
        gprintf("<html><head><meta name=\"referrer\" content=\"no-referrer\">"
                "<META HTTP-EQUIV=\"Refresh\" CONTENT=\"0; URL=%s\"></head>"
                "<body><a href=\"%s\" rel=\"noreferrer\">%s</a></body></html>\n",
                a.c_str(), a.c_str(), a.c_str());
    else
        gprintf("<html><head><meta name=\"referrer\" content=\"no-referrer\"></head><body>"
                "<p>%s</p><a href=\"%s\" rel=\"noreferrer noopener\">%s</a></body></html>\n",
                html_escape(lang_get("This link leads away from your mail:")).c_str(), a.c_str(), a.c_str());
    return kFinishNormal;
}

Finish query_dispatch(bool reread_cmd) {
    if (reread_cmd) g.gcmd = ncpy(query_find("cmd"), 511);
    if (g.gcmd.empty()) {
        std::string pi = mygetenv("PATH_INFO");
        if ((contains(pi, ".gif") || contains(pi, ".jpg")) && handler_run("do_gif")) return kFinishExit0;
    }
    imsg("Query cmd = %s", g.gcmd.c_str());
    if (g.gcmd == "url") return do_url();
    // The login commands (and the login page, which may log in from the
    // remembered-login cookie) set cookies: they write the header themselves.
    static const char* const kOwnHeader[] = {"lg", "item", "logout", "show_tpl", "raw", "", "flogin", "login",
                                             "auto_login"};
    bool own = false;
    for (const char* c : kOwnHeader) own = own || g.gcmd == c;
    if (!own) do_content();
    bool session = true;   // unknown commands also need a session
    const Route* r = query_route(g.gcmd, &session);
    if (session && !handler_run("user_checkauth")) return kFinishNormal;
    if (!r) r = &kQueryOpen[0];
    return run_route(*r);
}

Finish post_dispatch() {
    bool key_button = ispressed("r_keyread") || ispressed("r_keysave");
    if (!key_button) {
        g.gcmd = ncpy(form_find("cmd"), 511);
        static const char* const kOwnHeader[] = {"nflogin", "login", "raw", "loginframe", "saveconfig"};
        bool own = ispressed("saveconfig");
        for (const char* c : kOwnHeader) own = own || g.gcmd == c;
        if (!own) do_content();
    }
    imsg("Method is post, cmd=(%s) \n", g.gcmd.c_str());
    for (const Route& r : kPostOpen)
        if (g.gcmd == r.name) {
            if (g.gcmd == "loginframe") g.isframe = g.xisframes = 1;
            return run_route(r);
        }
    if (!handler_run("user_checkauth")) return kFinishNormal;
    hook_run("post_profile_fields", 1);
    // The key and message-delete checks answer 1 when they handled the form;
    // an installation without them has nothing to handle.
    if (hook_run("cmd_keysig", 0) || hook_run("cmd_keydel", 0) || hook_run("cmd_item_del", 0)) return kFinishNormal;
    const std::string& xcmd = form_find("xcmd");
    if (!xcmd.empty()) {
        imsg("Method post, xcmd=(%s) \n", xcmd.c_str());
        if (xcmd == "fswitch") handler_run("f_switch");
        return kFinishNormal;
    }
    if (const Route* b = post_button_route()) return run_route(*b);
    if (const Route* c = post_command_route(g.gcmd)) return run_route(*c);
    if (!form_find("checknew").empty()) {
        imsg("fcmd=checknew");
        handler_run("f_list_new");
    } else if (!form_find("stub").empty()) {
        imsg("fcmd=stub");
        handler_run("f_stub");
    } else {
        f_error("%s", lang_get("W2: No action specified\n"));
    }
    return kFinishNormal;
}

int finish_request(Finish how) {
    for (;;) {
        // A command that reached a handler this installation lacks has
        // not done what was asked: that is an error, never a success.
        if (how != kFinishExit0 && command_missing_ran()) how = kFinishError;
        switch (how) {
        case kFinishExit0: return 0;
        case kFinishError:
            if (f_error_text().empty()) f_error("%s", lang_get("Error processing command"));
            if (f_error_do() == 1) {
                commands_reset();
                how = query_dispatch(true);
                continue;
            }
            lmsg("Finished with error cmd=%s", g.gcmd.c_str());
            hook_run("user_release_detached", 1);
            return 1;
        case kFinishNormal:
        case kFinishLogin: {
            if (!g.gcl && f_error_do() == 1) {
                how = query_dispatch(true);
                continue;
            }
            hook_run("user_write", 1);
            hook_run("pop_close", 1);
            imsg("Finished cmd=%s\n\n", g.gcmd.c_str());
            if (how == kFinishLogin) {
                std::fflush(nullptr);
                hook_run("user_release_detached", 1);
                hook_run("auto_purge", 1);
                return 0;
            }
            const std::string& pcmd = form_find("process");
            if (!g.done_pcmd && !pcmd.empty()) {
                g.gcmd = ncpy(pcmd, 511);
                g.done_pcmd = 1;
                how = query_dispatch(false);
                continue;
            }
            // The page is complete: hand it to the web server before the
            // lock release pauses.
            hook_run("user_release_detached", 1);
            return 0;
        }
        }
    }
}


namespace {

const char* kind_name(RouteKind k) {
    switch (k) {
    case kRouteNormal: return "normal";
    case kRouteLogin: return "login";
    case kRouteZeroIsError: return "zero-is-error";
    case kRouteLogout: return "logout";
    }
    return "?";
}

void dump_row(std::string& out, const char* table, const char* test, const Route& r) {
    const char* owner = handler_owner(r.handler);
    out += sfmt("%-14s %-6s %-18s %-22s %-14s %s\n", table, test, *r.name ? r.name : "\"\"", r.handler,
                kind_name(r.kind), *owner ? owner : "-");
}

}  // namespace

std::string dispatch_tables_dump() {
    std::string out;
    for (const Route& r : kQueryOpen) dump_row(out, "query", "open", r);
    for (const Route& r : kQuerySession) dump_row(out, "query", "auth", r);
    for (const Route& r : kPostOpen) dump_row(out, "post", "open", r);
    for (const Button& b : kButtons) dump_row(out, "button", b.field_only ? "field" : "press", b.route);
    dump_row(out, "button", "prefix", kRenameButton);
    dump_row(out, "button", "press", kPickButton);
    for (const Route& r : kPostCommands) dump_row(out, "post", "auth", r);
    return out;
}
