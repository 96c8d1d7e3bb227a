#include "support/buf.h"

#include <algorithm>

#include "support/escape.h"
#include "support/sink.h"

namespace {
struct BufState {
    std::string text;
    std::size_t size = 0;   // the reserved size, grown in the steps callers expect
};
BufState& st() {
    static BufState s;
    return s;
}

void grow_for(std::size_t n) {
    BufState& b = st();
    if (b.size == 0) b.size = 100;
    if (b.text.size() + n >= b.size) b.size = b.text.size() + n + 100;
    b.text.reserve(b.size);
}
}  // namespace

void bf_init() {
    st().text.clear();
    st().text.shrink_to_fit();
    st().size = 100;
    st().text.reserve(100);
}

void bf_add(const char* text, std::size_t n) {
    if (!text) return;
    grow_for(n);
    st().text.append(text, n);
}

void bf_add(std::string_view text) { bf_add(text.data(), text.size()); }

void bf_add_encode(const char* text, std::size_t n) {
    if (!text) return;
    std::string out;
    out.reserve(n + n / 4);
    for (std::size_t i = 0; i < n && text[i]; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (sup_wml() && c == '\'') out += "&apos;";
        else if (const char* e = html_entity(c, sup_wml() ? kEscQuote : kEscHtml)) out += e;
        else out += text[i];
    }
    // The escaped text is longer than n; reserve for what is really added.
    grow_for(std::max(n, out.size()));
    st().text += out;
}

void bf_remove_cr() {
    std::string& t = st().text;
    t.erase(std::remove(t.begin(), t.end(), '\r'), t.end());
}

const std::string& bf_str() { return st().text; }
std::size_t bf_len() { return st().text.size(); }
std::size_t bf_size() { return st().size; }
