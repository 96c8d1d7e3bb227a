// The manager's building blocks: the bulk-edit rule (with the checksum kept
// right), the record file, the password, the user walk's bounds, account
// deletion, and the per-user lock shared with the user's own requests.
#include <sys/wait.h>

#include <algorithm>

#include "admin/manager.h"
#include "support/str.h"
#include "test_env.h"

using namespace lk_test;

namespace {

struct EditCase {
    const char* name;
    const char* text;
    const char* key;
    const char* value;
    int add, blank_only;
    const char* want;
    long modified, added;
};

class EditTest : public ::testing::TestWithParam<EditCase> {};

TEST_P(EditTest, Rule) {
    const EditCase& c = GetParam();
    long mod = 0, add = 0;
    EXPECT_EQ(profile_edit_text(c.text, c.key, c.value, c.add, c.blank_only, &mod, &add), c.want);
    EXPECT_EQ(mod, c.modified);
    EXPECT_EQ(add, c.added);
}

INSTANTIATE_TEST_SUITE_P(
    Profile, EditTest,
    ::testing::Values(
        EditCase{"prefix", "pophost a\npopx b\nsig c\n", "pop", "z", 0, 0, "pop z\npop z\nsig c\n", 2, 0},
        EditCase{"remove", "a 1\nrefresh 5\nb 2\n", "refresh", "", 0, 0, "a 1\nb 2\n", 1, 0},
        EditCase{"absent_no_add", "a 1\n", "refresh", "9", 0, 0, "a 1\n", 0, 0},
        EditCase{"absent_add", "a 1\n", "refresh", "9", 1, 0, "a 1\nrefresh 9\n", 0, 1},
        EditCase{"blank_kept_value", "refresh 5\nrefresh\n", "refresh", "9", 1, 1, "refresh 5\nrefresh\n", 0, 0},
        EditCase{"blank_filled", "refresh  \n", "refresh", "9", 0, 1, "refresh 9\n", 1, 0},
        EditCase{"blank_absent_appends", "a 1\n", "refresh", "9", 0, 1, "a 1\nrefresh 9\n", 0, 1},
        // The checksum line is recounted and stays last; it and
        // has_checksum are never a key's target.
        EditCase{"checksum_add", "has_checksum -1\na 1\nchecksum 3\n", "b", "2", 1, 0,
                 "has_checksum -1\na 1\nb 2\nchecksum 4\n", 0, 1},
        EditCase{"checksum_drop", "has_checksum -1\na 1\nb 2\nchecksum 4\n", "a", "", 0, 0,
                 "has_checksum -1\nb 2\nchecksum 3\n", 1, 0},
        EditCase{"bookkeeping_untouched", "has_checksum -1\nchecksum 2\n", "ch", "x", 0, 0,
                 "has_checksum -1\nchecksum 2\n", 0, 0}),
    [](const ::testing::TestParamInfo<EditCase>& i) { return std::string(i.param.name); });

TEST(ManagerPass, ConstantTimeCompare) {
    EXPECT_TRUE(manager_pass_equal("secret", "secret"));
    for (const char* bad : {"", "secre", "secretx", "Secret", "xxxxxx"}) EXPECT_FALSE(manager_pass_equal(bad, "secret")) << bad;
    EXPECT_FALSE(manager_pass_equal("", ""));   // no password is never a match
}

class ManagerTest : public UserTest {
protected:
    void SetUp() override {
        UserTest::SetUp();
        manager_reset();
        form_reset();
    }
    // A user directory of the main work area (hash method 1).
    std::string make_user(const std::string& name, const std::string& profile = "has_checksum -1\nsig x\nchecksum 3\n") {
        std::string d = user_dir_of(name);
        spit(d + "/user.dat", profile);
        return d;
    }
};

TEST_F(ManagerTest, RecordRoundTripAndDefaults) {
    ASSERT_EQ(manager_read(), 1);
    EXPECT_EQ(manager_state().rec.uwild, "*");
    EXPECT_TRUE(manager_state().rec.uset.empty());
    ManagerRecord& r = manager_state().rec;
    r.tcode = 1234567;
    r.uset = "refresh";
    r.uval = "5\nforged 1";   // a value never makes a second line
    r.ukill_days = 30;
    manager_state().mi_changed = true;
    ASSERT_EQ(manager_write(), 1);
    manager_reset();
    ASSERT_EQ(manager_read(), 1);
    EXPECT_EQ(manager_state().rec.tcode, 1234567);
    EXPECT_EQ(manager_state().rec.uval, "5forged 1");
    EXPECT_EQ(manager_state().rec.ukill_days, 30);
    EXPECT_EQ(manager_state().rec.pid, getpid());
    // Only manager.dat is left: the temporary was renamed over it.
    int files = 0;
    for (auto& e : std::filesystem::directory_iterator(work)) files += e.is_regular_file();
    EXPECT_EQ(files, 1);
}

TEST_F(ManagerTest, PasswordFile) {
    spit(dir + "/tpl/mpass.dat", "hunter2\n");
    configure("templates " + dir + "/tpl\n");
    EXPECT_EQ(get_pass("@mpass"), "hunter2");
    EXPECT_EQ(get_pass("plain"), "plain");
    // An unreadable file denies access; its own text is no password.
    EXPECT_EQ(get_pass("@missing"), "");
}

TEST_F(ManagerTest, WalkStaysInsideTheWorkArea) {
    make_user("alice");
    make_user("bob");
    spit(work + "/u_al/.hidden/user.dat", "x\n");
    spit(work + "/u_al/notauser/other", "x\n");   // no profile: not a user directory
    spit(dir + "/u_zz/outside/user.dat", "x\n");
    for (const char* pat : {"../*", "*/..", "..", "/*", "../../u_zz/outside"}) {
        int n = user_walk(pat, [](const std::string& d, const std::string&) { ADD_FAILURE() << d; });
        EXPECT_EQ(n, 0) << pat;
    }
    std::vector<std::string> seen;
    EXPECT_EQ(user_walk("*", [&](const std::string&, const std::string& u) { seen.push_back(u); }), 2);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"alice", "bob"}));
}

TEST_F(ManagerTest, DeleteFromListSkipsEmptyAndPathNames) {
    std::string a = make_user("alice"), b = make_user("bob"), c = make_user("carol");
    spit(dir + "/list.txt", "alice\n\n   \n/etc\n.hidden\n../bob\ncarol extra\n");
    form_put("dwild", ".*");
    EXPECT_EQ(del_accounts(), 0);
    form_put("dwild", "@" + dir + "/list.txt");
    EXPECT_EQ(del_accounts(), 1);
    EXPECT_FALSE(file_exists(a));
    EXPECT_TRUE(file_exists(b + "/user.dat"));
    EXPECT_FALSE(file_exists(c));
    EXPECT_NE(manager_state().xinfomsg.find("I2: 2 of 7 users"), std::string::npos) << manager_state().xinfomsg;
    // Nothing is left behind in the work area.
    for (auto& e : std::filesystem::directory_iterator(work)) EXPECT_NE(e.path().filename().string().rfind(".gone_", 0), 0u);
}

// Under the second hash method names are escaped: the walk gives them back
// decoded, a wildcard is matched in escaped form, and an empty name (which
// maps to a whole bucket of users) deletes nothing.
TEST_F(ManagerTest, EscapedNamesWalkAndEmptyNameDeletesNothing) {
    configure("hash_method 2\n");
    std::string a = make_user("a.b@x"), c = make_user("c d");
    std::vector<std::string> seen;
    user_walk(walk_pattern("a.b*"), [&](const std::string&, const std::string& u) { seen.push_back(u); });
    EXPECT_EQ(seen, (std::vector<std::string>{"a.b@x"}));
    spit(dir + "/list.txt", "\n \n");
    form_put("dwild", "@" + dir + "/list.txt");
    del_accounts();
    EXPECT_TRUE(file_exists(a + "/user.dat"));
    EXPECT_TRUE(file_exists(c + "/user.dat"));
}

// The user's own requests and the bulk edit both write under the user's
// lock: neither loses the other's change.
TEST_F(ManagerTest, ConcurrentWriterNeverLost) {
    const std::string d = make_user("alice", "has_checksum -1\ncount 0\nchecksum 3\n");
    constexpr int kRounds = 40;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        lock_reset();
        for (int i = 0; i < kRounds; ++i) {
            if (!admin_lock_user(d, "test", 30)) _exit(2);
            std::string t = slurp(d + "/user.dat");
            std::size_t p = t.find("count ");
            int n = std::atoi(t.c_str() + p + 6);
            std::string next = profile_edit_text(t, "count", std::to_string(n + 1), 0, 0, nullptr, nullptr);
            spit(d + "/user.tmp", next);
            std::filesystem::rename(d + "/user.tmp", d + "/user.dat");
            admin_unlock_user(d);
        }
        _exit(0);
    }
    int edits = 0;
    for (int i = 0; i < kRounds; ++i) edits += user_update_dir(d, "k" + std::to_string(i), "v", 1, 0);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(edits, kRounds);
    const std::string t = slurp(d + "/user.dat");
    EXPECT_NE(t.find("count " + std::to_string(kRounds) + "\n"), std::string::npos) << t;
    for (int i = 0; i < kRounds; ++i) EXPECT_NE(t.find("k" + std::to_string(i) + " v\n"), std::string::npos) << i;
    EXPECT_NE(t.find(sfmt("checksum %d\n", kRounds + 3)), std::string::npos) << t;
}

}  // namespace
