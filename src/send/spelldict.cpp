// The word tables of the spell checker.  The shared list (words.dat) holds
// about a hundred thousand words and is read on every request that checks
// spelling, so it is not parsed: scripts/mkwords.sh writes it one word a
// line in byte order, and it is mapped and searched in place.  A list in
// any other order or layout still works: it is then read into memory.
#include "send/spell.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/lang.h"
#include "support/str.h"
#include "user/paths.h"

namespace {

struct DictState {
    const char* map = nullptr;        // the mapped sorted list, or null
    std::size_t map_size = 0;
    std::vector<std::string> loose;   // words of a list that is not sorted (sorted here)
    std::vector<std::string> own;     // personal and added words, sorted
    bool loaded = false;
};
DictState& st() {
    static DictState s;
    return s;
}

bool is_sep(char c) { return c == ' ' || c == '\r' || c == '\n'; }

// One word a line, no other separators, strictly rising in byte order, the
// last line ended: the layout binary search needs.
bool sorted_layout(const char* d, std::size_t n) {
    if (n == 0 || d[n - 1] != '\n' || d[0] == '\n') return false;
    for (char c : {' ', '\r', '\t'})
        if (std::memchr(d, c, n)) return false;
    const char* prev = d;
    std::size_t prev_len = static_cast<std::size_t>(static_cast<const char*>(std::memchr(d, '\n', n)) - d);
    for (std::size_t pos = prev_len + 1; pos < n;) {
        const char* line = d + pos;
        std::size_t len = static_cast<std::size_t>(static_cast<const char*>(std::memchr(line, '\n', n - pos)) - line);
        if (len == 0) return false;
        int c = std::memcmp(prev, line, std::min(prev_len, len));
        if (c > 0 || (c == 0 && prev_len >= len)) return false;
        prev = line;
        prev_len = len;
        pos += len + 1;
    }
    return true;
}

bool sorted_find(const char* d, std::size_t n, std::string_view w) {
    std::size_t lo = 0, hi = n;   // both at line starts
    while (lo < hi) {
        std::size_t mid = lo + (hi - lo) / 2;
        const void* p = mid > lo ? memrchr(d + lo, '\n', mid - lo) : nullptr;
        std::size_t s = p ? static_cast<std::size_t>(static_cast<const char*>(p) - d) + 1 : lo;
        const void* e = std::memchr(d + s, '\n', n - s);
        std::size_t end = e ? static_cast<std::size_t>(static_cast<const char*>(e) - d) : n;
        int c = std::string_view(d + s, end - s).compare(w);
        if (c == 0) return true;
        if (c < 0) lo = end + 1;
        else hi = s;
    }
    return false;
}

void unmap() {
    DictState& s = st();
    if (s.map) munmap(const_cast<char*>(s.map), s.map_size);
    s.map = nullptr;
    s.map_size = 0;
}

void insert_sorted(std::vector<std::string>& v, std::string w) {
    auto it = std::lower_bound(v.begin(), v.end(), w);
    if (it == v.end() || *it != w) v.insert(it, std::move(w));
}

// Every word of the mapped or loose list and then the user's own, in order.
template <class Fn>
void each_word(Fn fn) {
    DictState& s = st();
    for (std::size_t pos = 0; pos < s.map_size;) {
        const char* e = static_cast<const char*>(std::memchr(s.map + pos, '\n', s.map_size - pos));
        std::size_t end = e ? static_cast<std::size_t>(e - s.map) : s.map_size;
        fn(std::string_view(s.map + pos, end - pos));
        pos = end + 1;
    }
    for (const std::string& w : s.loose) fn(w);
    for (const std::string& w : s.own) fn(w);
}

}  // namespace

std::string spell_lower(std::string_view word) {
    std::string w(word.substr(0, 100));
    for (char& c : w)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return w;
}

std::vector<std::string> spell_split_words(std::string_view text) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t e = text.find_first_of(" \t\r\n,;", i);
        if (e == std::string_view::npos) e = text.size();
        if (e > i) out.emplace_back(text.substr(i, e - i));
        i = e + 1;
    }
    return out;
}

void spell_dict_reset() {
    unmap();
    DictState& s = st();
    s.loose.clear();
    s.own.clear();
    s.loaded = false;
}

int spell_init(const std::string& dict, const std::string* personal, std::string& err) {
    spell_dict_reset();
    DictState& s = st();
    int fd = open(dict.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = sfmt("Could not read %s %s\n", dict.c_str(), std::strerror(errno));
        return 0;
    }
    struct stat sb;
    if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode)) {
        err = sfmt("Could not read %s %s\n", dict.c_str(), "not a file");
        close(fd);
        return 0;
    }
    std::size_t n = static_cast<std::size_t>(sb.st_size);
    if (n > 0) {
        void* m = mmap(nullptr, n, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (m == MAP_FAILED) {
            err = sfmt("Could not read %s %s\n", dict.c_str(), std::strerror(errno));
            close(fd);
            return 0;
        }
        s.map = static_cast<const char*>(m);
        s.map_size = n;
    }
    close(fd);
    if (s.map && !sorted_layout(s.map, s.map_size)) {
        // A hand-made list: words as they stand, split at blanks and line ends.
        std::string_view all(s.map, s.map_size);
        std::size_t i = 0;
        while (i < all.size()) {
            std::size_t e = i;
            while (e < all.size() && !is_sep(all[e])) ++e;
            if (e > i) s.loose.emplace_back(all.substr(i, e - i));
            i = e + 1;
        }
        unmap();
        std::sort(s.loose.begin(), s.loose.end());
        s.loose.erase(std::unique(s.loose.begin(), s.loose.end()), s.loose.end());
    }
    if (personal) {
        std::ifstream f(*personal, std::ios::binary);
        if (f) {
            std::ostringstream ss;
            ss << f.rdbuf();
            for (const std::string& w : spell_split_words(ss.str())) insert_sorted(s.own, spell_lower(w));
        }
    }
    s.loaded = true;
    return 1;
}

int spell_load() {
    std::string personal = user_fname("words.usr");
    std::string err;
    if (!spell_init(file_tpl("words.dat"), &personal, err)) {
        f_error(lang_get("Could not init spell checker (%s) \n"), err.c_str());
        return 0;
    }
    return 1;
}

void spell_add_one(std::string_view word) {
    if (!word.empty()) insert_sorted(st().own, spell_lower(word));
}

void spell_add(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t e = i;
        while (e < text.size() && !is_sep(text[e])) ++e;
        if (e > i) spell_add_one(text.substr(i, e - i));
        i = e + 1;
    }
}

int spell_hash(std::string_view word) {
    auto part = [](char c) {
        // Signed byte widened, then reduced as unsigned: bytes of 128 and
        // above land where they always have.
        return static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(c))) % 26;
    };
    std::uint32_t a = word.empty() ? 0 : part(word[0]);
    std::uint32_t b = word.size() < 2 ? 0 : part(word[1]);
    return static_cast<int>(a * 26 + b);
}

int spell_find(std::string_view word) {
    DictState& s = st();
    std::string w = spell_lower(word);
    if (w.empty()) return 0;
    if (s.map && sorted_find(s.map, s.map_size, w)) return 1;
    if (std::binary_search(s.loose.begin(), s.loose.end(), w)) return 1;
    return std::binary_search(s.own.begin(), s.own.end(), w) ? 1 : 0;
}

int spell_score(std::string_view word, std::string_view candidate) {
    std::string w(word), c(candidate);
    const std::size_t L = c.size(), W = w.size();
    int score = 0;
    // Letters in place count most, then letters one and two places late.
    for (int shift = 0; shift <= 2; ++shift) {
        for (std::size_t i = static_cast<std::size_t>(shift); i < L; ++i) {
            std::size_t j = i - static_cast<std::size_t>(shift);
            if (j >= W || c[i] == ' ' || c[i] != w[j]) continue;
            score += 3 - shift;
            c[i] = ' ';
            w[j] = ' ';
        }
    }
    return score - static_cast<int>(L > W ? L - W : W - L);
}

int spell_similar(std::string_view word, std::vector<std::string>& out) {
    out.clear();
    const std::string w = spell_lower(word);
    const int bucket = spell_hash(w);
    struct Cand {
        int score;
        std::string_view word;
    };
    std::vector<Cand> cands;
    each_word([&](std::string_view c) {
        if (!c.empty() && spell_hash(c) == bucket) cands.push_back({spell_score(w, c), c});
    });
    std::stable_sort(cands.begin(), cands.end(), [](const Cand& a, const Cand& b) { return a.score > b.score; });
    for (std::size_t i = 0; i < cands.size() && out.size() < 20; ++i) {
        std::string c(cands[i].word);
        if (std::find(out.begin(), out.end(), c) == out.end()) out.push_back(std::move(c));
    }
    return static_cast<int>(out.size());
}

bool spell_next_word(std::string_view text, std::size_t& pos, std::size_t& start, std::string& word) {
    static const std::string_view kSkip = "/:\"'<>()[]0123456789 \r\n\t";
    static const std::string_view kTrim = "!/\"'<>()[]0123456789.,:;?";
    while (pos < text.size()) {
        while (pos < text.size() && kSkip.find(text[pos]) != std::string_view::npos) ++pos;
        if (pos >= text.size()) break;
        std::size_t s = pos;
        while (pos < text.size() && std::string_view(" \r\n\t").find(text[pos]) == std::string_view::npos) ++pos;
        std::size_t e = pos;
        while (e > s && kTrim.find(text[e - 1]) != std::string_view::npos) --e;
        // Length in characters: UTF-8 continuation bytes do not count.
        std::size_t chars = 0;
        for (std::size_t i = s; i < e; ++i)
            if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++chars;
        if (chars < 3 || chars > 29) continue;
        start = s;
        word.assign(text.substr(s, e - s));
        return true;
    }
    return false;
}
