// Password change through poppassd.  The new password reaches the server
// only when it is one line of printable 7-bit text short enough for the
// profile's hidden form, and the profile follows only after the server
// has said yes, so server and stored copy never disagree.
#include "org/chpass.h"

#include <cstdlib>
#include <string>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/encode.h"
#include "page/tpl.h"
#include "page/var.h"
#include "support/str.h"
#include "user/login.h"
#include "user/profile.h"
#include "view/list.h"

namespace {

void net_emsg(const char* text) { emsg("%s", text); }
void net_imsg(const char* text) { imsg("%s", text); }

// Where an administrator can read about installing a poppassd server.
constexpr const char* kPoppassdAdvice = "https://en.wikipedia.org/wiki/Poppassd";

int show_page(const std::string& host, const std::string& user) {
    var_set_outside("pop_name", host);
    var_set_outside("pop_user", user);
    tpl_show("ch_pass");
    return 1;
}

}  // namespace

int poppassd_port() {
    int p = std::atoi(wm_ini_get(K_poppassd_port).c_str());
    return p > 0 && p < 65536 ? p : kPoppassdPort;
}

std::string pass_problem(const std::string& pass) {
    if (pass.empty()) return "The new password is empty";
    if (pass.size() > kPassMax) return "The new password is too long (at most 99 characters)";
    for (unsigned char c : pass)
        if (c < 32 || c >= 127)
            return "The new password may hold only printable characters without accents (no line breaks)";
    return {};
}

int net_change_pass(NETWORK* net, const char* newpass) {
    if (!net || net->init_value != kNetInit || !newpass) return 0;
    if (net->port[NET_POPPASS] == 0) {
        if (net->emsg) net->emsg("Port for POPPASS has not been set");
        return 0;
    }
    if (net_open(net) != 0) {
        if (net->dmsg) net->dmsg("Connection to POPPASS Failed to open");
        return 0;
    }
    if (net_cmd(net, NET_POPPASS, "newpass %s", newpass) == 1) {
        if (net->dmsg) net->dmsg("Password has been changed at POPPASS");
        return 1;
    }
    if (net->dmsg) net->dmsg("New Password Failed at POPPASS");
    return 0;
}

int f_ch_pass(int slot) {
    if (!user_checkauth()) return 0;
    std::size_t s = slot >= 0 && slot < kPopSlots ? static_cast<std::size_t>(slot) : 0;
    return show_page(prof.xpop_name[s], prof.xpop_user[s]);
}

int r_ch_pass() {
    if (!user_checkauth()) return 0;
    std::string host = form_find("pop_name"), user = form_find("pop_user");
    const std::string& old_pass = form_find("old_pass");
    const std::string& pass1 = form_find("new_pass1");
    if (pass1 != form_find("new_pass2")) {
        var_set("info", lang_get("The two new password entries dont match, please re enter"));
        return show_page(host, user);
    }
    // The old password goes to the server too: a line break in it would
    // start a command of its own.
    std::string problem = pass_problem(pass1);
    if (problem.empty() && (old_pass.find_first_of("\r\n") != std::string::npos || user.find_first_of("\r\n") != std::string::npos))
        problem = "The old password or user name holds a line break";
    // Only the user's own accounts: the host comes from the form, and the
    // program must not be sent to talk to any host a request names.
    bool own = false;
    for (int i = 0; i < kPopSlots; ++i) {
        std::size_t u = static_cast<std::size_t>(i);
        own = own || (!host.empty() && prof.xpop_name[u] == host && prof.xpop_user[u] == user);
    }
    if (problem.empty() && !own) problem = "That server and user are not one of your accounts";
    if (!problem.empty()) {
        var_set("info", lang_get(problem.c_str()));
        return show_page(host, user);
    }
    NETWORK net;
    int ok = 0;
    if (!net_init(&net, net_emsg, net_imsg)) {
        emsg("net_init failed\n");
    } else if (!net_set_user(&net, user.c_str(), old_pass.c_str())) {
        emsg("net_set_user failed\n");
    } else if (!net_set(&net, host.c_str(), poppassd_port(), NET_POPPASS)) {
        emsg("net_set failed\n");
    } else {
        ok = net_change_pass(&net, pass1.c_str());
        if (!ok) {
            std::string fmt = std::string(lang_get("Change password failed. Error %s<br> Sysadmin may need to install a poppassd server from ")) +
                              "<a href=\"" + kPoppassdAdvice + "\">" + kPoppassdAdvice + "</a>";
            // The server's reply is outside text: escaped for the page.
            var_set("info", sfmt(fmt.c_str(), value_encode(net_texterror(&net)).c_str()));
        }
        net_send_quit(&net);
        net_clear(&net);
        if (ok) {
            var_set("info", lang_get("Password change succeeded"));
            var_set("info_msg", lang_get("Password change succeeded"));
            for (int i = 0; i < kPopSlots; ++i) {
                std::size_t u = static_cast<std::size_t>(i);
                if (prof.xpop_name[u] == host && prof.xpop_user[u] == user) prof.xpop_pass[u] = pass1;
            }
            ++g.ui_changed;
            user_write();
            if (!form_find("newframe").empty() && g.xisframes) tpl_show("frame");
            else f_list();
            return 1;
        }
        return show_page(host, user);
    }
    var_set("info", sfmt(lang_get("Change password failed. Error %s"), value_encode(net_texterror(&net)).c_str()));
    net_clear(&net);
    return show_page(host, user);
}
