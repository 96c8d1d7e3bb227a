#include "user/paths.h"

#include "test_env.h"

TEST(UserEncode, RencodeTable) {
    struct Case { const char* in; const char* out; } cases[] = {
        {"a.b", "a_Ib"}, {"ann@pop.example", "ann_Ppop_Iexample"},
        {" !\"#$%&'()*+,-./", "_4_5_6_7_8_9_A_B_C_D_E_F_G_H_I_J"},
        {":;<=>?@[\\]^_`{|}~\x7f", "_0_K_L_M_N_O_P_Q_R_S_T___U_V_W_X_Y_Z"},
        {"a\x01\x1f\x80\xffz", "az"},  // control and 8-bit bytes dropped
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(rencode(c.in), c.out) << c.in;
    EXPECT_EQ(rencodew("a*b.c"), "a*b_Ic");
    EXPECT_EQ(rencode("a*b"), "a_Eb");
}

TEST(UserEncode, RencodeBoundNeverSplitsAnEscape) {
    EXPECT_EQ(rencode("abc", 3), "ab");
    EXPECT_EQ(rencode("a.b", 3), "a");   // "_I" would need two more
    EXPECT_EQ(rencode("a.b", 4), "a_I");
    EXPECT_EQ(rencode(std::string(600, 'x')).size(), 511u);
}

TEST(UserEncode, RdecodeInvertsEveryPrintableCharacter) {
    std::string all;
    for (int c = 32; c < 128; ++c) all += static_cast<char>(c);
    EXPECT_EQ(rdecode(rencode(all)), all);
    EXPECT_EQ(rdecode("_q"), "_q");   // not an escape: left alone
}

TEST(UserEncode, NhashLevels) {
    EXPECT_EQ(nhash("abc"), "n_t6/j8/abc");
    EXPECT_EQ(nhash(""), "n_a0/a0/");
    // sums are taken modulo 256, so the letter stays within a..z
    std::string big(501, '\xff');
    std::string h = nhash(big);
    EXPECT_EQ(h.substr(0, 8), "n_a5/a6/");   // 251*255 % 256 = 5, 250*255 % 256 = 6
}

TEST(UserEncode, UserOnly) {
    EXPECT_EQ(user_only("ann@pop.example"), "ann");
    EXPECT_EQ(user_only("ann@corp.example@pop.example"), "ann@corp.example");
    EXPECT_EQ(user_only("ann"), "ann");
}

TEST_F(UserTest, HashMethodOneDirectories) {
    struct Case { const char* extra; const char* user; const char* rel; } cases[] = {
        {"", "j.doe", "u_j_/j_doe"}, {"allow. true\n", "j.doe", "u_j./j.doe"}, {"", "a", "u_a"},
        {"hash_num 3\n", "abcd", "u_abc/abcd"}, {"hash_num 0\n", "abcd", "u_ab/abcd"},
        {"", "ann@pop.example", "u_an/ann@pop_example"}, {"allow- true\n", "a-b", "u_a-/a-b"},
        {"", "a-b", "u_a_/a_b"},
    };
    for (const Case& c : cases) {
        configure(c.extra);
        EXPECT_EQ(user_dir_of(c.user), work + "/" + c.rel) << c.extra << c.user;
    }
}

TEST_F(UserTest, HashMethodTwoDirectories) {
    for (const char* m : {"hash_method nhash\n", "hash_method 2\n", "hash_method NHASH\n"}) {
        configure(m);
        EXPECT_EQ(hash_method(), 2);
        EXPECT_EQ(user_dir_of("abc"), work + "/n_t6/j8/abc");
    }
    configure("hash_method 1\n");
    EXPECT_EQ(hash_method(), 1);
}

TEST_F(UserTest, RenamedHostKeepsOldDirectory) {
    configure("original_pophost old.example\n");
    EXPECT_EQ(user_dir_of("ann@pop.example"), user_dir_of("ann@old.example"));
    EXPECT_EQ(user_dir_of("ann@POP.Example"), user_dir_of("ann@old.example"));
    EXPECT_NE(user_dir_of("ann@other.example"), user_dir_of("ann@old.example"));
}

TEST_F(UserTest, AlternativeWorkAreas) {
    std::string alt = dir + "/alt";
    configure("work a-m " + alt + "\nwork m z " + dir + "/alt2\n");
    EXPECT_EQ(user_dir_of("bob"), alt + "/u_bo/bob");
    EXPECT_EQ(user_dir_of("mary"), dir + "/alt2/u_ma/mary");
    EXPECT_EQ(user_dir_of("zed"), work + "/u_ze/zed");   // high bound excluded
    EXPECT_EQ(user_dir_of("a"), alt + "/u_a");           // low bound included
}

TEST_F(UserTest, PerUserFileNames) {
    configure("");
    prof.xuser = "ann";
    const std::string d = work + "/u_an/ann";
    const std::string pid = std::to_string(getpid());
    EXPECT_EQ(user_dir(), d);
    EXPECT_EQ(user_file(), d + "/user.dat");
    EXPECT_EQ(user_file_new(), d + "/user_" + pid + ".tmp");
    EXPECT_EQ(user_fname("user"), d + "/user");
    EXPECT_EQ(user_lost_file(), d + "/user.lost");
    EXPECT_EQ(fld_file(3, "index.dat"), d + "/3/index.dat");
    EXPECT_EQ(fld_file(-1, "index.dat"), d + "/held/index.dat");
    EXPECT_EQ(fld_file_new(2), d + "/2/index" + pid + ".tmp");
    EXPECT_EQ(fld_file_new(-1), d + "/held/index" + pid + ".tmp");
    EXPECT_EQ(user_default(), work + "/default.dat");
    configure("no_rename true\n");
    prof.xuser = "ann";
    EXPECT_EQ(user_file_new(), d + "/user_" + pid + ".dat");
}

TEST_F(UserTest, BackslashesBecomeSlashesAndPathsStayBounded) {
    configure("allow/ true\n");
    EXPECT_EQ(user_dir_of("a\\b\\c"), work + "/u_a_/a_b_c");   // "\" is not file-safe
    std::string longname(2000, 'q');
    EXPECT_LE(user_dir_of(longname).size(), 511u);
    prof.xuser = longname;
    EXPECT_LE(fld_file(199, std::string(900, 'f')).size(), 511u);
}

// Whatever a user name, folder file name or work line holds, the path
// stays inside the work area.
TEST_F(UserTest, NamesNeverLeaveTheWorkArea) {
    const std::string hostile[] = {
        "../../etc/passwd", "/etc/passwd", "..", "../", "a/../../../b", std::string("a\0/../../x", 10),
        "\x01\x02../\n../", "..\\..\\x", std::string(3000, '.') + "/" + std::string(3000, '/'),
        "....//....//", "@/../..@", "%2e%2e%2f"};
    const char* settings[] = {"", "allow. true\nallow/ true\nallow- true\n", "hash_method 2\n",
                              "allow. true\nallow/ true\nhash_num 5\n"};
    std::string root = std::filesystem::weakly_canonical(work).string();
    for (const char* s : settings) {
        configure(s);
        for (const std::string& name : hostile) {
            prof.xuser = name;
            for (const std::string& p : {user_dir(), user_file(), user_file_new(), user_fname(name), fld_file(0, name),
                                         fld_file(-1, ".."), fld_file(-7, "../../x"), user_lost_file()}) {
                std::string canon = std::filesystem::weakly_canonical(p).string();
                EXPECT_EQ(canon.compare(0, root.size() + 1, root + "/"), 0) << s << " name=" << name << " -> " << p;
                for (char c : p) EXPECT_GE(static_cast<unsigned char>(c), 32) << p;
            }
        }
    }
}

TEST_F(UserTest, UnsafeWorkLinesAreNotUsed) {
    configure("work a z ../escape\nwork a z /tmp/../etc\n");
    EXPECT_EQ(user_dir_of("bob"), work + "/u_bo/bob");
    configure("work a z sub\n");   // relative: under the work area
    EXPECT_EQ(user_dir_of("bob"), work + "/sub/u_bo/bob");
}

TEST_F(UserTest, MakeParentDirs) {
    std::string p = work + "/x/y/z/file";
    EXPECT_EQ(make_parent_dirs(p), 1);
    EXPECT_TRUE(lk_test::file_exists(work + "/x/y/z"));
    lk_test::spit(work + "/plain", "x");
    EXPECT_EQ(make_parent_dirs(work + "/plain/file"), 0);
}
