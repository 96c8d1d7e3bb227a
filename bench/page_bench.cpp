// In-process rendering figures for bench/page.sh: the shipped login page
// (HTML and WML) rendered 2,000 times and one very long line of references,
// medians per render, the pages going to /dev/null.
//   page_bench TEMPLATE_DIR
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/request.h"
#include "page/tpl.h"
#include "page/var.h"

namespace {
template <class F>
double median_us(int runs, F f) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        auto a = std::chrono::steady_clock::now();
        f();
        auto b = std::chrono::steady_clock::now();
        t.push_back(std::chrono::duration<double, std::micro>(b - a).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    g.log_file = "/dev/null";
    g.contdone = 1;
    g.path_script = "/cgi-bin/lk";
    diag_end_pre_ini();
    ini_set(K_templates, argv[1]);
    std::fflush(stdout);
    int saved = dup(1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    long before = gsent();
    double login = median_us(2000, [] {
        tpl_reset();
        tpl_show("login");
    });
    long bytes = (gsent() - before) / 2000;
    g.gwml = 1;
    double login_wml = median_us(2000, [] {
        tpl_reset();
        tpl_show("login");
    });
    g.gwml = 0;
    for (int i = 0; i < 400; ++i) var_set("v" + std::to_string(i), "value " + std::to_string(i));
    std::string line;
    for (int i = 0; i < 5000; ++i) line += "%%v" + std::to_string(i % 400) + "%% ";
    double long_line = median_us(200, [&] {
        std::string copy = line;
        tpl_replace_vars(copy);
    });
    std::fflush(stdout);
    dup2(saved, 1);
    close(null);
    close(saved);
    std::printf("page: login.tpl render median %.1f us (%ld bytes); login.wml %.1f us\n", login, bytes, login_wml);
    std::printf("page: %zu-byte line with 5000 references, median %.1f us\n", line.size(), long_line);
    return bytes > 0 ? 0 : 1;
}
