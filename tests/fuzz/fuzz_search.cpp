// Feeds arbitrary bytes to the search: the part before the first NUL as the
// typed words, the rest as a stored message, and the same rest as the
// folder's search cache.  Nothing may crash; words stay within their
// bounds; the context line carries no mark-up but its own marks; and a
// cache file, whatever it holds, never yields a text other than the
// message's own.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cgi/config.h"
#include "cgi/request.h"
#include "store/index.h"
#include "store/msgfile.h"
#include "subsystems.h"
#include "user/paths.h"
#include "user/profile.h"
#include "view/search.h"
#include "view/search_cache.h"

namespace {

std::string without(std::string s, const std::string& piece) {
    for (std::size_t p; (p = s.find(piece)) != std::string::npos;) s.erase(p, piece.size());
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string dir = [] {
        char tmpl[] = "/tmp/lkfuzz_searchXXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    const std::string in(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = in.find('\0');
    const std::string typed = in.substr(0, nul), msg = nul == std::string::npos ? in : in.substr(nul + 1);

    const std::vector<std::string> words = search_words(typed);
    if (words.size() > kSearchMaxWords) std::abort();
    for (const std::string& w : words) {
        if (w.empty() || w.size() > kSearchMaxWord || w.front() == ' ' || w.back() == ' ') std::abort();
        for (char c : w)
            if (static_cast<unsigned char>(c) < 0x20) std::abort();
    }
    const std::string text = search_message_text(msg);
    if (text.size() > kSearchMaxText) std::abort();
    const std::string folded = search_fold(text);
    if (folded.size() != text.size()) std::abort();
    std::vector<char> found(words.size(), 0);
    search_words_in(words, folded, found);
    const std::string snip = search_snippet(text, folded, words, "<mark>", "</mark>");
    if (without(without(snip, "<mark>"), "</mark>").find('<') != std::string::npos) std::abort();

    // The same bytes as the cache of a folder whose message 1 is msg.
    subsystems_reset();
    g.log_file = "/dev/null";
    ini_set(K_workarea, dir);
    prof.xuser = "fuzz";
    const std::string item = fld_item(0, 1);
    make_parent_dirs(item);
    for (const auto& [path, body] : {std::pair{item, msg}, std::pair{fld_file(0, "search.dat"), msg}}) {
        FILE* f = std::fopen(path.c_str(), "w");
        if (!f) return 0;
        std::fwrite(body.data(), 1, body.size(), f);
        std::fclose(f);
    }
    SearchTextCache cache(0);
    cache.plan({1});
    bool ok = false;
    std::string_view got = cache.text(1, &ok);
    if (!ok || got != folded) std::abort();
    cache.finish();
    return 0;
}
