#include <sys/stat.h>

#include "test_env.h"
#include "support/spawn.h"
#include "user/profile.h"

namespace {
struct Received { std::vector<std::string> list, flist, rules, items; };
Received& rx() {
    static Received r;
    return r;
}
}  // namespace

class TplTest : public PageTest {
protected:
    void SetUp() override {
        PageTest::SetUp();
        rx() = Received{};
        TplHooks& h = tpl_hooks();
        h.show_list = [](const std::string& b) { rx().list.push_back(b); };
        h.show_flist = [](const std::string& b) { rx().flist.push_back(b); };
        h.show_rules = [](const std::string& b) { rx().rules.push_back(b); };
        h.show_item = [](int quote, const char* eol) {
            rx().items.push_back(std::to_string(quote) + (std::string(eol) == "\n" ? "LF" : eol));
            gwrite("[body]");
        };
        h.abook = [](const std::string& a) { return "[book:" + a + "]"; };
    }
    std::string render(const std::string& text) {
        write_tpl("t.tpl", text);
        return show("t");
    }
};

// The golden directives.tpl proves each condition; these are the edges.
TEST_F(TplTest, ConditionsAndNesting) {
    var_set("yes", "1");
    struct Case { const char* tpl; const char* out; } cases[] = {
        // a false condition with a true one inside: all skipped to the outer endif
        {"%%ifdef%%no%%a\n%%ifdef%%yes%%b\n%%endif%%c\n%%endif%%d\n", "\n\n\nd\n"},
        {"%%ifdef%%no%%%%ifdef%%yes%%x%%else%%y%%endif%%z%%else%%w%%endif%%\n", "w\n"},
        {"%%ifdef%%yes%%\n", "\n"},   // a line of only a directive is still a line
        {"%%ifdef%%yes\n", "yes\n"},  // incomplete: just an unset reference and text
        {"no newline at end", "no newline at end"},
        {"%%endif%%x%%end_list%%\n", "x\n"},
    };
    for (const auto& c : cases) {
        tpl_reset();
        EXPECT_EQ(render(c.tpl), c.out) << c.tpl;
    }
}

// The golden separator.tpl proves the bars as markers; none set, none changed.
TEST_F(TplTest, Separator) {
    ini_set(K_separator, "");
    EXPECT_EQ(fix_bars("||x||"), "||x||");
}

// Each block reaches its own owner (the golden lists.tpl gives all three
// one owner); a block never closed is never handed over; a block is bounded.
TEST_F(TplTest, CollectedBlocksReachTheirOwners) {
    render("%%begin_list%%\n<tr>\n<td>x</td>\n%%end_list%%%%begin_flist%%<li>\n</li>\n%%end_flist%%"
           "%%begin_rules%%r1\nr2%%end_rules%%\n");
    EXPECT_EQ(rx().list, std::vector<std::string>{"<tr>\n<td>x</td>\n"});
    EXPECT_EQ(rx().flist, std::vector<std::string>{"<li></li>"});
    EXPECT_EQ(rx().rules, std::vector<std::string>{"r1r2"});
    tpl_reset();
    render("%%begin_list%%a\nb\n");
    EXPECT_EQ(rx().list.size(), 1u);
    EXPECT_EQ(tpl_state().tpl_item, "a\nb\n");
    tpl_reset();
    render("%%begin_list%%\n" + std::string(5000, 'x') + "\n%%end_list%%\n");
    ASSERT_EQ(rx().list.size(), 2u);
    EXPECT_EQ(rx().list[1].size(), 3998u);
}

TEST_F(TplTest, BodyAddressBookAndToList) {
    var_set("abook_edit", "friends");
    var_set("tolist", "<option>a</option>");
    std::string out = render("%%show_item%%|%%quote_body%%|%%quote_sbody%%|%%abook%%|%%tolist%%\n");
    EXPECT_EQ(out, "[body]|[body]|[body]|[book:friends]|<option>a</option>\n");
    EXPECT_EQ(rx().items, (std::vector<std::string>{"0LF", "1LF", "1<br>"}));
    form_put("sbody", "a<b\nc");
    EXPECT_EQ(render("%%quote_sbody%%\n"), "a&lt;b<br>c\n");
}

TEST_F(TplTest, Includes) {
    write_tpl("head.inc", "<h1>%%title%%</h1>\nA%%ifdef%%title%%B%%endif%%\n");
    var_set("title", "T");
    // in an included file every chunk ends a line; the including line goes on
    EXPECT_EQ(render("x%%include%%head.inc%%y\n"), "x<h1>T</h1>\nA\n\nB\n\ny\n");
    // an include of itself stops instead of recursing forever
    write_tpl("self.inc", "s%%include%%self.inc%%\n");
    std::string self = render("%%include%%self.inc%%\n");
    std::size_t levels = 0;
    for (std::size_t p = self.find("s\n"); p != std::string::npos; p = self.find("s\n", p + 1)) ++levels;
    EXPECT_EQ(levels, 8u);
    EXPECT_NE(self.find("Includes nested too deeply"), std::string::npos);
}

TEST_F(TplTest, PageFieldProcessAndNames) {
    write_tpl("a.tpl", "page a %%page%%\n");
    write_tpl("b.tpl", "page b %%page%%\n");
    write_tpl("error.tpl", "error: %%error%%\n");
    EXPECT_EQ(show("a"), "page a a\n");
    form_put("page", "b");
    EXPECT_EQ(show("a"), "page b b\n");
    f_error("boom");
    EXPECT_EQ(show("error"), "error: boom<br>\n");
    f_error_clear();

    form_reset();
    form_put("process", "list");
    EXPECT_EQ(show("a"), "");
    EXPECT_TRUE(tpl_state().process_done);
    EXPECT_EQ(show("a"), "page a a\n");

    form_reset();
    for (const char* bad : {"../secret", "/etc/passwd", "a/../../b"}) {
        f_error_clear();
        EXPECT_EQ(show(bad), "") << bad;
        EXPECT_NE(f_error_text().find("Invalid template file name"), std::string::npos) << bad;
    }
    f_error_clear();
    form_put("page", "../x<script>");
    show("a");
    EXPECT_NE(f_error_text().find("../x&lt;script&gt;"), std::string::npos);
    f_error_clear();
    form_reset();
    show("");
    EXPECT_NE(f_error_text().find("Null template file name"), std::string::npos);
}

TEST_F(TplTest, SymlinkOutOfTheDirectoryIsRefused) {
    std::ofstream(dir / "outside.tpl") << "secret\n";
    std::filesystem::create_symlink(dir / "outside.tpl", dir / "tpl" / "leak.tpl");
    write_tpl("real.tpl", "inside\n");
    std::filesystem::create_symlink("real.tpl", dir / "tpl" / "alias.tpl");
    std::string out = show("leak");
    EXPECT_EQ(out.find("secret"), std::string::npos);
    EXPECT_NE(out.find("Cannot open {"), std::string::npos);
    EXPECT_EQ(show("alias"), "inside\n");   // a link that stays inside is fine
    EXPECT_EQ(render("%%include%%leak.tpl%%\n").find("secret"), std::string::npos);
}

TEST_F(TplTest, MissingTemplatePage) {
    std::string out = show("nothere<b>");
    EXPECT_NE(out.find("Cannot open {"), std::string::npos);
    EXPECT_NE(out.find("nothere&lt;b&gt;.tpl} check your templates setting"), std::string::npos);
    EXPECT_NE(out.find("No such file or directory<br>"), std::string::npos);
    EXPECT_FALSE(tpl_state().template_shown);
    g.gwml = 1;
    out = show("nothere");
    EXPECT_EQ(out.rfind("<?xml", 0), 0u);
    EXPECT_NE(out.find("</p></card></wml>"), std::string::npos);
}

TEST_F(TplTest, FramesAndWmlVariants) {
    write_tpl("p.tpl", "plain\n");
    write_tpl("pf.tpl", "framed\n");
    write_tpl("p.wml", "deck\n");
    write_tpl("frame.tpl", "frameset\n");
    write_tpl("framef.tpl", "never\n");
    EXPECT_EQ(show("p"), "plain\n");
    g.xisframes = 1;
    EXPECT_EQ(show("p"), "framed\n");
    EXPECT_EQ(show("frame"), "frameset\n");
    EXPECT_EQ(var_find("isframes"), "true");
    g.xisframes = 0;
    g.gwml = 1;
    EXPECT_EQ(show("p"), "deck\n");
}

TEST_F(TplTest, TemplateSetFallsBackToMain) {
    std::filesystem::create_directory(dir / "set3");
    std::ofstream(dir / "set3" / "own.tpl") << "set page %%include%%shared.inc%%\n";
    write_tpl("own.tpl", "main own\n");
    write_tpl("other.tpl", "main other\n");
    write_tpl("shared.inc", "shared");
    std::ofstream(dir / "lk.ini") << "templates " << (dir / "tpl").string() << "\ntpl_set 3 " << (dir / "set3").string()
                                  << "\n";
    std::string vhost;
    g.rootname = "lk";
    ASSERT_EQ(ini_read((dir / "lk").string(), vhost), 1);
    g.log_file = (dir / "test.log").string();
    ini_set_tpl_number(3);
    EXPECT_EQ(show("own"), "set page shared\n\n");
    std::string out = show("other");
    EXPECT_NE(out.find("main other\n"), std::string::npos);
    EXPECT_NE(log_text().find("from template set 3.. Reverting to main templates"), std::string::npos);
    EXPECT_EQ(ini_tpl_number(), 0);
}

TEST_F(TplTest, CommonVariablesAndHelpers) {
    g.utoken = "tok en";
    g.g_server = "mail.example";
    g.g_server_port = 8080;
    g.xisframes = 0;
    ini_set(K_var3, "three");
    form_put("docmd", "cmd=list");
    form_put("fwdedit", "fe");
    var_set("attachment_names", "kept");
    write_tpl("v.tpl", "%%utoken%%|%%server%%|%%vhost_port%%|%%var3%%|%%docmd%%|%%b_list%%|%%fwdedit%%|%%attachment_names%%\n");
    EXPECT_EQ(show("v"), "tok%20en|mail.example:8080|:8080|three|cmd=list|/cgi-bin/lk?cmd=list&amp;utoken=tok%20en|fe|kept\n");
    EXPECT_EQ(encode_state().send_link, "/cgi-bin/lk?cmd=send&amp;utoken=tok%20en&amp;to=");
    EXPECT_EQ(var_find("logged_out"), "");
    g.utoken.clear();
    show("v");
    EXPECT_EQ(var_find("logged_out"), "true");
    static int ran = 0;
    tpl_init_add([] { ++ran; });
    show("v");
    EXPECT_EQ(ran, 1);

    EXPECT_EQ(content_type(), "text/html");
    g.gwml = 1;
    EXPECT_EQ(content_type(), "text/vnd.wap.wml\nCache-control: no-cache");
    ini_set(K_content_type, "text/plain");
    EXPECT_EQ(content_type(), "text/plain");
    EXPECT_EQ(charset(), "");
    var_set("charset", "iso-8859-1");
    EXPECT_EQ(charset(), "; charset=\"iso-8859-1\"");
    ini_set(K_set_charset, "false");
    EXPECT_EQ(charset(), "");

    EXPECT_EQ(item_pre(0), "");   // WML: the setting even when empty
    g.gwml = 0;
    EXPECT_EQ(item_pre(0), "<pre>");
    EXPECT_EQ(item_post(0), "</pre>");
    ini_set(K_item_pre2, "<div>");
    EXPECT_EQ(item_pre(1), "<div>");
    encode_state().v_font = true;
    EXPECT_EQ(item_pre(0), "<div>");
    ini_set(K_read_wrap, "1");
    EXPECT_EQ(item_pre(0), "<p>");
    EXPECT_EQ(item_post(0), "</p>");
    EXPECT_EQ(nl(nullptr), "");
    EXPECT_EQ(nl("x"), "x");
}

TEST_F(TplTest, SourceViewAndCounter) {
    write_tpl("s.tpl", "<b>%%x%%</b>\n");
    EXPECT_EQ(capture([] { EXPECT_EQ(tpl_show_tpl("s"), 1); }), "&lt;b&gt;%%x%%&lt;/b&gt;<br>");
    capture([] { EXPECT_EQ(tpl_show_tpl("../s"), 0); });
    EXPECT_NE(f_error_text().find("Invalid template file name"), std::string::npos);
    capture([] { EXPECT_EQ(tpl_show_tpl("none"), 0); });
    EXPECT_NE(log_text().find("Can't open"), std::string::npos);

    ini_set(K_stats, "true");
    ini_set(K_stats_path, dir.string());
    show("s");
    show("s");
    EXPECT_EQ(std::filesystem::file_size(dir / "s_tpl.s"), 2u);
}

TEST_F(TplTest, DoRunsOnlyWhatTheTemplateNames) {
    var_set("arg", "a b; rm -rf /");
    var_set("prog", "/bin/sh");
    EXPECT_EQ(render("[%%do(/bin/echo one %%arg%%)%%]\n"), "[one a b; rm -rf /\n]\n");
    std::string out = render("%%do(%%prog%% -c id)%%\n");
    EXPECT_EQ(out.find("uid="), std::string::npos);
    EXPECT_NE(out.find("failed"), std::string::npos);
    // printf sees exactly one argument from the variable
    EXPECT_EQ(render("%%do(/usr/bin/printf [%s] %%arg%%)%%\n"), "[a b; rm -rf /]\n");
    out = render("%%do(/no/such/program)%%|\n");
    EXPECT_NE(out.find("-ERR Spawn error on exec"), std::string::npos);
    EXPECT_NE(out.find("|\n"), std::string::npos);
}

TEST_F(TplTest, DoThatHangsIsKilledAndThePageGoesOn) {
    tpl_state().do_seconds = 1;
    std::string out = render("before\n%%do(/bin/sleep 60)%%after\n");
    EXPECT_EQ(out, "before\nafter\n");
    EXPECT_NE(log_text().find("Timeout waiting for output from ||do(/bin/sleep 60)||"), std::string::npos);
}

TEST_F(TplTest, ProfileVariablesAreEncoded) {
    profile_reset();
    prof.xuser = "ann@example.org";
    prof.xreal_name = "Ann \"<b>\"";
    prof.xcopyself = 1;
    prof.xsort_on = "-subject";
    prof.xpop_user[0] = "ann";
    prof.xpop_name[0] = "pop.example.org";
    prof.xpop_user[2] = "<x>@b";
    prof.xpop_name[2] = "b";
    prof.xpop_cur = 2;
    prof.xdiskuse = 4096;
    write_tpl("p.tpl", "%%real_name%%|%%copyself%%|%%addsig%%|%%sort_direction%%|%%disk_use_kbytes%%|%%user%%|%%fuser%%\n");
    EXPECT_EQ(show("p"), "Ann &quot;&lt;b&gt;&quot;|checked||ascending|4|ann|ann@example.org\n");
    EXPECT_EQ(var_find("poplist"),
              "<option value=\"0\"> ann@pop.example.org</option>\n<option value=\"2\" selected>&lt;x&gt;@b");
    EXPECT_NE(var_find("user_dir"), "");
    // the profile's view options reach the encoders
    prof.xv_font = 1;
    EXPECT_EQ(text_encode3("a"), "a<br>");
    profile_reset();
    EXPECT_EQ(text_encode3("a"), "a");
}
