// The cheap parts of the filter rules: the body search, the user's own
// addresses that a forward may never go to, and the bounded rule log.
#include <gtest/gtest.h>

#include <fstream>

#include "org/rules.h"
#include "page/var.h"
#include "test_env.h"

TEST(Rules, BodySearchCoversHeadersAndRespectsCase) {
    StoreEnv env;
    std::string path = env.root + "/m.dat";
    std::ofstream(path) << "From: Boss <boss@example.test>\nSubject: Hi\n\nThe Kitten sleeps.\n";
    struct Case {
        const char* text;
        int casef;
        int found;
    } cases[] = {
        {"kitten", 0, 1}, {"kitten", 1, 0}, {"Kitten", 1, 1}, {"BOSS@EXAMPLE", 0, 1},   // header lines count
        {"puppy", 0, 0},  {"sleeps.\n", 0, 1},
    };
    for (const Case& c : cases) EXPECT_EQ(body_find(path, c.text, c.casef), c.found) << c.text << " " << c.casef;
    EXPECT_EQ(body_find(env.root + "/missing.dat", "x", 0), 0);
}

TEST(Rules, OwnAddressesAreRefusedAsForwardTargets) {
    StoreEnv env;
    prof.xuser = "ann";
    prof.xpop_name[0] = "mail.example.test";
    prof.xpop_user[0] = "ann";
    prof.xpop_reply[1] = "Ann Lee <ann.lee@work.test>";
    prof.xdflt_reply = "ann@example.test";
    prof.xfrom = {"Ann <ann@home.test>"};
    struct Case {
        const char* addr;
        int own;
    } cases[] = {
        {"ann@mail.example.test", 1}, {"ANN@Example.Test", 1}, {"x <ann.lee@work.test>", 1},
        {"ann@home.test", 1},         {"bob@example.test", 0}, {"", 0},
        {"nobody", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(is_own_address(c.addr), c.own) << c.addr;
}

TEST(Rules, LogIsBoundedAndPublishedWithoutItsLastLineEnd) {
    StoreEnv env;
    rules_reset();
    rule_err("one\n");
    rule_err("two\n");
    EXPECT_EQ(var_find("rule_log"), "one" + g.gbr + "two");
    for (int i = 0; i < 2000; ++i) rule_err("0123456789\n");
    EXPECT_EQ(rule_log().size(), kRuleLogMax);
    rules_reset();
}
