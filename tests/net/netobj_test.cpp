
#include "fake/fake_server.h"
#include "net/netobj.h"
#include "test_env.h"

namespace {
std::vector<std::string> g_trace;
void keep(const char* text) { g_trace.push_back(text); }
std::string traces() {
    std::string s;
    for (const auto& t : g_trace) s += t + "\n";
    return s;
}
}  // namespace

TEST(NetObject, ReplyJudgement) {
    struct Case { const char* line; bool ok; } cases[] = {
        {"200 hello", true},  {"499 odd", true},  {"+OK fine", true}, {"500 Old password is incorrect.", false},
        {"550 no", false},    {"250 ok", true},   {"-ERR x", true},   // no number: counts as 0
        {"", true},
    };
    for (const Case& c : cases) EXPECT_EQ(net_reply_ok(c.line), c.ok) << c.line;
}

// poppassd's replies count only with a numeric 2xx or 3xx code: a server
// that is not poppassd never makes a password change look done.
TEST(NetObject, PoppassdRepliesMustBeNumeric) {
    struct Case { const char* line; bool ok; } cases[] = {
        {"200 Password changed, thank-you.", true}, {"200", true}, {"300-more", true},
        {"500 Old password is incorrect.", false}, {"499 odd", false}, {"+OK fine", false},
        {"-ERR x", false}, {"", false}, {"2000 long", false}, {"20 short", false}, {"OK", false},
    };
    for (const Case& c : cases) EXPECT_EQ(net_reply_ok_slot(NET_POPPASS, c.line), c.ok) << c.line;
    EXPECT_TRUE(net_reply_ok_slot(NET_POP, "+OK fine"));
}

TEST(NetObject, ErrorTexts) {
    NETWORK net;
    net_init(&net, nullptr, nullptr);
    struct Case { int code; const char* err; const char* want; } cases[] = {
        {30, "500 Old password is incorrect.", "Incorrect Username/Password (500 Old password is incorrect.)"},
        {30, nullptr, "Incorrect Username/Password (unknown)"},
        {99, "550 kept", "550 kept"},   // an unlisted code gives the server's text
        {0, nullptr, "Unexpected Error"},
    };
    for (const Case& c : cases) {
        net.last_error = c.code;
        std::free(net.error_string);
        net.error_string = c.err ? strdup(c.err) : nullptr;
        EXPECT_EQ(net_texterror(&net), c.want) << c.code;
    }
    EXPECT_EQ(net_texterror(nullptr), "NET has not been defined");
    net_clear(&net);
}

TEST(NetObject, PoppassdDialogueMasksPasswords) {
    StoreEnv env;
    FakeServer pp("poppassd", "user alice old-Secret\n");
    ASSERT_TRUE(pp.ok()) << pp.error();
    g_trace.clear();
    NETWORK net;
    ASSERT_EQ(net_init(&net, keep, keep), 1);
    EXPECT_EQ(net_cmd(&net, NET_SMTP, "noop"), 1);   // closed slot: success, nothing sent
    ASSERT_EQ(net_set_user(&net, "alice", "old-Secret"), 1);
    ASSERT_EQ(net_set(&net, "127.0.0.1", pp.port(), NET_POPPASS), 1);
    ASSERT_EQ(net_open(&net), 0) << traces();
    EXPECT_EQ(net_cmd(&net, NET_POPPASS, "newpass %s", "new-Secret"), 1) << traces();
    net_send_quit(&net);
    net_clear(&net);
    std::vector<std::string> wire = pp.log_lines();
    ASSERT_GE(wire.size(), 4u);
    EXPECT_EQ(wire[0], "user alice");
    EXPECT_EQ(wire[1], "pass old-Secret");
    EXPECT_EQ(wire[2], "newpass new-Secret");
    EXPECT_EQ(wire[3], "QUIT");
    std::string t = traces();
    EXPECT_EQ(t.find("Secret"), std::string::npos) << t;
    EXPECT_NE(t.find("NET: Server <-- {pass ****}"), std::string::npos) << t;
    EXPECT_NE(t.find("NET: Server <-- {newpass ****}"), std::string::npos) << t;
    EXPECT_NE(t.find("NET: Server <-- {user alice}"), std::string::npos) << t;
}

TEST(NetObject, RefusedLoginAndNoListener) {
    StoreEnv env;
    FakeServer pp("poppassd", "user alice right\n");
    ASSERT_TRUE(pp.ok()) << pp.error();
    NETWORK net;
    net_init(&net, keep, keep);
    net_set_user(&net, "alice", "wrong");
    net_set(&net, "127.0.0.1", pp.port(), NET_POPPASS);
    EXPECT_EQ(net_open(&net), 30);
    EXPECT_EQ(net_texterror(&net).rfind("Incorrect Username/Password (5", 0), 0u) << net_texterror(&net);
    net_send_quit(&net);
    net_clear(&net);

    int port = pp.port();
    pp.stop();
    net_init(&net, keep, keep);
    net_set_user(&net, "alice", "right");
    net_set(&net, "127.0.0.1", port, NET_POPPASS);
    EXPECT_EQ(net_open(&net), 32);
    EXPECT_EQ(net_texterror(&net), "Failed to Connected to 'invalid ip address'");
    net_clear(&net);
}
