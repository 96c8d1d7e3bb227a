// The shipped template set: every page rendered through the real renderer
// in HTML and WML and checked for what a browser or a phone needs (sound
// markup, landmarks, bound labels, the fields the dispatcher reads).
#include <gumbo.h>

#include <map>
#include <optional>
#include <regex>
#include <set>
#include <vector>

#include "support/str.h"
#include "test_env.h"

namespace fs = std::filesystem;

namespace {

using Vars = std::map<std::string, std::string>;

const fs::path kTplDir = fs::path(LK_SOURCE_DIR) / "templates";

const std::vector<std::string> kPages = {"error", "login",   "help", "jhelp", "menubar", "logout", "newuser",
                                         "list",  "stub",    "item", "folders", "frame", "ok", "send", "sentok",
                                         "pick",  "forward", "fwdedit", "child", "jconfig", "keylist", "keymake",
                                         "keyread", "search"};

// ---------------------------------------------------------------------------
// What the handlers would have set.  tpl_init publishes the common variables
// first; these are applied after it (through an init hook), as a handler's
// own values would stand.
struct PageData { Vars vars; std::vector<Vars> rows, frows; std::string body; };
PageData& data() {
    static PageData d;
    return d;
}
void apply_vars() {
    for (const auto& [k, v] : data().vars) var_set(k, v);
}
// The list owners repeat the collected block once per item with its row
// variables replaced; these stand-ins do the same with the test rows.
void show_rows(const std::string& block, const std::vector<Vars>& rows, bool eol) {
    for (const Vars& r : rows) {
        for (const auto& [k, v] : r) var_set(k, v);
        std::string t = block;
        gwrite(tpl_replace_vars(t));
        if (eol) gwrite("\n");
    }
}
void list_hook(const std::string& block) { show_rows(block, data().rows, true); }
void flist_hook(const std::string& block) {
    show_rows(block, data().frows, false);
    for (const char* k : {"f_tmsgs", "f_tunread", "f_tnew", "f_tsize"}) var_set(k, "7");
}
void item_hook(int, const char*) { gwrite(data().body); }

using lk_test::slurp;

// ---------------------------------------------------------------------------
// The elements of a rendered page in document order, as a parser sees them.
struct Tag {
    std::string name;   // lower case
    std::map<std::string, std::string> attrs;
    bool in_label = false;   // inside a <label> element
};

void collect(const GumboNode* n, bool in_label, std::vector<Tag>& tags) {
    if (n->type != GUMBO_NODE_ELEMENT && n->type != GUMBO_NODE_TEMPLATE) return;
    const GumboElement& e = n->v.element;
    Tag t;
    if (e.tag == GUMBO_TAG_UNKNOWN) {   // WML elements: the name as written
        GumboStringPiece s = e.original_tag;
        gumbo_tag_from_original_text(&s);
        t.name = lower(std::string(s.data, s.length));
    } else {
        t.name = gumbo_normalized_tagname(e.tag);
    }
    for (unsigned i = 0; i < e.attributes.length; ++i) {
        auto* a = static_cast<const GumboAttribute*>(e.attributes.data[i]);
        t.attrs[a->name] = a->value;
    }
    t.in_label = in_label;
    // the parser puts elements it had to infer (html, head, body) in
    // place; only those written in the page count
    if (e.original_tag.length > 0) tags.push_back(t);
    for (unsigned i = 0; i < e.children.length; ++i)
        collect(static_cast<const GumboNode*>(e.children.data[i]), in_label || t.name == "label", tags);
}

// Parses a page; returns the number of parse errors (bad nesting, stray
// end tags, bad entities, duplicate attributes all count).
std::size_t parse(const std::string& doc, std::vector<Tag>& tags) {
    GumboOutput* out = gumbo_parse_with_options(&kGumboDefaultOptions, doc.data(), doc.size());
    collect(out->root, false, tags);
    std::size_t errors = out->errors.length;
    gumbo_destroy_output(&kGumboDefaultOptions, out);
    return errors;
}

std::vector<const Tag*> find_tags(const std::vector<Tag>& tags, const std::string& name) {
    std::vector<const Tag*> v;
    for (const Tag& t : tags)
        if (t.name == name) v.push_back(&t);
    return v;
}
// The first form field of that name (of that element, when given).
const Tag* field(const std::vector<Tag>& tags, const std::string& name, const std::string& tag = "") {
    for (const Tag& t : tags)
        if ((t.name == "input" || t.name == "select" || t.name == "button" || t.name == "textarea" ||
             t.name == "postfield") &&
            (tag.empty() || t.name == tag) && t.attrs.count("name") && t.attrs.at("name") == name)
            return &t;
    return nullptr;
}
// Runs of white space as one blank, none before a tag's closing bracket:
// directive lines leave line ends inside tags, which browsers ignore.
std::string squash(const std::string& doc) {
    std::string out;
    for (char c : doc) {
        bool ws = c == ' ' || c == '\n' || c == '\t' || c == '\r';
        if (ws) {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            if (c == '>' && !out.empty() && out.back() == ' ') out.pop_back();
            out += c;
        }
    }
    return out;
}
std::string attr(const Tag* t, const std::string& a) {
    if (!t || !t->attrs.count(a)) return {};
    return t->attrs.at(a);
}

// The accessibility and structure rules every HTML page keeps.
std::string check_html(const std::string& page, const std::string& doc, const std::vector<Tag>& tags) {
    std::size_t first = doc.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || doc.compare(first, 15, "<!DOCTYPE html>") != 0) return "no HTML5 doctype first";
    auto html = find_tags(tags, "html");
    if (html.size() != 1 || attr(html[0], "lang").empty()) return "one <html lang> expected";
    if (find_tags(tags, "title").size() != 1) return "one <title> expected";
    if (find_tags(tags, "h1").size() != 1) return "one <h1> expected";
    int level = 0;
    for (const Tag& t : tags)
        if (t.name.size() == 2 && t.name[0] == 'h' && t.name[1] >= '1' && t.name[1] <= '6') {
            int l = t.name[1] - '0';
            if (l > level + 1) return "heading " + t.name + " skips a level";
            level = l;
        }
    auto mains = find_tags(tags, "main");
    if (mains.size() != 1 || attr(mains[0], "id") != "main") return "one <main id=main> expected";
    if (find_tags(tags, "header").empty()) return "no <header>";
    if (page != "frame" && find_tags(tags, "footer").empty()) return "no <footer>";
    auto links = find_tags(tags, "a");
    if (links.empty() || attr(links[0], "href") != "#main") return "the first link must skip to the main content";
    std::set<std::string> ids, label_for;
    for (const Tag& t : tags) {
        if (t.attrs.count("id") && !ids.insert(t.attrs.at("id")).second) return "duplicate id " + t.attrs.at("id");
        if (t.name == "label" && t.attrs.count("for")) label_for.insert(t.attrs.at("for"));
    }
    for (const std::string& f : label_for)
        if (!ids.count(f)) return "label for missing id " + f;
    for (const Tag& t : tags) {
        if (t.name != "input" && t.name != "select" && t.name != "textarea") continue;
        std::string type = attr(&t, "type");
        if (type == "hidden" || type == "submit" || type == "button") continue;
        bool labelled = t.in_label || t.attrs.count("aria-label") || (t.attrs.count("id") && label_for.count(t.attrs.at("id")));
        if (!labelled) return "unlabelled " + t.name + " " + attr(&t, "name");
    }
    for (const Tag& t : tags)
        if (t.name == "img" && !t.attrs.count("alt")) return "img without alt";
    for (const Tag& t : tags)
        if (t.name == "iframe" && attr(&t, "title").empty()) return "iframe without title";
    for (const Tag* f : find_tags(tags, "form"))
        if (lower(attr(f, "method")) == "post" && attr(f, "action") != "/cgi-bin/lk")
            return "a posted form must go to the program without a query";
    return {};
}

// Only the elements of WML 1.1 may appear in a deck.
std::string check_wml(const std::string& doc, const std::vector<Tag>& tags) {
    static const char* kHead =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE wml PUBLIC \"-//WAPFORUM//DTD WML 1.1//EN\" "
        "\"http://www.wapforum.org/DTD/wml_1.1.xml\">\n";
    if (doc.compare(0, std::string(kHead).size(), kHead) != 0) return "deck must open with the XML and WML 1.1 declarations";
    static const std::set<std::string> kWml = {
        "wml",      "head",   "template", "access", "meta",  "card", "do",     "onevent", "postfield", "go",
        "prev",     "noop",   "refresh",  "setvar", "timer", "p",    "br",     "a",       "anchor",    "img",
        "input",    "select", "option",   "optgroup", "fieldset", "table", "tr", "td", "em", "strong",
        "b",        "i",      "u",        "big",    "small", "pre"};
    int roots = 0;
    for (const Tag& t : tags) {
        if (!kWml.count(t.name)) return "<" + t.name + "> is not a WML 1.1 element";
        if (t.name == "wml") ++roots;
        if (t.name == "option" && t.attrs.count("selected")) return "WML options have no 'selected'";
    }
    if (roots != 1 || tags.empty() || tags.front().name != "wml") return "one <wml> root expected";
    // xmllint cannot tell an undeclared entity without the DTD: WML 1.1
    // declares only these
    static const std::regex kEntity("&([A-Za-z][A-Za-z0-9]*);");
    static const std::set<std::string> kNamed = {"amp", "lt", "gt", "quot", "apos", "nbsp", "shy"};
    for (std::sregex_iterator m(doc.begin(), doc.end(), kEntity), end; m != end; ++m)
        if (!kNamed.count((*m)[1])) return "&" + (*m)[1].str() + "; is not a WML entity";
    if (find_tags(tags, "card").empty()) return "no card";
    return {};
}

// A deck must be well-formed XML (phones reject anything else): xmllint
// says so, or what is wrong.
std::string xmllint(const std::string& doc) {
    char path[] = "/tmp/lkwmlXXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return "mkstemp failed";
    bool ok = write(fd, doc.data(), doc.size()) == static_cast<ssize_t>(doc.size());
    close(fd);
    std::string err = std::string(path) + ".err";
    std::string cmd = std::string("xmllint --noout --nonet ") + path + " 2>" + err;
    int rc = ok ? std::system(cmd.c_str()) : -1;
    std::string text = slurp(err);
    std::remove(path);
    std::remove(err.c_str());
    if (rc == 0) return {};
    return text.empty() ? "xmllint did not run (libxml2-utils installed?)" : "xmllint: " + text;
}

// ---------------------------------------------------------------------------
class TemplatesTest : public ::testing::Test {
protected:
    void SetUp() override {
        subsystems_reset();
        static bool hooked = false;
        if (!hooked) {
            tpl_init_add(apply_vars);
            hooked = true;
        }
        tpl_hooks().show_list = list_hook;
        tpl_hooks().show_flist = flist_hook;
        tpl_hooks().show_item = item_hook;
        work.emplace("lktpl");
        g.log_file = work->path + "/test.log";
        g.contdone = 1;   // the header is not part of what is checked
        g.path_script = "/cgi-bin/lk";
        g.utoken = "tok&en";
        diag_end_pre_ini();
        ini_set(K_templates, kTplDir.string());
        data() = PageData{};
    }
    void TearDown() override {
        data() = PageData{};
        work.reset();
    }
    void fresh() {   // a new request within one test
        TearDown();
        SetUp();
    }

    // One list row as the list and search owners set it, read and without marks.
    static Vars row(const std::string& id) {
        std::string subj = value_encode("<script>alert(1)</script>");
        return {{"b_item", "/cgi-bin/lk?cmd=item&amp;utoken=tok%26en&amp;item=" + id + "&amp;fld=3"}, {"item", id},
                {"h_from_trim", value_encode("\"Eve\" <eve@example.org>")}, {"h_from_trim2", "eve"},
                {"h_subject", subj}, {"h_subject_30", subj}, {"h_date_trim", "5 Dec 2026"}, {"h_kbytes", "4"},
                {"h_isread", "1"}, {"h_isunseen", "0"}, {"h_isattached", "0"}, {"h_isreplied", "0"}};
    }

    // What the handlers of each page set, with values the way the encoders
    // deliver them; mail-borne text deliberately carries mark-up.
    void handler_vars(const std::string& page, bool wml) {
        Vars& v = data().vars;
        std::string br = wml ? "<br/>" : "<br>";
        v["fld"] = "3";
        v["folder"] = value_encode("Projects <2026>");
        v["fuser"] = value_encode("ann@mail.example.test");
        v["user"] = "ann";
        // the pick lists of the settings code: the page closes the last option
        v["fldlist"] = wml ? "<option value=\"0\">New Mail</option>\n<option value=\"3\">Projects"
                           : "<option value=\"0\">New Mail</option>\n<option value=\"3\" selected>Projects";
        v["dfldlist"] = "<option value=\"0\">New Mail</option>\n<option value=\"1\">Trash Can";
        v["sort_on"] = "-datetime";
        v["page_size"] = "15";
        v["nosortpick"] = "checked";
        if (page == "login") {
            v["tcode"] = "2246";
            v["pre_error"] = "Login timed out after 61 mins, please login again";
            v["error_lead"] = "Login failed, try again";
            v["error_details"] = "W10: Cannot login to host" + br + "W14: Login failed, try again";
        } else if (page == "error") {
            v["error"] = "W14: Login failed, try again" + br + value_encode("Invalid user <x>") + br;
            v["error_lead"] = "Login failed, try again";
            v["error_details"] = "W14: Login failed, try again" + br + value_encode("Invalid user <x>");
        } else if (page == "logout") {
            v["pre_error"] = "Sorry you are not currently logged in, please login again";
            v["error_lead"] = "Cached login page for ann";
            v["error_details"] = "E6: Cached login page for ann";
        } else if (page == "newuser") {
            v["pop_del0"] = "checked";
            v["pop_port0"] = "110";
            v["dflt_reply"] = value_encode("ann@mail.example.test");
            v["pop_name0"] = "mail.example.test";
            v["pop_user0"] = "ann";
        } else if (page == "list" || page == "stub") {
            v["nitems"] = "25";
            v["tunread"] = "3";
            v["nnew"] = "2";
            v["nnew_sl"] = "4";
            v["newmail"] = "true";
            v["pages"] = "3";
            v["page_num"] = "2";
            v["upto"] = "14";
            v["b_list_prev"] = "/cgi-bin/lk?cmd=list&amp;upto=24&amp;utoken=tok%26en&amp;fld=3";
            v["b_list_next"] = "/cgi-bin/lk?cmd=list&amp;upto=4&amp;utoken=tok%26en&amp;fld=3";
            for (int i = 0; i < 3; ++i) {
                std::string id = std::to_string(100 + i);
                Vars r = row(id);
                r["h_subject"] = value_encode("<script>alert(1)</script> & more");
                r["h_subject_40"] = r["h_subject_30"];
                r["h_isread"] = i ? "1" : "0";
                r["h_isunseen"] = i ? "0" : "1";
                r["h_isattached"] = "1";
                r["list_i"] = r["list_m"] = std::to_string(i + 1);
                data().rows.push_back(r);
            }
        } else if (page == "search") {
            v["nitems"] = "12";
            v["s_scanned"] = "40";
            v["s_remote"] = "2";
            v["s_q"] = value_encode("\"caf\xC3\xA9\" <b>");
            v["s_one"] = "1";
            v["s_att"] = "1";
            v["s_since"] = "2024-01-02";
            v["pages"] = "2";
            v["page_num"] = "1";
            v["b_list_next"] = "/cgi-bin/lk?cmd=search&amp;utoken=tok%26en&amp;fld=3&amp;q=caf%C3%A9&amp;upto=10";
            v["b_search"] = "/cgi-bin/lk?cmd=search&amp;utoken=tok%26en&amp;fld=3&amp;q=caf%C3%A9";
            for (int i = 0; i < 2; ++i) {
                std::string id = std::to_string(100 + i);
                Vars r = row(id);
                if (!wml)
                    r["h_sel"] = "<input type=\"checkbox\" id=\"sel_" + id + "\" name=\"sel_" + id + "\"><label for=\"sel_" +
                                 id + "\" class=\"vh\">Select x</label>";
                r["h_snippet"] = wml ? "at the <b>caf\xC3\xA9</b> &amp; more" : "at the <mark>caf\xC3\xA9</mark> &amp; more";
                r["h_folder"] = value_encode("Kids & <toys>");
                r["h_fld"] = "3";
                data().rows.push_back(r);
            }
        } else if (page == "item") {
            v["item"] = "100";
            v["item_id"] = "3";
            v["nitems"] = "25";
            v["h_subject"] = value_encode("Report <draft> & \"figures\"");
            v["h_from"] = value_encode("Maria <maria@example.org>");
            v["h_from_trim"] = "Maria";
            v["h_to"] = value_encode("ann@mail.example.test");
            v["h_cc"] = value_encode("pedro@example.org");
            v["h_date"] = "Sat, 5 Dec 2026 10:14:03 +0100";
            v["h_pri"] = "High";
            for (const char* b : {"b_reply", "b_replyall", "b_forward", "b_forward_edit", "b_reject"})
                v[b] = std::string("/cgi-bin/lk?cmd=") + (b + 2) + "&amp;item=100&amp;utoken=tok%26en&amp;fld=3";
            v["b_next"] = "/cgi-bin/lk?cmd=item&amp;utoken=tok%26en&amp;item=101";
            v["b_prev"] = "/cgi-bin/lk?cmd=item&amp;utoken=tok%26en&amp;item=99";
            v["attachments"] =
                "<a href=\"/cgi-bin/lk/a.pdf?cmd=item&amp;item=100&amp;utoken=tok%26en&amp;part=2&amp;fld=3&amp;/a.pdf\">a.pdf</a> ";
            v["v_font"] = "checked";
            data().body = wml ? "Hello &amp; welcome<br/>\n" : "<pre>Hello &amp; welcome\n</pre>\n";
        } else if (page == "folders") {
            for (int i = 0; i < 4; ++i) {
                std::string n = std::to_string(i);
                Vars r = {{"f_href", "/cgi-bin/lk?cmd=list&amp;utoken=tok%26en&amp;fld=" + n},
                          {"f_name", value_encode(i == 3 ? "Kids & <toys>" : "Folder " + n)},
                          {"f_msgs", "5"}, {"f_unread", "1"}, {"f_new", "0"}, {"f_size", "12"}, {"f_id", n},
                          {"f_delete", ""}, {"f_rename", ""}, {"f_newname", ""}};
                if (i > 2) {
                    r["f_delete"] = "<a href=\"/cgi-bin/lk?cmd=fld_delete&amp;utoken=tok%26en&amp;dstfld=3&amp;\"> Delete</a>";
                    r["f_rename"] = "<input type=\"submit\" name=\"fld_rename3\" value=\"Rename\">";
                    r["f_newname"] = "<input type=\"text\" maxlength=\"14\" size=\"12\" name=\"f_name3\" value=\"Kids\">";
                }
                data().frows.push_back(r);
            }
        } else if (page == "pick") {
            // the option list as the address books build it: the page closes
            // the last option; a book entry may carry mark-up
            v["tolist"] = "<option>(none)</option>\n<option value=\"team\">team</option>\n<option value=\"" +
                          value_encode("x\"<y>@example.org") + "\">" + value_encode("<Eve & co>");
            v["toedit"] = value_encode("Eve <eve@example.org>\n");
        } else if (page == "forward") {
            v["fwd_list"] = "100,102,";
            v["nfwd"] = "2";
            v["h_subject_raw"] = value_encode("Report <draft> & \"figures\"");
        } else if (page == "jconfig") {
            v["real_name"] = value_encode("Ann <Example>");
            v["dflt_reply"] = value_encode("ann@mail.example.test");
            v["j_last_check"] = "Mon Dec  7 05:44";
            for (const char* n : {"j_current_held", "j_hostiles_removed", "j_intros_sent", "j_report_days",
                                  "j_hold_days", "j_check_mins", "refresh"})
                v[n] = "5";
            v["j_friends"] = html_escape("bob@example.org\n<script>x</script>@example.org\n");
            v["j_offer"] = html_escape("Please introduce yourself.\n</textarea><b>\n");
        } else if (page == "keylist") {
            v["nkeys"] = "1";
            v["dflt_key"] = "7D0CB7802BAD7664";
            v["pgp_note"] = "No PGP engine is configured in this installation.";
            v["keylist"] = "<tr><td>RSA 2048</td><td>2026-12-07</td><td>" + value_encode("Alice <alice@example.test>") +
                           "</td><td><input type=hidden name=\"cmd_keyuid_0\" value=\"7D0CB7802BAD7664\"> <input "
                           "type=submit name=\"cmd_keysig_0\" value=\"Use in Sig\"></td><td><input type=submit "
                           "name=\"cmd_keydel_0\" value=\"Delete\"></td></tr>\n";
        } else if (page == "send" && !wml) {
            v["pgpto"] = "<option selected value=\"(no encryption)\">(no encryption)</option>\n"
                         "<option  value=\"7D0CB7802BAD7664\">" + value_encode("Alice <alice@example.test>") + "</option>\n";
        } else if (page == "ok") {
            v["msg"] = "Your trash has been emptied";
        } else if (page == "child") {
            v["child_edit"] = value_encode("kid\" onfocus=\"x@example.test");
            v["child_pick"] = "<option value=\"kid@example.test\" selected>kid@example.test</option>\n";
            v["ch_accept_from"] = value_encode("gran@example.test\n<b>@example.test\n");
            v["ch_reject_from"] = value_encode("*@spam.example.test\n");
        }
    }

    std::string render(const std::string& page, bool wml) {
        g.gwml = wml ? 1 : 0;
        g.gbr = wml ? "<br/>" : "<br>";
        Vars chosen = data().vars;   // a test's own values win
        handler_vars(page, wml);
        for (const auto& [k, v] : chosen) data().vars[k] = v;
        return lk_test::capture([&] { tpl_show(page); });
    }

    // Render, check the generic rules, and hand back the tags for the
    // page-specific checks.
    std::vector<Tag> checked(const std::string& page, bool wml, std::string* out = nullptr) {
        std::string doc = render(page, wml);
        if (out) *out = squash(doc);
        // LK_TPL_DUMP=dir keeps the rendered pages, to look at in a browser
        if (const char* dump = std::getenv("LK_TPL_DUMP"))
            std::ofstream(fs::path(dump) / (page + (g.xisframes ? "-frames" : "") + (wml ? ".wml" : ".html")),
                          std::ios::binary)
                << doc;
        std::vector<Tag> tags;
        std::string what = page + (wml ? ".wml" : ".tpl") + ": ";
        EXPECT_EQ(doc.find("%%"), std::string::npos) << what << "directive or reference left in output";
        EXPECT_EQ(doc.find("Include file missing"), std::string::npos) << what << doc;
        EXPECT_EQ(doc.find("Cannot open"), std::string::npos) << what << doc;
        EXPECT_EQ(doc.find("<script>"), std::string::npos) << what << "raw mark-up from mail reached the page";
        std::size_t errors = parse(doc, tags);
        if (wml) {
            EXPECT_EQ(xmllint(doc), "") << what;
            EXPECT_EQ(check_wml(doc, tags), "") << what << "\n" << doc;
        } else {
            EXPECT_EQ(errors, 0u) << what << "HTML parse errors\n" << doc;
            EXPECT_EQ(check_html(page, doc, tags), "") << what << "\n" << doc;
        }
        return tags;
    }

    std::optional<lk_test::TempDir> work;
};

// ---------------------------------------------------------------------------
TEST(TemplateFiles, EveryPageHasHtmlAndWmlTwins) {
    std::set<std::string> tpl, wml;
    for (const auto& e : fs::directory_iterator(kTplDir)) {
        std::string ext = e.path().extension().string(), stem = e.path().stem().string();
        if (ext == ".tpl") tpl.insert(stem);
        if (ext == ".wml") wml.insert(stem);
    }
    EXPECT_EQ(tpl, wml);   // a page of kPages that is missing fails its EveryPage render
}

TEST(TemplateFiles, LinesAndBlocksFitTheRenderer) {
    // the renderer reads lines of at most 510 characters and collects list
    // blocks of at most 3998 (folder rows 3999, joined without line ends)
    for (const auto& e : fs::directory_iterator(kTplDir)) {
        std::string text = slurp(e.path().string());
        std::istringstream in(text);
        std::string line;
        int no = 0;
        while (std::getline(in, line)) {
            ++no;
            EXPECT_LE(line.size(), 510u) << e.path().filename() << ":" << no;
        }
        for (auto [b, eb, max] : {std::tuple{"%%begin_list%%", "%%end_list%%", 3998u},
                                  std::tuple{"%%begin_flist%%", "%%end_flist%%", 3999u}}) {
            std::size_t s = text.find(b);
            if (s == std::string::npos) continue;
            std::size_t f = text.find(eb, s);
            ASSERT_NE(f, std::string::npos) << e.path().filename() << " opens a block it never closes";
            EXPECT_LE(f - s - std::string(b).size(), max) << e.path().filename();
        }
        // with the separator setting at its usual two bars, any pair of bars
        // in a template would turn into a marker
        EXPECT_EQ(text.find("||"), std::string::npos) << e.path().filename();
        // a stylesheet with "%%" would be taken for a reference
        if (e.path().extension() == ".css") {
            EXPECT_EQ(text.find("%%"), std::string::npos);
        }
    }
}

class EveryPage : public TemplatesTest, public ::testing::WithParamInterface<std::tuple<std::string, bool>> {};

TEST_P(EveryPage, RendersSoundMarkup) {
    checked(std::get<0>(GetParam()), std::get<1>(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Templates, EveryPage, ::testing::Combine(::testing::ValuesIn(kPages), ::testing::Bool()),
                         [](const auto& info) {
                             return std::get<0>(info.param) + (std::get<1>(info.param) ? "_wml" : "_html");
                         });

TEST_F(TemplatesTest, LoginFormPostsWhatTheLoginCommandReads) {
    std::vector<Tag> t = checked("login", false);
    EXPECT_EQ(attr(field(t, "cmd"), "value"), "login");
    EXPECT_EQ(attr(field(t, "tcode"), "value"), "2246");
    EXPECT_EQ(attr(field(t, "user"), "id"), "user");
    EXPECT_EQ(attr(field(t, "pass"), "type"), "password");
    EXPECT_EQ(attr(field(t, "set_cookie"), "type"), "checkbox");
    EXPECT_EQ(attr(field(t, "frame"), "type"), "checkbox");
    auto forms = find_tags(t, "form");
    ASSERT_EQ(forms.size(), 1u);
    EXPECT_EQ(lower(attr(forms[0], "method")), "post");

    fresh();
    std::vector<Tag> w = checked("login", true);
    EXPECT_EQ(attr(field(w, "cmd", "postfield"), "value"), "nflogin");
    EXPECT_EQ(attr(field(w, "user", "postfield"), "value"), "$(user)");
    EXPECT_EQ(attr(field(w, "pass", "postfield"), "value"), "$(pass)");
    EXPECT_EQ(attr(field(w, "tcode", "postfield"), "value"), "2246");
    EXPECT_EQ(attr(field(w, "set_cookie", "postfield"), "value"), "$(rem)");
    EXPECT_EQ(attr(field(w, "pass", "input"), "type"), "password");
}

TEST_F(TemplatesTest, LoginOffersOnlyANameThatStaysInItsAttribute) {
    for (bool wml : {false, true}) {
        fresh();
        data().vars["user"] = "ann";
        EXPECT_EQ(attr(field(checked("login", wml), "user", "input"), "value"), "ann");
        // a deck must stay well-formed XML as well; a page only needs the
        // attribute to stay closed
        std::vector<std::string> bad = {"x\" autofocus onfocus=\"alert(1)"};
        if (wml) bad.insert(bad.end(), {"a<b", "a&b"});
        for (const std::string& b : bad) {
            fresh();
            data().vars["user"] = b;
            std::vector<Tag> t = checked("login", wml);
            EXPECT_EQ(attr(field(t, "user", "input"), "value"), "") << b;
            EXPECT_FALSE(field(t, "user", "input")->attrs.count("onfocus")) << b;
        }
    }
}

TEST_F(TemplatesTest, ErrorPageShowsTheErrorAndTheWayOn) {
    std::string doc;
    checked("error", false, &doc);
    // one sentence, then every message under a closed disclosure
    EXPECT_NE(doc.find("<p>Login failed, try again</p> <details><summary>Details</summary>"
                       "<p>W14: Login failed, try again<br>Invalid user &lt;x&gt;</p></details>"),
              std::string::npos)
        << doc;
    EXPECT_NE(doc.find("role=\"alert\""), std::string::npos);
    EXPECT_NE(doc.find("cmd=list&amp;utoken=tok%26en&amp;fld=3"), std::string::npos) << "session: back to the folder";

    fresh();
    g.utoken.clear();   // no session: only the way to the login page
    checked("error", false, &doc);
    EXPECT_EQ(doc.find("cmd=list"), std::string::npos);
    EXPECT_NE(doc.find("cmd=flogin"), std::string::npos);
}

TEST_F(TemplatesTest, ListPageCarriesRowsControlsAndSortState) {
    std::string doc;
    std::vector<Tag> t = checked("list", false, &doc);
    for (auto [name, tag] : {std::pair{"delsel", "button"}, {"rejsel", "button"}, {"movesel", "button"},
                             {"copysel", "button"}, {"switch", "button"}, {"dstfld", "select"}, {"sel_100", "input"},
                             {"sel_102", "input"}, {"sort_on", "select"}, {"page_size", "select"},
                             {"saveconfig", "input"}, {"utoken", "input"}})
        EXPECT_NE(field(t, name, tag), nullptr) << tag << " " << name;
    EXPECT_EQ(attr(field(t, "utoken"), "value"), "tok%26en");
    // read state and markers become class names; the first row is unread and new
    EXPECT_NE(doc.find("<tr class=\"r0 n1\">"), std::string::npos);
    EXPECT_NE(doc.find("<tr class=\"r1 n0\">"), std::string::npos);
    EXPECT_NE(doc.find("clip a1"), std::string::npos);
    EXPECT_NE(doc.find("&lt;script&gt;alert(1)&lt;/script&gt; &amp; more"), std::string::npos);
    // newest first: the Date heading says so and offers the other direction
    int sorted = 0;
    for (const Tag& h : t)
        if (h.name == "th" && h.attrs.count("aria-sort")) {
            ++sorted;
            EXPECT_EQ(h.attrs.at("aria-sort"), "descending");
        }
    EXPECT_EQ(sorted, 1);
    EXPECT_NE(doc.find("name=\"sort_on\" value=\"datetime\">Date"), std::string::npos);
    EXPECT_NE(doc.find("<option value=\"-datetime\" selected>"), std::string::npos);
    // a page size outside the choices is kept rather than silently changed
    EXPECT_NE(doc.find("<option selected>15</option>"), std::string::npos);
    // the settings command clears these flags when absent: they travel along
    EXPECT_EQ(attr(field(t, "nosortpick"), "value"), "on");
    EXPECT_EQ(field(t, "popall"), nullptr);
    EXPECT_NE(doc.find("rel=\"prev\""), std::string::npos);
    EXPECT_NE(doc.find("rel=\"next\""), std::string::npos);

    fresh();   // an empty folder shows no table
    data().vars["nitems"] = "0";
    checked("list", false, &doc);
    EXPECT_NE(doc.find("This folder is empty."), std::string::npos);
    EXPECT_EQ(doc.find("<table"), std::string::npos);
}

TEST_F(TemplatesTest, SearchFormsSendWhatTheSearchReads) {
    // the list page's own field, and the results page with every choice kept
    std::vector<Tag> l = checked("list", false);
    EXPECT_EQ(attr(field(l, "cmd"), "value"), "search");
    EXPECT_NE(field(l, "q", "input"), nullptr);
    EXPECT_NE(field(l, "sfld", "select"), nullptr);

    std::string doc;
    std::vector<Tag> t = checked("search", false, &doc);
    EXPECT_EQ(attr(field(t, "cmd"), "value"), "search");
    EXPECT_EQ(attr(field(t, "q"), "value"), "\"caf\xC3\xA9\" <b>");
    EXPECT_EQ(attr(field(t, "since"), "value"), "2024-01-02");
    EXPECT_TRUE(field(t, "att")->attrs.count("checked"));
    EXPECT_FALSE(field(t, "unread")->attrs.count("checked"));
    EXPECT_TRUE(field(t, "sfld")->attrs.count("checked")) << "this folder";
    for (const char* b : {"delsel", "movesel", "copysel", "sel_100", "sel_101"}) EXPECT_NE(field(t, b), nullptr) << b;
    EXPECT_NE(doc.find("<mark>caf\xC3\xA9</mark>"), std::string::npos);
    EXPECT_NE(doc.find("2 message(s) whose text is still on the server"), std::string::npos);
    // newest first: the Date heading says so and its link turns the order round
    EXPECT_NE(doc.find("aria-sort=\"descending\"><a href=\"/cgi-bin/lk?cmd=search&amp;utoken=tok%26en&amp;fld=3&amp;"
                       "q=caf%C3%A9&amp;sort_on=datetime\">Date"),
              std::string::npos)
        << doc;

    // all folders: no selection form (its folder would not be the rows')
    fresh();
    data().vars["s_all"] = "1";
    data().vars["s_one"] = "";
    t = checked("search", false, &doc);
    EXPECT_EQ(field(t, "delsel"), nullptr);

    fresh();
    std::vector<Tag> w = checked("list", true);
    EXPECT_EQ(attr(field(w, "cmd", "postfield"), "value"), "search");
    EXPECT_EQ(attr(field(w, "q", "postfield"), "value"), "$(q)");
}

TEST_F(TemplatesTest, MessagePageOffersEveryAction) {
    std::string doc;
    std::vector<Tag> t = checked("item", false, &doc);
    for (const char* b : {"delitemn", "moveton", "setview", "dstfld", "item", "fld"})
        EXPECT_NE(field(t, b), nullptr) << b;
    for (const char* v : {"v_font", "v_headers", "v_inline", "v_asis"})
        EXPECT_EQ(attr(field(t, v), "type"), "checkbox") << v;
    EXPECT_TRUE(field(t, "v_font")->attrs.count("checked"));
    EXPECT_FALSE(field(t, "v_asis")->attrs.count("checked"));
    for (const char* cmd : {"cmd=reply&amp;", "cmd=replyall&amp;", "cmd=forward&amp;", "cmd=forward_edit&amp;",
                            "cmd=reject&amp;", "cmd=raw&amp;", "item=101&amp;fld=3", "item=99&amp;fld=3", ">a.pdf</a>",
                            "<pre>Hello &amp; welcome", "Report &lt;draft&gt; &amp; &quot;figures&quot;", "High priority"})
        EXPECT_NE(doc.find(cmd), std::string::npos) << cmd;

    fresh();   // a message number from the request cannot close an attribute
    data().vars["item"] = "100\"><b>x";
    checked("item", false, &doc);
    EXPECT_NE(doc.find("item=100%22><b>x&amp;fld=3"), std::string::npos);
    EXPECT_EQ(doc.find("\"><b>"), std::string::npos);
}

TEST_F(TemplatesTest, FolderPageRowsAndForms) {
    std::string doc;
    std::vector<Tag> t = checked("folders", false, &doc);
    for (const char* b : {"fld_rename3", "f_name3", "newname", "fld_create", "empty"})
        EXPECT_NE(field(t, b), nullptr) << b;
    EXPECT_NE(doc.find("Kids &amp; &lt;toys&gt;"), std::string::npos);
    EXPECT_NE(doc.find("cmd=fld_delete&amp;utoken=tok%26en&amp;dstfld=3"), std::string::npos);
    // Enter in a rename field must not submit the first folder's rename
    auto buttons = find_tags(t, "button");
    ASSERT_FALSE(buttons.empty());
    EXPECT_TRUE(buttons[0]->attrs.count("disabled"));
}

TEST_F(TemplatesTest, FramesMoveTheMenuOutOfThePanes) {
    g.xisframes = 1;
    std::string frame;
    std::vector<Tag> t = checked("frame", false, &frame);
    auto iframes = find_tags(t, "iframe");
    ASSERT_EQ(iframes.size(), 1u);
    EXPECT_EQ(attr(iframes[0], "name"), "mailpane");
    EXPECT_EQ(attr(iframes[0], "src"), "/cgi-bin/lk?cmd=list&utoken=tok%26en&fld=3");
    EXPECT_NE(frame.find("target=\"mailpane\">Inbox"), std::string::npos) << frame;
    EXPECT_NE(frame.find("target=\"_top\">Log out"), std::string::npos);

    fresh();
    g.xisframes = 1;
    data().vars["docmd"] = "cmd=show&amp;page=error&amp;utoken=tok%26en";
    t = checked("frame", false);
    EXPECT_EQ(attr(find_tags(t, "iframe")[0], "src"), "/cgi-bin/lk?cmd=show&page=error&utoken=tok%26en");

    fresh();
    g.xisframes = 1;   // a command from the request that would close the attribute is refused
    data().vars["docmd"] = "cmd=list\"><script>alert(1)</script>";
    t = checked("frame", false);
    EXPECT_EQ(attr(find_tags(t, "iframe")[0], "src"), "/cgi-bin/lk?cmd=list&utoken=tok%26en&fld=3");

    fresh();
    g.xisframes = 1;   // a page inside the pane: no second menu
    t = checked("list", false);
    EXPECT_TRUE(find_tags(t, "nav").size() == 1) << "only the pager";
    EXPECT_EQ(attr(find_tags(t, "body")[0], "class"), "pane");
}

TEST_F(TemplatesTest, NewUserFormKeepsTheAccountAndContinues) {
    std::vector<Tag> t = checked("newuser", false);
    EXPECT_EQ(attr(field(t, "saveconfig"), "value"), "1");
    EXPECT_EQ(attr(field(t, "pop_name0"), "value"), "mail.example.test");
    EXPECT_EQ(attr(field(t, "pop_user0"), "value"), "ann");
    EXPECT_EQ(attr(field(t, "pop_port0"), "value"), "110");
    EXPECT_TRUE(field(t, "pop_del0")->attrs.count("checked"));
    EXPECT_EQ(field(t, "newframe"), nullptr);
    EXPECT_EQ(attr(field(t, "nosortpick"), "value"), "on");
}

TEST_F(TemplatesTest, PhoneDecksCarryTheirActions) {
    std::string doc;
    std::vector<Tag> t = checked("item", true, &doc);
    EXPECT_EQ(attr(field(t, "delitemn"), "value"), "1");
    EXPECT_NE(doc.find("Hello &amp; welcome<br/>"), std::string::npos);
    EXPECT_NE(doc.find("Files: <a href="), std::string::npos);
    data().vars["roffset"] = "812";   // the body was cut: a link goes on from there
    doc = squash(render("item", true));
    EXPECT_NE(doc.find("roffset=812\">More</a>"), std::string::npos);

    fresh();
    checked("list", true, &doc);
    EXPECT_NE(doc.find("item=100&amp;fld=3\">&lt;script&gt;"), std::string::npos);
    EXPECT_NE(doc.find(">Next</a>"), std::string::npos);
}

}  // namespace

// The phone decks post what the address-book and forward handlers read: a
// picked recipient and the typed fields go to the send command; a forward
// carries its message list, and only the second button deletes afterwards.
TEST_F(TemplatesTest, PhoneDecksPostWhatTheHandlersRead) {
    std::vector<Tag> t = checked("pick", true);
    ASSERT_NE(field(t, "tolist", "select"), nullptr);
    int options = 0;
    for (const Tag& e : t) options += e.name == "option";
    EXPECT_EQ(options, 3);
    EXPECT_EQ(attr(field(t, "cmd", "postfield"), "value"), "send");
    for (const char* f : {"tolist", "to", "cc", "subject", "message"}) {
        EXPECT_NE(field(t, f, "input") ? field(t, f, "input") : field(t, f, "select"), nullptr) << f;
        EXPECT_EQ(attr(field(t, f, "postfield"), "value"), std::string("$(") + f + ")") << f;
    }

    for (bool myfrom : {false, true}) {
        fresh();
        if (myfrom) data().vars["v_myfrom"] = "checked";
        t = checked("forward", true);
        std::vector<const Tag*> gos = find_tags(t, "go"), del;
        ASSERT_EQ(gos.size(), 2u);
        for (const Tag& e : t)
            if (e.name == "postfield" && attr(&e, "name") == "action_senddel") del.push_back(&e);
        ASSERT_EQ(del.size(), 1u);
        EXPECT_EQ(attr(del[0], "value"), "1");
        EXPECT_EQ(attr(field(t, "cmd", "postfield"), "value"), "doforward");
        EXPECT_EQ(attr(field(t, "fwd_list", "postfield"), "value"), "100,102,");
        for (const char* f : {"to", "cc", "subject", "fwd_note", "v_myfrom"})
            EXPECT_EQ(attr(field(t, f, "postfield"), "value"), std::string("$(") + f + ")") << f;
        // with no choice made a phone takes the first option: the saved setting
        const Tag* sel = field(t, "v_myfrom", "select");
        const Tag* first = nullptr;
        for (const Tag& e : t)
            if (&e > sel && e.name == "option") {
                first = &e;
                break;
            }
        EXPECT_EQ(attr(first, "value"), myfrom ? "on" : "") << myfrom;
    }
}
