#include "cgi/content.h"

#include <cstdio>
#include <vector>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/request.h"

namespace {
struct ContentState {
    std::vector<std::string> cookies;
};
ContentState& st() {
    static ContentState s;
    return s;
}
}  // namespace

std::string content_type_full() {
    std::string type = wm_ini_get(K_content_type);
    if (type.empty()) type = g.gwml ? "text/vnd.wap.wml" : "text/html";
    if (!ini_isset(K_set_charset) || ini_true(K_set_charset)) {
        if (type.find("charset") == std::string::npos) type += "; charset=UTF-8";
    }
    return type;
}

std::string security_headers() {
    return "Cache-Control: no-store\n"
           "X-Frame-Options: SAMEORIGIN\n"
           "Content-Security-Policy: frame-ancestors 'self'\n"
           "Referrer-Policy: no-referrer\n";
}

void content_add_cookie(const std::string& line) { st().cookies.push_back(line); }

void do_content() {
    if (g.contdone || g.gcl) return;
    g.contdone = 1;
    std::string h = security_headers();
    if (g.g_ispost && ini_isset(K_cache_posts) && !ini_true(K_cache_posts)) h += "Pragma: no-cache\n";
    h += "Content-type: " + content_type_full() + "\n";
    int n = 0;
    for (const auto& c : st().cookies) {
        h += c + "\n";
        if (log_has("cookie")) {
            // The name only: the value is a session secret.
            std::string name = c.substr(0, c.find('='));
            imsg("Serve cookie%d: %s", ++n, name.c_str());
        }
    }
    h += "\n";
    gwrite(h);
}

void content_reset() { st() = ContentState{}; }
