// Folder commands against a scripted POP3 server: moves, copies, the trash,
// refusals, hostile folder names, the phone deck, a move racing a mail check.
#include <gtest/gtest.h>

#include <future>
#include <regex>
#include <set>

#include "process/cgi_harness.h"

namespace {

using lk_test::CgiResult;
using lk_test::has;
using lk_test::url_enc;

std::string mailbox(int n) {
    std::string s = "user ann " + lk_test::kPass + "\n";
    for (int i = 1; i <= n; ++i) {
        std::string k = std::to_string(i);
        s += lk_test::pop_message("From: Sender " + k + " <s" + k + "@example.test>\nSubject: Note " + k +
                                      "\nMessage-ID: <n" + k + "@example.test>",
                                  "body " + k);
    }
    return s;
}

// Logged in, n messages fetched into the inbox.
struct FolderEnv : lk_test::Session {
    explicit FolderEnv(int n = 5, const std::string& extra = "") : Session(mailbox(n), extra) {
        login();
        get("cmd=list&fld=0");
    }
    // Message-ID -> id of each record of a folder (ids joined by "," if doubled).
    std::map<std::string, std::string> records(int fld) {
        std::map<std::string, std::string> out;
        for (const auto& f : lk_test::index_records(index(fld)))
            if (f.size() > 3) out[f[3]] += (out.count(f[3]) ? "," : "") + f[0];
        return out;
    }
    std::string sel(int fld) {
        std::string s;
        for (auto& [mid, id] : records(fld)) s += "&sel_" + id + "=on";
        return s;
    }
    CgiResult act(const std::string& body) { return post("must_lock=1&" + body); }
};

bool has(const CgiResult& r, const std::string& s) { return r.out_has(s); }

TEST(FolderProcess, MoveCopyDeleteThroughTheTrash) {
    FolderEnv E(5, "pop_delete_default false\n");   // mail stays on the server
    ASSERT_TRUE(E.pop.ok());
    ASSERT_EQ(E.records(0).size(), 5u);
    lk_test::expect_all(E.act("fld_create=1&newname=Work").out, {">Work</a>"});

    // Three selected messages move to folder 3 and are deleted on the server.
    auto ids = E.records(0);
    std::string pick = "&sel_" + ids["<n1@example.test>"] + "=on&sel_" + ids["<n2@example.test>"] + "=on&sel_" +
                       ids["<n3@example.test>"] + "=on";
    auto count_dele = [&] { return lk_test::count_of(E.pop.log(), "dele "); };
    int dele_before = count_dele();
    auto m = E.act("fld=0&dstfld=3&movesel=1" + pick);
    EXPECT_EQ(m.status, 0) << m.out;
    EXPECT_EQ(E.records(3).size(), 3u);
    EXPECT_EQ(E.records(0).count("<n1@example.test>"), 0u);
    EXPECT_EQ(count_dele(), dele_before + 3) << E.pop.log();
    lk_test::expect_all(E.get("cmd=list&fld=3").out, {"Note 2"});

    // Copy keeps the source; a delete lands in the trash (folder 1).
    E.act("fld=3&dstfld=2&copysel=1" + E.sel(3));
    EXPECT_EQ(E.records(2).size(), 3u);
    EXPECT_EQ(E.records(3).size(), 3u);
    std::string one = E.records(3)["<n2@example.test>"];
    E.act("fld=3&delitem=1&item=" + one);
    EXPECT_EQ(E.records(3).size(), 2u);
    EXPECT_EQ(E.records(1).count("<n2@example.test>"), 1u);

    // Delete and block sender: both senders join the reject list.
    E.act("fld=3&rejsel=1" + E.sel(3));
    std::string prof = E.file("user.dat");
    lk_test::expect_all(prof, {"rf: s1@example.test", "rf: s3@example.test"});
    EXPECT_EQ(E.records(1).size(), 3u);

    // Deleting from the trash deletes outright; emptying empties it.
    lk_test::expect_all(E.act("empty=1").out, {"Your trash has been emptied"});
    EXPECT_TRUE(E.records(1).empty());

    // Refusals: same folder, folders not in use, no selection.
    struct {
        std::string body, error;
    } bad[] = {
        {"fld=0&dstfld=0&movesel=1" + E.sel(0), "Source=Destination"},
        {"fld=0&dstfld=-1&movesel=1" + E.sel(0), "There is no folder"},
        {"fld=0&dstfld=7&copysel=1" + E.sel(0), "There is no folder"},
        {"fld=0&dstfld=3abc&movesel=1" + E.sel(0), "There is no folder"},
        {"fld=250&delsel=1&sel_1=on", "There is no folder"},
        {"fld=0&dstfld=3&movesel=1", "No items selected"},
    };
    for (auto& b : bad) {
        auto r = E.act(b.body);
        EXPECT_TRUE(has(r, b.error)) << b.body << "\n" << r.out;
    }
    EXPECT_EQ(E.records(0).size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(E.h.path(E.dir + "7")));

    // The delete button of a list row; then the indexes rebuilt from the
    // files hold the same messages.
    E.act("fld=0&item_del_" + E.records(0)["<n4@example.test>"] + "=Delete");
    EXPECT_EQ(E.records(0).size(), 1u);
    EXPECT_EQ(E.records(1).count("<n4@example.test>"), 1u);
    auto before = E.records(3);
    auto rb = E.get("cmd=rebuild_indexes");
    EXPECT_EQ(rb.status, 0) << rb.out;
    EXPECT_EQ(E.records(3).size(), before.size());
    EXPECT_EQ(E.records(1).count("<n4@example.test>"), 1u);
}

TEST(FolderProcess, HostileNamesRenameAndDelete) {
    FolderEnv E(2);
    std::string hostile = "<b>x</b>/../\r\nrf: evil@x\t" + std::string(3000, 'z');
    auto c = E.act("fld_create=1&newname=" + url_enc(hostile));
    EXPECT_TRUE(has(c, "&lt;b&gt;x&lt;/b&gt;/../ rf: evil@x z")) << c.out;
    EXPECT_FALSE(has(c, "<b>x</b>"));
    std::string prof = E.file("user.dat");
    EXPECT_FALSE(has(prof, "\nrf: evil@x"));
    EXPECT_FALSE(std::filesystem::exists(E.h.path(E.dir + "x")));
    // The profile still reads: the next page is a normal one.
    lk_test::expect_all(E.get("cmd=fld_manage").out, {"&lt;b&gt;x"});

    struct {
        std::string body, error;
    } refused[] = {
        {"fld_create=1&newname=" + url_enc(hostile), "already exists"},
        {"fld_create=1&newname=%0D%0A", "no name specified"},
        {"fld_rename1=1&f_name1=Bin", "Cant rename that folder"},
        {"fld_rename3=1&f_name3=%09", "Cant rename to blank folder name"},
        {"fld_rename3=1&f_name3=trash+can", "already exists"},
        {"fld_delete=1&dstfld=1", "Cannot delete that folder"},
        {"fld_delete=1&dstfld=9", "There is no folder"},
    };
    for (auto& r : refused) {
        auto out = E.act(r.body);
        EXPECT_TRUE(has(out, r.error)) << r.body << "\n" << out.out.substr(0, 2000);
    }

    lk_test::expect_all(E.act("fld_rename3=1&f_name3=Archive").out, {">Archive</a>"});
    E.act("fld=0&dstfld=3&copysel=1" + E.sel(0));
    lk_test::expect_all(E.act("fld_delete=1&dstfld=3").out, {"as it contains 2 items"});
    E.h.set_ini(E.ini + "fixed_folders arch*\n");
    lk_test::expect_all(E.act("fld_delete=1&dstfld=3").out, {"cannot be deleted"});
    E.h.set_ini(E.ini);
    E.act("fld=3&delsel=1" + E.sel(3));
    lk_test::expect_none(E.act("fld_delete=1&dstfld=3").out, {">Archive</a>"});
    auto again = E.act("fld_create=1&newname=Next");
    EXPECT_TRUE(has(again, "dstfld=3&amp;")) << again.out;   // the slot is reused

    // The phone deck of the folder page and of the trash question.
    E.act("fld_create=1&newname=" + url_enc("a&b <c> $(x) \"q\""));
    E.h.set_ini(E.ini + "wml true\n");
    for (const char* q : {"cmd=fld_manage", "cmd=empty_trash"}) {
        EXPECT_EQ(lk_test::xml_errors(E.h, E.get(q).body()), "") << q;
    }
}

// A move in one tab and a list with a mail check in another, 20 times:
// never a lost or doubled record.
TEST(FolderProcess, MoveRacingAMailCheck) {
    FolderEnv E(6);
    E.act("fld_create=1&newname=A");
    E.act("fld_create=1&newname=B");
    E.act("fld=0&dstfld=3&copysel=1" + E.sel(0));
    ASSERT_EQ(E.records(3).size(), 6u);
    for (int round = 0; round < 20; ++round) {
        int from = round % 2 ? 4 : 3, to = round % 2 ? 3 : 4;
        std::string body = "must_lock=1&fld=" + std::to_string(from) + "&dstfld=" + std::to_string(to) + "&movesel=1" +
                           E.sel(from);
        auto mover = std::async(std::launch::async, [&] { return E.post(body); });
        auto lister = std::async(std::launch::async, [&] { return E.get("cmd=list&fld=0&checknew=1"); });
        mover.get();
        lister.get();
        auto a = E.records(3), b = E.records(4), inbox = E.records(0);
        EXPECT_EQ(inbox.size(), 6u) << round;
        std::set<std::string> seen;
        for (auto* f : {&a, &b})
            for (auto& [mid, id] : *f) {
                EXPECT_FALSE(has(id, ",")) << "doubled " << mid << " round " << round;
                seen.insert(mid);
            }
        EXPECT_EQ(seen.size(), 6u) << round;
        // Whatever the race, a message in both folders is a move that has
        // not run; the next round moves whatever is left.
        if (!a.empty() && !b.empty()) {
            for (auto& [mid, id] : a) EXPECT_EQ(b.count(mid), 0u) << mid << " round " << round;
        }
    }
}

}  // namespace
