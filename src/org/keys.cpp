// The PGP key pages over the key engine (org/wpgp.h).  Every text that
// comes from a key, a message or the engine is escaped for the page it
// reaches; ring.txt holds one value a line, so its values never carry a
// line break.
#include "org/keys.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "cgi/content.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "org/wpgp.h"
#include "page/encode.h"
#include "page/tpl.h"
#include "page/var.h"
#include "send/addr.h"
#include "send/compose.h"
#include "store/msgfile.h"
#include "support/file.h"
#include "support/str.h"
#include "user/login.h"
#include "user/paths.h"
#include "user/profile.h"

namespace {

constexpr std::size_t kRingMax = 1000;
constexpr std::size_t kOptionCut = 90;

std::string key_dir() { return user_fname("pgp"); }

// What the pages say about the operations this installation cannot do.
void set_engine_note() {
    var_set("pgp_note",
            html_escape(lang_get("No PGP engine is configured in this installation: keys can be taken from mail, "
                                 "listed, deleted and put in the signature, but not made, and mail cannot be "
                                 "encrypted or decoded.")));
}

std::string one_value(std::string_view v) {
    std::size_t e = v.find_first_of("\r\n");
    return ncpy(v.substr(0, e), 511);
}

int digits(const std::string& v) {
    if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::atoi(v.c_str());
}

// The stored file of the message named by "fld" and "item"; "" when the
// form names none.
std::string message_file() {
    int fld = std::atoi(form_find("fld").c_str());
    bool known = fld == 0 || fld == -1 ||
                 (fld > 0 && fld < kMaxFolders && !prof.xfld_name[static_cast<std::size_t>(fld)].empty());
    int n = digits(form_find("item"));
    if (!known || n < 0) return "";
    imsg("r_keyadd reading folder %d\n", fld);
    imsg("r_keyadd find form item %d\n", n);
    return fld_item(fld, n);
}

bool slurp_file(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

// The row number after a button's prefix ("cmd_keydel_3" or "cmd_keydel_3.x").
int row_of(const std::string& name, std::size_t prefix) { return std::atoi(name.c_str() + prefix); }

// The key id the row's hidden field carries, for the engine.
std::string row_key(int row) { return ncpy(form_findi("cmd_keyuid_", row), 511); }

}  // namespace

std::vector<RingEntry> ring_read(const std::string& path) {
    std::vector<RingEntry> ring;
    std::ifstream in(path, std::ios::binary);
    std::string uid, name;
    while (ring.size() < kRingMax && std::getline(in, uid) && std::getline(in, name))
        ring.push_back({one_value(ncpy(uid, 511)), one_value(ncpy(name, 511))});
    return ring;
}

bool ring_write(const std::string& path, const std::vector<RingEntry>& ring) {
    std::string text;
    for (const RingEntry& e : ring) text += one_value(e.uid) + "\n" + one_value(e.name) + "\n";
    return file_replace(path, text);
}

std::string pgp_options(const std::vector<RingEntry>& ring, const std::string& target) {
    const bool none = target.empty() || target == "(no encryption)";
    std::string out = none ? "<option selected value=\"(no encryption)\">(no encryption)</option>\n"
                           : "<option value=\"(no encryption)\">(no encryption)</option>\n";
    for (const RingEntry& e : ring) {
        bool sel = !none && contains(e.uid, target);
        out += sfmt("<option %s value=\"%s\">%s</option>\n", sel ? "selected" : "",
                    html_escape(ncpy(e.uid, kOptionCut)).c_str(), html_escape(ncpy(e.name, kOptionCut)).c_str());
    }
    return out;
}

int f_keylist() {
    if (!user_checkauth()) return 0;
    std::string err;
    if (!wpgp_list(key_dir(), err)) {
        lmsg("Key list: %s", err.c_str());
        f_error("%s", lang_get("Could not get list from pgp\n"));
        return 0;
    }
    std::string rows;
    std::vector<RingEntry> ring;
    for (int i = 0; i < wpgp_list_n() && ring.size() < kRingMax; ++i) {
        auto f = [i](int n) { return value_encode(wpgp_list_data(i, n)); };
        rows += sfmt("<tr><td>%s %s</td><td>%s</td><td>%s</td>", f(0).c_str(), f(1).c_str(), f(2).c_str(),
                     f(4).c_str());
        rows += sfmt("<td><input type=hidden name=\"cmd_keyuid_%d\" value=\"%s\"> <input type=submit "
                     "name=\"cmd_keysig_%d\" value=\"Use in Sig\"></td><td><input type=submit name=\"cmd_keydel_%d\" "
                     "value=\"Delete\"></td></tr>\n",
                     i, f(3).c_str(), i, i);
        ring.push_back({wpgp_list_data(i, 3), wpgp_list_data(i, 4)});
    }
    var_set("keylist", rows);
    var_set("nkeys", std::to_string(wpgp_list_n()));
    var_set_outside("dflt_key", prof.xdflt_key);
    set_engine_note();
    tpl_show("keylist");
    if (!ring_write(user_fname("ring.txt"), ring)) lmsg("Cannot write %s\n", user_fname("ring.txt").c_str());
    return 1;
}

int f_keymake() {
    if (!user_checkauth()) return 0;
    var_set_outside("real_name", prof.xreal_name);
    var_set_outside("dflt_reply", get_reply());
    set_engine_note();
    tpl_show("keymake");
    return 1;
}

int r_keymake() {
    if (!user_checkauth()) return 0;
    std::string email = fix_addr(one_value(form_find("key_email")));
    if (email.empty()) {
        f_error("%s", lang_get("EMAIL address must be defined\n"));
        return 0;
    }
    std::string name = one_value(form_find("key_name"));
    if (name.empty()) {
        f_error("%s", lang_get("W3: Your full name must be specified\n"));
        return 0;
    }
    const std::string dir = key_dir();
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) lmsg("Cannot make %s\n", dir.c_str());
    std::string err;
    std::string uid = sfmt("%s <%s>", name.c_str(), email.c_str());
    if (!wpgp_generate(dir, uid, one_value(form_find("key_type")), std::atoi(form_find("key_size").c_str()),
                       std::atoi(form_find("key_life").c_str()), form_find("key_pass"), err)) {
        f_error(lang_get("W4: PGP key creation failed %s %s\n"), "<br>", html_escape(err).c_str());
        return 0;
    }
    if (!wpgp_extract(dir, uid, user_fname("pgp.sig"), err)) {
        f_error(lang_get("W5: Unable to extract new key %s\n"), html_escape(err).c_str());
        return 0;
    }
    prof.xdflt_key = ncpy(uid, 200);
    ++g.ui_changed;
    var_set("msg", html_escape(lang_get("Key generated successfully")));
    tpl_show("ok");
    return 1;
}

int r_keyadd() {
    if (!user_checkauth()) return 0;
    imsg("r_keyadd being called\n");
    std::string path = message_file();
    if (path.empty() || !file_exists(path)) {
        f_error("%s", lang_get("E12: Message must have been deleted"));
        return 0;
    }
    imsg("r_keyadd call addkeys (%s) \n", path.c_str());
    std::string err;
    if (!wpgp_addkeys(key_dir(), path, err)) {
        f_error(lang_get("PGP addkeys failed %s\n"), html_escape(err).c_str());
        return 0;
    }
    return f_keylist();
}

int f_item_pgp() {
    if (!user_checkauth()) return 0;
    int item = digits(form_find("item"));
    int sec = digits(form_find("sec"));
    if (item < 0) {
        f_error("%s", lang_get("No message was chosen"));
        return 0;
    }
    var_set("item", std::to_string(item));
    var_set("sec", std::to_string(sec < 1 ? 1 : sec));
    var_set("fld", std::to_string(std::atoi(form_find("fld").c_str())));
    set_engine_note();
    tpl_show("keyread");
    return 1;
}

int cmd_keysig() {
    const std::string* button = form_findn("cmd_keysig_");
    if (!button) return 0;
    std::string key = row_key(row_of(*button, 11));
    std::string err;
    if (!wpgp_extract(key_dir(), key, user_fname("pgp.sig"), err)) {
        f_error(lang_get("Unable to extract key %s\n"), html_escape(key).c_str());
        return 1;
    }
    prof.xdflt_key = ncpy(key, 200);
    ++g.ui_changed;
    f_keylist();
    return 1;
}

int cmd_keydel() {
    const std::string* button = form_findn("cmd_keydel_");
    if (!button) return 0;
    std::string key = row_key(row_of(*button, 11));
    std::string err;
    if (!wpgp_del(key_dir(), key, err)) {
        f_error(lang_get("Unable to delete key %s\n"), html_escape(key).c_str());
        return 1;
    }
    if (prof.xdflt_key == key) {
        // The signature no longer names a key the ring holds.
        prof.xdflt_key.clear();
        std::remove(user_fname("pgp.sig").c_str());
        ++g.ui_changed;
    }
    f_keylist();
    return 1;
}

int pgp_show_section() {
    int sec = digits(form_find("sec"));
    imsg("Show sec %d \n", sec);
    std::string path = message_file();
    std::string text;
    if (path.empty() || sec < 1 || !slurp_file(path, text)) {
        f_error("%s", lang_get("E12: Message must have been deleted"));
        return 0;
    }
    std::string section;
    int found = 0;
    bool in = false;
    for_each_line(text, [&](std::string_view line) {
        if (!in && contains(line, "--BEGIN PGP")) {
            ++found;
            imsg("Found pgp section %d=%d\n", found, sec);
            in = found == sec;
        }
        if (!in) return true;
        section.append(line);
        section += '\n';
        if (contains(line, "-----END PGP")) return false;
        return true;
    });
    if (section.empty()) {
        f_error(lang_get("There is no encrypted section %d in this message"), sec);
        return 0;
    }
    const std::string fin = user_fname("tmp.in"), fout = user_fname("tmp.out");
    imsg("fin will be %s\n", fin.c_str());
    imsg("fout will be %s\n", fout.c_str());
    {
        std::ofstream o(fin, std::ios::binary | std::ios::trunc);
        if (!o || !(o << section) || !o.flush()) {
            lmsg("Could not write (%s) (%s) \n", fin.c_str(), std::strerror(errno));
            f_error("%s", lang_get("Unable to decode message, bad format or passphrase incorrect\n"));
            std::remove(fin.c_str());
            return 0;
        }
    }
    struct Cleanup {
        std::string a, b;
        ~Cleanup() {
            std::remove(a.c_str());
            std::remove(b.c_str());
        }
    } cleanup{fin, fout};
    const std::string& pass = form_find("keypass");
    if (pass.empty()) {
        f_error("%s", lang_get("Password Phrase must be specified to read encrypted messages\n"));
        return 0;
    }
    std::string err, msg;
    if (!wpgp_decode(key_dir(), fin, fout, pass, err, msg)) {
        f_error(lang_get("Unable to decode message %s"), html_escape(err).c_str());
        return 0;
    }
    std::string out;
    if (!slurp_file(fout, out)) {
        f_error("%s", lang_get("Unable to decode message, bad format or passphrase incorrect\n"));
        return 0;
    }
    if (form_find("pgpbinary") == "1") {
        gprintf("Content-type: application/octet-stream\nContent-length: %d\n\n", static_cast<int>(out.size()));
        gwrite(out);
    } else {
        gprintf("Content-type: text/plain\nContent-length: %d\n\n", static_cast<int>(out.size() + msg.size() + 2));
        gwrite(out);
        gprintf("\n\n%s", msg.c_str());
    }
    return 1;
}

int pgp_picklist() {
    var_set("pgpto", pgp_options(ring_read(user_fname("ring.txt")), form_find("pgpto")));
    if (!prof.xdflt_key.empty() && file_exists(user_fname("pgp.sig"))) var_set_outside("pgp_sig_key", prof.xdflt_key);
    return 1;
}

bool do_encrypt(std::string& body, const std::string& to, const std::string& sign, std::string& err) {
    const std::string in = user_fname("tmp.tmp");
    std::string text;
    for_each_line(body, [&text](std::string_view line) {
        // A lone carriage return ends a line too.
        std::size_t s = 0;
        for (std::size_t cr = line.find('\r'); cr != std::string_view::npos; cr = line.find('\r', s)) {
            text.append(line.substr(s, cr - s));
            text += '\n';
            s = cr + 1;
        }
        text.append(line.substr(s));
        text += '\n';
    });
    {
        std::ofstream o(in, std::ios::binary | std::ios::trunc);
        if (!o || !(o << text) || !o.flush()) {
            std::remove(in.c_str());
            err = sfmt("Cannot write temp file %s", in.c_str());
            return false;
        }
    }
    const std::string out = temp_fname();
    bool ok = !out.empty() && wpgp_encrypt(key_dir(), in, out, to, sign, prof.xdflt_key, err);
    std::remove(in.c_str());
    std::string result;
    if (ok && !slurp_file(out, result)) {
        lmsg("Could not read encrypted file %s\n", out.c_str());
        err = lang_get("Encrypted message was blank?\n");
        ok = false;
    }
    if (!out.empty()) std::remove(out.c_str());
    if (!ok) {
        if (err.empty()) err = "no temporary file";
        return false;
    }
    body = result;
    return true;
}
