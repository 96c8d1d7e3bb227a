// The manager page: refusals change nothing, bulk edits reach the matching
// users, purges spare busy and live sessions and survive being killed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <random>
#include <regex>
#include <thread>

#include "process/cgi_harness.h"

namespace {

using lk_test::CgiHarness;
using lk_test::CgiResult;
using lk_test::has;
using lk_test::url_enc;

constexpr const char* kManager = "Mg7-manager";
constexpr const char* kAnnDir = "work/u_an/ann@127_0_0_1";

std::string mailbox(int n) {
    std::string s = "user ann " + lk_test::kPass + "\n";
    for (int i = 1; i <= n; ++i) {
        std::string k = std::to_string(i);
        s += lk_test::pop_message("From: s" + k + "@example.test\nSubject: Note " + k + "\nMessage-ID: <m" + k + "@example.test>");
    }
    return s;
}

// Records of a folder index.
int records(const std::string& index) {
    int n = 0;
    for (char c : index) n += c == '\n';
    return n;
}

// Message files cached in a user's first folder.
int cached_files(const CgiHarness& h, const std::string& dir) {
    int n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(h.path(dir + "/0"), ec))
        n += e.path().filename().string().rfind("m_", 0) == 0;
    return n;
}

// A profile the reader accepts: its checksum line counts its lines.
bool profile_readable(const std::string& text) {
    if (text.empty()) return false;
    int lines = records(text);
    std::smatch m;
    if (!std::regex_search(text, m, std::regex("\nchecksum (\\d+)\n"))) return text.find("has_checksum -1") == std::string::npos;
    return std::stoi(m[1]) == lines;
}

std::string set_line(std::string text, const std::string& key, const std::string& value) {
    std::regex re("(^|\n)" + key + " [^\n]*");
    return std::regex_replace(text, re, "$1" + key + " " + value);
}

// ann logged in, her three messages cached.
struct ManagerEnv : lk_test::Session {
    explicit ManagerEnv(const std::string& extra = "")
        : Session(mailbox(3), "auto_logout_mins 10\nlock_wait 2\nmanager_password " + std::string(kManager) + "\n" + extra) {
        start();
    }
    void start() {
        login();
        get("cmd=list&fld=0");
    }
    std::string dir_of(const std::string& name) const { return "work/u_" + name.substr(0, 2) + "/" + name + "@127_0_0_1"; }
    // Another user made from ann's directory (cached mail included).
    void clone(const std::string& name, long idle_secs) {
        const std::string to = h.path(dir_of(name));
        std::filesystem::create_directories(std::filesystem::path(to).parent_path());
        std::filesystem::copy(h.path(kAnnDir), to, std::filesystem::copy_options::recursive);
        std::filesystem::remove(to + "/user_lock");
        lk_test::spit(to + "/owner", name + "@127.0.0.1\n");
        age(name, idle_secs);
    }
    void age(const std::string& name, long idle_secs) {
        const std::string p = dir_of(name) + "/user.dat";
        h.write_file(p, set_line(h.read_file(p), "log_time", std::to_string(time(nullptr) - idle_secs)));
    }
    std::string tcode() {
        auto r = h.get("cmd=manager");
        std::smatch m;
        std::regex_search(r.out, m, std::regex("name=\"tcode\" value=\"(\\d+)\""));
        return m.size() > 1 ? m[1].str() : "";
    }
    CgiResult act(const std::string& fields, const std::string& code = "") {
        return h.post("cmd=domanager&pass=" + url_enc(kManager) + "&tcode=" + (code.empty() ? tcode() : code) + "&" +
                      fields);
    }
};

bool has(const CgiResult& r, const std::string& s) { return r.out_has(s); }

TEST(ManagerProcess, EveryRefusalChangesNothing) {
    ManagerEnv E;
    const std::string prof_path = std::string(kAnnDir) + "/user.dat";
    const std::string before = E.h.read_file(prof_path);
    const std::string edit = "uwild=*&uset=refresh&uval=9&uadd=on";
    struct Case {
        const char* name;
        std::string extra_ini;
        bool post;
        std::string body;
        const char* want;
        const char* logged = "";
    };
    const std::string good = E.tcode();
    const Case cases[] = {
        {"wrong password", "", true, "cmd=domanager&pass=nope&tcode=" + good + "&" + edit, "Manager login failed",
         "Manager login failed from 127.0.0.1"},
        {"password in the URL", "", false, "cmd=domanage&pass=" + std::string(kManager) + "&tcode=" + good + "&" + edit,
         "Manager login failed"},
        {"address not allowed", "manager_ip 10.*\n", true,
         "cmd=domanager&pass=" + std::string(kManager) + "&tcode=" + good + "&" + edit, "No manager access allowed"},
        {"page switched off", "no_manager true\n", true,
         "cmd=domanager&pass=" + std::string(kManager) + "&tcode=" + good + "&" + edit, "No manager access allowed"},
        {"unreadable password file", "manager_password @nofile\n", true, "cmd=domanager&pass=@nofile&tcode=" + good + "&" + edit,
         "No manager access allowed"},
        {"forged time code", "", true, "cmd=domanager&pass=" + std::string(kManager) + "&tcode=12345&" + edit,
         "E4: tcode failure"},
    };
    for (const Case& c : cases) {
        E.h.set_ini(E.ini + c.extra_ini);
        E.h.clear_log();
        CgiResult r = c.post ? E.h.post(c.body) : E.h.get(c.body);
        EXPECT_TRUE(has(r, c.want)) << c.name << "\n" << r.out;
        EXPECT_EQ(E.h.read_file(prof_path), before) << c.name;
        EXPECT_FALSE(has(r, kManager)) << c.name;
        EXPECT_FALSE(has(r.log, kManager)) << c.name;
        EXPECT_TRUE(has(r.log, c.logged)) << c.name;
    }
}

TEST(ManagerProcess, BulkEditReachesMatchingUsersAndSurvivesTheNextLogin) {
    ManagerEnv E;
    E.clone("bob", 0);
    E.clone("carol", 0);
    const std::string code = E.tcode();
    auto r = E.act("uwild=[ab]*&uset=refresh&uval=7&uadd=on", code);
    ASSERT_TRUE(has(r, "id=\"nmatches\">2<")) << r.out;
    for (const char* u : {"ann", "bob"}) {
        std::string p = E.h.read_file(E.dir_of(u) + "/user.dat");
        EXPECT_TRUE(has(p, "\nrefresh 7\n")) << u;
        EXPECT_TRUE(profile_readable(p)) << u << "\n" << p;
    }
    EXPECT_FALSE(has(E.h.read_file(E.dir_of("carol") + "/user.dat"), "refresh 7"));
    // The same form again is refused and changes nothing.
    auto again = E.act("uwild=*&uset=refresh&uval=8", code);
    EXPECT_TRUE(has(again, "E4: tcode failure")) << again.out;
    EXPECT_FALSE(has(E.h.read_file(E.dir_of("carol") + "/user.dat"), "refresh 8"));
    // The next login reads the edited profile (a profile it rejected would
    // be moved to user.lost and started again from the defaults).
    E.start();
    EXPECT_FALSE(E.h.exists(std::string(kAnnDir) + "/user.lost"));
    EXPECT_TRUE(has(E.h.read_file(std::string(kAnnDir) + "/user.dat"), "\nrefresh 7\n"));
}

TEST(ManagerProcess, PurgeEmptiesOnlyAbandonedSessions) {
    // Mail left on the server: what the mailbox shows is a cache.
    ManagerEnv E("log purge\ndebug true\npop_delete_default false\n");
    const int cached = cached_files(E.h, kAnnDir);
    ASSERT_GT(cached, 0);
    E.clone("idle", 3600);       // last request an hour ago: abandoned
    E.clone("busy", 3600);       // abandoned, but a request holds its lock
    E.age("ann", 60);            // logged in long ago, but used a minute ago
    E.h.write_file(E.dir_of("busy") + "/user_lock", "PID=1,held\n");
    auto r = E.act("uwild=*&upurge=on");
    ASSERT_TRUE(has(r, "I4: Purged cached messaged for 1 of 3 users")) << r.out.substr(r.out.find("<main")) << r.log;
    EXPECT_EQ(cached_files(E.h, E.dir_of("idle")), 0);
    EXPECT_EQ(cached_files(E.h, E.dir_of("busy")), cached);
    EXPECT_EQ(cached_files(E.h, kAnnDir), cached);
    EXPECT_TRUE(profile_readable(E.h.read_file(E.dir_of("idle") + "/user.dat")));
    EXPECT_TRUE(has(r, "Last purge:"));
}

TEST(ManagerProcess, DeleteByWildcardAndUnusedAccounts) {
    ManagerEnv E;
    E.clone("old", 40L * 86400);
    E.clone("dan", 0);
    auto r = E.act("dwild=d*&mcmd=Delete+accounts");
    EXPECT_TRUE(has(r, "I3: 1 of 1 matching user directories deleted")) << r.out;
    EXPECT_FALSE(E.h.exists(E.dir_of("dan")));
    r = E.act("uwild=*&upurge=on&ukill_days=30");
    EXPECT_TRUE(has(r, "Removed files for 1 unused accounts")) << r.out;
    EXPECT_FALSE(E.h.exists(E.dir_of("old")));
    EXPECT_TRUE(E.h.exists(std::string(kAnnDir) + "/user.dat"));
}

TEST(ManagerProcess, PurgeKilledAnywhereLeavesEveryUserReadable) {
    ManagerEnv E("pop_delete_default false\n");
    std::vector<std::string> users;
    for (int i = 0; i < 30; ++i) {
        users.push_back("k" + std::to_string(100 + i));
        E.clone(users.back(), 3600);
    }
    users.push_back("ann");
    auto body = [&] { return "cmd=domanager&pass=" + std::string(kManager) + "&tcode=" + E.tcode() + "&uwild=*&upurge=on"; };
    // One whole run sets the range the kills are spread over (a sample,
    // not a limit: nothing is asserted about time).
    const std::string snapshot = E.h.dir + "/snap";
    std::filesystem::copy(E.h.path("work"), snapshot, std::filesystem::copy_options::recursive);
    auto t0 = std::chrono::steady_clock::now();
    CgiHarness::reap(E.h.spawn("", body()));
    ASSERT_EQ(cached_files(E.h, E.dir_of(users.front())), 0);
    auto span = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0);
    std::mt19937 rng(20261207);
    std::uniform_int_distribution<long> at(0, span.count());
    int killed = 0;
    for (int trial = 0; trial < 12; ++trial) {
        std::filesystem::remove_all(E.h.path("work"));
        std::filesystem::copy(snapshot, E.h.path("work"), std::filesystem::copy_options::recursive);
        pid_t pid = E.h.spawn("", body());
        std::this_thread::sleep_for(std::chrono::microseconds(at(rng)));
        killed += kill(pid, SIGKILL) == 0;
        CgiHarness::reap(pid);
        for (const std::string& u : users) {
            const std::string d = E.dir_of(u);
            ASSERT_TRUE(profile_readable(E.h.read_file(d + "/user.dat"))) << "trial " << trial << " " << u;
            // A folder index is whole: every record line ends.
            const std::string idx = E.h.read_file(d + "/0/index.dat");
            EXPECT_TRUE(idx.empty() || idx.back() == '\n') << "trial " << trial << " " << u;
        }
    }
    EXPECT_GT(killed, 0);
    // The uninterrupted run did empty the caches: the trials cut real work.
    std::cout << "purge of " << users.size() << " users: " << span.count() / 1000 << " ms\n";
}

}  // namespace
