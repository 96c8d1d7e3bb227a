#include "support/wild.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "support/sink.h"

namespace {
// Matches the text from t against the pattern from p.  Returns 1, 0, or -1
// when the text ran out while the pattern still needed characters: then no
// later start for a "*" can match either, so the caller stops trying.
int match_from(std::string_view text, std::size_t t, std::string_view pat, std::size_t p) {
    for (; p < pat.size(); ++t, ++p) {
        if (t >= text.size() && pat[p] != '*') return -1;
        unsigned char c = t < text.size() ? static_cast<unsigned char>(text[t]) : 0;
        switch (pat[p]) {
        case '?': break;
        case '*': {
            while (p + 1 < pat.size() && pat[p + 1] == '*') ++p;
            if (p + 1 >= pat.size()) return 1;
            for (; t < text.size(); ++t) {
                int r = match_from(text, t, pat, p + 1);
                if (r != 0) return r;
            }
            return -1;
        }
        case '[': {
            ++p;
            bool reverse = p < pat.size() && pat[p] == '^';
            if (reverse) ++p;
            bool matched = false;
            // A "]" or "-" first in the set is a member, not a delimiter.
            if (p < pat.size() && (pat[p] == ']' || pat[p] == '-')) {
                if (static_cast<unsigned char>(pat[p]) == c) matched = true;
                ++p;
            }
            unsigned char last = p > 0 ? static_cast<unsigned char>(pat[p - 1]) : 0;
            for (; p < pat.size() && pat[p] != ']'; ++p) {
                unsigned char pc = static_cast<unsigned char>(pat[p]);
                if (pc == '-' && p + 1 < pat.size() && pat[p + 1] != ']') {
                    unsigned char hi = static_cast<unsigned char>(pat[++p]);
                    if (c >= last && c <= hi) matched = true;
                    last = hi;
                    continue;
                }
                if (pc == c) matched = true;
                last = pc;
            }
            // An unclosed set runs to the end of the pattern.
            if (matched == reverse) return 0;
            break;
        }
        case '\\':
            // A trailing backslash stands for itself.
            if (p + 1 < pat.size()) ++p;
            [[fallthrough]];
        default:
            if (static_cast<unsigned char>(pat[p]) != c) return 0;
        }
    }
    return t >= text.size() ? 1 : 0;
}

std::string trim_blanks(std::string_view s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos) return {};
    std::size_t e = s.find_last_not_of(" \t");
    return std::string(s.substr(b, e - b + 1));
}
}  // namespace

int domatch(std::string_view text, std::string_view pattern) { return match_from(text, 0, pattern, 0); }

int match_wild(std::string_view pattern, std::string_view text) {
    if (pattern == "*") return 1;
    return domatch(text, pattern) == 1 ? 1 : 0;
}

int list_match(std::string_view patterns, std::string_view text) {
    std::string t = lower(text.substr(0, 511));
    int result = 0;
    std::size_t pos = 0;
    while (pos <= patterns.size()) {
        std::size_t comma = patterns.find(',', pos);
        std::string_view piece = patterns.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos);
        pos = comma == std::string_view::npos ? patterns.size() + 1 : comma + 1;
        // Blanks around the commas are how people write lists in settings;
        // no address or host name starts or ends with one.
        std::string pat = lower(trim_blanks(piece).substr(0, 100));
        bool exclude = !pat.empty() && pat[0] == '!';
        if (exclude) pat.erase(0, 1);
        if (pat.empty()) continue;
        if (match_wild(pat, t)) result = exclude ? 0 : 1;
    }
    return result;
}

int wild_find2(std::string_view dir, std::string_view pattern, std::vector<std::string>& names, int max) {
    std::string d(dir.empty() ? "." : dir);
    DIR* dp = opendir(d.c_str());
    if (!dp) {
        std::fprintf(stderr, "Could not read directory file %s: %s\n", d.c_str(), std::strerror(errno));
        return 0;
    }
    std::vector<std::string> found;
    while (dirent* e = readdir(dp)) {
        std::string_view n = e->d_name;
        if (n == "." || n == "..") continue;
        if (match_wild(pattern, n)) found.emplace_back(n);
    }
    closedir(dp);
    // Directory order is arbitrary; sorted results keep pages and the purge
    // walk the same from one run to the next.
    std::sort(found.begin(), found.end());
    if (max < 0) max = 0;
    if (found.size() > static_cast<std::size_t>(max)) {
        sup_log(kSupError, "maxwild exceeded %d>%d", static_cast<int>(found.size()), max);
        found.resize(static_cast<std::size_t>(max));
    }
    for (std::string& n : found) names.push_back(std::move(n));
    return static_cast<int>(found.size());
}

int wild_find(std::string_view pattern, std::vector<std::string>& names, int max) {
    return wild_find2(".", pattern, names, max);
}

int wild_find_any(std::string_view dir, std::string_view pattern) {
    std::string d(dir.empty() ? "." : dir);
    DIR* dp = opendir(d.c_str());
    if (!dp) return 0;
    int any = 0;
    while (dirent* e = readdir(dp)) {
        std::string_view n = e->d_name;
        if (n == "." || n == "..") continue;
        if (match_wild(pattern, n)) {
            any = 1;
            break;
        }
    }
    closedir(dp);
    return any;
}

int dir_exists(std::string_view path) {
    DIR* dp = opendir(std::string(path).c_str());
    if (!dp) return 0;
    closedir(dp);
    return 1;
}
