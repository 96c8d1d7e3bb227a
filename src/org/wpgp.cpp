// The key ring: one file "<key id>.asc" per public key in the user's key
// directory, holding the armored block as it arrived.  The blocks come
// from mail, so the packet reader trusts no length it did not check and
// answers "no key" for anything it does not understand.
#include "org/wpgp.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <openssl/evp.h>

#include "support/file.h"
#include "support/str.h"
#include "view/mimecodec.h"

const char* const kNoPgpEngine = "no PGP engine is configured in this installation";

namespace {

constexpr std::size_t kMaxKeys = 1000;
constexpr std::size_t kMaxBlock = 256 * 1024;

std::vector<PgpKey>& ring() {
    static std::vector<PgpKey> keys;
    return keys;
}

struct Packet {
    int tag = 0;
    std::string_view body;
};

// The next packet of data from pos; false at the end or on anything
// malformed (partial lengths included: keys never use them).
bool next_packet(std::string_view data, std::size_t& pos, Packet& p) {
    if (pos >= data.size()) return false;
    auto byte = [&data](std::size_t i) { return static_cast<unsigned char>(data[i]); };
    unsigned char h = byte(pos++);
    if (!(h & 0x80)) return false;
    std::size_t len = 0;
    if (h & 0x40) {
        p.tag = h & 0x3f;
        if (pos >= data.size()) return false;
        unsigned char o = byte(pos++);
        if (o < 192) {
            len = o;
        } else if (o < 224) {
            if (pos >= data.size()) return false;
            len = (static_cast<std::size_t>(o - 192) << 8) + byte(pos++) + 192;
        } else if (o == 255) {
            if (data.size() - pos < 4) return false;
            for (int i = 0; i < 4; ++i) len = (len << 8) | byte(pos++);
        } else {
            return false;
        }
    } else {
        p.tag = (h >> 2) & 0x0f;
        int lt = h & 3;
        if (lt == 3) {
            len = data.size() - pos;
        } else {
            std::size_t n = lt == 0 ? 1 : lt == 1 ? 2 : 4;
            if (data.size() - pos < n) return false;
            for (std::size_t i = 0; i < n; ++i) len = (len << 8) | byte(pos++);
        }
    }
    if (len > data.size() - pos) return false;
    p.body = data.substr(pos, len);
    pos += len;
    return true;
}

std::string hex(const unsigned char* b, std::size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

// The v4 key id: the low 64 bits of the SHA-1 fingerprint.
std::string key_id(std::string_view body) {
    std::string framed;
    framed += static_cast<char>(0x99);
    framed += static_cast<char>((body.size() >> 8) & 0xff);
    framed += static_cast<char>(body.size() & 0xff);
    framed.append(body);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (body.size() > 0xffff || !EVP_Digest(framed.data(), framed.size(), md, &n, EVP_sha1(), nullptr) || n != 20)
        return "";
    return hex(md + 12, 8);
}

bool read_public_key(std::string_view body, PgpKey& k) {
    if (body.size() < 8 || body[0] != 4) return false;
    auto byte = [&body](std::size_t i) { return static_cast<unsigned char>(body[i]); };
    std::time_t created = static_cast<std::time_t>(
        (static_cast<std::uint32_t>(byte(1)) << 24) | (byte(2) << 16) | (byte(3) << 8) | byte(4));
    int algo = byte(5);
    switch (algo) {
    case 1: case 2: case 3: k.algo = "RSA"; break;
    case 16: k.algo = "ELG"; break;
    case 17: k.algo = "DSA"; break;
    case 18: k.algo = "ECDH"; break;
    case 19: k.algo = "ECDSA"; break;
    case 22: k.algo = "EdDSA"; break;
    default: return false;
    }
    if (algo >= 18) {
        // A curve: its OID names the size.
        std::size_t olen = byte(6);
        if (olen == 0 || olen == 0xff || 7 + olen > body.size()) return false;
        std::string oid = hex(reinterpret_cast<const unsigned char*>(body.data()) + 7, olen);
        if (oid == "2B06010401DA470F01" || oid == "2B060104019755010501") k.bits = "255";
        else if (oid == "2A8648CE3D030107") k.bits = "256";
        else if (oid == "2B81040022") k.bits = "384";
        else if (oid == "2B81040023") k.bits = "521";
    } else {
        k.bits = std::to_string((byte(6) << 8) | byte(7));
    }
    char date[16];
    struct tm tmv {};
    if (gmtime_r(&created, &tmv) && std::strftime(date, sizeof date, "%Y-%m-%d", &tmv)) k.created = date;
    k.keyid = key_id(body);
    return !k.keyid.empty();
}

// The user id as one line of printable text.
std::string clean_uid(std::string_view v) {
    std::string s;
    for (char c : v) s += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
    return ncpy(s, 255);
}

bool parse_block(std::string_view block, PgpKey& k) {
    // Armor headers end at the first empty line; the data ends at the
    // checksum line or the END line.
    std::string b64;
    bool in_data = false;
    bool first = true;
    bool done = false;
    for_each_line(block, [&](std::string_view line) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
        if (first) {
            first = false;
            return;
        }
        if (done) return;
        if (!in_data) {
            if (line.empty()) in_data = true;
            else if (line.find(':') == std::string_view::npos) {
                in_data = true;   // no headers and no empty line
                b64.append(line);
            }
            return;
        }
        if (line.empty()) return;
        if (line[0] == '=' || line.substr(0, 5) == "-----") {
            done = true;
            return;
        }
        b64.append(line);
    });
    std::string data;
    if (decode_base64(b64, data) < 0) return false;
    std::size_t pos = 0;
    Packet p;
    bool have_key = false;
    while (next_packet(data, pos, p)) {
        if (!have_key) {
            if (p.tag != 6 || !read_public_key(p.body, k)) return false;
            have_key = true;
        } else if (p.tag == 13) {
            k.uid = clean_uid(p.body);
            break;
        } else if (p.tag == 6 || p.tag == 5) {
            break;   // the next key (or a secret one) starts
        }
    }
    if (!have_key) return false;
    k.armor.clear();
    for_each_line(block, [&k](std::string_view line) {
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        k.armor.append(line);
        k.armor += '\n';
    });
    return true;
}

bool keyid_ok(std::string_view id) {
    if (id.size() != 16) return false;
    return std::all_of(id.begin(), id.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

std::string key_path(const std::string& dir, const std::string& keyid) { return dir + "/" + keyid + ".asc"; }

bool read_whole(const std::string& path, std::string& out, std::size_t max) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    if (out.size() > max) out.resize(max);
    return true;
}

}  // namespace

std::vector<PgpKey> pgp_find_keys(std::string_view text) {
    static constexpr std::string_view kBegin = "-----BEGIN PGP PUBLIC KEY BLOCK-----";
    static constexpr std::string_view kEnd = "-----END PGP PUBLIC KEY BLOCK-----";
    std::vector<PgpKey> keys;
    std::size_t pos = 0;
    while (keys.size() < kMaxKeys) {
        std::size_t b = text.find(kBegin, pos);
        if (b == std::string_view::npos) break;
        std::size_t e = text.find(kEnd, b + kBegin.size());
        if (e == std::string_view::npos) break;
        pos = e + kEnd.size();
        if (pos - b > kMaxBlock) continue;
        PgpKey k;
        if (parse_block(text.substr(b, pos - b), k)) keys.push_back(std::move(k));
    }
    return keys;
}

void wpgp_setrandom(const std::string&) {}

int wpgp_generate(const std::string&, const std::string&, const std::string&, int, int, const std::string&,
                  std::string& err) {
    err = kNoPgpEngine;
    return 0;
}

int wpgp_list(const std::string& dir, std::string& err) {
    std::vector<PgpKey>& keys = ring();
    keys.clear();
    DIR* d = opendir(dir.c_str());
    if (!d) {
        if (errno == ENOENT) return 1;
        err = sfmt("cannot read the key directory (%s)", std::strerror(errno));
        return 0;
    }
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() != 20 || name.substr(16) != ".asc" || !keyid_ok(name.substr(0, 16))) continue;
        std::string text;
        if (!read_whole(dir + "/" + name, text, kMaxBlock)) continue;
        std::vector<PgpKey> found = pgp_find_keys(text);
        if (found.empty() || found[0].keyid != name.substr(0, 16)) continue;
        keys.push_back(std::move(found[0]));
        if (keys.size() >= kMaxKeys) break;
    }
    closedir(d);
    std::sort(keys.begin(), keys.end(), [](const PgpKey& a, const PgpKey& b) {
        return a.uid != b.uid ? a.uid < b.uid : a.keyid < b.keyid;
    });
    return 1;
}

int wpgp_list_n() { return static_cast<int>(ring().size()); }

std::string wpgp_list_data(int key, int field) {
    if (key < 0 || key >= wpgp_list_n()) return "";
    const PgpKey& k = ring()[static_cast<std::size_t>(key)];
    switch (field) {
    case 0: return k.algo;
    case 1: return k.bits;
    case 2: return k.created;
    case 3: return k.keyid;
    case 4: return k.uid;
    default: return "";
    }
}

int wpgp_extract(const std::string& dir, const std::string& keyid, const std::string& out, std::string& err) {
    std::string text;
    if (!keyid_ok(keyid) || !read_whole(key_path(dir, keyid), text, kMaxBlock)) {
        err = "no such key";
        return 0;
    }
    if (!file_replace(out, text)) {
        err = sfmt("cannot write %s (%s)", out.c_str(), std::strerror(errno));
        return 0;
    }
    return 1;
}

int wpgp_del(const std::string& dir, const std::string& keyid, std::string& err) {
    if (!keyid_ok(keyid) || std::remove(key_path(dir, keyid).c_str()) != 0) {
        err = "no such key";
        return 0;
    }
    return 1;
}

int wpgp_addkeys(const std::string& dir, const std::string& msgfile, std::string& err) {
    std::string text;
    if (!read_whole(msgfile, text, 16 * 1024 * 1024)) {
        err = "cannot read the message";
        return 0;
    }
    std::vector<PgpKey> keys = pgp_find_keys(text);
    if (keys.empty()) {
        err = "the message holds no public key";
        return 0;
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        err = sfmt("cannot make the key directory (%s)", std::strerror(errno));
        return 0;
    }
    for (const PgpKey& k : keys)
        if (!file_replace(key_path(dir, k.keyid), k.armor)) {
            err = sfmt("cannot store key %s (%s)", k.keyid.c_str(), std::strerror(errno));
            return 0;
        }
    return 1;
}

int wpgp_encrypt(const std::string&, const std::string&, const std::string&, const std::string&, const std::string&,
                 const std::string&, std::string& err) {
    err = kNoPgpEngine;
    return 0;
}

int wpgp_decode(const std::string&, const std::string&, const std::string&, const std::string&, std::string& err,
                std::string& msg) {
    err = kNoPgpEngine;
    msg.clear();
    return 0;
}

void wpgp_freeall() { ring().clear(); }
