// The junk-mail introduction settings.  juser.dat belongs as much to the
// agent that holds and reports mail as to us: a user's file is only made
// from jdefault.dat when it does not exist (a file we merely failed to read
// is never replaced), lines we do not know are written back, and every
// write goes to a new file that is renamed over the old one, so the agent
// never reads half a file.
#include "org/junk.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "page/tpl.h"
#include "send/addr.h"
#include "page/var.h"
#include "support/file.h"
#include "support/str.h"
#include "user/login.h"
#include "user/paths.h"
#include "user/profile.h"
#include "user/session.h"
#include "view/list.h"

namespace {

constexpr std::size_t kLineMax = 511;
constexpr const char* kWriter = "Larkspur 2.8a";

struct ListKey {
    const char* key;
    const char* heading;
    std::vector<std::string> JUser::*list;
};

// The written order of the text lists, with their headings.
const ListKey kLists[] = {
    {"offer", "# Introduction Offer", &JUser::offer},
    {"mpoh", "# Message Placed on Hold", &JUser::mpoh},
    {"report", "# Kestrel Report", &JUser::report},
    {"nir", "# Notification of Introduction Received", &JUser::nir},
    {"nirm", "# Notification of Introduction Received (no Messages)", &JUser::nirm},
    {"ifoa", "# Inform Friend of Acceptance", &JUser::ifoa},
    {"friend", "# List of Friends", &JUser::friend_},
    {"gen_friend", "# List of Generic Friends", &JUser::gen_friend},
    {"hostile", "# List of Hostiles", &JUser::hostile},
    {"gen_hostile", "# List of Generic Hostiles", &JUser::gen_hostile},
};

struct IntKey {
    const char* key;
    int JUser::*value;
};
const IntKey kInts[] = {
    {"check_mins", &JUser::check_mins},     {"report_days", &JUser::report_days},
    {"hold_days", &JUser::hold_days},       {"hostiles_removed", &JUser::hostiles_removed},
    {"current_held", &JUser::current_held}, {"intros_sent", &JUser::intros_sent},
    {"report_id", &JUser::report_id},       {"offer_id", &JUser::offer_id},
};

bool parse_int(const std::string& s, long& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (end == s.c_str() || errno == ERANGE) return false;
    out = v;
    return true;
}

bool read_intro(const std::string& value, JIntroHeader& h) {
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i < value.size() && parts.size() < 4) {
        while (i < value.size() && value[i] == ' ') ++i;
        std::size_t e = value.find(' ', i);
        if (e == std::string::npos) e = value.size();
        if (e > i) parts.push_back(value.substr(i, e - i));
        i = e;
    }
    long n[3];
    if (parts.size() < 4) return false;
    for (int k = 0; k < 3; ++k)
        if (!parse_int(parts[static_cast<std::size_t>(k) + 1], n[k])) return false;
    h.text = parts[0];
    h.a = static_cast<int>(n[0]);
    h.b = static_cast<int>(n[1]);
    h.c = static_cast<int>(n[2]);
    return true;
}

// One line of the file; false when its key is not one of ours.
bool read_line(JUser& j, const std::string& key, const std::string& value) {
    long n = 0;
    if (key == "smtp_address") {
        j.smtp_address = value;
        return true;
    }
    if (key == "last_check" || key == "last_report") {
        (key == "last_check" ? j.last_check : j.last_report) = parse_int(value, n) ? n : 0;
        return true;
    }
    for (const IntKey& k : kInts)
        if (key == k.key) {
            j.*k.value = parse_int(value, n) ? static_cast<int>(n) : 0;
            return true;
        }
    for (const ListKey& k : kLists)
        if (key == k.key) {
            (j.*k.list).push_back(value);
            return true;
        }
    if (key == "intro_header") {
        JIntroHeader h;
        if (read_intro(value, h)) j.intro_header.push_back(h);
        else imsg("Could not add 'intro_header' to list\n");
        return true;
    }
    return false;
}

// A value as one stored line: no line breaks, and short enough that the
// line reads back whole.
std::string stored(const std::string& key, std::string_view v) {
    std::string s;
    for (char c : v)
        if (c != '\r' && c != '\n' && c != '\0') s += c;
    strtrm(s);
    std::size_t room = kLineMax - key.size() - 1;
    return ncpy(s, room);
}

std::string render(const JUser& j, const std::string& writer) {
    std::string o;
    auto line = [&o](const std::string& s) { o += s + "\r\n"; };
    line(sfmt("# ini file written by %s", writer.c_str()));
    line("# library: TARN v1.2c");
    line("");
    line("# Lines starting with # are comments");
    line("");
    line("smtp_address " + stored("smtp_address", j.smtp_address));
    line(sfmt("last_check %ld", j.last_check));
    line(sfmt("check_mins %d", j.check_mins));
    line(sfmt("last_report %ld", j.last_report));
    line(sfmt("report_days %d", j.report_days));
    line(sfmt("hold_days %d", j.hold_days));
    line(sfmt("hostiles_removed %d", j.hostiles_removed));
    line(sfmt("current_held %d", j.current_held));
    line(sfmt("intros_sent %d", j.intros_sent));
    for (const ListKey& k : kLists) {
        line("");
        line(k.heading);
        line("");
        for (const std::string& v : j.*k.list) line(std::string(k.key) + " " + stored(k.key, v));
    }
    line("");
    line("# Introduction Offers");
    line("");
    for (const JIntroHeader& h : j.intro_header) {
        std::string text = stored("intro_header", h.text);
        // The text is one word of the entry: blanks would split it.
        for (char& c : text)
            if (c == ' ' || c == '\t') c = '_';
        line(sfmt("intro_header %s %d %d %d", text.c_str(), h.a, h.b, h.c));
    }
    line(sfmt("report_id %d", j.report_id));
    line(sfmt("offer_id %d", j.offer_id));
    for (const std::string& u : j.unknown) line(u);
    return o;
}

// The list fields of the page, one entry a line, made safe for the page.
void set_list_var(const char* name, const std::vector<std::string>& list) {
    std::string text;
    for (const std::string& s : list) text += s + "\n";
    var_set(name, html_escape(text));
}

void set_page_vars(const JUser& j) {
    var_set_outside("dflt_reply", get_reply());
    var_set_outside("real_name", prof.xreal_name);
    if (j.last_check != 0) {
        std::time_t t = static_cast<std::time_t>(j.last_check);
        char buf[32];
        if (ctime_r(&t, buf)) var_set("j_last_check", ncpy(buf, 16));
    }
    var_set("j_current_held", std::to_string(j.current_held));
    var_set("j_hostiles_removed", std::to_string(j.hostiles_removed));
    var_set("j_intros_sent", std::to_string(j.intros_sent));
    var_set("j_report_days", std::to_string(j.report_days));
    var_set("j_hold_days", std::to_string(j.hold_days));
    var_set("j_check_mins", std::to_string(j.check_mins));
    var_set("refresh", std::to_string(prof.xrefresh));
    set_list_var("j_offer", j.offer);
    set_list_var("j_friends", j.friend_);
    set_list_var("j_wild_friends", j.gen_friend);
    set_list_var("j_hostile", j.hostile);
    set_list_var("j_wild_hostile", j.gen_hostile);
}

// A list the form does not carry (the phone page has none) stays as it is.
void take_list(const char* field, std::vector<std::string>& list) {
    if (!nform_find(field)) return;
    std::vector<std::string> lines;
    form_find_list(field, lines);
    list.clear();
    for (const std::string& l : lines) {
        std::string s = stored("gen_hostile", l);   // the longest list key bounds them all
        if (!s.empty()) list.push_back(s);
    }
}

void take_number(const char* field, int& value) {
    long n = 0;
    if (const std::string* v = nform_find(field); v && parse_int(*v, n) && n >= 0 && n < 1000000)
        value = static_cast<int>(n);
}

}  // namespace

std::string juser_file(const std::string& user) { return user_dir_of(user) + "/juser.dat"; }

std::string juser_default() { return file_work("jdefault.dat"); }

void juser_clear(JUser& j) { j = JUser{}; }

void juser_init(JUser& j) { juser_clear(j); }

int juser_read(JUser& j, const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        imsg("Couldn't open %s %s\n", path.c_str(), "not a file");
        errno = EISDIR;
        return 0;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        int e = errno;
        imsg("Couldn't open %s %s\n", path.c_str(), std::strerror(e));
        errno = e;
        return 0;
    }
    std::string line;
    while (std::getline(in, line)) {
        line = ncpy(line, kLineMax);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        std::size_t sp = line.find(' ');
        if (sp == std::string::npos || !read_line(j, line.substr(0, sp), line.substr(sp + 1)))
            j.unknown.push_back(line);
    }
    if (in.bad()) {
        // Half a file is not the user's settings.
        imsg("Couldn't read %s\n", path.c_str());
        errno = EIO;
        return 0;
    }
    errno = 0;
    return 1;
}

int juser_write(JUser& j, const std::string& path, const std::string& writer) {
    if (!j.changed) return 1;
    std::string dir = path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    struct stat st {};
    if (!dir.empty() && stat(dir.c_str(), &st) != 0) {
        lmsg("Cannot write juser data (%s) (%s)", path.c_str(), std::strerror(errno));
        return 0;
    }
    std::string tmp = sfmt("%s.%d.tmp", path.c_str(), static_cast<int>(getpid()));
    int fd = -1;
    for (int tries = 0; tries < 5 && fd < 0; ++tries) {
        fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 && tries < 4) usleep(100000);
    }
    if (fd < 0) {
        lmsg("Cannot write juser data (%s) (%s)", path.c_str(), std::strerror(errno));
        return 0;
    }
    if (!write_all(fd, render(j, writer))) {
        lmsg("Unable to write user data file %s\n", path.c_str());
        close(fd);
        std::remove(tmp.c_str());
        return 0;
    }
    if (fsync(fd) != 0 || close(fd) != 0) {
        lmsg("Unable to close user data file %s\n", path.c_str());
        std::remove(tmp.c_str());
        return 0;
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        lmsg("Cannot write juser data (%s) (%s)", path.c_str(), std::strerror(errno));
        std::remove(tmp.c_str());
        return 0;
    }
    j.changed = false;
    return 1;
}

int f_jconf(int reset) {
    if (!user_checkauth()) return 0;
    JUser j;
    juser_init(j);
    const std::string path = juser_file(prof.xuser);
    bool have = juser_read(j, path) != 0;
    if (!have && errno != ENOENT) {
        // The file is there but unreadable for now: showing defaults and
        // writing them would throw the user's lists away.
        f_error("%s", lang_get("Error reading Kestrel settings"));
        return 0;
    }
    if (reset || !have) {
        std::vector<std::string> keep = std::move(j.unknown);
        juser_init(j);
        juser_read(j, juser_default());
        // Lines the agent keeps in the user's own file stay theirs.
        if (have) j.unknown = std::move(keep);
        j.smtp_address = get_smtphost();
        j.changed = true;
        if (!juser_write(j, path, kWriter)) f_error("%s", lang_get("Error saving Kestrel settings"));
    }
    set_page_vars(j);
    tpl_show("jconfig");
    return 1;
}

int r_jconf() {
    if (!user_checkauth()) return 0;
    JUser j;
    juser_init(j);
    const std::string path = juser_file(prof.xuser);
    if (!juser_read(j, path) && errno != ENOENT) {
        var_set("msg", lang_get("Error saving Kestrel settings"));
        tpl_show("ok");
        return 0;
    }
    take_number("j_report_days", j.report_days);
    take_number("j_hold_days", j.hold_days);
    take_number("j_check_mins", j.check_mins);
    take_list("j_offer", j.offer);
    take_list("j_friends", j.friend_);
    take_list("j_wild_friends", j.gen_friend);
    take_list("j_hostile", j.hostile);
    take_list("j_wild_hostile", j.gen_hostile);
    if (const std::string* v = nform_find("refresh")) {
        long r = 0;
        if (parse_int(*v, r) && r >= 0) {
            int least = std::atoi(wm_ini_get(K_fetch_min).c_str());
            prof.xrefresh = r > 0 && r < least ? least : static_cast<int>(r);
            ++g.ui_changed;
        }
    }
    j.changed = true;
    if (!juser_write(j, path, kWriter)) {
        var_set("msg", lang_get("Error saving Kestrel settings"));
        tpl_show("ok");
        return 0;
    }
    var_set("msg", lang_get("Kestrel settings saved"));
    var_set("info_msg", lang_get("Kestrel settings saved"));   // what the message list shows
    if (!form_find("newframe").empty() && g.xisframes) tpl_show("frame");
    else f_list();
    return 1;
}
