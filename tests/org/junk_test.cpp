// juser.dat, the file the introduction agent shares with us: its exact
// written form, what reading keeps and drops, and a write that never
// leaves half a file.

#include "org/junk.h"
#include "test_env.h"

namespace {

const char* const kWritten =
    "# ini file written by Larkspur 2.8a\r\n"
    "# library: TARN v1.2c\r\n\r\n"
    "# Lines starting with # are comments\r\n\r\n"
    "smtp_address smtp.example.test\r\nlast_check 1700000000\r\ncheck_mins 30\r\nlast_report 0\r\n"
    "report_days 7\r\nhold_days 3\r\nhostiles_removed 2\r\ncurrent_held 1\r\nintros_sent 4\r\n"
    "\r\n# Introduction Offer\r\n\r\noffer Hello,\r\noffer please introduce yourself.\r\n"
    "\r\n# Message Placed on Hold\r\n\r\n"
    "\r\n# Kestrel Report\r\n\r\n"
    "\r\n# Notification of Introduction Received\r\n\r\n"
    "\r\n# Notification of Introduction Received (no Messages)\r\n\r\n"
    "\r\n# Inform Friend of Acceptance\r\n\r\n"
    "\r\n# List of Friends\r\n\r\nfriend bob@example.test\r\nfriend carol@example.test\r\n"
    "\r\n# List of Generic Friends\r\n\r\ngen_friend *@example.org\r\n"
    "\r\n# List of Hostiles\r\n\r\nhostile spam@junk.test\r\n"
    "\r\n# List of Generic Hostiles\r\n\r\n"
    "\r\n# Introduction Offers\r\n\r\nintro_header dave@example.test 1 2 3\r\n"
    "report_id 9\r\noffer_id 11\r\n"
    "agent_state running\r\n";

JUser sample() {
    JUser j;
    juser_init(j);
    j.smtp_address = "smtp.example.test";
    j.last_check = 1700000000;
    j.check_mins = 30;
    j.report_days = 7;
    j.hold_days = 3;
    j.hostiles_removed = 2;
    j.current_held = 1;
    j.intros_sent = 4;
    j.offer = {"Hello,", "please introduce yourself."};
    j.friend_ = {"bob@example.test", "carol@example.test"};
    j.gen_friend = {"*@example.org"};
    j.hostile = {"spam@junk.test"};
    j.intro_header = {{"dave@example.test", 1, 2, 3}};
    j.report_id = 9;
    j.offer_id = 11;
    j.unknown = {"agent_state running"};
    j.changed = true;
    return j;
}

}  // namespace

TEST(Juser, WritesTheSharedFormatAndReadsItBack) {
    StoreEnv env;
    std::string path = env.root + "/juser.dat";
    JUser j = sample();
    ASSERT_EQ(juser_write(j, path, "Larkspur 2.8a"), 1);
    EXPECT_EQ(env.slurp(path), kWritten);
    EXPECT_FALSE(j.changed);

    JUser back;
    ASSERT_EQ(juser_read(back, path), 1);
    back.changed = true;
    std::string again = env.root + "/again.dat";
    ASSERT_EQ(juser_write(back, again, "Larkspur 2.8a"), 1);
    EXPECT_EQ(env.slurp(again), kWritten) << "read and written again, nothing is lost or reordered";
}

TEST(Juser, ReadingDropsBrokenOffersAndKeepsForeignLines) {
    StoreEnv env;
    std::string path = env.root + "/juser.dat";
    const std::string long_friend(600, 'x');
    env.spit(path,
             "# comment without value\n"
             "check_mins 15\r\n"
             "report_days twelve\n"
             "intro_header only@two.test 1 2\n"
             "intro_header ok@example.test 5 6 7\n"
             "intro_header bad@example.test 5 x 7\n"
             "friend " + long_friend + "\n"
             "lonelyword\n"
             "future_key some value\n");
    JUser j;
    ASSERT_EQ(juser_read(j, path), 1);
    EXPECT_EQ(j.check_mins, 15);
    EXPECT_EQ(j.report_days, 0) << "not a number";
    ASSERT_EQ(j.intro_header.size(), 1u);
    EXPECT_EQ(j.intro_header[0].text, "ok@example.test");
    EXPECT_EQ(j.intro_header[0].c, 7);
    ASSERT_EQ(j.friend_.size(), 1u);
    EXPECT_EQ(j.friend_[0].size(), 511u - 7u) << "lines are read up to 511 bytes";
    EXPECT_EQ(j.unknown, (std::vector<std::string>{"lonelyword", "future_key some value"}));
}

TEST(Juser, StoredValuesStayOneLineThatReadsBackWhole) {
    StoreEnv env;
    std::string path = env.root + "/juser.dat";
    JUser j;
    juser_init(j);
    j.friend_ = {"eve@example.test\r\nhostile bob@example.test", std::string(700, 'y')};
    j.changed = true;
    ASSERT_EQ(juser_write(j, path, "w"), 1);
    JUser back;
    ASSERT_EQ(juser_read(back, path), 1);
    EXPECT_TRUE(back.hostile.empty()) << "a line break in a value made a line of its own";
    ASSERT_EQ(back.friend_.size(), 2u);
    EXPECT_EQ(back.friend_[0], "eve@example.testhostile bob@example.test");
    EXPECT_EQ(back.friend_[1], std::string(511 - 7, 'y'));
}

TEST(Juser, FailedWritesLeaveTheOldFileAndNoLeftovers) {
    StoreEnv env;
    JUser j = sample();
    EXPECT_EQ(juser_write(j, env.root + "/nodir/juser.dat", "w"), 0) << "a missing directory fails at once";

    // The target is a directory: the rename fails, and nothing is left
    // beside it.
    std::string blocked = env.root + "/blocked";
    ASSERT_EQ(mkdir(blocked.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((blocked + "/sub").c_str(), 0700), 0);
    EXPECT_EQ(juser_write(j, blocked, "w"), 0);
    int entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(env.root)) entries += e.path().filename() != "larkspur.log";
    EXPECT_EQ(entries, 1) << "the temporary file was removed";
    JUser unread;
    EXPECT_EQ(juser_read(unread, blocked), 0) << "a directory is not a settings file";

    JUser same = sample();
    same.changed = false;
    EXPECT_EQ(juser_write(same, env.root + "/nodir/x.dat", "w"), 1) << "an unchanged record writes nothing";
}
