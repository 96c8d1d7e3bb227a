#include "view/search_cache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "cgi/diag.h"
#include "store/msgfile.h"
#include "support/file.h"
#include "support/str.h"
#include "user/paths.h"
#include "view/part.h"
#include "view/search.h"

namespace {

constexpr std::string_view kMagic = "larkspur-search 1\n";
constexpr std::size_t kHeadMax = 120;   // one entry's header line, at most

// What identifies one version of a message file.
struct Stamp {
    unsigned long long ino = 0, size = 0;
    long long sec = 0, nsec = 0;
    bool operator==(const Stamp& o) const { return ino == o.ino && size == o.size && sec == o.sec && nsec == o.nsec; }
};

bool stamp_of(const std::string& path, Stamp& s) {
    struct stat sb;
    if (::stat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode)) return false;
    s.ino = static_cast<unsigned long long>(sb.st_ino);
    s.size = static_cast<unsigned long long>(sb.st_size);
    s.sec = static_cast<long long>(sb.st_mtim.tv_sec);
    s.nsec = static_cast<long long>(sb.st_mtim.tv_nsec);
    return true;
}

struct Entry {
    Stamp stamp;
    off_t off = 0;          // of the text
    std::size_t len = 0;
};

// "id ino size sec nsec len\n": all six whole decimal numbers.
bool parse_head(std::string_view line, int& id, Entry& e) {
    unsigned long long v[6];
    std::size_t i = 0;
    for (int k = 0; k < 6; ++k) {
        if (i >= line.size() || line[i] < '0' || line[i] > '9') return false;
        unsigned long long n = 0;
        int digits = 0;
        while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
            if (++digits > 19) return false;
            n = n * 10 + static_cast<unsigned long long>(line[i++] - '0');
        }
        v[k] = n;
        if (k < 5) {
            if (i >= line.size() || line[i] != ' ') return false;
            ++i;
        }
    }
    if (i != line.size() || v[0] > 0x7fffffffULL || v[5] > kSearchMaxText) return false;
    id = static_cast<int>(v[0]);
    e.stamp = {v[1], v[2], static_cast<long long>(v[3]), static_cast<long long>(v[4])};
    e.len = static_cast<std::size_t>(v[5]);
    return true;
}

std::string host_name() {
    char h[256] = {0};
    if (gethostname(h, sizeof h - 1) != 0) return "host";
    std::string out;
    for (const char* c = h; *c; ++c) out += (std::isalnum(static_cast<unsigned char>(*c)) || *c == '-') ? *c : '_';
    return out.empty() ? "host" : out.substr(0, 64);
}

}  // namespace

struct SearchTextCache::Impl {
    int fld = 0;
    std::string path, tmp;
    int fd = -1;                        // the old cache
    std::unordered_map<int, Entry> old;
    std::unordered_map<int, Stamp> now; // planned messages and their files' stamps
    int out = -1;                       // the new cache, while rewriting
    bool out_ok = true;
    std::size_t written = 0;            // planned messages written to the new cache
    std::string buf;
    int reused = 0, decoded = 0;

    // Reads the old cache's entry list; stops at the first damage (what
    // follows counts as missing).
    void load() {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        struct stat sb;
        if (fstat(fd, &sb) != 0) return;
        const off_t size = sb.st_size;
        char head[kHeadMax + 1];
        if (size < static_cast<off_t>(kMagic.size()) || pread(fd, head, kMagic.size(), 0) != static_cast<ssize_t>(kMagic.size()) ||
            std::string_view(head, kMagic.size()) != kMagic)
            return;
        off_t at = static_cast<off_t>(kMagic.size());
        while (at < size) {
            ssize_t n = pread(fd, head, kHeadMax, at);
            if (n <= 0) return;
            std::string_view h(head, static_cast<std::size_t>(n));
            std::size_t nl = h.find('\n');
            int id = 0;
            Entry e;
            if (nl == std::string_view::npos || !parse_head(h.substr(0, nl), id, e)) return;
            e.off = at + static_cast<off_t>(nl + 1);
            // The text and its closing line end must lie inside the file.
            if (e.off + static_cast<off_t>(e.len) + 1 > size) return;
            old[id] = e;
            at = e.off + static_cast<off_t>(e.len) + 1;
        }
    }

    bool read_old(int id, const Stamp& st) {
        auto it = old.find(id);
        if (it == old.end() || !(it->second.stamp == st)) return false;
        const Entry& e = it->second;
        buf.resize(e.len + 1);
        std::size_t got = 0;
        while (got < buf.size()) {
            ssize_t n = pread(fd, buf.data() + got, buf.size() - got, e.off + static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        if (buf.back() != '\n') return false;
        buf.pop_back();
        return true;
    }

    void append(int id, const Stamp& st) {
        if (out < 0 || !out_ok) return;
        std::string head = sfmt("%d %llu %llu %lld %lld %zu\n", id, st.ino, st.size, st.sec, st.nsec, buf.size());
        out_ok = write_all(out, head) && write_all(out, buf) && write_all(out, "\n");
        written++;
    }
};

SearchTextCache::SearchTextCache(int fld) : p_(std::make_unique<Impl>()) {
    p_->fld = fld;
    p_->path = fld_file(fld, "search.dat");
    p_->load();
}

SearchTextCache::~SearchTextCache() {
    if (p_->fd >= 0) ::close(p_->fd);
    if (p_->out >= 0) {
        ::close(p_->out);
        ::unlink(p_->tmp.c_str());
    }
}

void SearchTextCache::plan(const std::vector<int>& ids) {
    bool stale = false;
    for (int id : ids) {
        Stamp st;
        if (!stamp_of(fld_item(p_->fld, id), st)) continue;
        p_->now[id] = st;
        auto it = p_->old.find(id);
        if (it == p_->old.end() || !(it->second.stamp == st)) stale = true;
    }
    // Entries of messages gone from the index are dropped by writing anew.
    if (!stale)
        for (const auto& [id, e] : p_->old)
            if (!p_->now.count(id)) stale = true;
    if (!stale) return;
    p_->tmp = fld_file(p_->fld, sfmt("search.%s.%d.tmp", host_name().c_str(), static_cast<int>(getpid())));
    p_->out = ::open(p_->tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (p_->out < 0) {
        imsg("Search cache %s not written: %s", p_->tmp.c_str(), std::strerror(errno));
        return;
    }
    p_->out_ok = write_all(p_->out, kMagic);
}

bool SearchTextCache::rewriting() const { return p_->out >= 0 && p_->out_ok; }

std::string_view SearchTextCache::text(int id, bool* ok) {
    *ok = false;
    auto it = p_->now.find(id);
    if (it == p_->now.end()) return {};
    const Stamp st = it->second;
    if (p_->read_old(id, st)) {
        p_->reused++;
    } else {
        // Stamped before it is read: a file replaced meanwhile leaves an
        // entry that no longer matches, never a wrong one that does.
        MappedFile file(fld_item(p_->fld, id));
        if (!file.ok()) {
            p_->now.erase(it);   // gone: the new cache is complete without it
            return {};
        }
        p_->buf = search_fold(search_message_text(file.view()));
        p_->decoded++;
    }
    p_->append(id, st);
    *ok = true;
    return p_->buf;
}

void SearchTextCache::finish() {
    if (p_->out < 0) return;
    bool complete = p_->out_ok && p_->written == p_->now.size();
    bool closed = ::close(p_->out) == 0;
    p_->out = -1;
    if (complete && closed && ::rename(p_->tmp.c_str(), p_->path.c_str()) == 0) return;
    ::unlink(p_->tmp.c_str());
}

int SearchTextCache::reused() const { return p_->reused; }
int SearchTextCache::decoded() const { return p_->decoded; }
