// The key engine behind the PGP pages.  This installation keeps a ring of
// public keys: keys found in received mail are stored, listed, deleted and
// copied out (for the signature); the cryptographic operations (making a
// key, encrypting, decoding) need an engine this installation does not
// have, and fail with a text that says so.  Every operation answers
// non-zero for success and fills err on failure.
#pragma once
#include <string>
#include <string_view>
#include <vector>

// What the operations that need cryptography report.
extern const char* const kNoPgpEngine;

void wpgp_setrandom(const std::string& device);
int wpgp_generate(const std::string& dir, const std::string& uid, const std::string& type, int size, int life,
                  const std::string& pass, std::string& err);
// Reads the ring in dir (a missing dir is an empty ring).
int wpgp_list(const std::string& dir, std::string& err);
int wpgp_list_n();
// Field 0 the algorithm, 1 its size in bits, 2 the creation date, 3 the
// key id (what the other operations take), 4 the key's user id.
std::string wpgp_list_data(int key, int field);
int wpgp_extract(const std::string& dir, const std::string& keyid, const std::string& out, std::string& err);
int wpgp_del(const std::string& dir, const std::string& keyid, std::string& err);
// Stores every public key block found in the message file.
int wpgp_addkeys(const std::string& dir, const std::string& msgfile, std::string& err);
int wpgp_encrypt(const std::string& dir, const std::string& in, const std::string& out, const std::string& to,
                 const std::string& sign, const std::string& dflt_key, std::string& err);
int wpgp_decode(const std::string& dir, const std::string& in, const std::string& out, const std::string& pass,
                std::string& err, std::string& msg);
void wpgp_freeall();

// One public key read from an armored block.
struct PgpKey {
    std::string algo, bits, created, keyid, uid;
    std::string armor;   // the block as stored, LF line ends
};
// The public key blocks of a text; blocks that do not hold a version 4
// public key are skipped.
std::vector<PgpKey> pgp_find_keys(std::string_view text);
