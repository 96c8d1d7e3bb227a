// Routing of commands and buttons to their handlers, checked against the
// documented tables without running the handlers.
#include <gtest/gtest.h>

#include "cgi/cgi_fixture.h"

namespace {

using DispatchTest = CgiTest;

struct Row { const char* cmd; const char* handler; bool session; };

const Row kQueryRows[] = {
    {"", "f_login(0)", false},          {"show_tpl", "tpl_show_tpl", false},
    {"flogin", "f_login(1)", false},    {"logout", "r_logout(0)", false},
    {"lg", "r_logout(1)", false},       {"login", "r_login(0)", false},
    {"auto_login", "r_login(1)", false}, {"manager", "f_manager(0)", false},
    {"domanage", "r_manager", false},   {"showini", "f_showini", false},
    {"check", "check", false},          {"test", "f_test", false},
    {"list", "f_list", true},           {"fld_delete", "r_fld_delete", true},
    {"addfrom", "r_addfrom", true},     {"send_auto_login", "r_send_auto_login", true},
    {"addfroma", "r_addfroma", true},   {"show", "f_show", true},
    {"list_copy", "f_list_copy", true}, {"list_waste", "f_list_waste", true},
    {"delitem", "r_delitem(0)", true},  {"delitemn", "r_delitem(1)", true},
    {"item", "f_item", true},           {"raw", "f_raw", true},
    {"list_new", "f_list_new", true},   {"checknew", "f_list_new", true},
    {"stub", "f_stub", true},           {"send", "f_send", true},
    {"dosend", "r_send", true},         {"pick_edit", "f_pick", true},
    {"keylist", "f_keylist", true},     {"menubar", "tpl_show(menubar)", true},
    {"item_pgp", "f_item_pgp", true},   {"spell_fix", "f_spell_fix", true},
    {"reply", "f_reply", true},         {"forward_edit", "f_forward_edit", true},
    {"replyall", "f_replyall", true},   {"config", "f_config", true},
    {"rebuild_indexes", "r_rebuild_indexes", true}, {"saveconfig", "r_config", true},
    {"child_show", "f_child_show", true}, {"child_save", "r_child(1)", true},
    {"child_release", "r_childx(1, 1)", true}, {"child_load", "r_child(0)", true},
    {"child_accept", "r_child_ar(1)", true}, {"child_reject", "r_child_ar(0)", true},
    {"delsel", "r_delsel(0)", true},    {"reject", "r_reject", true},
    {"jconf", "f_jconf(0)", true},      {"dfltjconf", "f_jconf(1)", true},
    {"empty", "r_empty", true},         {"new", "f_send", true},
    {"help", "tpl_show(help)", true},   {"jhelp", "tpl_show(jhelp)", true},
    {"edit_abook", "f_edit_abook", true}, {"fld_create", "r_fld_create", true},
    {"fld_manage", "f_fld_manage", true}, {"forward", "r_forward", true},
};

TEST_F(DispatchTest, QueryCommandsRouteToTheirHandlers) {
    for (const Row& r : kQueryRows) {
        bool session = !r.session;
        const Route* route = query_route(r.cmd, &session);
        ASSERT_NE(route, nullptr) << r.cmd;
        EXPECT_STREQ(route->handler, r.handler) << r.cmd;
        EXPECT_EQ(session, r.session) << r.cmd;
    }
    // Exact, case-sensitive matches only; the rest is the login page.
    for (const char* unknown : {"LIST", "list ", "nosuch", "url"}) EXPECT_EQ(query_route(unknown, nullptr), nullptr);
    bool s = false;
    EXPECT_EQ(query_route("logout", &s)->kind, kRouteLogout);
    EXPECT_EQ(query_route("login", &s)->kind, kRouteLogin);
}

const Row kPostRows[] = {
    {"send_auto_login", "r_send_auto_login", true}, {"pick_edit", "f_pick", true},
    {"addfrom", "r_addfrom", true},   {"addfroma", "r_addfroma", true},
    {"edit_abook", "f_edit_abook", true}, {"list", "f_list", true},
    {"list_held", "f_list_held", true}, {"send", "r_send", true},   // a posted send submits
    {"dosend", "r_send", true},       {"help", "tpl_show(help)", true},
    {"jhelp", "tpl_show(jhelp)", true}, {"empty_trash", "f_empty", true},
    {"empty", "r_empty", true},       {"pick_set", "r_pick", true},
    {"child_load", "r_child(0)", true}, {"doforward", "r_doforward", true},
    {"checknew", "f_list_new", true}, {"new", "f_send", true},
    {"delsel", "r_delsel(0)", true},  {"logout", "r_logout(0)", true},
};

TEST_F(DispatchTest, PostedCommandsRouteToTheirHandlers) {
    for (const Row& r : kPostRows) {
        const Route* route = post_command_route(r.cmd);
        ASSERT_NE(route, nullptr) << r.cmd;
        EXPECT_STREQ(route->handler, r.handler) << r.cmd;
    }
    EXPECT_EQ(post_command_route("item"), nullptr);
    EXPECT_EQ(post_command_route("logout")->kind, kRouteZeroIsError);
}

struct ButtonRow { std::vector<std::pair<const char*, const char*>> fields; const char* handler; };

TEST_F(DispatchTest, PostedButtonsInTableOrder) {
    const ButtonRow rows[] = {
        {{{"new", "x"}}, "f_send"},
        {{{"new.x", "4"}}, "f_send"},
        {{{"forward", "x"}}, "r_forward"},
        {{{"logout.x", "12"}}, "r_logout(0)"},   // an image button still counts
        {{{"show", "1"}, {"page", "help"}}, "tpl_show(page)"},
        {{{"list_held", "1"}}, "f_list_held"},
        {{{"list.x", "1"}}, "f_list"},
        {{{"set_pass2", "1"}}, "f_ch_pass(2)"},
        {{{"pass3.x", "1"}}, "f_ch_pass(3)"},
        {{{"spell_edit", "1"}}, "r_spell_edit"},
        {{{"jhelp", "1"}}, "tpl_show(jhelp)"},
        {{{"moveton", "1"}}, "r_moveto(1)"},
        {{{"rejsel", "1"}}, "r_delsel(1)"},
        {{{"delitemn", "1"}}, "r_delitem(1)"},
        {{{"saveconfig", "1"}}, "r_config"},
        {{{"child_release", "1"}}, "r_childx(1, 1)"},
        {{{"child_accept", "1"}}, "r_child_ar(1)"},
        {{{"do_ch_pass", "1"}}, "r_ch_pass"},
        {{{"dfltjconf", "1"}}, "f_jconf(1)"},
        {{{"r_keysave", "1"}}, "r_keysave"},
        {{{"fswitch", "1"}}, "f_switch"},
        {{{"fld_manage", "1"}}, "f_fld_manage"},
        {{{"fld_rename12", "New name"}}, "r_fld_rename"},
        {{{"pick_edit.x", "1"}}, "f_pick"},
        // The first match in table order wins.
        {{{"list", "1"}, {"new", "1"}}, "f_send"},
        {{{"fld_delete", "1"}, {"empty", "1"}}, "r_empty"},
        {{{"pick_edit", "1"}, {"fld_rename1", "x"}}, "r_fld_rename"},
    };
    for (const auto& r : rows) {
        form_reset();
        std::string what;
        for (const auto& [n, v] : r.fields) {
            form_put(n, v);
            what += std::string(n) + " ";
        }
        const Route* route = post_button_route();
        ASSERT_NE(route, nullptr) << what;
        EXPECT_STREQ(route->handler, r.handler) << what;
    }
    form_reset();
    form_put("cmd", "list");
    form_put("new", "");   // an empty field is not a press
    EXPECT_EQ(post_button_route(), nullptr);
}

TEST_F(DispatchTest, IspressedUsesTheQueryToo) {
    setenv("QUERY_STRING", "go.x=3", 1);
    query_get();
    EXPECT_TRUE(ispressed("go"));
    EXPECT_FALSE(ispressed("stop"));
}

TEST_F(DispatchTest, UrlSchemes) {
    struct Case { const char* url; bool ok; } cases[] = {
        {"http://example.org/a?b=c&d=e", true},
        {"HTTPS://example.org/", true},
        {"ftp://ftp.example.org/pub", true},
        {"javascript:alert(1)", false},
        {"JaVaScRiPt:alert(1)", false},
        {"data:text/html,<script>", false},
        {"//evil.example/", false},
        {"http://", false},
        {"http://a\r\nSet-Cookie: x=1", false},
        {"", false},
        {" http://x", false},
    };
    for (const auto& c : cases) EXPECT_EQ(url_is_web_address(c.url), c.ok) << c.url;
}

}  // namespace
