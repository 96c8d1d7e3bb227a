// The rule rows of the settings page and their saving.  Every value that
// reaches a row is escaped for the page; every saved field is one line
// without tabs (the profile stores a rule as tab-separated fields on one
// line), bounded, and the number of rows a form can add is capped.
#include <string>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "org/rules.h"
#include "page/encode.h"
#include "page/hooks.h"
#include "page/var.h"
#include "support/str.h"
#include "user/profile.h"

namespace {

constexpr std::size_t kRowBuf = 10000;
constexpr std::size_t kFieldMax = 200;

std::size_t us(int i) { return static_cast<std::size_t>(i); }

// A form value fit for one field of a rule line.
std::string rule_field(std::string_view v) {
    std::string s;
    for (char c : v) s += (c == '\r' || c == '\n' || c == '\t') ? ' ' : c;
    return ncpy(s, kFieldMax);
}

std::string options(const std::vector<std::string>& names, const std::string& chosen, bool translate, bool set_sel) {
    bool sep = !wm_ini_get(K_separator).empty();
    std::string out = sep ? "" : "<option>";
    out += text_encode(translate ? lang_get(names[0].c_str()) : names[0]);
    for (std::size_t i = 1; i < names.size() && out.size() < kRowBuf - 600; ++i) {
        bool sel = names[i] == chosen;
        if (set_sel) var_set(names[i] + "_sel", sel ? "selected" : "");
        std::string n = value_encode(ncpy(names[i], 90));
        out += sfmt("</option>\n<option %s value=\"%s\">%s", sel ? "selected" : "", n.c_str(),
                    text_encode(translate ? lang_get(names[i].c_str()) : names[i]).c_str());
    }
    return out;
}

std::string folder_options(const std::string& chosen) {
    std::string none = text_encode(lang_get("(none)"));
    std::string out = !wm_ini_get(K_separator).empty() ? none : sfmt("<option value=\"%s\">%s", none.c_str(), none.c_str());
    for (int k = 0; k < kMaxFolders && out.size() < kRowBuf - 600; ++k) {
        const std::string& name = prof.xfld_name[us(k)];
        if (name.empty()) continue;
        std::string v = value_encode(name);
        out += sfmt("</option>\n<option %s value=\"%s\">%s", name == chosen ? "selected" : "", v.c_str(), v.c_str());
    }
    return out;
}

}  // namespace

void tpl_show_rules(const std::string& block) {
    int rows = static_cast<int>(std::min<std::size_t>(prof.rules.size(), kMaxRules)) + 4;
    std::string out;
    for (int n = 0; n < rows; ++n) {
        ProfileRule rule = n < static_cast<int>(prof.rules.size()) ? prof.rules[us(n)] : ProfileRule{};
        var_set("r_headers", options(rhdr_names(), rule.header, true, false));
        var_set("r_actions", options(ract_names(), rule.action, false, true));
        var_set("r_folders", folder_options(rule.folder));
        var_set("n", std::to_string(n));
        var_set("r_iscase", rule.casef ? "checked" : "");
        var_set("r_addr", value_encode(rule.address));
        var_set("r_contains", value_encode(rule.match));
        std::string line = block;
        tpl_replace_vars(line);
        out += line;
        out += '\n';
    }
    gwrite(out);
}

void rules_save_form() {
    const std::string& norule = rhdr_names().empty() ? std::string("(No Rule)") : rhdr_names()[0];
    const std::string& no_delete = wm_ini_get(K_no_delete);
    const std::string del = ract_names().size() > 4 ? ract_names()[4] : "Delete";
    int nx = static_cast<int>(prof.rules.size());
    // Rows are read up to the existing rules plus a fixed margin, never
    // past the table's size, however many rows the form claims.
    int limit = std::min(kMaxRules, nx + kRuleRowsExtra);
    for (int n = 0; n < limit; ++n) {
        const std::string* hdr = nform_findi("r_header", n);
        if (!hdr) continue;
        ProfileRule r;
        r.header = rule_field(*hdr);
        r.match = rule_field(form_findi("r_contains", n));
        r.action = rule_field(form_findi("r_action", n));
        r.folder = rule_field(form_findi("r_dstfld", n));
        r.address = rule_field(form_findi("r_addr", n));
        r.casef = contains(form_findi("r_iscase", n), "on") ? 1 : 0;
        if (r.action == del && !no_delete.empty() && !r.match.empty() && contains(no_delete, r.match)) {
            f_error(lang_get("Invalid delete rule rejected because it contains %s"), text_encode(r.match).c_str());
            emsg("Invalid delete rule rejected %s contains %s\n", field_text_for_log(no_delete).c_str(),
                 field_text_for_log(r.match).c_str());
            r.action.clear();
            r.match = lang_get("Invalid");
        }
        if (r.action == (ract_names().size() > 3 ? ract_names()[3] : "Forward") && is_own_address(r.address)) {
            f_error(lang_get("A rule may not forward to your own address (%s)"), text_encode(r.address).c_str());
            r.action.clear();
        }
        bool live = !r.header.empty() && !contains(r.header, norule) && !r.match.empty();
        if (!live) {
            // Kept in the table (numbers stay put), never evaluated or written.
            if (us(n) < prof.rules.size()) prof.rules[us(n)].header = norule;
            continue;
        }
        if (us(n) >= prof.rules.size()) prof.rules.resize(us(n) + 1, ProfileRule{norule, "", "", "", "", 0});
        prof.rules[us(n)] = r;
        if (n + 1 > nx) {
            nx = n + 1;
            limit = std::min(kMaxRules, nx + kRuleRowsExtra);
        }
    }
    ++g.ui_changed;
}
