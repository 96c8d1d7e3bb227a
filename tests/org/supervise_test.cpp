// The supervision rules that need no server: which list entries are stored,
// how a child's profile is read and stripped, and which new message counts
// as the parent's or as a listed sender's.

#include "org/supervise.h"
#include "store/folders.h"
#include "test_env.h"

namespace {

Record from_rec(const std::string& from, const std::string& sender = "", const std::string& reply_to = "",
                const std::string& to = "") {
    Record r;
    r[H_FROM] = from;
    r[H_SENDER] = sender;
    r[H_REPLYTO] = reply_to;
    r[H_TO] = to;
    return r;
}

}  // namespace

TEST(Supervise, StoredEntriesAreBareAddressesOnOneLine) {
    StoreEnv env;
    ini_set(K_pophost, "mail.example.test");
    struct { std::string in, typed, sender; } cases[] = {
        {"Friend <Friend@Example.Test>", "friend@example.test", "friend@example.test"},
        {"*@spam.test", "*@spam.test", ""},   // a sender's "@spam.test" has no user part
        {"*@*", "*@*", ""},
        {"a*b?[c]\\!@x.test", "a*b?[c]\\!@x.test", "abc@x.test"},
        {"<x@y.test,*@*>", "x@y.test", "x@y.test"},
        {"ann@a.test\nparent evil", "ann@a.test", "ann@a.test"},
        {"parent evil@x.test\tz", "evil@x.test", "evil@x.test"},
        {"ann@a.test\tx", "ann@a.test", "ann@a.test"}, {"no address here", "", ""}, {"", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(typed_entry(c.in), c.typed) << c.in;
        EXPECT_EQ(sender_entry(c.in), c.sender) << c.in;
    }
    EXPECT_EQ(child_name(" kid "), "kid@mail.example.test");
    EXPECT_EQ(child_name("kid@other.test\r\n"), "kid@other.test");
    EXPECT_EQ(child_name(" \t"), "");
}

TEST(Supervise, RecordSenderIsFromElseSenderNeverReplyTo) {
    StoreEnv env;
    EXPECT_EQ(record_sender(from_rec("Spammer <spam@evil.test>", "", "innocent@good.test")), "spam@evil.test");
    EXPECT_EQ(record_sender(from_rec("", "List <list@lists.test>", "innocent@good.test")), "list@lists.test");
    EXPECT_EQ(record_sender(from_rec("", "", "innocent@good.test")), "");
    EXPECT_EQ(record_sender(from_rec("\"x\" <*@*>", "", "innocent@good.test")), "");
}

TEST(Supervise, ChildProfileParentAndStripping) {
    const std::string text =
        "folder 0 New Mail\n"
        "af: friend@example.test\n"
        "parentx not a parent line\n"
        "rf: *@spam.test\n"
        "parent pa@mail.test\n"
        "parent second@mail.test\n"
        "sig keep me\n";
    EXPECT_EQ(parent_of(text), "pa@mail.test");
    EXPECT_EQ(parent_of("folder 0 New Mail\nparent\n"), "");
    EXPECT_EQ(parent_of(""), "");
    EXPECT_EQ(strip_supervision(text), "folder 0 New Mail\nparentx not a parent line\nsig keep me\n");
}

TEST(Supervise, ParentAndListMatchingOfNewMail) {
    StoreEnv env;
    ini_set(K_domain, "example.test");
    prof.xparent = "pa@mail.test";
    // The parent's profile names where its mail goes.
    lk_test::spit(user_file("pa@mail.test"), "dflt_reply Pa <papa@home.test>\n");
    struct { Record rec; int parent; } parents[] = {
        {from_rec("Pa <PAPA@home.test>"), 1},
        {from_rec("pa@mail.test"), 0},                                          // the login is no address
        {from_rec("kid@example.test", "", "", "kid@example.test"), 0},          // To equal to From
        {from_rec("x@y.test", "papa@home.test"), 0}, {from_rec(""), 0},
    };
    for (const auto& c : parents) EXPECT_EQ(isparent(c.rec), c.parent) << c.rec[H_FROM];
    prof.xparent.clear();
    EXPECT_EQ(isparent(from_rec("papa@home.test")), 0) << "no parent, no parent's mail";

    std::vector<std::string> list = {"Friend <friend@example.test>", "*@spam.test", "not an address"};
    struct { Record rec; int match; } senders[] = {
        {from_rec("FRIEND@example.test"), 1}, {from_rec("a <a@spam.test>"), 1},
        {from_rec("a@ham.test", "b@spam.test"), 1},
        {from_rec("a@ham.test", "", "friend@example.test"), 0},   // Reply-To is the sender's to choose
        {from_rec("friend@example.test.evil"), 0}, {from_rec(""), 0},
    };
    for (const auto& c : senders) EXPECT_EQ(sender_match(list, c.rec), c.match) << c.rec[H_FROM];
}

TEST(Supervise, AccountAddressFallsBackToTheLoginAtTheMailDomain) {
    StoreEnv env;
    ini_set(K_domain, "example.test");
    EXPECT_EQ(account_address("kid@127.0.0.1"), "kid@example.test");
    lk_test::spit(user_file("pa@127.0.0.1"), "dflt_reply bad address\n");
    EXPECT_EQ(account_address("pa@127.0.0.1"), "pa@example.test") << "an unusable reply address is passed over";
}
