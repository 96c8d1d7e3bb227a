// Supervised accounts through the real program: a parent "pa" and a child
// "kid", each with scripted POP3 servers, and one scripted SMTP server for
// the mail system between them.  What the decisions do on real servers is
// proven in supervise_real_test.cpp.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>

#include "process/cgi_harness.h"
#include "store/index.h"

namespace {

using lk_test::CgiHarness;
using lk_test::CgiResult;
using lk_test::has;
using lk_test::url_enc;

const std::string kPaDir = "work/u_pa/pa@127_0_0_1/";
const std::string kKidDir = "work/u_ki/kid@127_0_0_1/";

std::string msg(int n, const std::string& head) {
    return lk_test::pop_message(head + "\nMessage-ID: <s" + std::to_string(n) + "@example.test>");
}

struct Session {
    std::string tok, utokc;
};

struct Env {
    CgiHarness h{"", true};
    FakeServer smtp{"smtp", "", 300};
    std::map<std::string, Session> who;
    int logins = 0;

    // Every request goes to the POP server given (the one of the account
    // that is acting).
    void use(const FakeServer& pop) {
        h.set_ini("templates @TPL@\nworkarea @WORK@\npophost 127.0.0.1\nport " + std::to_string(pop.port()) +
                  "\nsmtphost 127.0.0.1\nsmtp_port " + std::to_string(smtp.port()) +
                  "\ndomain example.test\ndebug true\nfetch_min 0\nlock_wait 0\npop_timeout 3\npop_delete_default false\n");
    }
    void login(const std::string& user, const std::string& pass, const FakeServer& pop) {
        use(pop);
        auto r = h.post("cmd=login&user=" + user + "&pass=" + pass + "&tcode=" + std::to_string(2000 + ++logins));
        who[user] = {lk_test::cookie_value(r, "utok"), lk_test::cookie_value(r, "utokc")};
        ASSERT_FALSE(who[user].tok.empty()) << r.out << r.log;
    }
    std::map<std::string, std::string> env(const std::string& user) { return {{"HTTP_COOKIE", "utokc=" + who[user].utokc}}; }
    CgiResult get(const std::string& user, const std::string& q) {
        return h.get(q + "&utoken=" + url_enc(who[user].tok), env(user));
    }
    CgiResult post(const std::string& user, const std::string& body) {
        return h.post(body + "&utoken=" + url_enc(who[user].tok), "", env(user));
    }
    std::string prof(const std::string& dir) { return h.read_file(dir + "user.dat"); }
    bool has_line(const std::string& dir, const std::string& line) { return has("\n" + prof(dir), "\n" + line + "\n"); }
    int lines_with(const std::string& dir, const std::string& prefix) {
        return lk_test::count_of("\n" + prof(dir), "\n" + prefix);
    }
    // Subject -> message number of a folder's index.
    std::map<std::string, std::string> inbox(const std::string& dir) {
        std::map<std::string, std::string> out;
        for (const auto& f : lk_test::index_records(h.read_file(dir + "0/index.dat")))
            if (f.size() > H_SUBJECT) out[f[H_SUBJECT]] = f[H_ID];
        return out;
    }
    // Every file of a directory tree with its text.
    std::map<std::string, std::string> snapshot(const std::string& dir) {
        std::map<std::string, std::string> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(h.path(dir)))
            if (e.is_regular_file()) out[e.path().string()] = lk_test::slurp(e.path().string());
        return out;
    }
};

// The error box of a page, for failure messages.
std::string alert(const CgiResult& r) {
    std::size_t a = r.out.find("role=\"alert\"");
    return a == std::string::npos ? "(no alert)" : r.out.substr(a, r.out.find("</div>", a) - a);
}

}  // namespace

TEST(SuperviseProcess, ParentHoldsTheChildsMailFromUnknownSenders) {
    Env e;
    ASSERT_TRUE(e.smtp.ok());
    FakeServer kid0("pop3", "user kid kidpw\n", 300), pa0("pop3", "user pa papw\n", 300);
    e.login("kid", "kidpw", kid0);
    e.login("pa", "papw", pa0);

    // Registering needs the child's password; a wrong one registers nothing.
    e.use(kid0);
    CgiResult bad = e.post("pa", "child_load=1&must_lock=1&child_edit=kid&child_pass=wrong");
    EXPECT_TRUE(bad.out_has("Cannot log in as kid@127.0.0.1")) << bad.out;
    EXPECT_EQ(e.lines_with(kKidDir, "parent"), 0);
    CgiResult reg = e.post("pa", "child_load=1&must_lock=1&child_edit=kid&child_pass=kidpw");
    ASSERT_TRUE(e.has_line(kKidDir, "parent pa@127.0.0.1")) << reg.out << reg.log;
    EXPECT_TRUE(e.has_line(kPaDir, "ch: kid@127.0.0.1")) << e.prof(kPaDir);

    // The lists: one address a line, nothing a form sends adds a line.
    CgiResult saved = e.post("pa", "child_save=1&must_lock=1&child_edit=kid&ch_accept_from=" +
                                       url_enc("Friend <Friend@example.test>\r\nnot an address") +
                                       "&ch_reject_from=" + url_enc("*@spam.test\nx@y.test\r\nparent evil@x.test\tz"));
    EXPECT_TRUE(e.has_line(kKidDir, "af: friend@example.test")) << e.prof(kKidDir);
    EXPECT_TRUE(e.has_line(kKidDir, "rf: *@spam.test"));
    EXPECT_TRUE(e.has_line(kKidDir, "rf: x@y.test"));
    EXPECT_TRUE(e.has_line(kKidDir, "rf: evil@x.test"));
    EXPECT_EQ(e.lines_with(kKidDir, "parent"), 1) << e.prof(kKidDir);
    EXPECT_TRUE(saved.out_has("friend@example.test")) << "the page shows the child's lists";

    // The child cannot lift its supervision from the settings page.
    e.use(kid0);
    e.post("kid", "saveconfig=1&must_lock=1&parent=");
    EXPECT_TRUE(e.has_line(kKidDir, "parent pa@127.0.0.1")) << e.prof(kKidDir);

    // The child's new mail: the parent's is delivered, so is the accepted
    // sender's; rejected senders' mail is deleted on the server; the rest
    // goes to the parent, To equal to From included.
    FakeServer kid1("pop3",
                    "user kid kidpw\n" + msg(1, "From: Stranger <stranger@example.test>\nSubject: from stranger") +
                        msg(2, "From: Pa <pa@example.test>\nSubject: from parent") +
                        msg(3, "From: friend@example.test\nSubject: from friend") +
                        msg(4, "From: ad@spam.test\nSubject: from spammer") +
                        msg(5, "From: kid@example.test\nTo: kid@example.test\nSubject: to and from alike"),
                    300);
    e.use(kid1);
    CgiResult check = e.get("kid", "cmd=checknew&fld=0");
    ASSERT_EQ(check.status, 0) << check.out << check.log;
    auto kin = e.inbox(kKidDir);
    ASSERT_EQ(kin.size(), 2u) << check.log.substr(check.log.rfind("Method is"));
    EXPECT_TRUE(kin.count("from parent") && kin.count("from friend"));
    std::string wire = "\n" + kid1.log();
    for (char& c : wire) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_LT(wire.rfind("\nTOP "), wire.find("\nDELE ")) << "no deletion while TOP replies are outstanding";
    // The spammer's is deleted, so are the two forwarded to the parent; the
    // delivered ones stay.
    lk_test::expect_all(wire, {"\nDELE 4\n", "\nDELE 1\n", "\nDELE 5\n"});
    lk_test::expect_none(wire, {"\nDELE 2\n", "\nDELE 3\n"});
    EXPECT_TRUE(e.has_line(kKidDir, "rejected 1")) << e.prof(kKidDir);
    std::vector<std::string> out = lk_test::smtp_messages(e.smtp, true);
    ASSERT_EQ(out.size(), 2u) << e.smtp.log();
    EXPECT_EQ(lk_test::count_of(e.smtp.log(), "RCPT TO:<pa@example.test>"), 2) << e.smtp.log();
    for (const std::string& m : out) {
        lk_test::expect_all(m, {"X-Child-To: kid@127.0.0.1\n", "Nwflags: 1\n"});
    }
    EXPECT_TRUE(has(out[0], "From: Stranger <stranger@example.test>")) << out[0];

    // The parent's inbox: the two held messages and a private one.
    FakeServer pa1("pop3",
                   "user pa papw\nmessage <<EOM\n" + out[0] + "EOM\nmessage <<EOM\n" + out[1] + "EOM\n" +
                       msg(7, "From: doctor@example.test\nSubject: PARENT-SECRET"),
                   300);
    e.use(pa1);
    e.get("pa", "cmd=checknew&fld=0");
    auto pin = e.inbox(kPaDir);
    ASSERT_EQ(pin.size(), 3u) << e.h.read_file(kPaDir + "0/index.dat");
    CgiResult item = e.get("pa", "cmd=item&fld=0&item=" + pin["from stranger"]);
    EXPECT_TRUE(item.out_has("cmd=child_accept")) << item.out;

    // The child's session reaches nothing of the parent's through any
    // command, whatever folder, message or child it names.
    auto before = e.snapshot(kPaDir);
    std::istringstream table(lk_test::slurp(std::string(LK_SOURCE_DIR) + "/tests/data/dispatch/tables.ref"));
    const std::string fields = "&fld=0&item=" + pin["PARENT-SECRET"] + "&child_edit=pa@127.0.0.1&must_lock=1" +
                               "&ch_accept_from=x%40x.test&sel_" + pin["PARENT-SECRET"] + "=on&parent=";
    int tried = 0;
    e.use(kid1);
    for (std::string kind, auth, name, rest; table >> kind >> auth >> name && std::getline(table, rest);) {
        if (name == "\"\"" || name.find("logout") != std::string::npos || name == "lg") continue;
        CgiResult r = kind == "query" ? e.get("kid", "cmd=" + name + fields)
                      : kind == "button" ? e.post("kid", name + "=1" + fields)
                                         : e.post("kid", "cmd=" + name + fields);
        ++tried;
        lk_test::expect_none(r.out, {"PARENT-SECRET", "doctor@example.test"});
    }
    EXPECT_GT(tried, 100);
    EXPECT_EQ(e.snapshot(kPaDir), before) << "the parent's files are untouched";
    EXPECT_TRUE(e.has_line(kKidDir, "parent pa@127.0.0.1")) << e.prof(kKidDir);

    // While the child's own request holds its lock, the parent's decision
    // waits (here: gives up) rather than write over it.
    e.use(pa1);
    std::string kid_prof = e.prof(kKidDir);
    e.h.write_file(kKidDir + "user_lock", "held\n");
    CgiResult busy = e.get("pa", "cmd=child_accept&fld=0&item=" + pin["from stranger"]);
    EXPECT_TRUE(busy.out_has("is busy")) << alert(busy);
    EXPECT_EQ(e.prof(kKidDir), kid_prof);
    std::filesystem::remove(e.h.path(kKidDir + "user_lock"));

    // With the lock free the decision goes through (its effects on the
    // servers are proven against dovecot and postfix: SuperviseReal).
    CgiResult acc = e.get("pa", "cmd=child_accept&fld=0&item=" + pin["from stranger"]);
    EXPECT_TRUE(e.has_line(kKidDir, "af: stranger@example.test")) << alert(acc);
}
