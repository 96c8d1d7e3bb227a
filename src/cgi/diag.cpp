#include "cgi/diag.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cgi/config.h"
#include "cgi/content.h"
#include "cgi/request.h"
#include "page/var.h"
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
    long gsent = 0;
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

std::string vformat_bounded(const char* fmt, va_list ap, bool& too_long) {
    std::string s = vsfmt(fmt, ap);
    too_long = s.size() >= kOutput;
    if (too_long) s.resize(kOutput - 1);
    return s;
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
    if (level != 0 && !s.dodebug && !s.pre_ini) return 0;
    if (level == 0) {
        do_content();
        if (g.gwml) {
            gprintf("<?xml version=\"1.0\"?>\n<!DOCTYPE wml PUBLIC \"-//WAPFORUM//DTD WML 1.1//EN\" "
                    "\"http://www.wapforum.org/DTD/wml_1.1.xml\">\n");
            gwrite("<wml><p>Error: ");
            gwrite(text);
            gwrite(" </p></wml>\n");
        } else {
            gwrite(g.gbr);
            gwrite(" Error: ");
            gwrite(text);
            gwrite(" ");
            gwrite(g.gbr);
        }
        std::fflush(stdout);
    }
    std::string line = line_prefix() + text;
    if (line.empty() || line.back() != '\n') line += '\n';
    if (s.pre_ini && s.early.size() < kEarlyMark) {
        s.early += line;
        return 1;
    }
    FILE* f = std::fopen(g.log_file.c_str(), "a");
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
#undef LK_FORMAT_AND

int dmsg(...) { return 0; }

bool log_has(const char* topic) { return contains(wm_ini_get(K_log), topic); }

void diag_set_debug(bool on) { st().dodebug = on; }
bool diag_debug() { return st().dodebug; }
void diag_end_pre_ini() { st().pre_ini = false; }

void f_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    bool too_long = false;
    std::string s = vformat_bounded(fmt, ap, too_long);
    va_end(ap);
    if (too_long) emsg_do(0, "FATAL, F_ERROR TOO LONG\n");
    emsg_do(1, s.c_str());
    std::string& e = st().etext;
    e = ncpy(e + s + g.gbr, kEtext);
}

void f_error_set() {
    if (!st().etext.empty()) var_set("error", st().etext);
}

const std::string& f_error_text() { return st().etext; }
void f_error_clear() { st().etext.clear(); }

void diag_reset() { st() = DiagState{}; }
