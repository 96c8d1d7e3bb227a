#include "store/msgfile.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi/commands.h"
#include "cgi/diag.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "store/folders.h"
#include "support/str.h"
#include "user/login.h"
#include "user/paths.h"
#include "user/profile.h"

namespace {
constexpr std::size_t kValue = 511;
constexpr std::size_t kLine = 2047;

struct MsgState {
    MsgBuffer buf;
    std::string line;      // get_line's result
    std::string last;      // the value of the latest successful head_get
    bool have_last = false;
};

MsgState& st() {
    static MsgState s;
    return s;
}

// Keys that hold this program's own state: a header line of a received
// message must never set them.
bool local_key(int pos) { return h_names[pos][0] == '_' || pos == H_POPPORT || pos == H_NWFLAGS; }

long file_size(const std::string& path) {
    struct stat sb;
    return stat(path.c_str(), &sb) == 0 ? static_cast<long>(sb.st_size) : 0;
}
}  // namespace

MsgBuffer& msgbuf() { return st().buf; }

std::string fld_item(int fld, int n) { return ncpy(fld_file(fld, sfmt("m_%d.dat", n)), 511); }

void msg_add(std::string_view text) {
    MsgBuffer& b = st().buf;
    if (!b.have) {
        b.have = true;
        b.msg_sz = 10000;
        b.text.reserve(b.msg_sz);
    }
    if (b.text.size() + text.size() > b.msg_sz - 4) {
        std::size_t want = b.msg_sz;
        while (b.text.size() + text.size() > want - 4) want = 2 * want + 10000;
        try {
            b.text.reserve(want);
        } catch (const std::bad_alloc&) {
            return;
        }
        b.msg_sz = want;
    }
    b.text.append(text);
}

void get_line_reset() { st().buf = MsgBuffer{}; }
void get_line_rewind() { st().buf.msg_at = 0; }

const char* get_line() {
    MsgState& s = st();
    MsgBuffer& b = s.buf;
    if (b.atend || !b.have) return nullptr;
    const std::string& t = b.text;
    std::size_t p = t.find_first_of("\r\n", b.msg_at);
    if (p == std::string::npos) {
        b.atend = true;
        s.line = ncpy(std::string_view(t).substr(std::min(b.msg_at, t.size())), kLine);
        b.msg_at = t.size();
        return s.line.c_str();
    }
    s.line = ncpy(std::string_view(t).substr(b.msg_at, p - b.msg_at), kLine);
    b.msg_at = p + 1;
    if (t[p] == '\r') ++b.msg_at;   // the LF after it
    return s.line.c_str();
}

int msg_load(int fld, int n) {
    get_line_reset();
    std::string path = fld_item(fld, n);
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        f_error(lang_get("Can't read item file (%s) (%s) \n"), path.c_str(), std::strerror(errno));
        return 0;
    }
    char piece[502];
    while (std::fgets(piece, sizeof piece, f)) {
        std::size_t len = std::strlen(piece);
        if (len > 0 && piece[len - 1] == '\n') {
            msg_add(std::string_view(piece, len - 1));
            msg_add("\r\n");
        } else {
            msg_add(std::string_view(piece, len));
        }
    }
    std::fclose(f);
    msgbuf().have = true;
    imsg("Read message %d bytes\n", static_cast<int>(msgbuf().text.size()));
    hook_run("readln_clear", 1);
    return 1;
}

int get_item(const char* fld, const char* n) {
    int f = std::atoi(fld ? fld : "0");
    int num = std::atoi(n ? n : "0");
    get_line_reset();
    if (!user_checkauth()) return 0;
    return msg_load(f, num);
}

int head_get(const char* key, std::string& value, std::string_view line) {
    std::size_t klen = std::strlen(key);
    std::string copy = lower(ncpy(line, kValue));
    if (copy.size() < klen || copy.compare(0, klen, key) != 0) return 0;
    std::string_view v = line.size() > klen ? line.substr(klen + 1) : std::string_view{};
    value = ncpy(v, kValue);
    MsgState& s = st();
    s.last = value;
    s.have_last = true;
    return 1;
}

int head_getv(const char* key, std::string& field, std::string_view line) {
    std::string value;
    if (!head_get(key, value, line)) return 0;
    if (value.empty()) return 0;
    field = value;
    return 1;
}

int head_catv(std::string& field, std::string_view line) {
    if (field.size() + line.size() > kValue) return 0;
    field += line;
    return 1;
}

int head_cat(std::string_view line) {
    MsgState& s = st();
    if (!s.have_last) return 0;
    if (s.last.size() + line.size() > kValue) return 0;
    s.last += line;
    return 1;
}

void no_last() {
    st().last.clear();
    st().have_last = false;
}
const std::string& head_last() { return st().last; }

void rec_head_line(Record& rec, std::string_view line, int* lastpos) {
    if (head_is_cont(line)) {
        if (*lastpos >= 0) head_catv(rec[static_cast<std::size_t>(*lastpos)], line);
        return;
    }
    *lastpos = -1;
    for (int i = 1; i < nhead; ++i) {
        if (local_key(i)) continue;
        std::string value;
        if (head_get(h_names[i], value, line)) {
            // An empty header matches but never replaces a value found earlier.
            if (!value.empty()) rec[static_cast<std::size_t>(i)] = value;
            *lastpos = i;
            break;
        }
    }
    std::string pri;
    if (head_getv("priority:", pri, line)) {
        rec[H_PRIORITY] = pri;
        *lastpos = H_PRIORITY;
    }
}

int msg_write_stub(int fld, Record& rec, const std::string& text, long size) {
    std::string path = fld_item(fld, std::atoi(rec[H_ID].c_str()));
    std::string out;
    if (!rec[H_SUBJECT].empty()) out += "Subject: " + rec[H_SUBJECT] + "\n";
    if (!rec[H_DATE].empty()) out += "Date: " + rec[H_DATE] + "\n";
    if (!rec[H_FROM].empty()) out += "From: " + rec[H_FROM] + "\n";
    out += "Larkspur_flags: rbody,\n\n";
    out += text + "\n";
    rec[H_BYTES] = std::to_string(size);
    rec[H_REMOTE] = "1";
    create_dir(path);
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        f_error(lang_get("E17: Cannot create (%s) (%s) \n"), path.c_str(), std::strerror(errno));
        return 0;
    }
    std::fwrite(out.data(), 1, out.size(), f);
    std::fclose(f);
    imsg("Diskuse %d + %d \n", static_cast<int>(prof.xdiskuse), static_cast<int>(out.size()));
    prof.xdiskuse += static_cast<long>(out.size());
    ++g.ui_changed;
    return 1;
}

int myremove(const std::string& path) {
    long len = file_size(path);
    imsg("Diskuse %d - %d removed %s", static_cast<int>(prof.xdiskuse), static_cast<int>(len), path.c_str());
    prof.xdiskuse -= len;
    ++g.ui_changed;
    int rc = std::remove(path.c_str());
    if (prof.xdiskuse < 0) {
        imsg("Error: Diskuse negative recalculated");
        store_recalc_diskuse();
    }
    return rc;
}

int fld_idx_rebuild(int fld) {
    Index& m = mainidx();
    idx_free(m);
    std::vector<std::string> names;
    if (DIR* d = opendir(fld_dir(fld).c_str())) {
        while (struct dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (starts_with(name, "m_") && names.size() < 100000) names.push_back(name);
        }
        closedir(d);
    }
    imsg("Create new index for folder %d %d files\n", fld, static_cast<int>(names.size()));
    long total = 0;
    for (const std::string& name : names) {
        std::string lname = lower(name);
        if (!contains(lname, ".dat") || !starts_with(lname, "m_")) continue;
        std::string path = fld_file(fld, name);
        FILE* f = std::fopen(path.c_str(), "r");
        if (!f) {
            imsg("Can't open %s\n", path.c_str());
            continue;
        }
        imsg("Processing file %s\n", path.c_str());
        Record rec;
        int lastpos = -1;
        // The stub this program writes for a body left on the server is
        // Subject, Date and From (each optional) and its own flag line last.
        // A "Larkspur_flags:" line in any other file came with the mail and
        // is an ordinary header.
        bool own_shape = true, flag_line = false, stub = false;
        std::string line;
        int c = 0;
        while (c != EOF) {
            line.clear();
            while ((c = std::getc(f)) != EOF && c != '\n') line += static_cast<char>(c);
            std::size_t cr = line.find('\r');
            if (cr != std::string::npos) line.resize(cr);
            line = ncpy(line, kValue);
            if (line.empty()) {
                stub = flag_line && own_shape;
                break;
            }
            if (flag_line) own_shape = false;   // the flag line was not the last
            if (line == "Larkspur_flags: rbody,") flag_line = true;
            else if (!starts_with(line, "Subject: ") && !starts_with(line, "Date: ") && !starts_with(line, "From: ")) own_shape = false;
            if (!flag_line) rec_head_line(rec, line, &lastpos);
        }
        std::fclose(f);
        long id = std::atol(name.c_str() + 2);
        if (id >= prof.xnextid) prof.xnextid = id + 1;
        if (stub) {
            // Its body is still on the server and comes back with the next
            // check; the stub is left alone, never deleted.
            imsg("rebuild_index: skipping stub %s of a message left on the server\n", path.c_str());
            continue;
        }
        rec[H_ID] = std::to_string(id);
        long len = file_size(path);
        total += len;
        rec[H_BYTES] = std::to_string(len);
        if (rec[H_UIDL].empty()) rec[H_UIDL] = !rec[H_MSGID].empty() ? rec[H_MSGID] : !rec[H_DATE].empty() ? rec[H_DATE] : rec[H_ID];
        if (rec[H_SUBJECT].empty()) rec[H_SUBJECT] = lang_get("(no subject)");
        if (rec[H_MSGID].empty()) rec[H_MSGID] = rec[H_UIDL];
        if (rec[H_REMOTE].empty()) rec[H_REMOTE] = "0";
        int slot = prof.xpop_cur >= 0 && prof.xpop_cur < kPopSlots ? prof.xpop_cur : 0;
        rec[H_POPHOST] = prof.xpop_name[static_cast<std::size_t>(slot)];
        rec[H_POPUSER] = prof.xpop_user[static_cast<std::size_t>(slot)];
        rec[H_POPPORT] = prof.xpop_port[static_cast<std::size_t>(slot)];
        idx_add(m, rec);
    }
    fld_write(fld);
    return static_cast<int>(total);
}

int clear_unseen() {
    int found = 0;
    for (Record& r : mainidx().recs)
        if (flag_remove(r[H_FLAGS], "unseen,")) found = 1;
    return found;
}

int fld_clear_unseen(int fld) {
    struct stat sb;
    if (stat(fld_file(fld, "index.dat").c_str(), &sb) != 0) return 0;   // nothing seen yet
    if (!fld_readxov(fld)) return 0;
    if (!clear_unseen()) return 0;
    fld_write(fld);
    return 1;
}

int empty_new() {
    Index& m = mainidx();
    int changed = 0;
    int slot = prof.xpop_cur >= 0 && prof.xpop_cur < kPopSlots ? prof.xpop_cur : 0;
    const std::string& host = prof.xpop_name[static_cast<std::size_t>(slot)];
    const std::string& user = prof.xpop_user[static_cast<std::size_t>(slot)];
    for (int i = m.n - 1; i >= 0; --i) {
        Record& r = m.recs[static_cast<std::size_t>(i)];
        std::string path = fld_item(curfld(), std::atoi(r[H_ID].c_str()));
        if (flag_has(r[H_FLAGS], "new,")) {
            if (myremove(path) != 0)
                imsg("Empty new: Cannot remove file %d %s\n", std::atoi(r[H_ID].c_str()), std::strerror(errno));
            else
                imsg("Empty new: Removed file %s\n", path.c_str());
            fld_killrec(i);
            changed = 1;
        } else if (flag_remove(r[H_FLAGS], "rkeep,")) {
            changed = 1;
        } else if (starts_with(r[H_REMOTE], "1") && r[H_POPHOST] == host && r[H_POPUSER] == user) {
            if (myremove(path) != 0)
                f_error(lang_get("Empty new: no rkeep Cannot remove file %d %s\n"), std::atoi(r[H_ID].c_str()),
                        std::strerror(errno));
            else
                imsg("Empty new: no rkeep Removed file %s\n", path.c_str());
            fld_killrec(i);
            changed = 1;
        }
    }
    return changed;
}

void msgfile_reset() { st() = MsgState{}; }
