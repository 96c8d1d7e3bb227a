// Folder commands through the real program against a scripted POP3 server:
// moves, copies and deletes through the trash with DELE on the server, the
// refusals of bad folder numbers, hostile folder names stored on one line
// and shown escaped, the phone folder deck, and a move racing a mail check.
#include <gtest/gtest.h>

#include <future>
#include <regex>
#include <set>

#include "fake/fake_server.h"
#include "process/cgi_harness.h"

namespace {

using lk_test::CgiHarness;
using lk_test::CgiResult;
using lk_test::url_enc;

constexpr const char* kPass = "Fo7-secretPW";
constexpr const char* kUserDir = "work/u_an/ann@127_0_0_1/";

std::string mailbox(int n) {
    std::string s = std::string("user ann ") + kPass + "\n";
    for (int i = 1; i <= n; ++i)
        s += "message <<EOM\nFrom: Sender " + std::to_string(i) + " <s" + std::to_string(i) +
             "@example.test>\nSubject: Note " + std::to_string(i) + "\nMessage-ID: <n" + std::to_string(i) +
             "@example.test>\n\nbody " + std::to_string(i) + "\nEOM\n";
    return s;
}

struct FolderEnv {
    FakeServer pop;
    CgiHarness h;
    std::string tok, utokc, ini;
    explicit FolderEnv(int n = 5, const std::string& extra = "") : pop("pop3", mailbox(n), 120), h("", true) {
        ini = "templates @TPL@\nworkarea @WORK@\npophost 127.0.0.1\nport " + std::to_string(pop.port()) +
              "\ndebug true\n" + extra;
        h.set_ini(ini);
        auto r = h.post("cmd=login&user=ann&pass=" + url_enc(kPass));
        tok = lk_test::cookie_value(r, "utok");
        utokc = lk_test::cookie_value(r, "utokc");
        get("cmd=list&fld=0");
    }
    std::map<std::string, std::string> env() const { return {{"HTTP_COOKIE", "utokc=" + utokc}}; }
    CgiResult get(const std::string& q) { return h.get(q + "&utoken=" + url_enc(tok), env()); }
    CgiResult post(const std::string& body) { return h.post(body + "&utoken=" + url_enc(tok), "", env()); }
    std::string index(int fld) { return h.read_file(std::string(kUserDir) + std::to_string(fld) + "/index.dat"); }
    // Message-ID -> id of each record of a folder.
    std::map<std::string, std::string> records(int fld) {
        std::map<std::string, std::string> out;
        std::istringstream in(index(fld));
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> f;
            std::size_t a = 0, t;
            while ((t = line.find('\t', a)) != std::string::npos) f.push_back(line.substr(a, t - a)), a = t + 1;
            if (f.size() > 3) out[f[3]] += (out.count(f[3]) ? "," : "") + f[0];
        }
        return out;
    }
    std::string sel(int fld) {
        std::string s;
        for (auto& [mid, id] : records(fld)) s += "&sel_" + id + "=on";
        return s;
    }
};

bool has(const CgiResult& r, const std::string& s) { return r.out.find(s) != std::string::npos; }

TEST(FolderProcess, MoveCopyDeleteThroughTheTrash) {
    FolderEnv E(5, "pop_delete_default false\n");   // mail stays on the server
    ASSERT_TRUE(E.pop.ok());
    ASSERT_EQ(E.records(0).size(), 5u);
    auto c = E.post("must_lock=1&fld_create=1&newname=Work");
    EXPECT_TRUE(has(c, ">Work</a>")) << c.out;

    // Three selected messages move to folder 3 and are deleted on the server.
    auto ids = E.records(0);
    std::string pick = "&sel_" + ids["<n1@example.test>"] + "=on&sel_" + ids["<n2@example.test>"] + "=on&sel_" +
                       ids["<n3@example.test>"] + "=on";
    auto count_dele = [&] {
        std::string log = E.pop.log();
        std::size_t n = 0;
        for (std::size_t p = log.find("dele "); p != std::string::npos; p = log.find("dele ", p + 1)) ++n;
        return n;
    };
    std::size_t dele_before = count_dele();
    auto m = E.post("must_lock=1&fld=0&dstfld=3&movesel=1" + pick);
    EXPECT_EQ(m.status, 0) << m.out;
    EXPECT_EQ(E.records(3).size(), 3u);
    EXPECT_EQ(E.records(0).count("<n1@example.test>"), 0u);
    EXPECT_EQ(count_dele(), dele_before + 3) << E.pop.log();
    auto l = E.get("cmd=list&fld=3");
    EXPECT_TRUE(has(l, "Note 2"));

    // Copy keeps the source; a delete lands in the trash (folder 1).
    E.post("must_lock=1&fld=3&dstfld=2&copysel=1" + E.sel(3));
    EXPECT_EQ(E.records(2).size(), 3u);
    EXPECT_EQ(E.records(3).size(), 3u);
    std::string one = E.records(3)["<n2@example.test>"];
    E.post("must_lock=1&fld=3&delitem=1&item=" + one);
    EXPECT_EQ(E.records(3).size(), 2u);
    EXPECT_EQ(E.records(1).count("<n2@example.test>"), 1u);

    // Delete and block sender: both senders join the reject list.
    E.post("must_lock=1&fld=3&rejsel=1" + E.sel(3));
    std::string prof = E.h.read_file(std::string(kUserDir) + "user.dat");
    EXPECT_NE(prof.find("rf: s1@example.test"), std::string::npos) << prof;
    EXPECT_NE(prof.find("rf: s3@example.test"), std::string::npos) << prof;
    EXPECT_EQ(E.records(1).size(), 3u);

    // Deleting from the trash deletes outright; emptying empties it.
    auto e = E.post("must_lock=1&empty=1");
    EXPECT_TRUE(has(e, "Your trash has been emptied")) << e.out;
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
        auto r = E.post("must_lock=1&" + b.body);
        EXPECT_TRUE(has(r, b.error)) << b.body << "\n" << r.out;
    }
    EXPECT_EQ(E.records(0).size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(E.h.path(std::string(kUserDir) + "7")));

    // The delete button of a list row; then the indexes rebuilt from the
    // files hold the same messages.
    E.post("must_lock=1&fld=0&item_del_" + E.records(0)["<n4@example.test>"] + "=Delete");
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
    auto c = E.post("must_lock=1&fld_create=1&newname=" + url_enc(hostile));
    EXPECT_TRUE(has(c, "&lt;b&gt;x&lt;/b&gt;/../ rf: evil@x z")) << c.out;
    EXPECT_FALSE(has(c, "<b>x</b>"));
    std::string prof = E.h.read_file(std::string(kUserDir) + "user.dat");
    EXPECT_EQ(prof.find("\nrf: evil@x"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(E.h.path(std::string(kUserDir) + "x")));
    // The profile still reads: the next page is a normal one.
    auto f = E.get("cmd=fld_manage");
    EXPECT_TRUE(has(f, "&lt;b&gt;x")) << f.out;

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
        auto out = E.post("must_lock=1&" + r.body);
        EXPECT_TRUE(has(out, r.error)) << r.body << "\n" << out.out.substr(0, 2000);
    }

    auto rn = E.post("must_lock=1&fld_rename3=1&f_name3=Archive");
    EXPECT_TRUE(has(rn, ">Archive</a>")) << rn.out;
    E.post("must_lock=1&fld=0&dstfld=3&copysel=1" + E.sel(0));
    auto full = E.post("must_lock=1&fld_delete=1&dstfld=3");
    EXPECT_TRUE(has(full, "as it contains 2 items")) << full.out;
    E.h.set_ini(E.ini + "fixed_folders arch*\n");
    auto fixed = E.post("must_lock=1&fld_delete=1&dstfld=3");
    EXPECT_TRUE(has(fixed, "cannot be deleted")) << fixed.out;
    E.h.set_ini(E.ini);
    E.post("must_lock=1&fld=3&delsel=1" + E.sel(3));
    auto gone = E.post("must_lock=1&fld_delete=1&dstfld=3");
    EXPECT_FALSE(has(gone, ">Archive</a>")) << gone.out;
    auto again = E.post("must_lock=1&fld_create=1&newname=Next");
    EXPECT_TRUE(has(again, "dstfld=3&amp;")) << again.out;   // the slot is reused

    // The phone deck of the folder page and of the trash question.
    E.post("must_lock=1&fld_create=1&newname=" + url_enc("a&b <c> $(x) \"q\""));
    E.h.set_ini(E.ini + "wml true\n");
    for (const char* q : {"cmd=fld_manage", "cmd=empty_trash"}) {
        auto w = E.get(q);
        E.h.write_file("deck.wml", w.body());
        std::string cmd = "xmllint --noout " + E.h.path("deck.wml") + " 2>&1";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << w.body();
    }
}

// A move in one tab and a list with a mail check in another, 20 times:
// never a lost or doubled record.
TEST(FolderProcess, MoveRacingAMailCheck) {
    FolderEnv E(6);
    E.post("must_lock=1&fld_create=1&newname=A");
    E.post("must_lock=1&fld_create=1&newname=B");
    E.post("must_lock=1&fld=0&dstfld=3&copysel=1" + E.sel(0));
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
                EXPECT_EQ(id.find(','), std::string::npos) << "doubled " << mid << " round " << round;
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
