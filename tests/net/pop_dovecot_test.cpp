// Against the real dovecot of scripts/servers.sh: skipped only when its
// servers.env is absent.  The mailbox of the second test user is replaced
// by generated mail (scripts/genmail.py --maildir) for each case.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <chrono>
#include <map>

#include "store/store_env.h"

namespace {

std::map<std::string, std::string> read_env() {
    std::map<std::string, std::string> env;
    const char* run = std::getenv("LARKSPUR_RUN");
    std::string path = run && *run ? std::string(run) + "/servers.env"
                                   : std::string(LK_SOURCE_DIR) + "/run/servers/servers.env";
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        env[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return env;
}

struct Dovecot : StoreEnv {
    std::map<std::string, std::string> env;
    std::string maildir;
    bool ready = false;
    bool filled = false;

    Dovecot() {
        env = read_env();
        if (env.count("LK_POP3_PORT") == 0 || env.count("LK_USER2") == 0) return;
        maildir = env["LK_MAILDIRS"] + "/" + env["LK_USER2"] + "/Maildir";
        prof.xpop_name[0] = env["LK_HOST"];
        prof.xpop_user[0] = env["LK_USER2"];
        prof.xpop_pass[0] = env["LK_PASS2"];
        prof.xmax_download_msgs = 5000;
        ini_set(K_port, env["LK_POP3_PORT"]);
        ini_set(K_pop_timeout, "20");
        ini_set(K_mcache_kbytes, "10");
        ready = true;
    }
    // Replaces the user's mailbox with count generated messages.
    bool fill(int count, int seed) {
        std::string cmd = "find '" + maildir + "/new' '" + maildir + "/cur' -type f -delete 2>/dev/null; python3 '" +
                          std::string(LK_SOURCE_DIR) + "/scripts/genmail.py' --to " + env["LK_USER2"] +
                          " --count " + std::to_string(count) + " --seed " + std::to_string(seed) +
                          " --maildir '" + maildir + "' 2>/dev/null";
        filled = true;
        return std::system(cmd.c_str()) == 0;
    }
    int server_count() {
        sock_reset();
        pop_reset();
        if (!pop_open(0)) return -1;
        int n = get_uidl();
        pop_close();
        return n;
    }
    ~Dovecot() {
        if (filled) {
            std::string cmd = "find '" + maildir + "/new' '" + maildir + "/cur' -type f -delete 2>/dev/null";
            if (std::system(cmd.c_str()) != 0) std::perror("find");
        }
    }
    void next_request() {
        sock_reset();
        pop_reset();
        index_reset();
        fld_set_missing_wait(0);
        f_error_clear();
    }
};

#define NEED_SERVERS(d)                                                                  \
    if (!(d).ready) GTEST_SKIP() << "no servers.env: start scripts/servers.sh first"

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

TEST(PopDovecot, ThousandMessages) {
    Dovecot d;
    NEED_SERVERS(d);
    ASSERT_TRUE(d.fill(1000, 7));
    ini_set(K_stream_max, "50");
    ASSERT_EQ(pop_open(0), 1) << f_error_text();
    pop_read();
    Index& m = mainidx();
    ASSERT_EQ(m.n, 1000) << f_error_text();
    EXPECT_EQ(popst().gnnew, 1000);
    int stubs = 0;
    for (const Record& r : m.recs) {
        ASSERT_FALSE(r[H_UIDL].empty());
        EXPECT_EQ(r[H_FLAGS].find("new,"), std::string::npos) << r[H_FLAGS];
        EXPECT_EQ(r[H_REMOTE], "1");
        std::string file = StoreEnv::slurp(fld_item(0, std::stoi(r[H_ID])));
        long kb = std::stol(r[H_BYTES]) / 1024;
        bool stub = r[H_FLAGS].find("rbody,") != std::string::npos;
        EXPECT_EQ(stub, kb >= 10) << r[H_SUBJECT] << " " << r[H_BYTES];
        if (stub) {
            ++stubs;
            EXPECT_NE(file.find("Larkspur_flags: rbody,\n"), std::string::npos);
        } else {
            EXPECT_EQ(static_cast<long>(file.size()), std::stol(r[H_BYTES])) << r[H_SUBJECT];
            EXPECT_FALSE(r[H_LINES].empty());
        }
    }
    EXPECT_GT(stubs, 0);
    EXPECT_LT(stubs, 1000);

    // A second scan adds nothing and leaves the index as it was.
    std::string before = StoreEnv::slurp(fld_file(0, "index.dat"));
    d.next_request();
    ASSERT_EQ(pop_open(0), 1);
    pop_read();
    EXPECT_EQ(popst().gnnew, 0);
    EXPECT_EQ(mainidx().n, 1000);
    EXPECT_EQ(StoreEnv::slurp(fld_file(0, "index.dat")), before);

    // A stub's body arrives on demand.
    d.next_request();
    ASSERT_EQ(fld_readxov(0), 1);
    int pos = -1;
    for (int i = 0; i < mainidx().n && pos < 0; ++i)
        if (mainidx().recs[i][H_FLAGS].find("rbody,") != std::string::npos) pos = i;
    ASSERT_GE(pos, 0);
    long server_size = std::stol(mainidx().recs[pos][H_BYTES]);
    ASSERT_EQ(pop_read_rbody(pos), 1) << f_error_text();
    std::string body = StoreEnv::slurp(fld_item(0, std::stoi(mainidx().recs[pos][H_ID])));
    EXPECT_EQ(body.find("Larkspur_flags"), std::string::npos);
    EXPECT_GT(static_cast<long>(body.size()), server_size * 9 / 10);
    EXPECT_EQ(mainidx().recs[pos][H_FLAGS].find("rbody,"), std::string::npos);
    ASSERT_EQ(fld_write(0), 1);
    pop_close();

    // A message deleted on the server disappears from the cache.
    d.next_request();
    ASSERT_EQ(pop_open(0), 1);
    ASSERT_EQ(get_uidl(), 1000);
    tcp_printf(msock().sk, "dele 5\r\n");
    ASSERT_TRUE(readok());
    std::string gone_uid = popst().map_uidl[5];
    pop_close();
    d.next_request();
    ASSERT_EQ(pop_open(0), 1);
    pop_read();
    EXPECT_EQ(mainidx().n, 999);
    for (const Record& r : mainidx().recs) EXPECT_NE(r[H_UIDL], gone_uid);
}

TEST(PopDovecot, DeleteOnServerTakesOnlyDownloaded) {
    Dovecot d;
    NEED_SERVERS(d);
    ASSERT_TRUE(d.fill(60, 3));
    prof.xpop_del[0] = 1;
    ini_set(K_stream_max, "10");
    ASSERT_EQ(pop_open(0), 1) << f_error_text();
    pop_read();
    ASSERT_EQ(mainidx().n, 60);
    int stubs = 0;
    for (const Record& r : mainidx().recs) {
        bool stub = r[H_FLAGS].find("rbody,") != std::string::npos;
        stubs += stub;
        EXPECT_EQ(r[H_FLAGS].find("xdel,") != std::string::npos, !stub) << r[H_FLAGS];
        EXPECT_EQ(r[H_REMOTE], stub ? "1" : "0");
    }
    ASSERT_GT(stubs, 0);
    EXPECT_EQ(d.server_count(), stubs);
}

// Timings for bench/popscan.sh (LK_BENCH=1): the scan of 1,000 new messages
// with several stream_max values, each into a fresh work area.
TEST(PopDovecot, ScanTimes) {
    if (!std::getenv("LK_BENCH")) GTEST_SKIP() << "set LK_BENCH=1 (bench/popscan.sh)";
    Dovecot d;
    NEED_SERVERS(d);
    ASSERT_TRUE(d.fill(1000, 7));
    for (const char* smax : {"1", "10", "50", "100"}) {
        for (const char* mode : {"headers", "full"}) {
            Dovecot e;   // a fresh work area; the mailbox stays
            diag_set_debug(false);
            ini_set(K_stream_max, smax);
            if (std::string(mode) == "headers") ini_set(K_set_status, "true");
            auto t0 = std::chrono::steady_clock::now();
            ASSERT_EQ(pop_open(0), 1);
            pop_read();
            double secs = seconds_since(t0);
            ASSERT_EQ(mainidx().n, 1000);
            std::printf("popscan stream_max=%-3s %-7s total %.3f s (header scan %.3f s, bodies+stubs %.3f s)  "
                        "writes=%ld  top-batches=%ld  reads=%ld\n",
                        smax, mode, secs, popst().scan_secs, popst().fetch_secs, msock().writes, popst().flushes,
                        msock().reads);
        }
    }
}
