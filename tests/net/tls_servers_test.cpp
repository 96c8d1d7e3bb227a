// TLS against the real dovecot and postfix of scripts/servers.sh, with the
// test CA it made: login, list and read over each POP mode; AUTH over SMTPS
// and over STARTTLS on the submission port, which offers AUTH only after
// TLS.  Skipped when servers.env is absent.
#include <gtest/gtest.h>

#include <map>

#include "net/tls.h"
#include "test_env.h"

namespace {

std::map<std::string, std::string> read_env() {
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

struct Servers : StoreEnv {
    std::map<std::string, std::string> env = read_env();
    bool ready = env.count("LK_TLS_DIR") && env.count("LK_USER1");
    std::string maildir = env["LK_MAILDIRS"] + "/" + env["LK_USER1"] + "/Maildir";

    Servers() {
        sock_reset();
        pop_reset();
        f_error_clear();
        prof.xpop_name[0] = env["LK_HOST"];
        prof.xpop_user[0] = env["LK_USER1"];
        prof.xpop_pass[0] = env["LK_PASS1"];
        ini_set(K_pop_timeout, "20");
        ini_set(K_pop_retry, "0");
        ini_set(K_tls_ca_file, env["LK_CERT"]);
        ini_set(K_pop_tls_ports, env["LK_POP3S_PORT"]);
        ini_set(K_smtp_tls_ports, env["LK_SMTPS_PORT"]);
    }
    ~Servers() {
        sock_reset();
        clear();
    }
    void clear() {
        std::string cmd = "find '" + maildir + "/new' '" + maildir + "/cur' -type f -delete 2>/dev/null; true";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not empty %s\n", maildir.c_str());
    }
    bool fill(int count) {
        clear();
        std::string cmd = "python3 '" + std::string(LK_SOURCE_DIR) + "/scripts/genmail.py' --to " + env["LK_USER1"] +
                          " --count " + std::to_string(count) + " --seed 3 --maildir '" + maildir + "' 2>/dev/null";
        return std::system(cmd.c_str()) == 0;
    }
    // Greeting read, EHLO (and STARTTLS) done: 1 when ready for AUTH.
    int smtp(const char* port_var) {
        std::string host = env["LK_HOST"];
        int port = std::stoi(env[port_var]);
        if (!tls_open(host, port, TLS_SMTP) || !readln()) return 0;
        return tls_smtp_hello(host, port, "client.test", &ehlo);
    }
    bool offers_auth() const {
        for (const std::string& l : ehlo)
            if (l.find("AUTH ") != std::string::npos) return true;
        return false;
    }
    std::string reply(const std::string& line) {
        tcp_write_line(msock().sk, line + "\r\n");
        return readln() ? msock().reason : "";
    }
    std::vector<std::string> ehlo;
};

#define NEED_SERVERS(s) \
    if (!(s).ready) GTEST_SKIP() << "no servers.env: start scripts/servers.sh first"

std::string b64(const std::string& in) {
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < in.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
        out += t[(v >> 18) & 63];
        out += t[(v >> 12) & 63];
        out += i + 1 < in.size() ? t[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? t[v & 63] : '=';
    }
    return out;
}

}  // namespace

TEST(TlsDovecot, LoginListAndReadOverEachMode) {
    struct Case {
        const char* port_var;
        const char* mode;
        bool secure;
    };
    const Case cases[] = {{"LK_POP3S_PORT", "optional", true},
                          {"LK_POP3_PORT", "required", true},
                          {"LK_POP3_PORT", "optional", true},
                          {"LK_POP3_PORT", "none", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.port_var) + " " + c.mode);
        Servers s;
        NEED_SERVERS(s);
        ASSERT_TRUE(s.fill(3));
        ini_set(K_port, s.env[c.port_var]);
        ini_set(K_pop_tls, c.mode);
        ASSERT_EQ(pop_open(0), 1) << f_error_text();
        EXPECT_EQ(tls_active(), c.secure);
        pop_read();
        Index& m = mainidx();
        ASSERT_EQ(m.n, 3) << f_error_text();
        std::string body = StoreEnv::slurp(fld_item(0, std::stoi(m.recs[0][H_ID])));
        EXPECT_EQ(static_cast<long>(body.size()), std::stol(m.recs[0][H_BYTES]));
        EXPECT_NE(body.find("\nSubject: "), std::string::npos);
        pop_close();
    }
}

TEST(TlsPostfix, AuthOverSmtpsAndStarttls) {
    Servers s;
    NEED_SERVERS(s);
    std::string user = s.env["LK_USER1"], pass = s.env["LK_PASS1"];

    ASSERT_EQ(s.smtp("LK_SMTPS_PORT"), 1) << f_error_text();
    EXPECT_TRUE(tls_active());
    EXPECT_EQ(s.reply("AUTH PLAIN " + b64(std::string("\0", 1) + user + std::string("\0", 1) + pass)).substr(0, 3),
              "235");
    tcp_close();

    // Submission: AUTH appears only in the EHLO after STARTTLS.
    ASSERT_EQ(s.smtp("LK_SUBMISSION_PORT"), 1) << f_error_text();
    EXPECT_TRUE(tls_active());
    EXPECT_TRUE(s.offers_auth());
    EXPECT_EQ(s.reply("AUTH LOGIN").substr(0, 3), "334");
    EXPECT_EQ(s.reply(b64(user)).substr(0, 3), "334");
    EXPECT_EQ(s.reply(b64(pass)).substr(0, 3), "235");
    EXPECT_EQ(s.reply("MAIL FROM:<" + user + "@" + s.env["LK_DOMAIN"] + ">").substr(0, 3), "250");
    // To the catch-all mailbox: the POP tests count the test users' mail.
    EXPECT_EQ(s.reply("RCPT TO:<" + s.env["LK_CATCHALL_USER"] + "@" + s.env["LK_DOMAIN"] + ">").substr(0, 3), "250");
    EXPECT_EQ(s.reply("DATA").substr(0, 3), "354");
    EXPECT_EQ(s.reply("Subject: over STARTTLS\r\n\r\nbody\r\n.").substr(0, 3), "250");
    tcp_close();

    // Without TLS the same port offers no AUTH at all.
    ini_set(K_smtp_tls, "none");
    ASSERT_EQ(s.smtp("LK_SUBMISSION_PORT"), 1);
    EXPECT_FALSE(tls_active());
    EXPECT_FALSE(s.offers_auth());
}
