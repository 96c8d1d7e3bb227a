// Copies of sent mail.
#include "store/copyself.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "store/index.h"
#include "store/folders.h"
#include "store/msgfile.h"
#include "support/str.h"
#include "user/paths.h"
#include "user/profile.h"

namespace {
// Copies in to out turning CR LF into LF; the bytes written, -1 on failure.
long copy_lf(FILE* in, FILE* out) {
    long n = 0;
    int c, pending_cr = 0;
    while ((c = std::getc(in)) != EOF) {
        if (pending_cr) {
            pending_cr = 0;
            if (c != '\n') {
                std::putc('\r', out);
                ++n;
            }
        }
        if (c == '\r') {
            pending_cr = 1;
            continue;
        }
        std::putc(c, out);
        ++n;
    }
    if (pending_cr) {
        std::putc('\r', out);
        ++n;
    }
    return std::ferror(in) || std::ferror(out) ? -1 : n;
}
}  // namespace

int do_copyself(const std::string& path, long lines, bool has_attach) {
    const std::string& named = wm_ini_get(K_copy_name);
    const std::string name = named.empty() ? std::string("Copies to self") : named;
    int fld = fld_find(name);
    if (fld < 0) {
        imsg("Copies folder %s does not exist\n", name.c_str());
        return 0;
    }
    imsg("Adding message %s to folder %d isattach=%d\n", path.c_str(), fld, has_attach ? 1 : 0);
    FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) {
        imsg("Could not open %s\n", path.c_str());
        return 0;
    }
    Record rec;
    rec_init(rec);
    int lastpos = -1;
    char buf[512];
    while (std::fgets(buf, sizeof buf, in)) {
        std::string line(buf);
        bool whole = !line.empty() && line.back() == '\n';
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty() && whole) break;
        rec_head_line(rec, line, &lastpos);
        // Skip the rest of an over-long line.
        while (!whole && std::fgets(buf, sizeof buf, in)) whole = std::strchr(buf, '\n') != nullptr;
    }
    rec[H_UIDL] = std::to_string(static_cast<long>(std::time(nullptr)));
    if (lines >= 0) rec[H_LINES] = std::to_string(lines);
    if (rec[H_SUBJECT].empty()) rec[H_SUBJECT] = lang_get("(no subject)");
    if (rec[H_MSGID].empty()) rec[H_MSGID] = rec[H_UIDL];
    rec[H_REMOTE] = "0";
    if (has_attach) flag_add(rec[H_FLAGS], "file,");

    // The copy goes through the folders' own filing, which writes the
    // message file first (never over an existing one) and appends its
    // record only then; line ends are made LF in a private file first.
    std::string lf = user_dir() + "/self." + std::to_string(static_cast<long>(getpid())) + ".lf";
    int ok = 0;
    std::rewind(in);
    FILE* out = std::fopen(lf.c_str(), "wbx");
    long n = out ? copy_lf(in, out) : -1;
    if (out && std::fclose(out) != 0) n = -1;
    if (n < 0) {
        f_error(lang_get("Could not copy file %s %s\n"), path.c_str(), std::strerror(errno));
    } else {
        rec[H_BYTES] = std::to_string(n);
        if (fld_file_message(fld, lf, rec)) {
            prof.xdiskuse += n;
            ++g.ui_changed;
            ok = 1;
        }
    }
    std::remove(lf.c_str());
    std::fclose(in);
    return ok;
}
