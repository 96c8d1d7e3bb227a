// The life of one CGI request: start-up, one dispatcher, one finish.
// Start-up does only what every request needs; anything a single command
// needs is left to its handler.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cgi/config.h"
#include "cgi/content.h"
#include "cgi/diag.h"
#include "cgi/dispatch.h"
#include "cgi/form.h"
#include "cgi/commands.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "net/sock.h"
#include "page/tpl.h"
#include "subsystems.h"
#include "support/escape.h"
#include "support/str.h"
#include "user/lock.h"
#include "user/profile.h"
#include "user/session.h"
#include "view/list.h"

extern char** environ;

namespace {

constexpr const char* kProduct = "Larkspur";
constexpr const char* kVersion = "2.8a";
constexpr const char* kBuild = "10b";

// Ends the process on a signal (the web server's SIGTERM when the client
// went away, a hang-up).  Only async-signal-safe calls: the request may be
// anywhere, in the allocator or half way through giving a lock up, so the
// handler removes the lock files still held and nothing else.
void sig_exit(int) {
    mylock_signal_release();
    _exit(0);
}

// Replay of a dumped request: its environment, and its body when it had one.
bool replay_dump() {
    FILE* f = std::fopen("dump.env", "r");
    if (!f) return false;
    std::string line;
    int c;
    auto put = [&] {
        if (!line.empty() && line.find('=') != std::string::npos) putenv(strdup(line.c_str()));
        line.clear();
    };
    while ((c = std::fgetc(f)) != EOF) {
        if (c == '\n') put();
        else if (line.size() < 90000) line.push_back(static_cast<char>(c));
    }
    put();
    std::fclose(f);
    const char* cl = std::getenv("CONTENT_LENGTH");
    if (cl && std::atol(cl) > 0)
        if (FILE* in = std::fopen("dump.in", "rb")) g.mystdin = in;
    g.nodump = 1;
    return true;
}

// Writes the request to dump.env and dump.in so "-test" can replay it.
void write_dump() {
    if (FILE* f = std::fopen("dump.env", "w")) {
        for (char** e = environ; e && *e; ++e) std::fprintf(f, "%s\n", *e);
        std::fclose(f);
    }
    const char* cl = std::getenv("CONTENT_LENGTH");
    long left = cl ? std::atol(cl) : 0;
    if (FILE* f = std::fopen("dump.in", "wb")) {
        static char buf[100000];
        while (left > 0) {
            std::size_t want = left < static_cast<long>(sizeof buf) ? static_cast<std::size_t>(left) : sizeof buf;
            std::size_t got = std::fread(buf, 1, want, g.mystdin);
            if (got == 0) break;
            std::fwrite(buf, 1, got, f);
            left -= static_cast<long>(got);
        }
        std::fclose(f);
    }
    std::printf("Content-type: %.200s\n\n", content_type_full().c_str());
    std::printf("Data dumped\n");
}

// The second reading of the configuration, with the final virtual host,
// and everything that depends on it.
int doinit(const std::string& path, std::string& vhost) {
    // Start clean, so settings of another host's section from the first
    // reading do not leak into this one.
    ini_reset();
    if (!ini_read(path, vhost)) return 0;
    if (!wm_ini_get(K_cgi_path).empty()) g.path_script = wm_ini_get(K_cgi_path);
    const std::string& lf = wm_ini_get(K_log_file);
    if (!lf.empty()) g.log_file = lf.find('.') != std::string::npos ? lf : lf + "/" + g.rootname + ".log";
    diag_set_debug(wm_ini_get(K_debug) == "true");
    diag_end_pre_ini();
    if (!wm_ini_get(K_language_file).empty()) lang_read(file_tpl(wm_ini_get(K_language_file)));
    else lang_english();
    // Each subsystem's own start-up (the rule names, once rules are built,
    // are registered here in the current language).
    subsystems_start();
    for (int i = 0; i < kPopSlots; ++i) {
        prof.xpop_name[i].clear();
        prof.xpop_user[i].clear();
        prof.xpop_pass[i].clear();
        prof.xpop_reply[i].clear();
        prof.xpop_port[i].clear();
        prof.xpop_del[i] = ini_true(K_pop_delete_default);
    }
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = sig_exit;
    sigfillset(&sa.sa_mask);   // one handler at a time
    for (int s : {SIGTERM, SIGTRAP, SIGBUS, SIGQUIT, SIGHUP, SIGINT}) sigaction(s, &sa, nullptr);
    return 1;
}

void set_globals() {
    if (!g.g_server.empty() && !ini_true(K_no_cookie_domain)) g.g_dserver = sfmt("domain=%s; ", g.g_vhost.c_str());
    if (log_has("query")) query_log();
    if (log_has("query_string")) imsg("Query=%s", field_text_for_log(mygetenv("QUERY_STRING")).c_str());
    g.guser_agent = ncpy(lower(mygetenv("HTTP_USER_AGENT")), 511);
    g.g_server_port = std::atoi(mygetenv("SERVER_PORT").c_str());
    g.remote_addr = ncpy(lower(mygetenv("REMOTE_ADDR")), 511);
    g.g_http = contains(mygetenv("HTTPS"), "on") ? "https://" : "http://";
    g.gwml = ini_true(K_wml);
    g.gbr = g.gcl ? "" : g.gwml ? "<br/>" : "<br>";
    g.xoutlog = ini_true(K_outlog);
    g.glog_send = log_has("send");
    g.gcmd = ncpy(query_find("cmd"), 511);
    imsg("* [%s]   %s %s host=%s\n", g.gcmd.c_str(), kProduct, kVersion, g.g_vhost.c_str());
    g.xfetch_min = std::atoi(wm_ini_get(K_fetch_min).c_str());
    tcp_startup();
    if (wm_ini_get(K_lock_id).empty()) {
        char host[256] = {0};
        if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
        std::string h(host);
        h = h.substr(0, h.find('.'));
        ini_set(K_lock_id, h.empty() ? "wm" : h);
    }
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGVTALRM, SIG_IGN);
    signal(SIGPROF, SIG_IGN);
    subsystems_install();
    g.mystdin = stdin;
    g.program_path = argc > 0 && argv[0] ? argv[0] : "larkspur";
    g.config_path = g.program_path;
    if (argc == 2 && std::strcmp(argv[1], "-test") == 0 && !replay_dump()) return 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool has_value = i + 1 < argc;
        if (a == "-query" && has_value) {
            g.gcl = 1;
            g.cl_query = argv[++i];
        } else if (a == "-ini" && has_value) {
            g.config_path = argv[++i];
        } else if (a == "-spell") {
            for (int k = i + 1; k < argc; ++k) g.tool_args.emplace_back(argv[k]);
            int r = handler_run("do_spell");
            if (command_missing_ran()) {
                std::fprintf(stderr, "%s\n", f_error_text().c_str());
                return 1;
            }
            return r ? 0 : 1;
        } else if (a == "-version") {
            std::printf("Version: %s v%s \n", kProduct, kVersion);
            return 0;
        } else if (a == "-build") {
            std::printf("Version: %.200s v%.200s (build %.200s)\n", kProduct, kVersion, kBuild);
            return 0;
        }
    }
    g.g_server = mygetenv("SERVER_NAME");
    // The web server may fill SERVER_NAME from the request's Host line.
    if (!vhost_name_ok(g.g_server)) g.g_server.clear();
    g.g_vhost = ncpy(lower(g.g_server), 255);
    g.pid = static_cast<int>(getpid());
    g.log_file = "tollan.log";
    ini_setscript(mygetenv("SCRIPT_NAME"));
    g.log_file = g.rootname + ".log";

    if (!query_get()) {
        std::string vhost = g.g_vhost;
        doinit(g.config_path, vhost);
        diag_end_pre_ini();
        g.remote_addr = ncpy(lower(mygetenv("REMOTE_ADDR")), 511);
        emsg("*** Hacking attempt from %s  reported to sysadmin ***", g.remote_addr.c_str());
        return finish_request(kFinishError);
    }
    g.method = ncpy(lower(mygetenv("REQUEST_METHOD")), 511);
    std::string vhost = g.g_vhost;
    if (!ini_read(g.config_path, vhost)) return 0;
    diag_end_pre_ini();
    if (!g.nodump && ini_true(K_dump)) {
        write_dump();
        return 0;
    }
    g.g_ispost = g.method == "post";
    const std::string& qv = query_find("vhost");
    if (!qv.empty() && !vhost_name_ok(qv)) {
        doinit(g.config_path, vhost);
        set_globals();
        lmsg("Refused virtual host name %s", pct_encode(ncpy(qv, 255)).c_str());
        f_error("%s", lang_get("Invalid virtual host name"));
        return finish_request(kFinishError);
    }
    if (!qv.empty()) g.g_vhost = ncpy(lower(qv), 255);
    vhost = g.g_vhost;
    if (!doinit(g.config_path, vhost)) return 0;
    set_globals();

    if (g.gcmd.empty() && g.g_ispost) {
        form_get();
        return finish_request(post_dispatch());
    }
    if (!query_find("newframe").empty()) {
        imsg("fcmd=newframe");
        get_token();
        if (!user_getinfo(0, 0)) return finish_request(kFinishError);
        if (g.xisframes) tpl_show("frame");
        else do_list();
        return finish_request(kFinishNormal);
    }
    return finish_request(query_dispatch(true));
}
