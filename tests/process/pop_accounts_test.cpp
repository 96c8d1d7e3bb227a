// Two real POP accounts as two slots of one profile, read together ("check
// all servers"), against the dovecot of scripts/servers.sh: skipped only when
// its servers.env is absent.  Each user's Maildir is filled with generated
// mail for the test and emptied again afterwards.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>

#include "process/cgi_harness.h"
#include "test_env.h"
#include "user/codec.h"

namespace {

using lk_test::CgiHarness;
using lk_test::CgiResult;
using lk_test::url_enc;

std::map<std::string, std::string> servers_env() {
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

struct Mailboxes {
    std::map<std::string, std::string> env;
    std::vector<std::string> dirs;
    bool fill(const std::string& user, int count, int seed) {
        std::string md = env["LK_MAILDIRS"] + "/" + user + "/Maildir";
        dirs.push_back(md);
        std::string cmd = "find '" + md + "/new' '" + md + "/cur' -type f -delete 2>/dev/null; python3 '" +
                          std::string(LK_SOURCE_DIR) + "/scripts/genmail.py' --small --to " + user + " --count " +
                          std::to_string(count) + " --seed " + std::to_string(seed) + " --maildir '" + md +
                          "' 2>/dev/null";
        return std::system(cmd.c_str()) == 0;
    }
    ~Mailboxes() {
        for (const std::string& md : dirs) {
            std::string cmd = "find '" + md + "/new' '" + md + "/cur' -type f -delete 2>/dev/null";
            if (std::system(cmd.c_str()) != 0) std::perror("find");
        }
    }
};

struct Rec {
    std::string id, user, host, uidl;
};

std::vector<Rec> records(const std::string& index) {
    std::vector<Rec> out;
    for (const std::vector<std::string>& f : lk_test::index_records(index)) {
        if (f.size() <= H_POPUSER || f.size() <= H_UIDL) continue;
        out.push_back({f[H_ID], f[H_POPUSER], f[H_POPHOST], f[H_UIDL]});
    }
    return out;
}

// The unique ids on one account's server, through the program's own POP code.
std::set<std::string> server_uidls(int slot) {
    std::set<std::string> out;
    sock_reset();
    pop_reset();
    if (!pop_open(slot)) return {"(cannot log in)"};
    int n = get_uidl();
    for (int i = 1; i <= n; ++i) out.insert(popst().map_uidl[static_cast<std::size_t>(i)]);
    pop_close();
    return out;
}

TEST(PopAccounts, EveryCheckFilesEachMessageOnceUnderItsOwnAccount) {
    Mailboxes mb;
    mb.env = servers_env();
    auto& env = mb.env;
    if (!env.count("LK_POP3_PORT") || !env.count("LK_USER2")) GTEST_SKIP() << "no servers.env: start scripts/servers.sh";
    const std::string host = env["LK_HOST"], u1 = env["LK_USER1"], u2 = env["LK_USER2"];
    ASSERT_TRUE(mb.fill(u1, 3, 11));
    ASSERT_TRUE(mb.fill(u2, 3, 12));

    // Both accounts keep their mail on the server.
    CgiHarness h("templates @TPL@\nworkarea @WORK@\npophost " + host + "\nport " + env["LK_POP3_PORT"] +
                     "\npop_delete_default false\nfetch_min 0\nmcache_kbytes -1\ndebug true\n"
                     // dovecot offers STLS with the test CA's certificate
                     "tls_ca_file " + env["LK_CERT"] + "\n",
                 true);
    auto in = h.post("cmd=login&user=" + url_enc(u1) + "&pass=" + url_enc(env["LK_PASS1"]));
    const std::string tok = lk_test::cookie_value(in, "utok"), utokc = lk_test::cookie_value(in, "utokc");
    ASSERT_FALSE(tok.empty()) << in.out.substr(0, 2000);

    // The second account as slot 1, and "check all servers".
    const std::string login = u1 + "@" + host;
    std::string dir;
    for (const auto& e : std::filesystem::recursive_directory_iterator(h.work))
        if (e.path().filename() == "user.dat") dir = e.path().parent_path().string() + "/";
    ASSERT_FALSE(dir.empty());
    std::string prof_text = h.read_file(dir + "user.dat");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(prof_text, m, std::regex("\nchecksum (\\d+)")));
    ASSERT_EQ(prof_text.find("\npopall "), std::string::npos);
    std::string added = "popall 1\npophost 1 " + host + "\t" + u2 + "\t" + x_hide(login, env["LK_PASS2"], kHideSeed) +
                        "\t0\t\t" + env["LK_POP3_PORT"] + "\n";
    prof_text.insert(static_cast<std::size_t>(m.position(0)) + 1, added);
    prof_text = std::regex_replace(prof_text, std::regex("\nchecksum \\d+"),
                                   "\nchecksum " + std::to_string(std::stol(m[1].str()) + 2));
    h.write_file(dir + "user.dat", prof_text);

    std::vector<Rec> first;
    for (int check = 1; check <= 3; ++check) {
        SCOPED_TRACE("check " + std::to_string(check));
        auto r = h.get("cmd=list_new&utoken=" + url_enc(tok), {{"HTTP_COOKIE", "utokc=" + utokc}});
        EXPECT_EQ(r.status, 0) << r.log;
        std::vector<Rec> recs = records(h.read_file(dir + "0/index.dat"));
        ASSERT_EQ(recs.size(), 6u) << h.read_file(dir + "0/index.dat");
        std::map<std::string, int> per_user;
        std::set<std::string> keys;
        for (const Rec& rec : recs) {
            per_user[rec.user]++;
            EXPECT_EQ(rec.host, host);
            EXPECT_TRUE(keys.insert(rec.user + " " + rec.uidl).second) << "stored twice: " << rec.uidl;
            EXPECT_TRUE(h.exists(dir + "0/m_" + rec.id + ".dat")) << rec.id;
        }
        EXPECT_EQ(per_user[u1], 3);
        EXPECT_EQ(per_user[u2], 3);
        if (check == 1) first = recs;
        // The same messages under the same numbers: nothing fetched again.
        for (std::size_t i = 0; i < recs.size() && i < first.size(); ++i) EXPECT_EQ(recs[i].id, first[i].id);
    }
    std::regex nnew("\nnnew_sl 6\n");
    EXPECT_TRUE(std::regex_search(h.read_file(dir + "user.dat"), nnew));

    // A delete goes to the server of the record's account: the program's
    // own POP code, reading the index the CGI wrote.
    StoreEnv st;
    ini_set(K_workarea, h.work);
    ini_set(K_port, env["LK_POP3_PORT"]);
    ini_set(K_tls_ca_file, env["LK_CERT"]);
    prof.xuser = login;
    prof.xpop_name[0] = host;
    prof.xpop_user[0] = u1;
    prof.xpop_pass[0] = env["LK_PASS1"];
    prof.xpop_name[1] = host;
    prof.xpop_user[1] = u2;
    prof.xpop_pass[1] = env["LK_PASS2"];
    prof.xpop_port[1] = env["LK_POP3_PORT"];
    const std::set<std::string> before1 = server_uidls(0), before2 = server_uidls(1);
    ASSERT_EQ(before1.size(), 3u);
    ASSERT_EQ(before2.size(), 3u);
    ASSERT_EQ(fld_readxov(0), 1) << f_error_text();
    int pos = -1;
    for (int i = 0; i < mainidx().n && pos < 0; ++i)
        if (mainidx().recs[static_cast<std::size_t>(i)][H_POPUSER] == u2) pos = i;
    ASSERT_GE(pos, 0);
    const std::string uid = mainidx().recs[static_cast<std::size_t>(pos)][H_UIDL];
    sock_reset();
    pop_reset();
    ASSERT_EQ(r_delpop(pos), 1) << f_error_text();
    pop_close();
    std::set<std::string> after2 = server_uidls(1);
    EXPECT_EQ(after2.size(), 2u);
    EXPECT_EQ(after2.count(uid), 0u);
    EXPECT_EQ(server_uidls(0), before1);
}

}  // namespace
