// The settings page ("config") and its save command ("saveconfig").  Form
// values go into the profile, which stores each on one line: every text is
// bounded and loses CR, LF and NUL before it is kept (the signature keeps
// its line breaks; the profile writer encodes them).
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "org/chpass.h"
#include "org/rules.h"
#include "org/settings.h"
#include "page/encode.h"
#include "page/tpl.h"
#include "page/var.h"
#include "support/str.h"
#include "user/login.h"
#include "user/profile.h"
#include "view/list.h"
#include "user/session.h"

namespace {

std::size_t us(int i) { return static_cast<std::size_t>(i); }

// The longest list text the page shows whole (see var_setl).
constexpr std::size_t kListShown = 999;

int num(const std::string& v) { return std::atoi(v.c_str()); }

bool shown_whole(const std::vector<std::string>& list) {
    std::size_t n = 0;
    for (const std::string& s : list) n += s.size() + 1;
    return n < kListShown;
}

void save_list(const char* field, std::vector<std::string>& list) {
    const std::string* v = nform_find(field);
    if (!v) return;
    // A list longer than the page could show came back cut: saving it
    // would drop the entries that did not fit.
    if (!shown_whole(list)) {
        f_error(lang_get("The %s list is too long to edit here and was left unchanged"), field);
        return;
    }
    std::vector<std::string> items;
    form_find_list(field, items);
    list.clear();
    for (const std::string& item : items) {
        std::string s = setting_text(item, 511);
        if (!s.empty()) list.push_back(s);
    }
}

void save_accounts() {
    for (int i = 0; i < kPopSlots; ++i) {
        std::size_t s = us(i);
        std::string host = setting_text(form_findi("pop_name", i), 255);
        if (host.empty()) continue;
        prof.xpop_name[s] = host;
        prof.xpop_set[s] = true;
        std::string port = setting_text(form_findi("pop_port", i), 5);
        if (!port.empty() && num(port) > 0 && num(port) < 65536) prof.xpop_port[s] = std::to_string(num(port));
        std::string reply = setting_text(form_findi("pop_reply", i), 255);
        if (!reply.empty()) prof.xpop_reply[s] = reply;
        std::string user = setting_text(form_findi("pop_user", i), 255);
        if (i != 0 || !user.empty()) prof.xpop_user[s] = user;
        const std::string& pass = form_findi("pop_pass", i);
        if (!pass.empty() && !contains(pass, "***")) {
            std::string problem = pass_problem(pass);
            if (problem.empty()) prof.xpop_pass[s] = pass;
            else f_error("%s (%d)", lang_get(problem.c_str()), i);
        }
        prof.xpop_del[s] = form_truei("pop_del", i) ? 1 : 0;
    }
    const std::string* cur = nform_find("pop_cur");
    if (cur) {
        int c = num(*cur);
        prof.xpop_cur = c >= 0 && c < kPopSlots && !prof.xpop_name[us(c)].empty() ? c : 0;
    }
}

void save_limits() {
    if (const std::string* v = nform_find("max_download_kbytes")) {
        long k = std::atol(v->c_str());
        long cap = std::atol(wm_ini_get(K_default_max_dkbytes).c_str());
        if (cap > 0 && k > cap) {
            f_error(lang_get("Download size limited to %d by ini setting"), static_cast<int>(cap));
            k = cap;
        }
        if (k > 0) prof.xmax_download_kbytes = k;
    }
    if (const std::string* v = nform_find("max_download_msgs")) {
        long k = std::atol(v->c_str());
        long cap = std::atol(wm_ini_get(K_default_max_dmsgs).c_str());
        if (cap > 0 && k > cap) {
            f_error(lang_get("Messages to download limited to %d by ini setting"), static_cast<int>(cap));
            k = cap;
        }
        if (k > 0) prof.xmax_download_msgs = k;
    }
}

void save_cookie() {
    // The form decoder keeps "set_cookie" as "cookie" (see the login).
    const std::string* a = nform_find("set_cookie");
    const std::string* b = nform_find("setcookie");
    const std::string* c = nform_find("cookie");
    if (!a && !b && !c) return;
    if (form_true("set_cookie") || form_true("setcookie") || form_true("cookie")) {
        long sig = static_cast<long>(login_random64() >> 2);
        prof.xcookie = sig ? sig : 1;
        std::time_t year = std::time(nullptr) + 365L * 24 * 3600;
        cookie_queue("lksid", prof.xuser, year);
        cookie_queue("lkssig", std::to_string(prof.xcookie), year);
    } else {
        prof.xcookie = 0;
        cookie_queue("lksid", "", 0);
        cookie_queue("lkssig", "", 0);
    }
}

int next_page() {
    if (!form_find("newframe").empty() && g.xisframes) tpl_show("frame");
    else if (!form_find("page").empty()) tpl_show(form_find("page"));
    else f_list();
    return 1;
}

}  // namespace

std::string setting_text(std::string_view v, std::size_t max) {
    std::string s;
    s.reserve(std::min(v.size(), max));
    for (char c : v) {
        if (c == '\r' || c == '\n' || c == '\0') {
            if (!s.empty() && s.back() != ' ') s += ' ';
            continue;
        }
        s += c;
    }
    strtrm(s);
    return ncpy(s, max);
}

void sort_on_pick() {
    std::string key = prof.xsort_on.empty() ? "arrival" : prof.xsort_on;
    var_set(key + "selected", "selected");
}

int f_config() {
    if (!user_checkauth()) return 0;
    if (const std::string* f = nform_find("fld")) prof.xfld = num(*f);
    if (prof.xtpl_set >= 0 && prof.xtpl_set < 30 && (prof.xtpl_set == 0 || !ini_tpl_set(prof.xtpl_set).empty()))
        var_set(sfmt("tpl_set%d", prof.xtpl_set), "checked");
    for (int i = 0; i < kPopSlots; ++i) {
        std::size_t s = us(i);
        if (prof.xpop_name[s].empty()) {
            var_set(sfmt("pop_del%d", i), ini_true(K_pop_delete_default) ? "checked" : "");
            continue;
        }
        var_set_outside(sfmt("pop_name%d", i), value_encode(prof.xpop_name[s]));
        if (!prof.xpop_reply[s].empty()) var_set_outside(sfmt("pop_reply%d", i), value_encode(prof.xpop_reply[s]));
        var_set_outside(sfmt("pop_port%d", i), value_encode(pop_sport(i)));
        var_set_outside(sfmt("pop_user%d", i), value_encode(prof.xpop_user[s]));
        var_set(sfmt("pop_del%d", i), prof.xpop_del[s] ? "checked" : "");
        if (!prof.xpop_pass[s].empty()) var_set(sfmt("pop_pass%d", i), "***");
    }
    var_set(sfmt("pop_cur%d", prof.xpop_cur), "checked");
    var_set_outside("dflt_reply", value_encode(prof.xdflt_reply));
    var_set_outside("real_name", value_encode(prof.xreal_name));
    var_set_outside("sig", value_encode(prof.xsig));
    var_set_outside("nm_sound", value_encode(prof.xnm_sound));
    var_set_outside("parent", value_encode(prof.xparent));
    var_set_outside("usex", value_encode(prof.xusex));
    var_set_outside("uaddress", value_encode(prof.xuaddress));
    var_set("refresh", std::to_string(prof.xrefresh));
    var_set("uage", std::to_string(prof.xuage));
    var_set("tpl_set", std::to_string(prof.xtpl_set));
    var_set("page_size", std::to_string(prof.xpage_size));
    var_set("wml_page_size", std::to_string(prof.xwml_page_size));
    var_set("max_download_kbytes", std::to_string(prof.xmax_download_kbytes));
    var_set("max_download_msgs", std::to_string(prof.xmax_download_msgs));
    var_set("set_cookie_checked", prof.xcookie ? "checked" : "");
    for (auto [name, flag] : {std::pair{"nosortpick", prof.xnosortpick}, {"nosortaddr", prof.xnosortaddr},
                              {"popall", prof.xpopall}, {"wysiwyg", prof.xwysiwyg}})
        var_set(std::string(name) + "_checked", flag ? "checked" : "");
    var_setl("accept_from", prof.accept_from);
    var_setl("reject_from", prof.reject_from);
    var_setl("children", prof.children);
    if (!prof.xparent.empty()) var_set("has_parent", "1");
    sort_on_pick();
    const std::string& page = form_find("page");
    tpl_show(page.empty() ? "config" : page);
    return 1;
}

int r_config() {
    if (!user_checkauth()) return 0;
    if (const std::string* f = nform_find("fld")) prof.xfld = num(*f);
    if (const std::string* t = nform_find("tpl_set")) prof.xtpl_set = std::clamp(num(*t), 0, 29);
    for (int i = 1; i < 30; ++i)
        if (contains(form_findi("tpl_set", i), "checked")) prof.xtpl_set = i;
    prof.xnosortpick = form_true("nosortpick");
    prof.xnosortaddr = form_true("nosortaddr");
    prof.xpopall = form_true("popall");
    prof.xwysiwyg = form_true("wysiwyg");
    save_accounts();
    if (nform_find("r_header0") || form_findn("r_header")) rules_save_form();
    if (prof.xparent.empty()) {
        save_list("accept_from", prof.accept_from);
        save_list("reject_from", prof.reject_from);
    }
    if (const std::string* v = nform_find("dflt_reply"); v && !ini_true(K_noedit_reply_to))
        prof.xdflt_reply = setting_text(*v, 511);
    if (const std::string* v = nform_find("real_name"); v && !ini_true(K_noedit_real_name))
        prof.xreal_name = setting_text(*v, 510);
    if (const std::string* v = nform_find("sort_on")) {
        std::string key = setting_text(*v, 63);
        prof.xsort_on = lower(key) == "arrival" ? std::string() : key;
    }
    if (const std::string* v = nform_find("nm_sound")) prof.xnm_sound = setting_text(*v, 255);
    if (const std::string* v = nform_find("sig")) {
        std::string sig(*v);
        sig.erase(std::remove(sig.begin(), sig.end(), '\0'), sig.end());
        prof.xsig = ncpy(sig, 3999);
    }
    if (const std::string* v = nform_find("usex")) prof.xusex = setting_text(*v, 511);
    if (const std::string* v = nform_find("uaddress")) prof.xuaddress = setting_text(*v, 511);
    // Supervision is lifted by the parent (child_release), never by the
    // supervised account itself.
    if (const std::string* v = nform_find("parent"); v && prof.xparent.empty()) prof.xparent = setting_text(*v, 511);
    if (const std::string* v = nform_find("refresh")) {
        int r = std::max(0, num(*v));
        int least = num(wm_ini_get(K_fetch_min));
        prof.xrefresh = r > 0 && r < least ? least : r;
    }
    if (const std::string* v = nform_find("uage")) prof.xuage = std::max(0, num(*v));
    save_limits();
    save_cookie();
    if (const std::string* v = nform_find("page_size")) prof.xpage_size = std::clamp(num(*v), 0, 9999);
    if (const std::string* v = nform_find("wml_page_size")) prof.xwml_page_size = std::clamp(num(*v), 0, 9999);
    ++g.ui_changed;
    if (!user_write()) emsg("%s\n", lang_get("Failed to save new settings"));
    return next_page();
}
