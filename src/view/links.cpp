#include "view/links.h"

#include "cgi/config.h"
#include "support/escape.h"
#include "support/str.h"
#include "view/mime.h"

namespace {

struct LinkState {
    PartLinkInfo link;
    std::string part_names;
};

LinkState& st() {
    static LinkState s;
    return s;
}

}  // namespace

void part_set_link_info(const PartLinkInfo& info) { st().link = info; }
const PartLinkInfo& part_link_info() { return st().link; }

std::string part_url(int part, std::string_view safe_name, bool with_name_element) {
    const auto& l = st().link;
    std::string u = l.script;
    if (with_name_element && !ini_true(K_no_slash_filename)) {
        u += '/';
        u += safe_name;
    }
    u += sfmt("?cmd=item&amp;item=%s&amp;utoken=%s&amp;part=%d&amp;fld=%d", pct_encode(l.item).c_str(),
              pct_encode(l.utoken).c_str(), part, l.fld);
    return u;
}

std::string part_list() {
    auto& s = st();
    s.part_names.clear();
    std::string out;
    std::string name;
    int p = 0;
    bool first = true;
    while ((p = part_next(name, p)) >= 0) {
        std::string safe = nice_fname(nopath(name));
        if (s.part_names.size() + safe.size() + 1 <= 502) {
            s.part_names += safe;
            s.part_names += ' ';
        }
        if (!first) out += ", ";
        first = false;
        if (s.link.wml) {
            out += html_escape(safe);
            out += ' ';
        } else {
            out += "<a href=\"" + part_url(p, safe, true) + "&amp;/" + safe + "\">" + html_escape(name) + "</a> ";
        }
    }
    return out;
}

const std::string& part_names() { return st().part_names; }

void links_reset() { st() = LinkState{}; }
