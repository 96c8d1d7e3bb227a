// The address-book page and its commands: show and save the recent list,
// the collection switches and one personal book; edit or delete a book;
// add a message's sender to the recent list or the collection book.  The
// pick lists of the compose pages are built here too.
#include <cstdlib>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "org/abook.h"
#include "page/encode.h"
#include "page/tpl.h"
#include "page/var.h"
#include "send/addr.h"
#include "send/reply.h"
#include "support/str.h"
#include "user/login.h"
#include "user/profile.h"
#include "view/item.h"
#include "view/list.h"

namespace {

// "abook_edit" of the form, checked; "" with the reason recorded when bad.
std::string edited_name() {
    std::string name = trim_spaces(form_find("abook_edit"));
    if (name.empty()) return "";
    if (name.size() > 100) {
        f_error(lang_get("Address book name too long %s"), html_escape(name.substr(0, 100)).c_str());
        return "";
    }
    if (!abook_name_ok(name)) {
        f_error(lang_get("Invalid address book name %s"), html_escape(name).c_str());
        return "";
    }
    return name;
}

int show_pick(const std::string& edit) {
    if (const std::string* abo = nform_find("abook_only")) {
        std::string v = trim_spaces(*abo);
        prof.xabo = v == lang_get("(none)") || !abook_name_ok(v) ? "" : v;
    }
    var_set("tolist", user_picklist());
    var_set("topick", topick());
    user_editlist();
    std::vector<std::string> books = split_books(prof.xaddr_books);
    std::string shown = !edit.empty() ? edit : books.empty() ? "" : books[0];
    var_set("abook_edit", html_escape(shown));
    var_set("gaddr_books", html_escape(prof.xgaddr_books));
    abooks_picklist();
    const std::string& page = form_find("page");
    tpl_show(page.empty() || page == "pick" ? "pick" : page);
    return 1;
}

// Moves a book name to the front of the user's list.
void books_front(const std::string& name) {
    std::string out = name;
    for (const std::string& b : split_books(prof.xaddr_books))
        if (b != name) out += "," + b;
    prof.xaddr_books = out;
    ++g.ui_changed;
}

// The compose pages get their pick lists.
void compose_lists() {
    static const char* kCompose[] = {"new", "reply", "replyall", "forward_edit", "send", "dosend"};
    const std::string& cmd = form_find("cmd");
    bool compose = false;
    for (const char* c : kCompose) compose = compose || cmd == c;
    if (!compose || prof.xuser.empty() || !var_find("tolist").empty()) return;
    var_set("tolist", user_picklist());
}

struct RegisterCompose {
    RegisterCompose() { tpl_init_add(compose_lists); }
} register_compose;

}  // namespace

int f_pick() {
    if (!user_checkauth()) return 0;
    return show_pick("");
}

int r_pick() {
    if (!user_checkauth()) return 0;
    if (const std::string* gab = nform_find("gaddr_books")) {
        std::string list = one_line(*gab, 511);
        std::string problem = gaddr_book_check(list);
        if (!problem.empty())
            f_error(lang_get("Can't open global address book %s"), html_escape(problem).c_str());
        else if (list != prof.xgaddr_books) {
            prof.xgaddr_books = list;
            ++g.ui_changed;
        }
    }
    if (const std::string* edit = nform_find("toedit")) {
        user_clear();
        std::string t = *edit;
        for (char& c : t)
            if (c == '\n' || c == '\r') c = ',';
        user_addfrom(true, t);
        ++g.ui_changed;
    }
    prof.xautoadd = form_true("autoadd") ? 1 : 0;
    prof.xautoadda = form_true("autoadda") ? 1 : 0;
    if (prof.xautoadda) {
        std::string ab = trim_spaces(form_find("add_book"));
        prof.xadd_book = ab == lang_get("(none)") || !abook_name_ok(ab) ? "" : ab;
        if (prof.xadd_book.empty()) prof.xautoadda = 0;
    }
    ++g.ui_changed;
    std::string name = edited_name();
    const std::string* text = nform_find("abook");
    if (text && !text->empty() && name.empty() && f_error_text().empty()) {
        imsg("No address book name specified using main\n");
        name = lang_get("main");
    }
    if (!name.empty() && text) {
        if (addr_book_write(name, *text)) books_front(name);
    }
    const std::string& page = form_find("page");
    if (page.empty()) {
        prof.xfld = 0;
        return f_list();
    }
    return show_pick(name);
}

int f_edit_abook() {
    if (!user_checkauth()) return 0;
    return show_pick(edited_name());
}

int f_del_abook() {
    if (!user_checkauth()) return 0;
    std::string name = edited_name();
    if (!name.empty()) {
        std::string out;
        for (const std::string& b : split_books(prof.xaddr_books))
            if (b != name) out += (out.empty() ? "" : ",") + b;
        prof.xaddr_books = out;
        if (prof.xabo == name) prof.xabo.clear();
        if (prof.xadd_book == name) prof.xadd_book.clear();
        ++g.ui_changed;
        abook_del(name);
    }
    return show_pick("");
}

int r_addfrom() {
    if (!user_checkauth()) return 0;
    std::string from = one_line(form_find("h_from"), 511);
    user_addfrom(true, from);
    var_set("msg", html_escape(sfmt(lang_get("Added %s to your pick list"), from.c_str())));
    ++g.ui_changed;
    return form_find("item").empty() ? f_pick() : f_item();
}

int r_addfroma() {
    if (!user_checkauth()) return 0;
    std::string from = one_line(form_find("h_from"), 511);
    if (user_addfroma(from) > 0)
        var_set("msg", html_escape(sfmt(lang_get("Added %s to your %s address book"), from.c_str(),
                                        prof.xadd_book.c_str())));
    return form_find("item").empty() ? f_pick() : f_item();
}
