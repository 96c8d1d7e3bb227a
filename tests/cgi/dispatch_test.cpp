// Routing of commands and buttons to their handlers: the tables as a golden
// dump, the press rules of buttons, and the lookup of handlers by name.

#include "cgi/commands.h"
#include "test_env.h"

namespace {

using DispatchTest = CgiTest;

// The merged route tables, in dispatch order, with the subsystem that
// offers each handler ("-": not built, the not-available error).  A change
// of order, finish kind or owner shows as a diff of the golden file;
// LK_UPDATE_GOLDEN=1 rewrites it.
TEST_F(DispatchTest, TablesMatchTheGoldenDump) {
    const std::string ref = std::string(LK_SOURCE_DIR) + "/tests/data/dispatch/tables.ref";
    const std::string out = dispatch_tables_dump();
    if (std::getenv("LK_UPDATE_GOLDEN")) lk_test::spit(ref, out);
    EXPECT_EQ(out, lk_test::slurp(ref));
}

TEST_F(DispatchTest, RouteLookupIsExact) {
    bool session = true;
    ASSERT_NE(query_route("logout", &session), nullptr);
    EXPECT_FALSE(session);
    ASSERT_NE(query_route("list", &session), nullptr);
    EXPECT_TRUE(session);
    // Exact, case-sensitive matches only; the rest is the login page.
    for (const char* unknown : {"LIST", "list ", "nosuch", "url"}) EXPECT_EQ(query_route(unknown, nullptr), nullptr);
    EXPECT_EQ(post_command_route("item"), nullptr);
    EXPECT_STREQ(post_command_route("send")->handler, "r_send");   // a posted send submits
}

// A name no subsystem offers is the one "not available" error, logged and
// recorded so the request takes the error finish; an offered one runs.
TEST_F(DispatchTest, HandlersComeFromTheSubsystemTables) {
    diag_end_pre_ini();
    EXPECT_EQ(handler_run("no_such_handler(1)"), 0);
    EXPECT_TRUE(command_missing_ran());
    EXPECT_NE(f_error_text().find("This function is not available in this installation: no_such_handler\n"),
              std::string::npos);
    EXPECT_NE(log_text().find("Not available in this installation: no_such_handler"), std::string::npos);
    commands_reset();
    EXPECT_EQ(hook_run("no_such_hook", 7), 7);   // a hook nobody offers answers its default, silently
    EXPECT_FALSE(command_missing_ran());
    EXPECT_STREQ(handler_owner("f_list"), "view");
    EXPECT_STREQ(handler_owner("user_checkauth"), "user");
}

struct ButtonRow { std::vector<std::pair<const char*, const char*>> fields; const char* handler; };

// The table itself is in the golden dump; these rows prove how a press is
// found: field or image-button names, whole names only, the prefix row.
TEST_F(DispatchTest, PostedButtonsInTableOrder) {
    const ButtonRow rows[] = {
        {{{"new", "x"}}, "f_send"}, {{{"new.x", "4"}}, "f_send"},
        {{{"logout.x", "12"}}, "r_logout(0)"},   // an image button still counts
        {{{"list_held", "1"}}, "f_list_held"},    // never the shorter "list"
        {{{"set_pass2", "1"}}, "f_ch_pass(2)"},   // nor the longer names' tails
        {{{"jhelp", "1"}}, "tpl_show(jhelp)"}, {{{"moveton", "1"}}, "r_moveto(1)"},
        {{{"rejsel", "1"}}, "r_delsel(1)"}, {{{"saveconfig", "1"}}, "r_config"},
        {{{"fswitch", "1"}}, "f_switch"}, {{{"fld_rename12", "New name"}}, "r_fld_rename"},
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
        {"javascript:alert(1)", false}, {"JaVaScRiPt:alert(1)", false}, {"data:text/html,<script>", false},
        {"//evil.example/", false},
        {"http://", false},
        {"http://a\r\nSet-Cookie: x=1", false},
        {"", false},
        {" http://x", false},
    };
    for (const auto& c : cases) EXPECT_EQ(url_is_web_address(c.url), c.ok) << c.url;
}

}  // namespace
