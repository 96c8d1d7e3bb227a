// The key ring: public keys read from armored blocks (real keys made by a
// PGP program, and damaged ones), the ring's own operations, ring.txt and
// the compose page's key choice.

#include "org/keys.h"
#include "org/wpgp.h"
#include "test_env.h"

namespace {

std::string key_text(const char* name) {
    return lk_test::slurp(std::string(LK_SOURCE_DIR) + "/tests/data/pgp/" + name);
}

}  // namespace

TEST(PgpKeys, ReadsRealPublicKeys) {
    struct Case {
        const char* file;
        const char* algo;
        const char* bits;
        const char* keyid;   // as the PGP program that made the key lists it
        const char* uid;
    } cases[] = {
        {"alice.asc", "RSA", "2048", "7D0CB7802BAD7664", "Alice Example <alice@example.test>"},
        {"bob.asc", "EdDSA", "255", "EF9D2742D3A6F417", "Bob <bob@example.test>"},
    };
    for (const Case& c : cases) {
        std::vector<PgpKey> keys = pgp_find_keys("Here is my key:\r\n\r\n" + key_text(c.file) + "\r\nBye\r\n");
        ASSERT_EQ(keys.size(), 1u) << c.file;
        EXPECT_EQ(keys[0].algo, c.algo);
        EXPECT_EQ(keys[0].bits, c.bits);
        EXPECT_EQ(keys[0].keyid, c.keyid);
        EXPECT_EQ(keys[0].uid, c.uid);
        EXPECT_EQ(keys[0].created, "2026-12-07");
        EXPECT_EQ(keys[0].armor.find('\r'), std::string::npos);
    }
    EXPECT_EQ(pgp_find_keys(key_text("alice.asc") + key_text("bob.asc")).size(), 2u);
}

TEST(PgpKeys, DamagedBlocksGiveNoKey) {
    const std::string good = key_text("alice.asc");
    std::string body_cut = good;
    body_cut.erase(good.find("\n\n") + 2, 200);   // the packet lengths no longer fit
    std::string no_end = good.substr(0, good.find("-----END"));
    std::string garbage =
        "-----BEGIN PGP PUBLIC KEY BLOCK-----\n\n!!!!not base64!!!!\n-----END PGP PUBLIC KEY BLOCK-----\n";
    std::string secret = "-----BEGIN PGP PUBLIC KEY BLOCK-----\n\nlQ==\n-----END PGP PUBLIC KEY BLOCK-----\n";
    for (const std::string& t : {body_cut, no_end, garbage, secret, std::string()})
        EXPECT_TRUE(pgp_find_keys(t).empty()) << t.substr(0, 200);
}

TEST(PgpKeys, RingAddsListsExtractsAndDeletes) {
    StoreEnv env;
    const std::string dir = env.root + "/pgp", msg = env.root + "/m_0.dat";
    std::string err;
    ASSERT_EQ(wpgp_list(dir, err), 1) << "no key directory yet: an empty ring";
    EXPECT_EQ(wpgp_list_n(), 0);

    env.spit(msg, "From: x@example.test\n\nnothing here\n");
    EXPECT_EQ(wpgp_addkeys(dir, msg, err), 0);
    EXPECT_FALSE(err.empty());

    env.spit(msg, "From: x@example.test\n\n" + key_text("bob.asc") + key_text("alice.asc"));
    ASSERT_EQ(wpgp_addkeys(dir, msg, err), 1) << err;
    ASSERT_EQ(wpgp_list(dir, err), 1);
    ASSERT_EQ(wpgp_list_n(), 2);
    EXPECT_EQ(wpgp_list_data(0, 4), "Alice Example <alice@example.test>") << "listed by user id";
    EXPECT_EQ(wpgp_list_data(0, 3), "7D0CB7802BAD7664");
    EXPECT_EQ(wpgp_list_data(1, 0), "EdDSA");
    EXPECT_EQ(wpgp_list_data(2, 0), "");
    EXPECT_EQ(wpgp_list_data(0, 5), "");

    ASSERT_EQ(wpgp_extract(dir, "7D0CB7802BAD7664", env.root + "/pgp.sig", err), 1);
    EXPECT_EQ(pgp_find_keys(env.slurp(env.root + "/pgp.sig"))[0].keyid, "7D0CB7802BAD7664");

    for (const char* bad : {"../pgp.sig", "7d0cb7802bad7664", "0000000000000000", ""}) {
        EXPECT_EQ(wpgp_del(dir, bad, err), 0) << bad;
        EXPECT_EQ(wpgp_extract(dir, bad, env.root + "/out", err), 0) << bad;
    }
    ASSERT_EQ(wpgp_del(dir, "7D0CB7802BAD7664", err), 1);
    ASSERT_EQ(wpgp_list(dir, err), 1);
    ASSERT_EQ(wpgp_list_n(), 1);
    EXPECT_EQ(wpgp_list_data(0, 3), "EF9D2742D3A6F417");
    EXPECT_TRUE(env.exists(env.root + "/pgp.sig")) << "the ring never touches files outside its directory";

    // What needs a real engine says so.
    EXPECT_EQ(wpgp_generate(dir, "A <a@b>", "RSA", 2048, 0, "pw", err), 0);
    EXPECT_EQ(err, kNoPgpEngine);
    std::filesystem::create_directories(user_dir());
    std::string body = "secret text\n";
    err.clear();
    EXPECT_FALSE(do_encrypt(body, "EF9D2742D3A6F417", "", err));
    EXPECT_EQ(body, "secret text\n") << "a failed encryption leaves the body as it was";
    EXPECT_EQ(err, kNoPgpEngine);
}

TEST(PgpKeys, RingFileAndKeyChoice) {
    StoreEnv env;
    const std::string path = env.root + "/ring.txt";
    ASSERT_TRUE(ring_write(path, {{"7D0CB7802BAD7664", "Alice <alice@example.test>"},
                                  {"EF9D2742D3A6F417\nforged", "Bob\r\n\"><script>"}}));
    EXPECT_EQ(env.slurp(path), "7D0CB7802BAD7664\nAlice <alice@example.test>\nEF9D2742D3A6F417\nBob\n")
        << "a value is cut at its first line break, so the pairs stay pairs";
    std::vector<RingEntry> ring = ring_read(path);
    ASSERT_EQ(ring.size(), 2u);

    struct Case { const char* target; const char* expected; } cases[] = {
        {"", "<option selected value=\"(no encryption)\">(no encryption)</option>\n"
             "<option  value=\"7D0CB7802BAD7664\">Alice &lt;alice@example.test&gt;</option>\n"
             "<option  value=\"EF9D2742D3A6F417\">Bob</option>\n"},
        {"EF9D27", "<option value=\"(no encryption)\">(no encryption)</option>\n"
                   "<option  value=\"7D0CB7802BAD7664\">Alice &lt;alice@example.test&gt;</option>\n"
                   "<option selected value=\"EF9D2742D3A6F417\">Bob</option>\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(pgp_options(ring, c.target), c.expected) << c.target;

    std::string hostile = pgp_options({{"\"><script>", std::string(200, 'n') + "<b>"}}, "");
    EXPECT_EQ(hostile.find("<script>"), std::string::npos);
    EXPECT_EQ(hostile.find("<b>"), std::string::npos);
    EXPECT_NE(hostile.find(">" + std::string(90, 'n') + "</option>"), std::string::npos) << "names cut to 90 bytes";
    EXPECT_TRUE(ring_read(env.root + "/none.txt").empty());
}
