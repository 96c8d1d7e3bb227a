// Folder management: names as typed made safe to store, the fixed_folders
// rule, creating, renaming and deleting folders, and rebuilding indexes.
#include <unistd.h>

#include <string>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/commands.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/tpl.h"
#include "store/folders.h"
#include "store/index.h"
#include "store/msgfile.h"
#include "support/str.h"
#include "support/wild.h"
#include "user/login.h"
#include "user/paths.h"
#include "user/profile.h"

namespace {

constexpr std::size_t kNameMax = 200;

std::size_t us(int i) { return static_cast<std::size_t>(i); }

std::string trim(std::string_view s) {
    std::size_t b = s.find_first_not_of(' ');
    if (b == std::string_view::npos) return {};
    std::size_t e = s.find_last_not_of(' ');
    return std::string(s.substr(b, e - b + 1));
}

int show_folders() {
    if (!form_find("newframe").empty() && g.xisframes) tpl_show("frame");
    else tpl_show("folders");
    return 1;
}

}  // namespace

bool fld_fixed(std::string_view name) {
    const std::string& list = wm_ini_get(K_fixed_folders);
    if (list.empty()) return false;
    // Each pattern counts up to 100 characters.
    std::string cut;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        std::string_view pat = std::string_view(list).substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!cut.empty()) cut += ',';
        cut += ncpy(pat, 100);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return list_match(cut, name) > 0;
}

std::string fld_name_clean(std::string_view typed) {
    std::string s(typed);
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
    s = trim(s);
    if (s.size() > kNameMax) {
        std::size_t n = kNameMax;
        // Back off to the start of a UTF-8 character.
        while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
        s.resize(n);
        s = trim(s);
    }
    return s;
}


int r_fld_create() {
    if (!user_checkauth() || !fld_writable()) return 0;
    imsg("creating folder\n");
    std::string name = fld_name_clean(form_find("newname"));
    if (name.empty()) {
        f_error("%s", lang_get("Sorry, no name specified for new folder"));
        return 0;
    }
    if (fld_find(name) >= 0) {
        f_error("%s", lang_get("Sorry, that folder already exists"));
        return 0;
    }
    int slot = -1;
    for (int k = 1; k < prof.nxfld && k < kMaxFolders; ++k)
        if (prof.xfld_name[us(k)].empty()) {
            slot = k;
            break;
        }
    if (slot < 0 && prof.nxfld < kMaxFolders) slot = prof.nxfld++;
    if (slot < 0) {
        f_error(lang_get("Sorry, you already have %d folders; delete one first"), kMaxFolders);
        return 0;
    }
    prof.xfld_name[us(slot)] = name;
    ++g.ui_changed;
    return show_folders();
}

int r_fld_delete() {
    if (!user_checkauth()) return 0;
    int f = 0;
    if (!fld_take("dstfld", f) || !fld_writable()) return 0;
    const std::string name = prof.xfld_name[us(f)];
    const std::string shown = html_escape(name);
    if (fld_reserved(f)) {
        f_error(lang_get("Cannot delete that folder %s"), shown.c_str());
        return 0;
    }
    if (fld_fixed(lower(name))) {
        f_error(lang_get("That folder %s cannot be deleted"), shown.c_str());
        return 0;
    }
    if (!fld_readxov(f)) return 0;
    if (mainidx().n > 0) {
        f_error(lang_get("Cannot delete folder %s as it contains %d items\n"), shown.c_str(), mainidx().n);
        return 0;
    }
    prof.xfld_name[us(f)].clear();
    if (prof.xfld == f) prof.xfld = 0;
    ++g.ui_changed;
    user_write();
    return show_folders();
}

int r_fld_rename() {
    if (!user_checkauth()) return 0;
    const std::string* field = form_findn("fld_rename");
    int f = -1;
    if (!field || !fld_parse_num(field->substr(10), f)) {
        f_error("%s", lang_get("No fld_renamexxx variable found"));
        return 0;
    }
    if (!fld_visible(f)) {
        f_error(lang_get("There is no folder %s\n"), std::to_string(f).c_str());
        return 0;
    }
    if (!fld_writable()) return 0;
    if (fld_reserved(f)) {
        f_error(lang_get("Cant rename that folder %s"), html_escape(prof.xfld_name[us(f)]).c_str());
        return 0;
    }
    const std::string* typed = nform_findi("f_name", f);
    if (!typed) {
        f_error("%s", lang_get("No fld_renamexxx variable found"));
        return 0;
    }
    std::string name = fld_name_clean(*typed);
    if (name.empty()) {
        f_error("%s", lang_get("Cant rename to blank folder name"));
        return 0;
    }
    int other = fld_find(name);
    if (other >= 0 && other != f) {
        f_error("%s", lang_get("Sorry, that folder already exists"));
        return 0;
    }
    prof.xfld_name[us(f)] = name;
    ++g.ui_changed;
    user_write();
    return show_folders();
}

int r_rebuild_indexes() {
    if (!user_checkauth() || !fld_writable()) return 0;
    empty_remote_newmail(1, 0);
    for (int n = 1; n < kMaxFolders; ++n) {
        if (access(fld_file(n, "index.dat").c_str(), R_OK) != 0) break;
        if (prof.xfld_name[us(n)].empty()) add_folder(sfmt("%d folder %d", n, n + 1));
    }
    long total = 0;
    for (int k = 0; k < kMaxFolders; ++k)
        if (fld_visible(k)) total += fld_idx_rebuild(k);
    prof.xdiskuse = total;
    ++g.ui_changed;
    user_write();
    if (!form_find("newframe").empty() && g.xisframes) {
        tpl_show("frame");
        return 1;
    }
    return handler_run("f_list");
}
