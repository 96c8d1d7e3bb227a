// The common page variables every page can use: request, site and, once a
// user is known, profile values.  Profile texts typed by users are encoded
// here, so a template may show them as they stand.
#include <unistd.h>

#include <ctime>
#include <vector>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/encode.h"
#include "page/tpl.h"
#include "page/var.h"
#include "support/str.h"
#include "user/paths.h"
#include "user/profile.h"

std::vector<void (*)()>& tpl_init_hooks();

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

void tpl_init() {
    TplState& s = tpl_state();
    s.tpl_mode = kTplNormal;
    s.lvl = 0;
    s.tpl_item.clear();
    s.tpl_rules.clear();
    s.head_seen = s.header_added = false;

    const bool user_known = !prof.xuser.empty();
    if (user_known) var_set("user_dir", user_dir());
    const std::string& docmd = form_find("docmd");
    if (!docmd.empty() && f_error_text().empty()) var_set("docmd", value_encode(docmd));
    if (!user_known) {
        var_set("sort_on", "arrival");
        var_set("sort_field", lang_get("arrival"));
        var_set("sort_direction", "ascending");
    }
    if (form_true("fwdedit_attachments")) var_set("fwdedit_attachments", "checked");
    var_set("user_agent", value_encode(g.guser_agent));
    var_set("remote_addr", value_encode(user_known && !prof.xremote_addr.empty() ? prof.xremote_addr : g.remote_addr));
    if (ini_isset(K_netauth)) var_set("netauth", wm_ini_get(K_netauth));
    var_set("vhost", g.g_vhost);
    if (g.g_server_port == 80 || g.g_server_port == 0) {
        var_set("server", g.g_server);
    } else {
        var_set("server", sfmt("%s:%d", g.g_server.c_str(), g.g_server_port));
        var_set("vhost_port", sfmt(":%d", g.g_server_port));
    }
    var_set("http", g.g_http);
    var_set("b_action", g.path_script);
    var_set("action", g.path_script);
    var_set("nwimg", wm_ini_get(K_nwimg));
    std::string token;
    if (g.utoken.empty()) {
        var_set("utoken", "");
        var_set("logged_out", "true");
    } else if (!ini_true(K_require_cookies)) {
        token = url_encode(g.utoken);
        var_set("utoken", token);
    }
    if (g.xisframes) var_set("isframes", "true");
    if (user_known) profile_vars();
    long now = static_cast<long>(std::time(nullptr));
    var_set("time", std::to_string(now));
    var_set("t", std::to_string(now % 99));
    static const int kVars[] = {K_var1, K_var2, K_var3, K_var4, K_var5, K_var6, K_var7};
    for (int i = 0; i < 7; ++i) var_set(sfmt("var%d", i + 1), wm_ini_get(kVars[i]));
    var_set("b_list", sfmt("%s?cmd=list&amp;utoken=%s", g.path_script.c_str(), token.c_str()));
    var_set("b_send", sfmt("%s?cmd=send&amp;utoken=%s", g.path_script.c_str(), token.c_str()));
    var_set("copyright", "Larkspur 2.8a &#169; the Larkspur developers");
    var_set("copyright2", "Larkspur 2.8a (c) the Larkspur developers");
    var_set("product", "Larkspur 2.8a");
    var_set("top", wm_ini_get(K_top));
    for (const char* field : {"attachment_names", "fwdedit"})
        if (var_find(field).empty()) var_set(field, value_encode(form_find(field)));
    encode_state().send_link = sfmt("%s?cmd=send&amp;utoken=%s&amp;to=", g.path_script.c_str(), token.c_str());
    for (auto fn : tpl_init_hooks()) fn();
}
