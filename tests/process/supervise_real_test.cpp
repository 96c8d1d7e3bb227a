// Supervised accounts end to end against the servers of scripts/servers.sh:
// two real dovecot users, a parent and a child, with postfix carrying the
// mail between them.  Skipped only when servers.env is absent.  Mail is put
// straight into the child's Maildir; the test waits (with an upper bound)
// for postfix to deliver what the program sends.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "process/cgi_harness.h"
#include "store/index.h"

namespace {

using lk_test::CgiHarness;
using lk_test::CgiResult;
using lk_test::url_enc;
namespace fs = std::filesystem;

std::map<std::string, std::string> servers_env() {
    std::map<std::string, std::string> env;
    const char* run = std::getenv("LARKSPUR_RUN");
    std::string path = run && *run ? std::string(run) + "/servers.env"
                                   : std::string(LK_SOURCE_DIR) + "/run/servers/servers.env";
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
        env[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return env;
}

struct Real {
    std::map<std::string, std::string> env = servers_env();
    std::unique_ptr<CgiHarness> h;
    std::map<std::string, std::pair<std::string, std::string>> who;   // user -> token, utokc
    int serial = 0;

    std::string maildir(const std::string& user) { return env["LK_MAILDIRS"] + "/" + user + "/Maildir"; }
    void empty(const std::string& user) {
        for (const char* sub : {"/new", "/cur"})
            if (fs::is_directory(maildir(user) + sub))
                for (const auto& e : fs::directory_iterator(maildir(user) + sub)) fs::remove(e.path());
    }
    // Delivers a message the way the mail system would: a new Maildir file
    // owned by the mailbox's user.
    void deliver(const std::string& user, const std::string& text) {
        std::string md = maildir(user);
        std::string tmp = md + "/tmp/" + std::to_string(getpid()) + "." + std::to_string(++serial) + ".supervise";
        std::ofstream(tmp) << text;
        struct stat sb;
        if (stat(md.c_str(), &sb) == 0 && chown(tmp.c_str(), sb.st_uid, sb.st_gid) != 0) std::perror("chown");
        fs::rename(tmp, md + "/new/" + fs::path(tmp).filename().string());
    }
    // The mailbox files holding the marker.
    int holding(const std::string& user, const std::string& marker) {
        int n = 0;
        for (const char* sub : {"/new", "/cur"})
            if (fs::is_directory(maildir(user) + sub))
                for (const auto& e : fs::directory_iterator(maildir(user) + sub))
                    n += lk_test::slurp(e.path().string()).find(marker) != std::string::npos;
        return n;
    }
    // Waits for postfix to deliver (bounded: a message that never comes fails
    // the test after a minute).
    bool arrives(const std::string& user, const std::string& marker) {
        for (int i = 0; i < 600; ++i) {
            if (holding(user, marker)) return true;
            usleep(100000);
        }
        return false;
    }
    void start() {
        h = std::make_unique<CgiHarness>(
            "templates @TPL@\nworkarea @WORK@\npophost " + env["LK_HOST"] + "\nport " + env["LK_POP3_PORT"] +
                "\nsmtphost 127.0.0.1\nsmtp_port " + env["LK_SMTP_PORT"] + "\ndomain " + env["LK_DOMAIN"] +
                "\npop_delete_default false\nfetch_min 0\ndebug true\ntls_ca_file " + env["LK_CERT"] + "\n",
            true);
    }
    void login(const std::string& user, const std::string& pass) {
        auto r = h->post("cmd=login&user=" + url_enc(user) + "&pass=" + url_enc(pass) + "&tcode=" +
                         std::to_string(3000 + ++serial));
        who[user] = {lk_test::cookie_value(r, "utok"), lk_test::cookie_value(r, "utokc")};
        ASSERT_FALSE(who[user].first.empty()) << r.out.substr(0, 2000) << r.log;
    }
    CgiResult get(const std::string& user, const std::string& q) {
        return h->get(q + "&utoken=" + url_enc(who[user].first), {{"HTTP_COOKIE", "utokc=" + who[user].second}});
    }
    CgiResult post(const std::string& user, const std::string& body) {
        return h->post(body + "&utoken=" + url_enc(who[user].first), "",
                       {{"HTTP_COOKIE", "utokc=" + who[user].second}});
    }
    std::string dir(const std::string& user) {
        for (const auto& e : fs::recursive_directory_iterator(h->work))
            if (e.is_directory() && e.path().filename().string().rfind(user + "@", 0) == 0)
                return e.path().string() + "/";
        return "";
    }
    std::string prof(const std::string& user) { return lk_test::slurp(dir(user) + "user.dat"); }
    bool has_line(const std::string& user, const std::string& line) {
        return ("\n" + prof(user)).find("\n" + line + "\n") != std::string::npos;
    }
    // Subject -> message number of the inbox.
    std::map<std::string, std::string> inbox(const std::string& user) {
        std::map<std::string, std::string> out;
        std::istringstream in(lk_test::slurp(dir(user) + "0/index.dat"));
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> f;
            std::size_t b = 0;
            for (std::size_t e; (e = line.find('\t', b)) != std::string::npos; b = e + 1) f.push_back(line.substr(b, e - b));
            f.push_back(line.substr(b));
            if (f.size() > H_SUBJECT) out[f[H_SUBJECT]] = f[H_ID];
        }
        return out;
    }
};

std::string mail(const std::string& from, const std::string& to, const std::string& subject) {
    return "From: " + from + "\nTo: " + to + "\nSubject: " + subject + "\nMessage-ID: <" + subject +
           "@supervise.test>\nDate: Mon, 7 Dec 2026 06:00:00 +0000\n\nbody of " + subject + "\n";
}

}  // namespace

TEST(SuperviseReal, ParentDecidesAboutTheChildsUnknownSenders) {
    Real r;
    if (!r.env.count("LK_POP3_PORT") || !r.env.count("LK_USER2")) GTEST_SKIP() << "no servers.env: start scripts/servers.sh";
    const std::string pa = r.env["LK_USER1"], kid = r.env["LK_USER2"], domain = r.env["LK_DOMAIN"];
    const std::string kid_addr = kid + "@" + domain, pa_login = pa + "@" + r.env["LK_HOST"];
    r.empty(pa);
    r.empty(kid);
    r.start();
    // Logging in makes dovecot create each Maildir.
    r.login(kid, r.env["LK_PASS2"]);
    r.login(pa, r.env["LK_PASS1"]);
    ASSERT_TRUE(fs::is_directory(r.maildir(kid) + "/new") && fs::is_directory(r.maildir(pa) + "/new"));

    // The parent registers with the child's password, checked by dovecot.
    r.post(pa, "child_load=1&must_lock=1&child_edit=" + url_enc(kid) + "&child_pass=" + url_enc(r.env["LK_PASS2"]));
    ASSERT_TRUE(r.has_line(kid, "parent " + pa_login)) << r.prof(kid);

    // Mail from a sender on neither list reaches the parent, not the child.
    r.deliver(kid, mail("Stranger <stranger@" + domain + ">", kid_addr, "held-one"));
    r.deliver(kid, mail("pest@" + domain, kid_addr, "held-two"));
    CgiResult c1 = r.get(kid, "cmd=checknew&fld=0");
    ASSERT_EQ(c1.status, 0) << c1.log;
    EXPECT_TRUE(r.inbox(kid).empty()) << lk_test::slurp(r.dir(kid) + "0/index.dat");
    ASSERT_TRUE(r.arrives(pa, "held-one") && r.arrives(pa, "held-two")) << c1.log;
    EXPECT_EQ(r.holding(kid, "held-"), 0) << "taken off the child's server";

    // The parent accepts one sender and rejects the other.
    r.get(pa, "cmd=checknew&fld=0");
    auto pin = r.inbox(pa);
    ASSERT_TRUE(pin.count("held-one") && pin.count("held-two")) << lk_test::slurp(r.dir(pa) + "0/index.dat");
    CgiResult item = r.get(pa, "cmd=item&fld=0&item=" + pin["held-one"]);
    EXPECT_TRUE(item.out_has("cmd=child_accept")) << "the page offers the decision";
    CgiResult acc = r.get(pa, "cmd=child_accept&fld=0&item=" + pin["held-one"]);
    ASSERT_EQ(acc.status, 0) << acc.log;
    r.get(pa, "cmd=child_reject&fld=0&item=" + r.inbox(pa)["held-two"]);
    EXPECT_TRUE(r.has_line(kid, "af: stranger@" + domain)) << r.prof(kid);
    EXPECT_TRUE(r.has_line(kid, "rf: pest@" + domain)) << r.prof(kid);
    EXPECT_EQ(r.holding(pa, "held-"), 0) << "decided mail leaves the parent's server";

    // The accepted message goes on to the child, and so does later mail
    // from that sender; the rejected sender's later mail is deleted on the
    // server and never stored.
    ASSERT_TRUE(r.arrives(kid, "held-one"));
    r.deliver(kid, mail("stranger@" + domain, kid_addr, "later-one"));
    r.deliver(kid, mail("Pest <pest@" + domain + ">", kid_addr, "later-two"));
    CgiResult c2 = r.get(kid, "cmd=checknew&fld=0");
    ASSERT_EQ(c2.status, 0) << c2.log;
    auto kin = r.inbox(kid);
    EXPECT_EQ(kin.count("held-one"), 1u);
    EXPECT_EQ(kin.count("later-one"), 1u);
    EXPECT_EQ(kin.count("later-two"), 0u);
    EXPECT_EQ(r.holding(kid, "later-two"), 0);
    EXPECT_TRUE(r.has_line(kid, "rejected 1")) << r.prof(kid);

    // Any user can block a sender from the message page.
    r.deliver(pa, mail("Bot <bot@evil.test>\nReply-To: innocent@" + domain, pa + "@" + domain, "junk-one"));
    r.get(pa, "cmd=checknew&fld=0");
    r.get(pa, "cmd=reject&fld=0&item=" + r.inbox(pa)["junk-one"]);
    EXPECT_TRUE(r.has_line(pa, "rf: bot@evil.test")) << r.prof(pa);
    EXPECT_EQ(r.prof(pa).find("innocent"), std::string::npos);
    EXPECT_EQ(r.holding(pa, "junk-one"), 0);

    // Releasing ends it all; the child's own settings stay.
    r.post(pa, "child_release=1&must_lock=1&child_edit=" + url_enc(kid));
    EXPECT_EQ(r.prof(kid).find("\nparent "), std::string::npos) << r.prof(kid);
    EXPECT_TRUE(r.has_line(kid, "rejected 1"));
    r.empty(pa);
    r.empty(kid);
}
