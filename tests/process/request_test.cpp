// The whole request through the real executable: start-up, settings
// search, dump and replay, dispatch, finishes, maintenance pages, the log.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "process/cgi_harness.h"

namespace {

using lk_test::CgiHarness;
using lk_test::CgiResult;
using lk_test::has;

const char* const kMissing = "not available in this installation: ";
// A request that always takes the error finish: a redirect to a script.
const char* const kBadUrl = "cmd=url&url=javascript%3Aalert(1)";

// A handler is reached when its placeholder names it, or, once the real
// handler is built, when no placeholder answered at all.
void expect_reached(const CgiResult& r, const std::string& handler, const std::string& what) {
    EXPECT_EQ(r.signal, 0) << what;
    EXPECT_FALSE(r.timed_out) << what;
    std::size_t p = r.out.find(kMissing);
    if (p != std::string::npos) {
        EXPECT_TRUE(has(r.out, kMissing + handler)) << what << "\n" << r.out;
        EXPECT_EQ(r.status, 1) << what;   // a missing handler is never a success
    } else {
        EXPECT_FALSE(r.body().empty()) << what;
    }
}

TEST(Request, CommandLineQueryAndIni) {
    CgiHarness h("templates @TPL@\nworkarea @WORK@\nnotest false\nvar1 main-ini\n");
    // "-query" with a value: the query, and no response header.
    auto r = h.run_args({"-query", "cmd=showini"}, {{"QUERY_STRING", ""}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("<html><head><title>Larkspur Config Settings", 0), 0u) << r.out;
    // "-query" and "-ini" without a value are ignored.
    for (const char* opt : {"-query", "-ini"}) {
        r = h.run_args({opt}, {{"QUERY_STRING", "cmd=showini"}});
        EXPECT_EQ(r.status, 0) << opt;
        lk_test::expect_all(r.out, {"Content-type: text/html", "main-ini"}, opt);
    }
    // "-ini" names the directory the ini file is looked for in.
    h.write_file("alt/larkspur.ini", h.expand("templates @TPL@\nworkarea @WORK@\nnotest false\nvar1 alt-ini\n"));
    r = h.run_args({"-ini", h.path("alt/anything")}, {{"QUERY_STRING", "cmd=showini"}});
    EXPECT_TRUE(has(r.out, "alt-ini")) << r.out;
}

TEST(Request, IniSearchAndMissingIni) {
    CgiHarness h("templates @TPL@\nworkarea @WORK@\nnotest false\n");
    // Beside the program first, then the current directory.
    h.argv0 = h.path("bin/larkspur");
    auto r = h.get("cmd=test");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "<td>Config_file</td><td>larkspur.ini</td>")) << r.out;
    h.remove_ini();
    r = h.get("cmd=test");
    EXPECT_EQ(r.status, 0);
    lk_test::expect_all(r.out, {"Content-type: text/html", "E21: Unable to find ini file in {larkspur.ini}"});
    lk_test::expect_none(r.out, {h.dir, "/etc/larkspur.ini"});
    EXPECT_TRUE(r.log_has("E23: Also looked in {" + h.path("bin/larkspur.ini") + "} and {/etc/larkspur.ini}")) << r.log;
    EXPECT_FALSE(has(r.out, "Test Results"));
    EXPECT_TRUE(r.log_has("E21: Unable to find ini file"));
    // The root name comes from SCRIPT_NAME.
    h.write_file("mail.ini", h.expand("templates @TPL@\nnotest false\nvar1 from-mail-ini\n"));
    r = h.get("cmd=showini", {{"SCRIPT_NAME", "/cgi-bin/mail.cgi"}});
    EXPECT_TRUE(has(r.out, "from-mail-ini"));
}

TEST(Request, DumpAndReplay) {
    CgiHarness h("templates @TPL@\nworkarea @WORK@\ndump true\n");
    auto r = h.post("cmd=manager&x=1", "", {{"REQUEST_METHOD", "POST"}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Content-type: text/html; charset=UTF-8\n\nData dumped\n");
    std::string env = h.read_file("dump.env");
    lk_test::expect_all(env, {"REQUEST_METHOD=POST\n", "CONTENT_LENGTH=15\n"});
    EXPECT_EQ(h.read_file("dump.in"), "cmd=manager&x=1");
    // The replay runs the dumped request (its body included) and does not
    // dump again.
    h.write_file("dump.in", "cmd=manager&y=2");
    r = h.run_args({"-test"}, {{"REQUEST_METHOD", "GET"}, {"CONTENT_LENGTH", "0"}});
    EXPECT_FALSE(has(r.out, "Data dumped")) << r.out;
    expect_reached(r, "f_manager", "replayed manager");
    EXPECT_EQ(h.read_file("dump.in"), "cmd=manager&y=2");
    EXPECT_EQ(h.read_file("dump.env"), env);
    // No dump files: "-test" ends quietly.
    std::filesystem::remove(h.path("dump.env"));
    r = h.run_args({"-test"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
}

TEST(Request, QueryCommandsWithoutSession) {
    CgiHarness h;
    const std::pair<const char*, const char*> rows[] = {
        {"", "f_login"},           {"flogin", "f_login"},   {"logout", "r_logout"},
        {"lg", "r_logout"},        {"login", "r_login"},    {"auto_login", "r_login"},
        {"manager", "f_manager"},  {"domanage", "r_manager"},
    };
    for (const auto& [cmd, handler] : rows) {
        auto r = h.get(std::string("cmd=") + cmd);
        expect_reached(r, handler, cmd);
    }
}

TEST(Request, SessionCommandsPassTheSessionCheckFirst) {
    CgiHarness h;
    const char* const cmds[] = {"list", "fld_delete", "addfrom", "send_auto_login", "addfroma", "show",
                                "list_copy", "list_waste", "delitem", "delitemn", "item", "raw", "list_new",
                                "checknew", "stub", "send", "dosend", "pick_edit", "keylist", "menubar",
                                "item_pgp", "spell_fix", "reply", "forward_edit", "replyall", "config",
                                "rebuild_indexes", "saveconfig", "child_show", "child_save", "child_release",
                                "child_load", "child_accept", "child_reject", "delsel", "reject", "jconf",
                                "dfltjconf", "empty", "new", "help", "jhelp", "edit_abook", "fld_create",
                                "fld_manage", "forward", "unknown_command"};
    for (const char* cmd : cmds) {
        auto r = h.get(std::string("cmd=") + cmd + "&utoken=bogus");
        EXPECT_EQ(r.signal, 0) << cmd;
        // Without a valid session no command handler runs: the answer is
        // the session check's (its placeholder, or the real login page).
        std::size_t p = r.out.find(kMissing);
        if (p != std::string::npos) {
            EXPECT_TRUE(has(r.out, std::string(kMissing) + "user_checkauth")) << cmd;
        }
        EXPECT_FALSE(r.body().empty()) << cmd;
    }
}

TEST(Request, PostedCommandsWithoutSession) {
    CgiHarness h("templates @TPL@\nworkarea @WORK@\nnotest false\n");
    const std::pair<const char*, const char*> rows[] = {
        {"manager", "f_manager"}, {"domanager", "r_manager"}, {"login", "r_login"},
        {"nflogin", "r_login"},   {"auto_login", "r_login"},  {"loginframe", "r_login"},
    };
    for (const auto& [cmd, handler] : rows) expect_reached(h.post(std::string("cmd=") + cmd), handler, cmd);
    // Other posted commands and buttons go through the session check.
    for (const char* body : {"cmd=list", "new=Compose", "logout.x=3", "fld_rename7=x", "checknew=1"}) {
        auto r = h.post(body);
        if (r.out.find(kMissing) != std::string::npos) {
            EXPECT_TRUE(has(r.out, std::string(kMissing) + "user_checkauth")) << body;
        }
    }
    // A post whose URL names a command is a query request: the body is not read.
    auto r = h.post("cmd=manager", "cmd=test");
    EXPECT_TRUE(has(r.out, "Test Results"));
    EXPECT_FALSE(has(r.out, "f_manager"));
    // Multipart posts reach the dispatcher too.
    r = h.post_multipart({{"cmd", "domanager"}}, {{"attach", "../../x", "text/plain", "data"}});
    expect_reached(r, "r_manager", "multipart domanager");
    // The upload's temporary file is gone with the request.
    for (const auto& e : std::filesystem::directory_iterator(h.work))
        EXPECT_NE(e.path().filename().string().rfind("at", 0), 0u) << e.path();
}

TEST(Request, FinishesAndExitStatus) {
    CgiHarness h("templates @TPL@\nworkarea @WORK@\ndebug true\nnotest false\n");
    auto r = h.get("cmd=test");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.log_has("* [test]   Larkspur 2.8a host=localhost"));
    EXPECT_TRUE(r.log_has("Finished cmd=test"));
    // The error finish: exit 1, the error page, the log line.
    h.clear_log();
    r = h.get(kBadUrl);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.log_has("Finished with error cmd=url")) << r.log;
    EXPECT_TRUE(has(r.out, "not a web address"));
    EXPECT_EQ(r.out.find("Content-type"), r.out.rfind("Content-type"));   // one header only
    // error_do replaces the failed command once.
    r = h.get(std::string(kBadUrl) + "&error_do=test");
    EXPECT_TRUE(has(r.out, "Test Results")) << r.out;
    EXPECT_EQ(r.status, 0);
    r = h.get(std::string(kBadUrl) + "&error_do=url");
    EXPECT_EQ(r.status, 1);
    // The process chain runs one more command, once.
    r = h.get("cmd=test&process=showini");
    lk_test::expect_all(r.out, {"Test Results", "Config Settings"});
    r = h.get("cmd=test&process=test");
    std::size_t n = 0;
    for (std::size_t p = 0; (p = r.out.find("Test Results\n</title>", p)) != std::string::npos; ++p) ++n;
    EXPECT_EQ(n, 2u);
}

TEST(Request, QuietRequestWritesNoLog) {
    // Lines kept from before the settings were read reach the log only
    // together with a line logged later.
    CgiHarness h;
    auto r = h.get("cmd=test");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.log, "");
    r = h.get(kBadUrl);
    EXPECT_TRUE(r.log_has("Looking in (" + h.ini_path + ") for ini file"));
    EXPECT_LT(r.log.find("Looking in"), r.log.find("Finished with error cmd=url"));
}

TEST(Request, UrlCommand) {
    CgiHarness h;
    // Without the session's token the address is only shown as a link.
    auto r = h.get("cmd=url&url=http%3A%2F%2Fexample.org%2Fa%3Fb%3D1%26c%3D%22%3E%3Cscript%3E");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.header(), "Content-type: text/html"));
    EXPECT_TRUE(has(r.out, "href=\"http://example.org/a?b=1&amp;c=&quot;&gt;&lt;script&gt;\"")) << r.out;
    lk_test::expect_none(r.out, {"Refresh", "<script>"});
    for (const char* bad : {"javascript%3Aalert(1)", "data%3Atext%2Fhtml%2C%3Cb%3E", "%2F%2Fevil.example", ""}) {
        r = h.get(std::string("cmd=url&url=") + bad);
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_FALSE(has(r.out, "Refresh")) << bad;
        EXPECT_TRUE(has(r.out, "not a web address")) << bad;
    }
}

TEST(Request, LongQueryIsRefused) {
    CgiHarness h;
    auto r = h.get("cmd=test&x=" + std::string(2040, 'a'), {{"REMOTE_ADDR", "10.1.2.3"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "*** Hacking attempt from 10.1.2.3  reported to sysadmin ***"));
    EXPECT_FALSE(has(r.out, "Test Results"));
    EXPECT_TRUE(r.log_has("Hacking attempt from 10.1.2.3"));
    r = h.get("cmd=test&x=" + std::string(2037, 'a'));   // 2048 exactly
    EXPECT_EQ(r.status, 0);
}

TEST(Request, ShowiniMasksAndEncodes) {
    CgiHarness h("templates @TPL@\nworkarea @WORK@\nnotest false\nmanager_password s3cret\nvar1 <b>&\n");
    auto r = h.get("cmd=showini");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "<tr><td>manager_password</td><td>...</td><td>*****</td></tr>"));
    EXPECT_FALSE(has(r.out, "s3cret"));
    lk_test::expect_all(r.out, {"<td>var1</td><td>...</td><td>&lt;b&gt;&amp;</td>",
                                "<tr><td>fetch_min</td><td>...</td><td>200</td></tr>"});
    // lock_id defaults to the host name up to its first dot.
    char host[256] = {0};
    gethostname(host, sizeof host - 1);
    std::string short_host = std::string(host).substr(0, std::string(host).find('.'));
    EXPECT_TRUE(has(r.out, "<tr><td>lock_id</td><td>...</td><td>" + (short_host.empty() ? "wm" : short_host) + "</td>"));
    // Off unless the settings ask for them: they show the installation's layout.
    for (const char* ini : {"templates @TPL@\nworkarea @WORK@\nnotest true\n", "templates @TPL@\nworkarea @WORK@\n"}) {
        h.set_ini(ini);
        for (const char* cmd : {"showini", "test"}) {
            r = h.get(std::string("cmd=") + cmd);
            EXPECT_TRUE(has(r.out, "This page is not enabled in this installation.")) << cmd << ini;
            lk_test::expect_none(r.out, {"Settings", "Results", h.work, h.templates}, std::string(cmd) + " " + ini);
        }
    }
    EXPECT_FALSE(h.exists("work/test.tmp"));
}

TEST(Request, TestPageTriesTheServers) {
    // A loopback socket, listening or (closed at once) a port nobody listens on.
    auto bound = [](bool listening, int& port) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        if (listening) listen(fd, 4);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        if (!listening) close(fd);
        return fd;
    };
    int port = 0, closed = 0;
    int ls = bound(true, port);
    bound(false, closed);
    CgiHarness h("templates @TPL@\nworkarea @WORK@\npophost 127.0.0.1\nport " + std::to_string(port) +
                 "\nsmtphost 127.0.0.1\nsmtp_port " + std::to_string(closed) + "\nnotest false\n");
    h.write_file("templates/login.tpl", "x");
    auto r = h.get("cmd=test");
    close(ls);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "<tr><td>POP Open</td><td>127.0.0.1:" + std::to_string(port) + "</td><td>Succeeded</td></tr>"))
        << r.out;
    lk_test::expect_all(r.out, {"<tr><td>SMTP Open</td><td>127.0.0.1:" + std::to_string(closed) + "</td><td>Failed:111</td></tr>",
                                "<td>Read template file</td><td>" + h.templates + "/login.tpl</td><td>Succeeded</td>",
                                "<td>Write to work area</td><td>" + h.work + "/test.tmp</td><td>Succeeded</td>"});
    EXPECT_FALSE(h.exists("work/test.tmp"));
    // The page's check that the log can be appended to may be what creates
    // the log: it is made private like every other log write.
    struct stat st {};
    ASSERT_EQ(stat(h.log_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Request, VirtualHostsAndLogFile) {
    CgiHarness h("templates @TPL@\nworkarea @WORK@\n"
                 "vhost a.org\nvar2 only-a\nvend\n"
                 "vhost b.org\nvar1 only-b\nvend\n"
                 "log_file @DIR@/logs\nnotest false\n");
    std::filesystem::create_directories(h.path("logs"));
    h.log_path = h.path("logs/larkspur.log");
    auto r = h.get("cmd=showini&vhost=B.org", {{"SERVER_NAME", "a.org"}});
    EXPECT_TRUE(has(r.out, "<td>var1</td><td>...</td><td>only-b</td>"));
    // The first reading's host section does not leak into the second.
    EXPECT_FALSE(has(r.out, "only-a"));
    EXPECT_TRUE(has(r.out, "Config Settings for b.org"));
    r = h.get(kBadUrl, {{"SERVER_NAME", "a.org"}});
    EXPECT_TRUE(r.log_has("Finished with error cmd=url"));
    EXPECT_FALSE(h.exists("larkspur.log"));
}

TEST(Request, WmlErrorPage) {
    CgiHarness h("templates @TPL@\nworkarea @WORK@\nwml true\n");
    auto r = h.get(kBadUrl);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.header(), "text/vnd.wap.wml")) << r.out;
    EXPECT_TRUE(has(r.body(), "<wml>"));
    EXPECT_FALSE(has(r.body(), "<html>"));
}

TEST(Request, ErrorPageFromTheShippedTemplate) {
    CgiHarness h("templates @TPL@\nworkarea @WORK@\n", true);
    if (!h.exists("templates/error.tpl")) GTEST_SKIP() << "no shipped error template";
    auto r = h.get(kBadUrl);
    EXPECT_EQ(r.status, 1);
    // The template renders the error once, after one header.
    EXPECT_EQ(r.out.find("Content-type"), r.out.rfind("Content-type"));
    EXPECT_TRUE(has(r.body(), "not a web address")) << r.out;
    EXPECT_FALSE(has(r.body(), "<h2>Error</h2>\n<p>The link"));   // not the plain fallback
}

}  // namespace
