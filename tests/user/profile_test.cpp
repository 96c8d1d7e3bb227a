#include "user/profile.h"

#include <fcntl.h>
#include <sys/wait.h>

#include <regex>

#include "user/codec.h"
#include "test_env.h"

using lk_test::file_exists;
using lk_test::slurp;
using lk_test::spit;

namespace {

const std::string kData = std::string(LK_SOURCE_DIR) + "/tests/data/user/";

std::string no_log_time(const std::string& text) {
    return std::regex_replace(text, std::regex("\nlog_time [0-9]+\n"), "\nlog_time T\n");
}

class ProfileTest : public UserTest {
protected:
    void SetUp() override {
        UserTest::SetUp();
        login_as("ann@pop.example");
    }
    // A request for the user: settings read, nothing loaded yet.
    void login_as(const std::string& user, const std::string& extra = "") {
        configure(extra);
        prof.xuser = user;
        g.gcmd = "list";
    }
    void install(const std::string& text) { spit(user_file(), text); }
    // The folder names in use, joined by "|".
    static std::string folders() {
        std::string out;
        for (int i = 0; i < prof.nxfld; ++i) out += (i ? "|" : "") + prof.xfld_name[i];
        return out;
    }
};

}  // namespace

TEST_F(ProfileTest, GoldenProfileReadsAndWritesBackUnchanged) {
    const std::string golden = slurp(kData + "full.dat");
    install(golden);
    ASSERT_EQ(user_getinfo(0, 1), 1) << f_error_text();
    EXPECT_EQ(prof.red_file, user_file());
    EXPECT_EQ(prof.xsig, "Ann\nSecond line \\o/");
    EXPECT_EQ(prof.xuaddress, "1 Road\nTown");
    EXPECT_EQ(prof.xpop_pass[0], "s3cret pass");
    EXPECT_EQ(prof.xpop_pass[2], "other");
    EXPECT_EQ(prof.xpop_port[2], "995");
    EXPECT_EQ(prof.xpop_reply[2], "");
    EXPECT_EQ(prof.xpop_cur, 2);
    EXPECT_EQ(prof.xcookie, 123);
    EXPECT_EQ(prof.nxfld, 4);
    EXPECT_EQ(prof.xfrom.size(), 2u);
    ASSERT_EQ(prof.rules.size(), 2u);
    EXPECT_EQ(prof.rules[1].address, "me@example.org");
    EXPECT_EQ(prof.rules[1].casef, 1);
    EXPECT_EQ(var_find("u_color"), "blue");
    EXPECT_EQ(prof.gutokc, 0);   // nocheck clears the counter
    prof.gutokc = 4242;
    int count = 0;
    std::string text = profile_text(&count);
    EXPECT_EQ(no_log_time(text), no_log_time(golden));
    EXPECT_EQ(count, 79);   // every line, the checksum line included
}

TEST_F(ProfileTest, LineRules) {
    install("sig\n"
            "real_name Ann Lee\n"
            "refresh 3\n"
            "refresh 7\n"
            "nosuchkey 5\n"
            "fld 4\r\n"
            "pophost 6 evil\tx\t00\t1\n"
            "pophost 1 only.host\n"
            "pophost 3 h3\tu3\t00\t0\n"
            "v_asis 1\n"
            "dflt_reply $(user)-list@example.org\n"
            "from a@b\n");
    ASSERT_EQ(user_getinfo(0, 1), 1) << f_error_text();
    EXPECT_EQ(prof.xsig, "");
    EXPECT_EQ(prof.xreal_name, "Ann Lee");
    EXPECT_EQ(prof.xrefresh, 7);
    EXPECT_EQ(prof.xfld, 4);
    EXPECT_EQ(prof.xpop_name[1], "only.host");
    EXPECT_EQ(prof.xpop_del[1], 0);
    EXPECT_EQ(prof.xpop_port[3], "110");
    EXPECT_EQ(prof.xv_asis, 0);   // kept only with save_v_asis
    EXPECT_EQ(prof.xdflt_reply, "ann-list@example.org");
    EXPECT_NE(log_text().find("Change in pophost 1 data tokens"), std::string::npos);
    // the folder fix-ups gave a new-mail, trash and copies folder
    EXPECT_EQ(folders(), "New Mail|Trash Can|Copies to self");
    // quotas absent: the defaults
    EXPECT_EQ(prof.xdiskquota, 100000);
    EXPECT_EQ(prof.xmax_download_msgs, 100);

    login_as("ann@pop.example", "save_v_asis true\n");
    ASSERT_EQ(user_getinfo(0, 1), 1);
    EXPECT_EQ(prof.xv_asis, 1);
}

TEST_F(ProfileTest, ConfiguredFolderNamesAreEnsured) {
    login_as("ann@pop.example", "new_mail_name Inbox\nwaste_name Bin\ncopy_name Sent\n");
    install("folder 0 New Mail\nfolder 1 Trash Can\nfolder 2 Copies to self\nfolder 3 Work\n");
    ASSERT_EQ(user_getinfo(0, 1), 1);
    EXPECT_EQ(folders(), "Inbox|Bin|Sent|Work");
}

TEST_F(ProfileTest, NewUserFromDefaultFile) {
    spit(work + "/default.dat", slurp(kData + "default.dat"));
    ASSERT_EQ(user_getinfo(1, 1), 1) << f_error_text();
    EXPECT_EQ(prof.gnewuser, 1);
    EXPECT_EQ(prof.red_file, "");
    ASSERT_EQ(prof.xfrom.size(), 1u);
    EXPECT_EQ(prof.xfrom[0], "ann@mail.example");
    EXPECT_EQ(prof.xdflt_reply, "ann@reply.example");
    EXPECT_EQ(prof.xreal_name, "New ann Person");
    EXPECT_EQ(prof.xpop_user[0], "ann");
    EXPECT_EQ(prof.xv_inline, 1);
    EXPECT_EQ(prof.xautoadd, 1);
    EXPECT_EQ(prof.xrefresh, 5);
    EXPECT_EQ(prof.xfld_name[0], "Inbox");
    // the first write creates the directory and user.dat
    g.ui_changed = 1;
    ASSERT_EQ(user_write(), 1) << f_error_text();
    EXPECT_TRUE(file_exists(user_file()));
    EXPECT_EQ(g.ui_changed, 0);
}

TEST_F(ProfileTest, NewUsersCanBeDisabled) {
    login_as("ann@pop.example", "no_new_users true\n");
    EXPECT_EQ(user_getinfo(1, 1), 0);
    EXPECT_NE(f_error_text().find("new account creation has been disabled"), std::string::npos);
}

TEST_F(ProfileTest, LostProfileOutsideLogin) {
    make_parent_dirs(user_file());
    EXPECT_EQ(user_getinfo(0, 0), 0);
    EXPECT_NE(f_error_text().find("User settings lost please let system administrator know"), std::string::npos);
    EXPECT_EQ(slurp(user_lost_file()), "has_checksum 00\n");
}

TEST_F(ProfileTest, CorruptProfileAtLoginKeepsFoldersOnDisk) {
    // 41 lines that claim 40: read three times, then moved aside.
    std::string text = "has_checksum -1\nfolder 0 New Mail\nfolder 1 Trash Can\nfolder 2 Copies to self\n";
    for (int i = 0; i < 36; ++i) text += "refresh 1\n";
    text += "checksum 40\n";
    install(text);
    for (int n = 0; n < 6; ++n) spit(fld_file(n, "index.dat"), "");
    spit(work + "/default.dat", "refresh 9\n");
    ASSERT_EQ(user_getinfo(1, 1), 1) << f_error_text();
    EXPECT_NE(f_error_text().find("User settings corrupt"), std::string::npos);
    EXPECT_EQ(prof.gnewuser, 1);
    EXPECT_EQ(prof.xrefresh, 9);
    EXPECT_EQ(slurp(user_lost_file()), text + "has_checksum 0\n");
    EXPECT_FALSE(file_exists(user_file()));
    EXPECT_EQ(folders(), "New Mail|Trash Can|Copies to self|folder 4|folder 5|folder 6");
    const std::string log = log_text();
    std::size_t n = 0, pos = 0;
    while ((pos = log.find("checksum error 41 != 40", pos)) != std::string::npos) ++n, ++pos;
    EXPECT_EQ(n, 3u);
}

TEST_F(ProfileTest, DamagedTemporaryProfileEndsTheRequest) {
    std::string bad = "has_checksum -1\nrefresh 1\nchecksum 9\n";
    install(bad);
    spit(user_dir() + "/user_99999.tmp", bad);
    EXPECT_EQ(user_getinfo(1, 1), 0);
    EXPECT_NE(f_error_text().find("user_99999.tmp 4 fails aborting"), std::string::npos);
}

TEST_F(ProfileTest, TemporaryProfileIsFoundWhenUserDatIsMissing) {
    make_parent_dirs(user_file());
    const std::string dirp = user_dir();
    spit(dirp + "/user_111.tmp", "has_checksum -1\nrefresh 11\nchecksum 3\n");
    spit(dirp + "/user_222.tmp", "has_checksum -1\nrefresh 22\n");   // being written: no checksum yet
    // the half-written one is the newest
    struct timespec ts[2] = {{time(nullptr) - 100, 0}, {time(nullptr) - 100, 0}};
    utimensat(AT_FDCWD, (dirp + "/user_111.tmp").c_str(), ts, 0);
    ASSERT_EQ(user_getinfo(0, 1), 1) << f_error_text();
    EXPECT_EQ(prof.xrefresh, 11);
    EXPECT_EQ(prof.red_file, dirp + "/user_111.tmp");
    // the next write makes user.dat and clears the leftovers
    prof.xpop_name[0] = "pop.example";
    g.ui_changed = 1;
    ASSERT_EQ(user_write(), 1) << f_error_text();
    EXPECT_TRUE(file_exists(user_file()));
    EXPECT_FALSE(file_exists(dirp + "/user_111.tmp"));
    EXPECT_FALSE(file_exists(dirp + "/user_222.tmp"));
}

TEST_F(ProfileTest, ChecksumRereadStartsFromAnEmptyProfile) {
    std::string bad = "has_checksum -1\nfrom a@x\nfrom b@x\naf: c@x\nrule 0 Subject\tx\tmove\t3\t\t0\t\nchecksum 99\n";
    install(bad);
    std::string good = "has_checksum -1\nfrom a@x\nfrom b@x\naf: c@x\nrule 0 Subject\tx\tmove\t3\t\t0\t\nchecksum 6\n";
    pid_t pid = fork();
    if (pid == 0) {
        usleep(300000);   // repaired while the reader waits to retry
        spit(user_file() + ".new", good);
        rename((user_file() + ".new").c_str(), user_file().c_str());
        _exit(0);
    }
    ASSERT_EQ(user_getinfo(0, 1), 1) << f_error_text();
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_EQ(prof.xfrom.size(), 2u);
    EXPECT_EQ(prof.accept_from.size(), 1u);
    EXPECT_EQ(prof.rules.size(), 1u);
}

TEST_F(ProfileTest, LongSignatureSurvivesAndKeepsTheChecksum) {
    install(slurp(kData + "full.dat"));
    ASSERT_EQ(user_getinfo(0, 1), 1);
    std::string sig;
    while (sig.size() < 3990) sig += "a long signature line with a \\ backslash\n";
    sig.resize(3990);
    prof.xsig = sig;
    prof.xreal_name = std::string(700, 'r');   // longer than its bound
    g.ui_changed = 1;
    ASSERT_EQ(user_write(), 1) << f_error_text();
    std::string text = slurp(user_file());
    std::size_t start = text.find("\nsig ") + 1;
    EXPECT_GT(text.find('\n', start) - start, 2047u);   // one line, longer than 2047
    login_as("ann@pop.example");
    ASSERT_EQ(user_getinfo(0, 1), 1) << f_error_text();
    EXPECT_EQ(prof.xsig, sig);
    EXPECT_EQ(prof.xreal_name, std::string(510, 'r'));
    EXPECT_EQ(log_text().find("checksum error"), std::string::npos);
}

TEST_F(ProfileTest, ValuesCannotBreakTheLineFormat) {
    install(slurp(kData + "full.dat"));
    ASSERT_EQ(user_getinfo(0, 1), 1);
    prof.xreal_name = "Ann\nhas_checksum 0";
    prof.xpop_user[0] = "ann\tx";
    prof.xfld_name[3] = "Work\r\nfolder 9 Sneaky";
    prof.rules[0].match = "a\tb\nrule 5 x";
    g.ui_changed = 1;
    ASSERT_EQ(user_write(), 1);
    login_as("ann@pop.example");
    ASSERT_EQ(user_getinfo(0, 1), 1) << f_error_text();
    EXPECT_EQ(prof.xreal_name, "Ann");
    EXPECT_EQ(prof.xpop_user[0], "ann x");
    EXPECT_EQ(prof.xpop_pass[0], "s3cret pass");
    EXPECT_EQ(prof.nxfld, 4);
    EXPECT_EQ(prof.rules.size(), 2u);
    EXPECT_EQ(prof.rules[0].match, "ab");
}

TEST_F(ProfileTest, WriterKeepsOnlyUsableServersAndRules) {
    install(slurp(kData + "full.dat"));
    ASSERT_EQ(user_getinfo(0, 1), 1);
    prof.xpop_user[2].clear();   // slot 2 no longer usable: pop_cur falls back to 0
    prof.rules[0].header = lang_get("(No Rule)");
    prof.xparent = "mum@pop.example";   // a supervised account lists no children
    std::string text = profile_text();
    EXPECT_EQ(text.find("pophost 2"), std::string::npos);
    EXPECT_NE(text.find("\npop_cur 0\n"), std::string::npos);
    EXPECT_EQ(text.find("rule 0 Subject"), std::string::npos);
    EXPECT_NE(text.find("rule 0 From"), std::string::npos);   // numbering counts written rules
    EXPECT_EQ(text.find("ch: "), std::string::npos);
    EXPECT_NE(text.find("\nparent mum@pop.example\n"), std::string::npos);
    EXPECT_EQ(text.find("s3cret"), std::string::npos);   // the password is hidden
}

TEST_F(ProfileTest, ReplyHostSubstitutionAndNoChecksumMode) {
    login_as("ann@pop.example", "no_checksum true\n");
    install("folder 0 New Mail\npophost 0 pop.example\tann\t00\t1\t\t110\ndflt_reply ann@$(pophost)\n");
    ASSERT_EQ(user_getinfo(0, 1), 1);
    std::string text = profile_text();
    EXPECT_NE(text.find("\ndflt_reply ann@pop.example\n"), std::string::npos);
    EXPECT_EQ(text.find("checksum"), std::string::npos);
}

TEST_F(ProfileTest, WriteRefusals) {
    install("folder 0 New Mail\n");
    ASSERT_EQ(user_getinfo(0, 1), 1);
    g.ui_changed = 1;
    EXPECT_EQ(user_write(), 0);
    EXPECT_NE(f_error_text().find("E32: No pop host data"), std::string::npos);
    f_error_clear();
    add_pophost("0 \t\t\t\t");
    prof.xpop_name[0].clear();
    EXPECT_EQ(user_write(), 0);
    EXPECT_NE(f_error_text().find("E33: No pop host data"), std::string::npos);
    f_error_clear();
    prof.xpop_name[0] = "pop.example";
    prof.nxfld = 0;
    EXPECT_EQ(user_write(), 0);
    EXPECT_NE(f_error_text().find("No folder information"), std::string::npos);
    EXPECT_EQ(slurp(user_file()), "folder 0 New Mail\n");   // the old profile stays
}

TEST_F(ProfileTest, NoRenameModeKeepsThePidFile) {
    login_as("ann@pop.example", "no_rename true\n");
    make_parent_dirs(user_file());
    spit(user_dir() + "/user_1.dat", slurp(kData + "full.dat"));
    ASSERT_EQ(user_getinfo(0, 1), 1) << f_error_text();
    prof.xrefresh = 42;
    g.ui_changed = 1;
    ASSERT_EQ(user_write(), 1) << f_error_text();
    EXPECT_FALSE(file_exists(user_dir() + "/user_1.dat"));
    EXPECT_TRUE(file_exists(user_file_new()));
    login_as("ann@pop.example", "no_rename true\n");
    ASSERT_EQ(user_getinfo(0, 1), 1);
    EXPECT_EQ(prof.xrefresh, 42);
}

TEST_F(ProfileTest, AddFolderAndUserVariables) {
    EXPECT_EQ(add_folder("nospace"), 0);
    EXPECT_EQ(add_folder("5 Five"), 1);
    EXPECT_EQ(prof.nxfld, 6);
    EXPECT_EQ(add_folder("2 Two"), 1);
    EXPECT_EQ(prof.nxfld, 6);
    EXPECT_EQ(add_folder("5 Renamed"), 1);
    EXPECT_EQ(prof.xfld_name[5], "Renamed");
    EXPECT_EQ(add_folder("999 Far"), 1);   // outside the table: ignored
    EXPECT_EQ(prof.nxfld, 6);

    profile_line("u_eight_bit 1", false);
    EXPECT_EQ(var_find("u_eight_bit"), "1");
    EXPECT_EQ(prof.g_eight_bit, 1);
    var_set("u_lang", "fr");   // set by a handler
    prof.xpop_name[0] = "h";
    std::string text = profile_text();
    EXPECT_NE(text.find("\nu_eight_bit 1\n"), std::string::npos);
    EXPECT_NE(text.find("\nu_lang fr\n"), std::string::npos);   // handler-set values are saved too
}

TEST_F(ProfileTest, RequestFieldsSetUserVariables) {
    install("folder 0 New Mail\nu_theme dark\nu_size 3\n");
    form_reset();
    form_put("clear_uvars", "u_theme,u_size");
    form_put("u_size", "5");
    form_put("other", "x");
    query_put("u_lang", "fr");
    ASSERT_EQ(user_getinfo(0, 1), 1);
    EXPECT_EQ(var_find("u_theme"), "");
    EXPECT_EQ(var_find("u_size"), "5");
    EXPECT_EQ(var_find("u_lang"), "fr");
    EXPECT_EQ(g.ui_changed, 4);   // two cleared, two set
    prof.xpop_name[0] = "pop.example";
    std::string text = profile_text();
    EXPECT_EQ(text.find("u_theme"), std::string::npos);
    EXPECT_NE(text.find("\nu_size 5\n"), std::string::npos);
    EXPECT_NE(text.find("\nu_lang fr\n"), std::string::npos);
    form_reset();
}
