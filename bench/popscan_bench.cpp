// The header scan and body fetch of 1,000 new messages from the real dovecot
// for bench/popscan.sh: each stream_max, headers only and full, into a fresh
// work area; wall time and socket writes and reads.
//   popscan_bench SERVERS_ENV
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/request.h"
#include "net/pop.h"
#include "net/sock.h"
#include "store/index.h"
#include "user/paths.h"
#include "user/profile.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::map<std::string, std::string> env;
    std::ifstream in(argv[1]);
    for (std::string line; std::getline(in, line);) {
        std::size_t eq = line.find('=');
        if (!line.empty() && line[0] != '#' && eq != std::string::npos) env[line.substr(0, eq)] = line.substr(eq + 1);
    }
    if (!env.count("LK_POP3_PORT")) return 2;
    g.log_file = "/dev/null";
    g.gcl = 1;
    diag_end_pre_ini();
    diag_set_debug(false);
    for (const char* smax : {"1", "10", "50", "100"}) {
        for (std::string mode : {"headers", "full"}) {
            char tmpl[] = "/tmp/lkpopbenchXXXXXX";
            std::string root = mkdtemp(tmpl);
            ini_reset();
            profile_reset();
            paths_reset();
            index_reset();
            sock_reset();
            pop_reset();
            ini_set(K_workarea, root);
            ini_set(K_port, env["LK_POP3_PORT"]);
            ini_set(K_pop_timeout, "20");
            ini_set(K_mcache_kbytes, "10");
            ini_set(K_stream_max, smax);
            if (mode == "headers") ini_set(K_set_status, "true");
            prof.xuser = "bench";
            prof.xnextid = 1;
            prof.xmax_download_msgs = 5000;
            prof.xpop_name[0] = env["LK_HOST"];
            prof.xpop_user[0] = env["LK_USER2"];
            prof.xpop_pass[0] = env["LK_PASS2"];
            fld_set_missing_wait(0);
            auto t0 = std::chrono::steady_clock::now();
            if (pop_open(0) != 1) return 1;
            pop_read();
            double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            std::printf("popscan stream_max=%-3s %-7s %d msgs, total %.3f s (header scan %.3f s, bodies+stubs %.3f s)  "
                        "writes=%ld  top-batches=%ld  reads=%ld\n",
                        smax, mode.c_str(), mainidx().n, secs, popst().scan_secs, popst().fetch_secs, msock().writes,
                        popst().flushes, msock().reads);
            pop_close();
            if (std::system(("rm -rf '" + root + "'").c_str()) != 0) return 1;
        }
    }
    return 0;
}
