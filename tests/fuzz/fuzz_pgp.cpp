// Feeds arbitrary text to the public-key reader, as a received message
// would, and checks what the key pages rely on: key ids the ring can use as
// file names, user ids of one short printable line, and a key choice list
// that carries no mark-up from the key.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cgi/request.h"
#include "org/keys.h"
#include "org/wpgp.h"
#include "subsystems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    subsystems_reset();
    g.log_file = "/dev/null";
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<RingEntry> ring;
    for (const PgpKey& k : pgp_find_keys(text)) {
        if (k.keyid.size() != 16 || k.keyid.find_first_not_of("0123456789ABCDEF") != std::string::npos) std::abort();
        if (k.uid.size() > 255) std::abort();
        for (char c : k.uid)
            if (static_cast<unsigned char>(c) < 0x20) std::abort();
        if (k.armor.find("-----BEGIN PGP PUBLIC KEY BLOCK-----") != 0) std::abort();
        ring.push_back({k.keyid, k.uid});
    }
    std::string options = pgp_options(ring, "");
    std::size_t tags = 0;
    for (std::size_t p = options.find('<'); p != std::string::npos; p = options.find('<', p + 1)) ++tags;
    if (tags != 2 * (ring.size() + 1)) std::abort();
    return 0;
}
