#include "store/index.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "store/listpos.h"
#include "store/msgfile.h"
#include "support/file.h"
#include "support/str.h"
#include "user/paths.h"
#include "user/profile.h"

const char* const h_names[nhead] = {
    "_id",      "x-uidl",    "_flags",        "message-id:",         "subject:", "from:",
    "lines:",   "to:",       "date:",         "cc:",                 "x-priority:", "_pophost",
    "_remote",  "_popuser",  "bytes:",        "content-type:",       "content-disposition", "sender:",
    "reply-to:", "nwflags:", "resent-from:",  "x-child-to",          "pop_port", "status:",
};

namespace {
long (*&date_parser())(std::string_view) {
    static long (*parse)(std::string_view) = nullptr;
    return parse;
}
}  // namespace

namespace {

constexpr int kMaxValues = 26;
constexpr std::size_t kLineLimit = kIndexLineLimit;   // longer than any line a writer makes

struct IndexState {
    Index main;
    Index pstack;
    int curfld = 0;
    int pcurfld = 0;
    int idx_asc = 1;
    int idx_shdr = -1;
    bool by_date = false;
    int missing_wait_ms = 1000;
    bool defer = false;
    // While appends are deferred (a mail check adding many records), the
    // duplicate check looks Message-IDs up here instead of walking the
    // whole index for each new record.  It describes main as it stood after
    // the last append (folder, record count, storage): anything else and it
    // is built again, and each position it gives is checked against the
    // record itself.
    struct ByMsgid {
        std::unordered_multimap<std::string, std::size_t> pos;
        int fld = -1;
        std::size_t n = 0;
        const Record* data = nullptr;
        bool built = false;
    } byid;
};

IndexState& st() {
    static IndexState s;
    return s;
}

bool folder_has_messages(int fld) {
    DIR* d = opendir(fld_dir(fld).c_str());
    if (!d) return false;
    bool found = false;
    while (struct dirent* e = readdir(d)) {
        std::string_view name = e->d_name;
        if (name.size() > 6 && starts_with(name, "m_") && name.substr(name.size() - 4) == ".dat") {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

bool rewrite_pending(int fld) {
    DIR* d = opendir(fld_dir(fld).c_str());
    if (!d) return false;
    bool found = false;
    while (struct dirent* e = readdir(d)) {
        std::string_view name = e->d_name;
        if (starts_with(name, "index") && name.size() > 9 && name.substr(name.size() - 4) == ".tmp") {
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

// Opens a folder's index for reading with the waits for a rewrite in
// progress.  rebuild: a missing index may be rebuilt from the message
// files (then *rebuilt is set and mainidx holds the records).
FILE* open_index(int fld, bool rebuild, bool* rebuilt, int& err) {
    IndexState& s = st();
    std::string path = fld_file(fld, "index.dat");
    FILE* f = std::fopen(path.c_str(), "r");
    if (f) return f;
    err = errno;
    if (err != ENOENT) return nullptr;
    // The wait covers a rewrite in progress; with no temporary index in the
    // folder nobody is writing, and a new folder need not pay for it.
    if (s.missing_wait_ms > 0 && rewrite_pending(fld)) usleep(static_cast<useconds_t>(s.missing_wait_ms) * 1000);
    if ((f = std::fopen(path.c_str(), "r"))) return f;
    if ((f = std::fopen(fld_file_new(fld).c_str(), "r"))) return f;
    if ((f = std::fopen(path.c_str(), "r"))) return f;
    create_dir(path);
    if (rebuild && folder_has_messages(fld)) {
        imsg("No index but some messages %s so rebuilding", path.c_str());
        fld_idx_rebuild(fld);
        if (file_exists(path)) {
            *rebuilt = true;
            return nullptr;
        }
        imsg("Rebuild index failed for %s", path.c_str());
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) close(fd);
    f = std::fopen(path.c_str(), "r");
    if (!f) err = errno;
    return f;
}

// The whole file; an index is read in one piece.
std::string read_all(FILE* f) {
    std::string text;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    return text;
}

// Splits a line into at most kMaxValues values; answers the count.
int split_values(std::string_view line, std::string_view* v) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    int n = 0;
    std::size_t start = 0;
    for (;;) {
        if (n == kMaxValues - 1) {
            v[n++] = line.substr(start);
            break;
        }
        std::size_t tab = line.find('\t', start);
        if (tab == std::string_view::npos) {
            v[n++] = line.substr(start);
            break;
        }
        v[n++] = line.substr(start, tab - start);
        start = tab + 1;
    }
    return n;
}

long field_num(const std::string& s) { return std::strtol(s.c_str(), nullptr, 10); }

}  // namespace

int idx_text_cmp(const std::string& a, const std::string& b) {
    const char* p = a.c_str();
    const char* q = b.c_str();
    if (*p == '"') ++p;
    if (*q == '"') ++q;
    for (;; ++p, ++q) {
        signed char x = static_cast<signed char>(*p);
        signed char y = static_cast<signed char>(*q);
        if (x >= 'A' && x <= 'Z') x = static_cast<signed char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<signed char>(y + 32);
        if (x != y) return x < y ? -1 : 1;
        if (!x) return 0;
    }
}

namespace {

// Parses a sort key into the state; false for an unknown key.
bool parse_key(const char* key) {
    IndexState& s = st();
    s.idx_asc = 1;
    if (*key == '-') {
        s.idx_asc = 0;
        ++key;
    }
    s.by_date = std::strcmp(key, "datetime") == 0;
    if (s.by_date) {
        s.idx_shdr = H_DATE;
        return true;
    }
    for (int i = 0; i < nhead; ++i)
        if (std::strcmp(key, h_names[i]) == 0) {
            s.idx_shdr = i;
            return true;
        }
    return false;
}

// Compares two records by the parsed key, as the list wants them ordered:
// negative when a goes first.
struct SortKey {
    long num = 0;
    std::string text;   // folded so that plain byte order is idx_text_cmp's order
};

// idx_text_cmp's order as bytes: one leading quote skipped, A-Z folded, the text
// cut at a NUL, each byte's top bit flipped (signed order becomes unsigned
// order) and a final 0x80 standing for the end (0, above every byte from
// 0x80 up).  A memcmp of two such keys then orders like idx_text_cmp.
}  // namespace

std::string idx_fold_key(const std::string& f) {
    std::string out;
    out.reserve(f.size() + 1);
    std::size_t i = !f.empty() && f[0] == '"' ? 1 : 0;
    for (; i < f.size() && f[i] != '\0'; ++i) {
        char c = f[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        out += static_cast<char>(static_cast<unsigned char>(c) ^ 0x80);
    }
    out += static_cast<char>(0x80);
    return out;
}

namespace {

int key_cmp(const SortKey& a, const SortKey& b, bool numeric) {
    int c;
    if (numeric)
        c = a.num < b.num ? -1 : (a.num > b.num ? 1 : 0);
    else
        c = a.text.compare(b.text) < 0 ? -1 : (a.text == b.text ? 0 : 1);
    return st().idx_asc ? -c : c;
}

std::vector<SortKey> make_keys(const Index& idx, bool& numeric) {
    IndexState& s = st();
    numeric = s.by_date || s.idx_shdr == H_BYTES;
    std::vector<SortKey> keys(static_cast<std::size_t>(idx.n));
    for (int i = 0; i < idx.n; ++i) {
        const std::string& f = idx.recs[static_cast<std::size_t>(i)][static_cast<std::size_t>(s.idx_shdr)];
        SortKey& k = keys[static_cast<std::size_t>(i)];
        if (s.by_date)
            k.num = f.empty() || !date_parser() ? 0 : date_parser()(f);
        else if (numeric)
            k.num = field_num(f);
        else
            k.text = idx_fold_key(f);
    }
    return keys;
}

// Appends one line to an index file whose last line may have been cut
// short by a killed writer: the new line must not be glued to it.
bool append_line(int fd, const std::string& line) {
    struct stat sb;
    std::string out;
    if (fstat(fd, &sb) == 0 && sb.st_size > 0) {
        char last = '\n';
        if (pread(fd, &last, 1, sb.st_size - 1) == 1 && last != '\n') out += '\n';
    }
    out += line;
    return write_all(fd, out);
}

}  // namespace

Index& mainidx() { return st().main; }
int curfld() { return st().curfld; }
void fld_set_missing_wait(int ms) { st().missing_wait_ms = ms; }
void fld_defer_appends(bool on) {
    IndexState& s = st();
    s.defer = on;
    s.byid = IndexState::ByMsgid{};
}

void str_untab(std::string& s) {
    for (char& c : s)
        if (c == '\t' || c == '\r' || c == '\n') c = ' ';
}

std::vector<std::string_view> idx_split_line(std::string_view line) {
    std::string_view v[kMaxValues];
    int n = split_values(line, v);
    return std::vector<std::string_view>(v, v + n);
}

bool idx_parse_line(std::string_view line, Record& rec, bool* short_line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    std::string_view v[kMaxValues];
    int nv = split_values(line, v);
    if (short_line) *short_line = nv < nhead;
    if (nv < nhead - 10) return false;
    for (int i = 0; i < nhead; ++i) rec[static_cast<std::size_t>(i)].assign(i < nv ? v[i] : std::string_view{});
    return true;
}

std::string idx_format(Record& rec, int nfields) {
    std::string line;
    for (int i = 0; i < nfields && i < nhead; ++i) {
        std::string& f = rec[static_cast<std::size_t>(i)];
        str_untab(f);
        line += f;
        line += '\t';
    }
    line += '\n';
    return line;
}

int fld_readxov(int fld) {
    IndexState& s = st();
    idx_free(s.main);
    s.curfld = fld;
    std::string path = fld_file(fld, "index.dat");
    bool rebuilt = false;
    int err = 0;
    FILE* f = open_index(fld, true, &rebuilt, err);
    if (rebuilt) return 1;
    if (!f) {
        f_error(lang_get("Error %d reading index for folder %s:%s"), err, path.c_str(), std::strerror(err));
        return 0;
    }
    struct stat sb;
    const bool have_stat = fstat(fileno(f), &sb) == 0;
    std::string text = read_all(f);
    std::fclose(f);
    bool warned = false;
    Index& m = s.main;
    // Where each record's line is, for the list's line table.
    IndexLines& lines = index_lines();
    lines = IndexLines{};
    lines.fld = fld;
    lines.valid = have_stat && static_cast<long long>(text.size()) == static_cast<long long>(sb.st_size) &&
                  text.size() < 0xffffffffULL;
    if (lines.valid) {
        lines.ino = static_cast<unsigned long long>(sb.st_ino);
        lines.size = static_cast<long long>(sb.st_size);
    }
    for_each_line(text, [&](std::string_view line) {
        std::string_view v[kMaxValues];
        int nv = split_values(line, v);
        if (nv < nhead && !warned) {
            warned = true;
            imsg("Error: Too few headers(%d cf %d) in rec may need rebuid indexes.\n", nv, nhead);
        }
        if (nv < nhead - 10) return;
        if (m.max == 0) {
            m.max = kIndexSlots;
            m.recs.reserve(static_cast<std::size_t>(std::min<std::size_t>(text.size() / 64 + 16, kIndexSlots)));
        }
        if (m.n + 3 > m.max) {
            f_error(lang_get("E34: Folder size exceeded %d  %d"), m.n + 3, m.max);
            lines.valid = false;
            return;
        }
        Record& r = m.recs.emplace_back();
        for (int i = 0; i < nhead && i < nv; ++i) r[static_cast<std::size_t>(i)].assign(v[i]);
        ++m.n;
        if (lines.valid) {
            lines.start.push_back(static_cast<std::uint32_t>(line.data() - text.data()));
            lines.len.push_back(static_cast<std::uint32_t>(line.size()));
            lines.id.push_back(listpos_id_of(r[H_ID]));
            if (!flag_has(r[H_FLAGS], "read,")) ++lines.unread;
        }
    }, kLineLimit);
    if (log_has("index")) imsg("Read index %d %s, %d lines\n", fld, path.c_str(), s.main.n);
    return 1;
}

int fld_read_stats(int fld, Fld_stats& out) {
    IndexState& s = st();
    out = Fld_stats{};
    s.curfld = fld;
    std::string path = fld_file(fld, "index.dat");
    bool rebuilt = false;
    int err = 0;
    FILE* f = open_index(fld, false, &rebuilt, err);
    if (!f) {
        f_error(lang_get("Error %d reading index for folder %s"), err, path.c_str());
        return 0;
    }
    std::string text = read_all(f);
    std::fclose(f);
    bool warned = false;
    long total = 0;
    for_each_line(text, [&](std::string_view line) {
        std::string_view v[kMaxValues];
        int nv = split_values(line, v);
        if (nv < nhead && !warned) {
            warned = true;
            imsg("Error: Too few headers(%d) in rec may need rebuid indexes.\n", nv);
        }
        if (nv < nhead - 10) return;
        ++out.msgs;
        if (nv > H_BYTES) total += std::strtol(std::string(v[H_BYTES]).c_str(), nullptr, 10);
        std::string_view flags = nv > H_FLAGS ? v[H_FLAGS] : std::string_view{};
        if (flags.find("read,") == std::string_view::npos) ++out.unread;
        if (flags.find("unseen,") != std::string_view::npos) ++out.nnew;
    }, kLineLimit);
    out.size = static_cast<int>(total / 1024);
    imsg("Read fld_stats %d %s, %d lines\n", fld, path.c_str(), out.msgs);
    return 1;
}

void fld_mark_keep(const Record& e) {
    for (Record& r : st().main.recs)
        if (r[H_MSGID] == e[H_MSGID]) flag_add(r[H_FLAGS], "rkeep,");
}

namespace {
bool same_or_unset(const std::string& a, const std::string& b) { return a.empty() || b.empty() || a == b; }

bool is_duplicate(const Record& e, const Record& rec) {
    return e[H_MSGID] == rec[H_MSGID] && same_or_unset(e[H_UIDL], rec[H_UIDL]) &&
           same_or_unset(e[H_POPHOST], rec[H_POPHOST]) && same_or_unset(e[H_POPUSER], rec[H_POPUSER]);
}

IndexState::ByMsgid& msgid_table(IndexState& s) {
    IndexState::ByMsgid& b = s.byid;
    const std::vector<Record>& recs = s.main.recs;
    if (!b.built || b.fld != s.curfld || b.n != recs.size() || b.data != recs.data()) {
        b.pos.clear();
        b.pos.reserve(recs.size() + 64);
        for (std::size_t i = 0; i < recs.size(); ++i)
            if (!recs[i][H_MSGID].empty()) b.pos.emplace(recs[i][H_MSGID], i);
        b.fld = s.curfld;
        b.n = recs.size();
        b.data = recs.data();
        b.built = true;
    }
    return b;
}

// Whether rec is already in the index; a duplicate marks every record of
// its Message-ID "rkeep,".
bool duplicate_kept(IndexState& s, const Record& rec) {
    std::vector<Record>& recs = s.main.recs;
    if (!s.defer) {
        for (const Record& e : recs)
            if (is_duplicate(e, rec)) {
                Record copy = e;
                fld_mark_keep(copy);
                return true;
            }
        return false;
    }
    IndexState::ByMsgid& b = msgid_table(s);
    auto [lo, hi] = b.pos.equal_range(rec[H_MSGID]);
    bool dup = false;
    for (auto it = lo; it != hi && !dup; ++it)
        dup = it->second < recs.size() && is_duplicate(recs[it->second], rec);
    if (!dup) return false;
    for (auto it = lo; it != hi; ++it)
        if (it->second < recs.size() && recs[it->second][H_MSGID] == rec[H_MSGID])
            flag_add(recs[it->second][H_FLAGS], "rkeep,");
    return true;
}
}  // namespace

int fld_addxov(Record& rec) {
    IndexState& s = st();
    if (!rec[H_MSGID].empty() && duplicate_kept(s, rec)) return -1;
    if (s.main.max > 0 && s.main.n + 3 > s.main.max) {
        f_error(lang_get("E34: Folder size exceeded %d  %d"), s.main.n + 3, s.main.max);
        return -1;
    }
    if (s.defer) {
        long id = std::max(0L, prof.xnextid);
        prof.xnextid = id + 1;
        ++g.ui_changed;
        rec[H_ID] = std::to_string(id);
        for (auto& f : rec) str_untab(f);
        IndexState::ByMsgid& b = msgid_table(s);
        if (idx_add(s.main, rec) < 0) return -1;
        if (!rec[H_MSGID].empty()) b.pos.emplace(rec[H_MSGID], s.main.recs.size() - 1);
        b.n = s.main.recs.size();
        b.data = s.main.recs.data();
        return static_cast<int>(id);
    }
    std::string path = fld_file(s.curfld, "index.dat");
    int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        create_dir(path);
        fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    }
    if (fd < 0) {
        f_error(lang_get("E35: Could not create %s %s\n"), path.c_str(), std::strerror(errno));
        return -1;
    }
    // The number is "nextid" as it stands: a new profile's first message
    // is m_0.dat.
    long id = std::max(0L, prof.xnextid);
    prof.xnextid = id + 1;
    ++g.ui_changed;
    rec[H_ID] = std::to_string(id);
    std::string line = idx_format(rec, nhead);
    if (!append_line(fd, line)) {
        f_error(lang_get("Could not write index %s"), std::strerror(errno));
        close(fd);
        return -1;
    }
    close(fd);
    if (idx_add(s.main, rec) < 0) return -1;
    return static_cast<int>(id);
}

int fld_write(int fld) {
    IndexState& s = st();
    int nf = ini_true(K_extended_index) ? 24 : 23;
    imsg("Folder index write fld=%d %d", fld, nf);
    std::string tmp = fld_file_new(fld);
    std::string path = fld_file(fld, "index.dat");
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 && errno == ENOENT) {
        create_dir(tmp);
        fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    }
    if (fd < 0) {
        f_error(lang_get("E35: Could not create %s %s\n"), tmp.c_str(), std::strerror(errno));
        return 0;
    }
    // The line table of what is written: valid once the rename is done.
    IndexLines& lines = index_lines();
    lines = IndexLines{};
    IndexLines written;
    written.fld = fld;
    std::string out;
    for (Record& r : s.main.recs) {
        if (flag_has(r[H_FLAGS], "deleted,")) continue;
        std::size_t at = out.size();
        out += idx_format(r, nf);
        written.start.push_back(static_cast<std::uint32_t>(at));
        written.len.push_back(static_cast<std::uint32_t>(std::min(out.size() - at - 1, kLineLimit)));
        written.id.push_back(listpos_id_of(r[H_ID]));
        if (!flag_has(r[H_FLAGS], "read,")) ++written.unread;
    }
    written.valid = out.size() < 0xffffffffULL && written.start.size() + 2 <= static_cast<std::size_t>(kIndexSlots);
    std::size_t off = 0;
    bool ok = true;
    while (off < out.size()) {
        ssize_t w = write(fd, out.data() + off, out.size() - off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            ok = false;
            break;
        }
        off += static_cast<std::size_t>(w);
    }
    int werr = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        werr = errno;
    }
    if (!ok) {
        f_error(lang_get("Could not write index %s"), std::strerror(werr));
        unlink(tmp.c_str());
        return 0;
    }
    // rename replaces index.dat in one step, so a reader (or a process
    // killed here) always finds a whole index, old or new.
    for (int attempt = 1; attempt <= 5; ++attempt) {
        struct stat sb;
        const bool have_stat = stat(tmp.c_str(), &sb) == 0;
        if (rename(tmp.c_str(), path.c_str()) == 0) {
            if (have_stat && written.valid && static_cast<std::size_t>(sb.st_size) == out.size()) {
                written.ino = static_cast<unsigned long long>(sb.st_ino);
                written.size = static_cast<long long>(sb.st_size);
                lines = std::move(written);
            }
            return 1;
        }
        imsg("rename of index file %s failed", tmp.c_str());
        usleep(100000);
    }
    imsg("Deleteing %s as we cant rename it to %s", tmp.c_str(), path.c_str());
    unlink(tmp.c_str());
    return 0;
}

int fld_delrec(int pos) {
    Index& m = st().main;
    if (pos < 0 || pos >= m.n) {
        f_error(lang_get("E38: Delete past end of folder %d\n"), pos);
        return 0;
    }
    m.recs[static_cast<std::size_t>(pos)][H_FLAGS] = "deleted,";
    return 1;
}

int fld_killrec(int pos) {
    if (!fld_delrec(pos)) return 0;
    Index& m = st().main;
    m.recs.erase(m.recs.begin() + pos);
    m.n = std::max(0, m.n - 1);
    return 1;
}

int fld_findid(int id) {
    const Index& m = st().main;
    for (int i = 0; i < m.n; ++i)
        if (std::atoi(m.recs[static_cast<std::size_t>(i)][H_ID].c_str()) == id) return i;
    return -1;
}

Record* fld_getrec(int pos) {
    Index& m = st().main;
    if (pos < 0 || pos >= m.n) return nullptr;
    return &m.recs[static_cast<std::size_t>(pos)];
}

int fld_get_id(int pos) {
    Record* r = fld_getrec(pos);
    return r ? std::atoi((*r)[H_ID].c_str()) : -1;
}
int fld_get_remote(int pos) {
    Record* r = fld_getrec(pos);
    return r && starts_with((*r)[H_REMOTE], "1");
}
std::string fld_get_uidl(int pos) {
    Record* r = fld_getrec(pos);
    return r ? (*r)[H_UIDL] : std::string();
}
std::string fld_get_pophost(int pos) {
    Record* r = fld_getrec(pos);
    return r ? (*r)[H_POPHOST] : std::string();
}
std::string fld_get_popuser(int pos) {
    Record* r = fld_getrec(pos);
    return r ? (*r)[H_POPUSER] : std::string();
}

int fld_find(std::string_view name) {
    for (int i = 0; i < kMaxFolders; ++i)
        if (!prof.xfld_name[static_cast<std::size_t>(i)].empty() && prof.xfld_name[static_cast<std::size_t>(i)] == name) return i;
    for (int i = 0; i < kMaxFolders; ++i)
        if (!prof.xfld_name[static_cast<std::size_t>(i)].empty() && lc_equal(prof.xfld_name[static_cast<std::size_t>(i)], name)) return i;
    return -1;
}

void fld_push() {
    IndexState& s = st();
    s.pstack = std::move(s.main);
    s.pcurfld = s.curfld;
    s.main = Index{};
}

void fld_pop() {
    IndexState& s = st();
    s.main = std::move(s.pstack);
    s.curfld = s.pcurfld;
    s.pstack = Index{};
}

int idx_add(Index& idx, const Record& rec) {
    if (idx.max == 0) {
        idx.max = kIndexSlots;
        idx.recs.reserve(64);
    }
    if (idx.n + 3 > idx.max) {
        f_error(lang_get("E34: Folder size exceeded %d  %d"), idx.n + 3, idx.max);
        return -1;
    }
    idx.recs.push_back(rec);
    return idx.n++;
}

void idx_free(Index& idx) { idx = Index{}; }

void idx_sort(Index& idx, const char* key) {
    if (idx.max == 0 || !key || !*key) return;
    if (!parse_key(key)) return;
    bool numeric = false;
    std::vector<SortKey> keys = make_keys(idx, numeric);
    std::vector<int> order(static_cast<std::size_t>(idx.n));
    for (int i = 0; i < idx.n; ++i) order[static_cast<std::size_t>(i)] = i;
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        return key_cmp(keys[static_cast<std::size_t>(a)], keys[static_cast<std::size_t>(b)], numeric) < 0;
    });
    // Apply the order in place, cycle by cycle: a second array of 10000
    // records would cost more in fresh memory than the sort itself.
    std::vector<char> done(order.size(), 0);
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (done[i]) continue;
        std::size_t j = i;
        Record tmp = std::move(idx.recs[i]);
        for (;;) {
            done[j] = 1;
            std::size_t from = static_cast<std::size_t>(order[j]);
            if (from == i) {
                idx.recs[j] = std::move(tmp);
                break;
            }
            idx.recs[j] = std::move(idx.recs[from]);
            j = from;
        }
    }
}

int idx_sorted(Index& idx, const char* key) {
    st().idx_asc = 1;
    if (idx.max == 0 || !key || !*key) return 1;
    if (!parse_key(key)) return 0;
    bool numeric = false;
    std::vector<SortKey> keys = make_keys(idx, numeric);
    for (std::size_t i = 1; i < keys.size(); ++i)
        if (key_cmp(keys[i - 1], keys[i], numeric) > 0) return 0;
    return 1;
}

std::string sort_key_of(std::string_view sort_on) {
    if (lower(sort_on) == "arrival") return {};
    return std::string(sort_on);
}

void rec_init(Record& rec) {
    for (auto& f : rec) f.clear();
}
void rec_copy(Record& dst, const Record& src) { dst = src; }
void rec_free(Record& rec) { rec_init(rec); }

bool flag_has(const std::string& field, std::string_view word) { return contains(field, word); }

void flag_add(std::string& field, std::string_view word) {
    if (field.empty()) {
        field = word;
        return;
    }
    if (contains(field, word)) return;
    field = std::string(word) + field;
}

int flag_remove(std::string& field, std::string_view word) {
    std::size_t p = field.find(word);
    if (p == std::string::npos || word.empty()) return 0;
    field.erase(p, word.size());
    return 1;
}

void set_nwflag(std::string& field, int bits) {
    long old = field.empty() ? 0 : std::atol(field.c_str());
    field = std::to_string(old | bits);
}

void clear_nwflag(std::string& field, int bit) {
    if (bit) {
        field = "0";
        return;
    }
    long old = std::atol(field.c_str());
    field = std::to_string(old & 1);
}

int token_split2(char* text, char** pieces, const char* sep, int tmax) {
    int n = 0;
    if (!text || !pieces || tmax < 1) return 0;
    char c = sep && *sep ? *sep : '\t';
    char* p = text;
    pieces[n++] = p;
    while (*p) {
        if (*p == c) {
            if (n + 5 >= tmax) {
                f_error("%s", lang_get("E40: Too many tokens in this header line\n"));
                break;
            }
            *p = '\0';
            pieces[n++] = p + 1;
        }
        ++p;
    }
    pieces[n] = nullptr;
    return n;
}

void create_dir(std::string_view path_in) {
    std::string path = ncpy(path_in, 503);
    for (char& c : path)
        if (c == '\\') c = '/';
    for (std::size_t i = 1; i < path.size(); ++i) {
        if (path[i] != '/') continue;
        std::string prefix = path.substr(0, i);
        mkdir(prefix.c_str(), 0700);
    }
}

void fld_set_date_parser(long (*parse)(std::string_view text)) { date_parser() = parse; }

void index_reset() {
    st() = IndexState{};
    listpos_reset();
}
