#include "store/listpos.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi/diag.h"
#include "support/file.h"
#include "support/str.h"
#include "user/paths.h"

// listpos.dat:
//   "larkspur listpos 2" LF
//   "<inode> <size> <mtime s> <mtime ns> <records> <unread> <check>" LF
//   "<sort key>" LF
//   then per record its start and length in index.dat and its number, 4
//   bytes each, low byte first (the two web servers of a shared work area
//   may differ).
// <check> is a hash of everything but itself: a cut or damaged table is
// never used.  The web servers sharing a work area over NFS all reach the
// same files: the inode is the server's, the times are the server's (the
// table is checked against a fresh open of index.dat, which NFS revalidates
// on open), and a table is replaced by rename, so a reader meets a whole
// one, old or new, from either server.

namespace {

constexpr const char* kMagic = "larkspur listpos 2\n";
constexpr std::size_t kEntry = 12;   // bytes per record
constexpr std::size_t kMaxTable = 64 + kEntry * static_cast<std::size_t>(kIndexSlots) + 1024;

// The opened table: its text as read, entries decoded when asked for (a
// page needs a few of thousands).
struct OpenTable {
    int fd = -1;   // index.dat
    long long size = 0;
    std::string text;
    std::size_t body = 0;   // where the entries start in text
    int n = 0;
    std::uint32_t at(int i, int k) const;   // k: 0 start, 1 length, 2 number
    std::uint32_t start(int i) const { return at(i, 0); }
    std::uint32_t len(int i) const { return at(i, 1); }
};

OpenTable& ot() {
    static OpenTable t;
    return t;
}

IndexLines& lines_state() {
    static IndexLines l;
    return l;
}

std::uint64_t table_hash(std::string_view a, std::string_view b) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    auto eat = [&h](std::string_view s) {
        std::size_t i = 0;
        for (; i + 8 <= s.size(); i += 8) {
            std::uint64_t w;
            std::memcpy(&w, s.data() + i, 8);
            h = (h ^ w) * 0x100000001b3ULL;
            h ^= h >> 29;
        }
        for (; i < s.size(); ++i) h = (h ^ static_cast<unsigned char>(s[i])) * 0x100000001b3ULL;
        h = (h ^ s.size()) * 0x100000001b3ULL;
    };
    eat(a);
    eat(b);
    return h;
}

void put32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
}

std::uint32_t get32(const char* p) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

std::uint32_t OpenTable::at(int i, int k) const {
    return get32(text.data() + body + kEntry * static_cast<std::size_t>(i) + 4 * static_cast<std::size_t>(k));
}

std::string sig_line(const struct stat& sb, int n, int unread) {
    return sfmt("%llu %lld %lld %ld %d %d", static_cast<unsigned long long>(sb.st_ino), static_cast<long long>(sb.st_size),
                static_cast<long long>(sb.st_mtim.tv_sec), static_cast<long>(sb.st_mtim.tv_nsec), n, unread);
}

}  // namespace

IndexLines& index_lines() { return lines_state(); }

std::uint32_t listpos_id_of(const std::string& id) {
    if (id.empty() || id.size() > 10 || id.find_first_not_of("0123456789") != std::string::npos) return kListposNoId;
    unsigned long long v = std::strtoull(id.c_str(), nullptr, 10);
    return v < kListposNoId ? static_cast<std::uint32_t>(v) : kListposNoId;
}

std::string listpos_file(int fld) { return fld_file(fld, "listpos.dat"); }

bool listpos_save(int fld, const std::string& key) {
    const IndexLines& l = lines_state();
    if (!l.valid || l.fld != fld || key.find('\n') != std::string::npos || l.id.size() != l.start.size()) return false;
    // The table is of the index.dat this process read or wrote: still that
    // file (same inode, same size) or nothing is saved.
    int fd = open(fld_file(fld, "index.dat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat sb;
    bool same = fstat(fd, &sb) == 0 && static_cast<unsigned long long>(sb.st_ino) == l.ino && sb.st_size == l.size;
    close(fd);
    if (!same) return false;
    const int n = static_cast<int>(l.start.size());
    std::string sig = sig_line(sb, n, l.unread);
    std::string body;
    body.reserve(static_cast<std::size_t>(n) * kEntry);
    for (int i = 0; i < n; ++i) {
        put32(body, l.start[static_cast<std::size_t>(i)]);
        put32(body, l.len[static_cast<std::size_t>(i)]);
        put32(body, l.id[static_cast<std::size_t>(i)]);
    }
    std::string head = sig + "\n" + key + "\n";
    std::string out = std::string(kMagic) + sig + sfmt(" %016llx\n", static_cast<unsigned long long>(table_hash(head, body))) +
                      key + "\n" + body;
    // A name of its own per web server and process: two servers on one
    // work area never write into each other's file.
    char host[64] = "";
    if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    for (char* p = host; *p; ++p)
        if (*p == '/' || *p == '.') *p = '_';
    std::string tmp = listpos_file(fld) + sfmt(".%s.%d.new", host, static_cast<int>(getpid()));
    int wfd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (wfd < 0) return false;
    bool ok = write_all(wfd, out);
    if (close(wfd) != 0) ok = false;
    if (!ok || rename(tmp.c_str(), listpos_file(fld).c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

namespace {

bool open_table(int fld, const std::string* key, int& n, int& unread) {
    listpos_close();
    int tfd = open(listpos_file(fld).c_str(), O_RDONLY | O_CLOEXEC);
    if (tfd < 0) return false;
    OpenTable& t = ot();
    std::string& text = t.text;
    struct stat tsb;
    if (fstat(tfd, &tsb) == 0 && tsb.st_size > 0 && static_cast<std::size_t>(tsb.st_size) <= kMaxTable)
        text.reserve(static_cast<std::size_t>(tsb.st_size) + 1);
    char buf[65536];
    for (;;) {
        ssize_t r = read(tfd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        text.append(buf, static_cast<std::size_t>(r));
        if (text.size() > kMaxTable) break;
    }
    close(tfd);
    if (text.size() > kMaxTable || !starts_with(text, kMagic)) return false;
    std::size_t p1 = std::strlen(kMagic);
    std::size_t e1 = text.find('\n', p1);
    if (e1 == std::string::npos) return false;
    std::size_t e2 = text.find('\n', e1 + 1);
    if (e2 == std::string::npos) return false;
    std::string sigck = text.substr(p1, e1 - p1);
    std::size_t sp = sigck.rfind(' ');
    if (sp == std::string::npos) return false;
    std::string sig = sigck.substr(0, sp);
    std::string stored_key = text.substr(e1 + 1, e2 - e1 - 1);
    std::string_view body = std::string_view(text).substr(e2 + 1);
    if (sfmt("%016llx", static_cast<unsigned long long>(table_hash(sig + "\n" + stored_key + "\n", body))) !=
        sigck.substr(sp + 1))
        return false;
    if (key && stored_key != *key) return false;
    unsigned long long ino = 0;
    long long size = 0, msec = 0;
    long mnsec = 0;
    int tn = 0, tu = 0;
    if (std::sscanf(sig.c_str(), "%llu %lld %lld %ld %d %d", &ino, &size, &msec, &mnsec, &tn, &tu) != 6) return false;
    if (tn < 0 || tn > kIndexSlots - 2 || tu < 0 || tu > tn || body.size() != static_cast<std::size_t>(tn) * kEntry) return false;
    t.fd = open(fld_file(fld, "index.dat").c_str(), O_RDONLY | O_CLOEXEC);
    if (t.fd < 0) return false;
    struct stat sb;
    if (fstat(t.fd, &sb) != 0 || sig_line(sb, tn, tu) != sig) {
        listpos_close();
        return false;
    }
    t.size = sb.st_size;
    t.body = e2 + 1;
    t.n = tn;
    n = tn;
    unread = tu;
    return true;
}

}  // namespace

bool listpos_open(int fld, const std::string& key, int& n, int& unread) { return open_table(fld, &key, n, unread); }

bool listpos_open_any(int fld, int& n, int& unread) { return open_table(fld, nullptr, n, unread); }

int listpos_find(std::uint32_t id) {
    const OpenTable& t = ot();
    if (t.fd < 0 || id == kListposNoId) return -1;
    for (int i = 0; i < t.n; ++i)
        if (t.at(i, 2) == id) return i;
    return -1;
}

bool listpos_read(int lo, int hi, std::vector<Record>& out) {
    OpenTable& t = ot();
    out.clear();
    if (t.fd < 0 || lo < 0 || hi >= t.n) return false;
    if (hi < lo) return true;
    // One read from the byte before the first line to the byte after the
    // last: enough to see that every line starts and ends where it should.
    const long long first = t.start(lo);
    const long long last_end = static_cast<long long>(t.start(hi)) + t.len(hi);
    const long long from = first > 0 ? first - 1 : 0;
    const long long to = std::min(last_end + 1, t.size);
    if (first > t.size || last_end > t.size || to < from) return false;
    std::string chunk(static_cast<std::size_t>(to - from), '\0');
    std::size_t got = 0;
    while (got < chunk.size()) {
        ssize_t r = pread(t.fd, chunk.data() + got, chunk.size() - got, static_cast<off_t>(from + static_cast<long long>(got)));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    for (int i = lo; i <= hi; ++i) {
        const long long s = t.start(i);
        const long long e = s + t.len(i);
        if (s < first || e > last_end) return false;   // out of file order
        if (s > 0 && chunk[static_cast<std::size_t>(s - 1 - from)] != '\n') return false;
        if (e < t.size && t.len(i) < kIndexLineLimit) {
            char after = chunk[static_cast<std::size_t>(e - from)];
            if (after != '\n' && after != '\r') return false;
        }
        std::string_view line(chunk.data() + (s - from), static_cast<std::size_t>(e - s));
        if (line.find('\n') != std::string_view::npos) return false;
        Record& r = out.emplace_back();
        if (!idx_parse_line(line, r, nullptr)) return false;
    }
    return true;
}

void listpos_close() {
    OpenTable& t = ot();
    if (t.fd >= 0) close(t.fd);
    t = OpenTable{};
}

void listpos_reset() {
    listpos_close();
    lines_state() = IndexLines{};
}
