// The page variables of the logged-in user: the profile values every page
// can use.  Profile texts typed by users are encoded here, so a template may
// show them as they stand.  The renderer calls user_tpl_vars through its
// hooks (page/hooks.h) while it sets up a page.
#include "user/tpl_vars.h"

#include <unistd.h>

#include "cgi/config.h"
#include "cgi/lang.h"
#include "page/encode.h"
#include "page/var.h"
#include "support/str.h"
#include "user/paths.h"
#include "user/profile.h"

namespace {

constexpr std::size_t kPoplistMax = 511;

const char* checked(bool on) { return on ? "checked" : ""; }

// The option list of the user's POP accounts for a select element.
std::string poplist() {
    auto label = [](int i) {
        std::string text = prof.xpop_user[i];
        if (text.find('@') == std::string::npos) text += "@" + prof.xpop_name[i];
        int width = std::atoi(wm_ini_get(K_poplist_width).c_str());
        if (width >= 1 && width <= 511) text = ncpy(text, static_cast<std::size_t>(width));
        return value_encode(text);
    };
    std::string out = wm_ini_get(K_separator).empty() ? "<option value=\"0\"> " + label(0) : label(0);
    for (int i = 1; i < kPopSlots; ++i) {
        if (prof.xpop_name[i].empty()) continue;
        std::string opt = sfmt("</option>\n<option value=\"%d\" %s>%s", i, i == prof.xpop_cur ? "selected" : "",
                               label(i).c_str());
        if (out.size() + opt.size() > kPoplistMax) break;   // whole options only
        out += opt;
    }
    return out;
}

void profile_vars() {
    const Profile& p = prof;
    std::string key = p.xsort_on;
    if (key.empty() || lc_equal(key, "arrival")) {
        var_set("sort_on", "arrival");
        var_set("sort_field", lang_get("arrival"));
        var_set("sort_direction", "ascending");
    } else {
        var_set("sort_on", key);
        var_set("sort_field", lang_get((key[0] == '-' ? key.substr(1) : key).c_str()));
        var_set("sort_direction", key[0] == '-' ? "ascending" : "descending");
    }
    var_set("real_name", value_encode(p.xreal_name));
    var_set("usex", value_encode(p.xusex));
    var_set("uaddress", value_encode(p.xuaddress));
    var_set("parent", value_encode(p.xparent));
    var_set("v_myfrom", checked(p.xv_myfrom));
    var_set("frames", checked(p.xframes));
    var_set("copyself", checked(p.xcopyself));
    var_set("addsig", checked(p.xaddsig));
    var_set("rmove", checked(p.xrmove));
    var_set("send_autocc", checked(p.xsend_autocc));
    var_set("autoadd", checked(p.xautoadd));
    var_set("autoadda", checked(p.xautoadda));
    var_set("nm_sound", value_encode(p.xnm_sound));
    for (int i = 0; i < 4; ++i) var_set(sfmt("uvar%d", i + 1), value_encode(p.xuvar[i]));
    var_set("pop_name0", value_encode(p.xpop_name[0]));
    var_set("pop_user0", value_encode(p.xpop_user[0]));
    var_set("fld", std::to_string(p.xfld));
    if (p.xrejected) var_set("rejected", std::to_string(p.xrejected));
    if (p.xfld >= 0 && p.xfld < kMaxFolders) var_set("folder", value_encode(p.xfld_name[p.xfld]));
    var_set("page_size", std::to_string(p.xpage_size));
    var_set("wml_page_size", std::to_string(p.xwml_page_size));
    var_set("disk_use_kbytes", std::to_string(p.xdiskuse / 1024));
    var_set("pid", std::to_string(static_cast<long>(getpid())));
    var_set("disk_quota_kbytes", std::to_string(p.xdiskquota));
    var_set("max_download_kbytes", std::to_string(p.xmax_download_kbytes));
    var_set("max_download_msgs", std::to_string(p.xmax_download_msgs));
    var_set("user", value_encode(user_only(p.xuser)));
    var_set("fuser", value_encode(p.xuser));
    var_set("nosortpick", checked(p.xnosortpick));
    var_set("nosortaddr", checked(p.xnosortaddr));
    var_set("popall", checked(p.xpopall));
    var_set("wysiwyg", checked(p.xwysiwyg));
    var_set("cookie_set", checked(p.xcookie != 0));
    var_set("cookie_selected", p.xcookie != 0 ? "selected" : "");
    var_set("poplist", poplist());
    var_set("pop_cur", std::to_string(p.xpop_cur));
    var_set("uage", std::to_string(p.xuage));
}

}  // namespace

bool user_tpl_vars() {
    if (prof.xuser.empty()) return false;
    var_set("user_dir", user_dir());
    if (!prof.xremote_addr.empty()) var_set("remote_addr", value_encode(prof.xremote_addr));
    profile_vars();
    return true;
}
