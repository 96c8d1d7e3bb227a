#include "cgi/diag.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "cgi/commands.h"
#include "cgi/config.h"
#include "cgi/content.h"
#include "cgi/form.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "support/escape.h"
#include "support/str.h"

namespace {

constexpr std::size_t kEarlyMark = 9000;   // early-log buffer fill limit
constexpr std::size_t kOutput = 5000;      // formatting limit of the log and f_error
constexpr std::size_t kEtext = 511;        // the pending error text

struct DiagState {
    bool dodebug = false;
    bool pre_ini = true;
    std::string early;
    std::string etext;
    std::string lead;      // the message a person can act on, when one was named
    long gsent = 0;
    bool error_do_used = false;
};

DiagState& st() {
    static DiagState s;
    return s;
}

std::string line_prefix() {
    std::time_t now = std::time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &tmv);
    return sfmt("%s %d: ", stamp, static_cast<int>(getpid()));
}

void out_log_copy(std::string_view text) {
    if (!g.xoutlog) return;
    std::string path = file_work("out.log");
    FILE* f = std::fopen(path.c_str(), "a");
    if (!f) {
        emsg_do(1, "Error: Can't open out.log");
        return;
    }
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

// One message is one log line: request text, mail headers and server
// replies reach the log through messages, and a line break inside them
// would let them forge lines of their own.  Control characters are
// written as escapes; one trailing line break ends the line.
std::string log_safe(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    std::string out;
    out.reserve(text.size() + 1);
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if ((c < 0x20 && c != '\t') || c == 0x7f) out += sfmt("\\x%02x", c);
        else out += ch;
    }
    out += '\n';
    return out;
}

// The log is created readable by the program's own user only: it names
// users, addresses and hosts.
FILE* open_log() {
    int fd = open(g.log_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, "a");
    if (!f) close(fd);
    return f;
}

std::string vformat_bounded(const char* fmt, va_list ap, bool& too_long) {
    std::string s = vsfmt(fmt, ap);
    too_long = s.size() >= kOutput;
    if (too_long) s.resize(kOutput - 1);
    return s;
}

// A message as page text: the characters that make markup or end a quoted
// attribute ("'" is left, messages are full of "can't").
std::string message_escape(std::string_view t) {
    std::string r;
    r.reserve(t.size());
    for (char c : t) {
        switch (c) {
        case '<': r += "&lt;"; break;
        case '>': r += "&gt;"; break;
        case '&': r += "&amp;"; break;
        case '"': r += "&quot;"; break;
        default: r.push_back(c);
        }
    }
    return r;
}

// The escaped error text back to plain text, breaks as blanks.
std::string plain_text(std::string_view t) {
    static const std::pair<std::string_view, std::string_view> ents[] = {
        {"<br>", " "}, {"<br/>", " "}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}};
    std::string out;
    for (std::size_t i = 0; i < t.size();) {
        bool done = false;
        for (const auto& [from, to] : ents)
            if (t.compare(i, from.size(), from) == 0) {
                out += to;
                i += from.size();
                done = true;
                break;
            }
        if (!done) out += t[i++];
    }
    return out;
}

}  // namespace

void gwrite(std::string_view text) {
    if (text.empty()) return;
    std::size_t n = std::fwrite(text.data(), 1, text.size(), stdout);
    st().gsent += static_cast<long>(n);
    out_log_copy(text);
}

void gprintf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = vsfmt(fmt, ap);
    va_end(ap);
    gwrite(s);
}

long gsent() { return st().gsent; }

int emsg_do(int level, const char* text) {
    DiagState& s = st();
    if (!text) text = "emsg_do was passed a NULL\n";
    if ((level == 1 || level == 2) && !s.dodebug && !s.pre_ini) return 0;
    if (level == 0) {
        // A message may quote what a request or a server sent: the page
        // gets it as text, the log as it is.
        std::string shown = message_escape(text);
        if (!g.gbr.empty()) {
            const std::string br = message_escape(g.gbr);
            for (std::size_t p = 0; (p = shown.find(br, p)) != std::string::npos; p += g.gbr.size())
                shown.replace(p, br.size(), g.gbr);
        }
        do_content();
        if (g.gwml) {
            gprintf("<?xml version=\"1.0\"?>\n<!DOCTYPE wml PUBLIC \"-//WAPFORUM//DTD WML 1.1//EN\" "
                    "\"http://www.wapforum.org/DTD/wml_1.1.xml\">\n");
            gwrite("<wml><p>Error: ");
            gwrite(shown);
            gwrite(" </p></wml>\n");
        } else {
            gwrite(g.gbr);
            gwrite(" Error: ");
            gwrite(shown);
            gwrite(" ");
            gwrite(g.gbr);
        }
        std::fflush(stdout);
    }
    std::string line = line_prefix() + log_safe(text);
    if (s.pre_ini && s.early.size() < kEarlyMark) {
        s.early += line;
        return 1;
    }
    FILE* f = open_log();
    if (!f) {
        std::fprintf(stderr, "Can't open log file %s: %s\n", g.log_file.c_str(), std::strerror(errno));
        return 0;
    }
    if (!s.early.empty()) {
        std::fwrite(s.early.data(), 1, s.early.size(), f);
        s.early.clear();
    }
    std::fwrite(line.data(), 1, line.size(), f);
    std::fclose(f);
    return 1;
}

#define LK_FORMAT_AND(level)                                                         \
    va_list ap;                                                                      \
    va_start(ap, fmt);                                                               \
    bool too_long = false;                                                           \
    std::string s = vformat_bounded(fmt, ap, too_long);                              \
    va_end(ap);                                                                      \
    return emsg_do(level, s.c_str())

int emsg(const char* fmt, ...) { LK_FORMAT_AND(0); }
int filemsg(const char* fmt, ...) { LK_FORMAT_AND(0); }
int imsg(const char* fmt, ...) { LK_FORMAT_AND(1); }
int lmsg(const char* fmt, ...) { LK_FORMAT_AND(3); }
#undef LK_FORMAT_AND

int dmsg(...) { return 0; }

bool log_has(const char* topic) { return contains(wm_ini_get(K_log), topic); }

void diag_set_debug(bool on) { st().dodebug = on; }
bool diag_debug() { return st().dodebug; }
void diag_end_pre_ini() { st().pre_ini = false; }

void diag_flush_early() {
    DiagState& s = st();
    if (s.early.empty()) return;
    if (FILE* f = open_log()) {
        std::fwrite(s.early.data(), 1, s.early.size(), f);
        std::fclose(f);
        s.early.clear();
    }
}

namespace {

std::string trim_ws(std::string_view t) {
    std::size_t b = t.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos) return {};
    std::size_t e = t.find_last_not_of(" \t\r\n");
    return std::string(t.substr(b, e - b + 1));
}

std::string error_add(const char* fmt, va_list ap) {
    bool too_long = false;
    std::string s = vformat_bounded(fmt, ap, too_long);
    if (too_long) emsg_do(0, "FATAL, F_ERROR TOO LONG\n");
    emsg_do(1, s.c_str());
    // The text goes to pages: whatever a message quotes (a name, a host, a
    // server's reply) is escaped here, once, and only the breaks between
    // messages are markup.  A command-line answer gets it as it is.
    std::string& e = st().etext;
    std::string stored = g.gcl ? s : message_escape(s);
    e = ncpy(e + stored + g.gbr, kEtext);
    return stored;
}

// The pending messages in the order they were reported.
std::vector<std::string> error_messages() {
    std::vector<std::string> out;
    const std::string& e = st().etext;
    std::size_t i = 0;
    while (i < e.size()) {
        std::size_t j = g.gbr.empty() ? std::string::npos : e.find(g.gbr, i);
        std::string part = e.substr(i, j == std::string::npos ? std::string::npos : j - i);
        if (!trim_ws(part).empty()) out.push_back(part);
        if (j == std::string::npos) break;
        i = j + g.gbr.size();
    }
    return out;
}

// The message named by f_error_lead, else the first.
std::string lead_message(const std::vector<std::string>& msgs) {
    for (const std::string& m : msgs)
        if (!st().lead.empty() && m == st().lead) return m;
    return msgs.empty() ? std::string() : msgs.front();
}

// Details are worth a disclosure when they say more than the lead does.
bool wants_details(const std::vector<std::string>& msgs, const std::string& lead) {
    return msgs.size() > 1 || error_plain(lead) != trim_ws(lead);
}

// Publishes "error" (every message), "error_lead" (the one sentence a
// person can act on) and "error_details" (the whole list, for whoever
// has to find out what went wrong).
void error_publish() {
    DiagState& s = st();
    if (s.etext.empty()) return;
    page_set("error", s.etext);
    std::vector<std::string> msgs = error_messages();
    if (msgs.empty()) return;
    const std::string lead = lead_message(msgs);
    page_set("error_lead", error_plain(lead));
    if (wants_details(msgs, lead)) {
        std::string all;
        for (const std::string& m : msgs) all += (all.empty() ? "" : g.gbr) + m;
        page_set("error_details", all);
    } else {
        page_set("error_details", "");
    }
}

}  // namespace

std::string error_plain(std::string_view message) {
    std::string t = trim_ws(message);
    // A code such as "W14: " or "E12: " tells the administrator where to
    // look; the sentence after it is what the user reads.
    std::size_t i = 0;
    if (i < t.size() && std::isupper(static_cast<unsigned char>(t[i]))) {
        ++i;
        std::size_t d = i;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i;
        if (i > d && i + 1 < t.size() && t[i] == ':' && t[i + 1] == ' ') t = trim_ws(t.substr(i + 2));
    }
    return t;
}

void f_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    error_add(fmt, ap);
    va_end(ap);
}

void f_error_lead(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    st().lead = error_add(fmt, ap);
    va_end(ap);
}

void f_error_set() { error_publish(); }

const std::string& f_error_text() { return st().etext; }
void f_error_clear() {
    st().etext.clear();
    st().lead.clear();
}

void error_page_plain() {
    do_content();
    // The messages are escaped already (f_error); only the breaks between
    // them are the page's own markup.
    const std::vector<std::string> msgs = error_messages();
    const std::string br = g.gwml ? "<br/>" : "<br>";
    const std::string lead = lead_message(msgs);
    const std::string plain = error_plain(lead);
    std::string details;
    if (wants_details(msgs, lead))
        for (const std::string& m : msgs) details += (details.empty() ? "" : br + "\n") + m;
    const char* title = lang_get("Error");
    if (g.gwml) {
        gprintf("<?xml version=\"1.0\"?>\n<!DOCTYPE wml PUBLIC \"-//WAPFORUM//DTD WML 1.1//EN\" "
                "\"http://www.wapforum.org/DTD/wml_1.1.xml\">\n"
                "<wml><card id=\"error\" title=\"%s\"><p>%s</p>%s%s%s</card></wml>\n",
                html_escape(title).c_str(), plain.c_str(), details.empty() ? "" : "<p>", details.c_str(),
                details.empty() ? "" : "</p>");
    } else {
        gprintf("<!DOCTYPE html>\n<html><head><title>%s</title></head><body>\n<h2>%s</h2>\n<p>%s</p>\n",
                html_escape(title).c_str(), html_escape(title).c_str(), plain.c_str());
        if (!details.empty())
            gprintf("<details><summary>%s</summary><p>%s</p></details>\n", html_escape(lang_get("Details")).c_str(),
                    details.c_str());
        gprintf("</body></html>\n");
    }
}

int f_error_do() {
    DiagState& s = st();
    if (s.etext.empty()) return 0;
    error_publish();
    if (page_shown()) return 0;
    // error_do and the frame page each get one chance per request, so a
    // replacement command that fails again ends on the error page.
    if (!s.error_do_used) {
        s.error_do_used = true;
        const std::string* ed = nform_find("error_do");
        if (ed && !ed->empty()) {
            query_put("cmd", *ed);
            s.etext.clear();
            return 1;
        }
        if (g.xisframes && !form_find("newframe").empty()) {
            // The frame asks for the text again as a request field, which
            // is escaped when it arrives: it travels as plain text.
            page_set("docmd", "cmd=show&amp;page=error&amp;utoken=" + pct_encode(g.utoken) +
                                  "&amp;set_error=" + pct_encode(ncpy(plain_text(s.etext), 511)) + "&amp;");
            if (page_show("frame")) return 1;
        }
    }
    std::string tpl = file_tpl(g.gwml ? "error.wml" : "error.tpl");
    if (std::FILE* f = std::fopen(tpl.c_str(), "r")) {
        std::fclose(f);
        if (page_show("error")) return 0;
    }
    error_page_plain();
    return 0;
}

void query_log() {
    std::string name, value;
    for (int i = 0; query_get_pair(i, name, value); ++i)
        if (!name.empty() && !value.empty())
            imsg("query_log: %d %s =  %s", i, name.c_str(), field_is_secret(name) ? "****" : value.c_str());
}

void diag_reset() { st() = DiagState{}; }
