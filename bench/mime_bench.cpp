// Whole-process driver for the message benchmarks: renders the body of a
// stored message, or writes one of its parts, to standard output, the way
// the message page and the part download will.
//   mime_bench render FILE      mime_bench part FILE N
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "view/body.h"
#include "view/mime.h"
#include "view/part.h"

static void out(std::string_view s) {
    while (!s.empty()) {
        ssize_t n = write(1, s.data(), s.size());
        if (n <= 0) std::exit(2);
        s.remove_prefix(static_cast<std::size_t>(n));
    }
}

int main(int argc, char** argv) {
    if (argc < 3) return 1;
    MappedFile m(argv[2]);
    if (!m.ok()) return 1;
    PartLinkInfo li;
    li.script = "/cgi-bin/larkspur";
    li.item = "1";
    li.utoken = "TOKEN";
    part_set_link_info(li);
    if (std::strcmp(argv[1], "render") == 0) {
        BodyOptions o;
        tpl_show_item(m.view(), o, out);
        return 0;
    }
    if (std::strcmp(argv[1], "part") == 0 && argc > 3) {
        return part_send(m.view(), std::atoi(argv[3]), out) ? 0 : 1;
    }
    return 1;
}
