// The common page variables every page can use: request and site values,
// and the user's block (user/tpl_vars.cpp) once a user is known.
#include <ctime>
#include <vector>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/encode.h"
#include "page/hooks.h"
#include "page/tpl.h"
#include "page/var.h"
#include "support/str.h"

std::vector<void (*)()>& tpl_init_hooks();

void tpl_init() {
    TplState& s = tpl_state();
    s.tpl_mode = kTplNormal;
    s.lvl = 0;
    s.tpl_item.clear();
    s.tpl_rules.clear();
    s.head_seen = s.header_added = false;

    const std::string& docmd = form_find("docmd");
    if (!docmd.empty() && f_error_text().empty()) var_set("docmd", value_encode(docmd));
    if (form_true("fwdedit_attachments")) var_set("fwdedit_attachments", "checked");
    var_set("user_agent", value_encode(g.guser_agent));
    var_set("remote_addr", value_encode(g.remote_addr));
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
    // The logged-in user's block (user_dir, the profile values, the address
    // the session was opened from); without a user the list sorts by arrival.
    if (!tpl_hooks().user_vars()) {
        var_set("sort_on", "arrival");
        var_set("sort_field", lang_get("arrival"));
        var_set("sort_direction", "ascending");
    }
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
