// The PGP key pages: the key list with its signature and delete buttons,
// key making, keys taken from a received message, the decoding of an
// encrypted section, the key ring cache ring.txt and the recipient key
// choice of the compose page.
#pragma once
#include <string>
#include <vector>

int f_keylist();
int f_keymake();
int r_keymake();
int r_keyadd();
int f_item_pgp();
// The row buttons of the key list; 1 when the form held one (handled).
int cmd_keysig();
int cmd_keydel();
// The encrypted section "sec" of the message "item" in folder "fld".
int pgp_show_section();
// Sets "pgpto", the compose page's choice of recipient key.
int pgp_picklist();
// The body encrypted for the recipient key; false with err on failure.
bool do_encrypt(std::string& body, const std::string& to, const std::string& sign, std::string& err);

// ring.txt: pairs of lines, the key id and the key's name.
struct RingEntry {
    std::string uid, name;
};
std::vector<RingEntry> ring_read(const std::string& path);
bool ring_write(const std::string& path, const std::vector<RingEntry>& ring);
// The option list for the compose page, the target selected.
std::string pgp_options(const std::vector<RingEntry>& ring, const std::string& target);
