// The settings file: where it is found, how lines are read, the list
// keys, virtual hosts and defaults.

#include "test_env.h"

namespace {

class ConfigTest : public CgiTest {
protected:
    // Writes dir/<name>.ini and reads it as the program dir/<name> would.
    int read_ini(const std::string& text, std::string vhost = "www.example.org", const std::string& name = "lk") {
        std::ofstream(dir + "/" + name + ".ini", std::ios::binary) << text;
        ini_reset();
        g.rootname = name;
        vhost_ = vhost;
        return ini_read(dir + "/" + name, vhost_);
    }
    std::string vhost_;
};

// A virtual-host name ends up in cookie attributes and the header.
TEST(ConfigPaths, VirtualHostNamesAreHostNames) {
    for (const char* ok : {"mail.example.org", "B.org", "127.0.0.1", "[::1]", "host-1_a:8080"})
        EXPECT_TRUE(vhost_name_ok(ok)) << ok;
    for (const char* bad : {"", "evil\r\nset-cookie:x=1", "a.org; secure", "a b", "x\"y", "a,b", "a=b", "h\xc3\xa9"})
        EXPECT_FALSE(vhost_name_ok(bad)) << bad;
    EXPECT_FALSE(vhost_name_ok(std::string(256, 'a')));
}

TEST(ConfigPaths, ScriptNames) {
    struct Case { const char* path; const char* root; } cases[] = {
        {"/cgi-bin/larkspur", "larkspur"}, {"/cgi-bin/mail.cgi", "mail"},
        {"/cgi-bin/mail.cgi/extra", "mail"},   // the name before ".cgi/"
        {"/cgi-bin/mail.cgi/a/b", "b"},        // only a "/" right after ".cgi" is skipped
        {"C:\\web\\wm.exe", "wm"}, {"plain", "plain"}, {"/cgi-bin/", "larkspur"}, {"", "larkspur"},
    };
    for (const auto& c : cases) {
        request_reset();
        ini_setscript(c.path);
        EXPECT_EQ(g.rootname, c.root) << c.path;
        EXPECT_EQ(g.path_script, c.path);
    }
    std::string d, b;
    ini_split_path("noslash.cgi", d, b);
    EXPECT_EQ(d, ".");
    EXPECT_EQ(b, "noslash");
}

TEST_F(ConfigTest, LinesKeysAndValues) {
    ASSERT_EQ(read_ini("# comment\n"
                       "\n"
                       "POPHOST  pop.example.org  \r\n"   // capitals, blanks, CR LF
                       "smtphost first\n"
                       "smtphost second\n"
                       "domain\n"                         // no value: unchanged
                       "reply_prefix FALSE\n"
                       "body_add  one  \n"
                       "body_add two\n"
                       "nosuchkey 1\n"
                       "\ttemplates /t\n"),
              1);
    EXPECT_EQ(wm_ini_get(K_pophost), "pop.example.org");
    EXPECT_EQ(wm_ini_get(K_smtphost), "second");
    EXPECT_FALSE(ini_isset(K_domain));
    EXPECT_EQ(wm_ini_get(K_reply_prefix), "");
    EXPECT_EQ(wm_ini_get(K_body_add), "one\r\ntwo");
    EXPECT_EQ(wm_ini_get(K_templates), "/t");
    // The unknown key is reported with its zero-based line number.
    EXPECT_NE(log_text().find("E24: Unknown ini file setting line 9 {nosuchkey}"), std::string::npos);
}

TEST_F(ConfigTest, DefaultsAndTruth) {
    ASSERT_EQ(read_ini("wml 1\nnfs TRUE\nno_locks yes\ndebug True\n"), 1);
    EXPECT_EQ(wm_ini_get(K_user_prefix), "u_");   // a default from the table
    EXPECT_EQ(wm_ini_get(K_nwimg), g.path_script);
    EXPECT_TRUE(ini_true(K_wml));
    EXPECT_TRUE(ini_true(K_nfs));
    EXPECT_FALSE(ini_true(K_no_locks));
    EXPECT_FALSE(ini_true(K_hide_ip));   // unset
    EXPECT_EQ(wm_ini_get(-1), "");
    EXPECT_EQ(wm_ini_get(K_COUNT), "");
    // Every key of the table is accepted.
    std::string all;
    for (int k = 0; k < K_COUNT; ++k) all += std::string(ini_name(k)) + " 1\n";
    ASSERT_EQ(read_ini(all), 1);
    EXPECT_EQ(log_text().find("E24"), std::string::npos);
    EXPECT_EQ(ini_find("allow../"), K_allow_dotdotslash);
    EXPECT_EQ(ini_find("POPHOST"), -1);   // lookups themselves are exact
}

TEST_F(ConfigTest, VirtualHosts) {
    const std::string text = "pophost main\n"
                             "vhost www.example.org\npophost ex\nvend\n"
                             "vhost WWW.EXAMPLE.ORG\nsmtphost never\nvend\n"
                             "vhost other.org\npophost other\nsmtphost other\nvend\n"
                             "domain after\n";
    ASSERT_EQ(read_ini(text), 1);
    EXPECT_EQ(wm_ini_get(K_pophost), "ex");
    EXPECT_EQ(wm_ini_get(K_smtphost), "");   // a capitalised section never matches
    EXPECT_EQ(wm_ini_get(K_domain), "after");
    ASSERT_EQ(read_ini(text, "other.org"), 1);
    EXPECT_EQ(wm_ini_get(K_pophost), "other");
}

TEST_F(ConfigTest, VhostMatchFromEnvironment) {
    setenv("LK_TEST_HOST", "Mail.Example.NET", 1);
    ASSERT_EQ(read_ini("vhost_match LK_TEST_HOST\nvhost mail.example.net\npophost m\nvend\n"), 1);
    EXPECT_EQ(vhost_, "mail.example.net");
    EXPECT_EQ(g.g_vhost, "mail.example.net");
    EXPECT_EQ(wm_ini_get(K_pophost), "m");
    unsetenv("LK_TEST_HOST");
    ASSERT_EQ(read_ini("vhost_match LK_TEST_HOST\n"), 1);
    EXPECT_EQ(vhost_, "www.example.org");
}

TEST_F(ConfigTest, ListKeys) {
    ASSERT_EQ(read_ini("work a - m /w1\nwork m-z /w2\nwork short\n"
                       "match Subject \"!*spam*\" flag yes  please\nmatch From \"*@x.org\" v\nmatch broken\n"
                       "auto_login 3 http://a/ /p extra\nauto_login 11 http://b/ /q\nauto_login 2 onlyurl\n"
                       "tpl_set 1 $templates/blue\ntpl_set 0 /zero\ntpl_set 30 /thirty\ntpl_set 29 /last\n"
                       "templates /main\n"),
              1);
    ASSERT_EQ(ini_work().size(), 2u);
    EXPECT_EQ(ini_work()[0].low, "a");
    EXPECT_EQ(ini_work()[0].high, "m");
    EXPECT_EQ(ini_work()[1].dir, "/w2");
    ASSERT_EQ(ini_match().size(), 2u);            // newest first
    EXPECT_EQ(ini_match()[0].header, "From");
    EXPECT_EQ(ini_match()[1].pattern, "*spam*");
    EXPECT_TRUE(ini_match()[1].negate);
    EXPECT_EQ(ini_match()[1].var, "flag");
    EXPECT_EQ(ini_match()[1].value, "yes  please");
    EXPECT_EQ(ini_auto_login(3).url, "http://a/");
    EXPECT_EQ(ini_auto_login(3).extra, "extra");
    EXPECT_EQ(ini_auto_login(11).url, "");
    EXPECT_EQ(ini_auto_login(2).url, "");
    EXPECT_EQ(ini_tpl_set(0), "");
    EXPECT_EQ(ini_tpl_set(29), "/last");
    EXPECT_EQ(get_tpl_dir(), "/main");
    ini_set_tpl_number(1);
    EXPECT_EQ(get_tpl_dir(), "/main/blue");
    EXPECT_EQ(file_tpl("x.tpl"), "/main/blue/x.tpl");
    ini_set_tpl_number(30);
    EXPECT_EQ(get_tpl_dir(), "/main");
}

TEST_F(ConfigTest, OriginalPophostForgottenWhenEqual) {
    ASSERT_EQ(read_ini("pophost a\noriginal_pophost a\n"), 1);
    EXPECT_EQ(wm_ini_get(K_original_pophost), "");
    ASSERT_EQ(read_ini("pophost a\noriginal_pophost b\n"), 1);
    EXPECT_EQ(wm_ini_get(K_original_pophost), "b");
}

TEST_F(ConfigTest, LongLinesArriveInPieces) {
    // A 600-character line: the first 510 characters are one line (a
    // value for "domain"), the rest a second one whose first word is unknown.
    std::string line = "domain " + std::string(593, 'd') + "\n";
    ASSERT_EQ(read_ini(line), 1);
    EXPECT_EQ(wm_ini_get(K_domain).size(), 503u);
    EXPECT_NE(log_text().find("E24"), std::string::npos);
}

TEST_F(ConfigTest, WorkAndTemplatePaths) {
    ini_set(K_templates, "/tpl/");
    ini_unset(K_workarea);
    EXPECT_EQ(file_tpl("a"), "/tpl/a");
    EXPECT_EQ(file_work("b"), "/tpl/b");
    ini_set(K_workarea, "C:\\work");
    EXPECT_EQ(file_work("c"), "C:/work/c");
    EXPECT_EQ(file_work2("/other", "d"), "/other/d");
    EXPECT_EQ(file_work2("", "e"), "C:/work/e");
    EXPECT_EQ(trim_spaces("  a b \t\r\n"), "a b");
    EXPECT_EQ(trim_spaces(std::string(600, 'x')).size(), 511u);
}

TEST_F(ConfigTest, MissingFileRaisesE21AndE23) {
    ini_reset();
    g.rootname = "nosuchprogram";
    std::string vh;
    std::string out = lk_test::capture([&] { EXPECT_EQ(ini_read(dir + "/sub/nosuchprogram", vh), 0); });
    EXPECT_NE(out.find("Content-type: text/html"), std::string::npos);
    EXPECT_NE(out.find("E21: Unable to find ini file in {nosuchprogram.ini}"), std::string::npos);
    // The other places looked in go to the log only.
    EXPECT_EQ(out.find("E23"), std::string::npos);
    EXPECT_EQ(out.find(dir), std::string::npos);
    EXPECT_EQ(ini_config_file(), "/etc/nosuchprogram.ini");
}

TEST_F(ConfigTest, TollanRootTakesProgramName) {
    std::ofstream(dir + "/prog.ini") << "domain d\n";
    ini_reset();
    g.rootname = "tollan";
    std::string vh;
    ASSERT_EQ(ini_read(dir + "/prog.cgi", vh), 1);
    EXPECT_EQ(g.rootname, "prog");
    EXPECT_EQ(ini_xroot(), dir);
}

}  // namespace
