// Feeds arbitrary form text to the outgoing encoders and the recipient
// splitter: whatever a person types, what reaches a header is printable
// ASCII (folds aside), encoded words stay within their limit, values
// without line breaks stay without them, and typed text decodes back.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "send/addr.h"
#include "send/mailenc.h"
#include "support/str.h"
#include "view/mimecodec.h"

namespace {
void printable_or_fold(std::string s) {
    if (s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0) s.resize(s.size() - 2);   // the header's own end
    for (std::size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\r' && i + 2 < s.size() && s[i + 1] == '\n' && (s[i + 2] == ' ' || s[i + 2] == '\t')) {
            i += 1;
            continue;
        }
        if (c >= 127 || (c < 32 && c != '\t')) std::abort();
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string subject = encode_rfc1522(text);
    printable_or_fold(subject);
    for (std::size_t p = 0; (p = subject.find("=?UTF-8?B?", p)) != std::string::npos; ++p)
        if (subject.find("?=", p + 10) - p + 2 > 75) std::abort();
    // Text of single-spaced words, valid UTF-8, without controls: back as typed.
    bool simple = valid_utf8(text) && !text.empty() && text.front() != ' ' && text.back() != ' ' &&
                  text.find("  ") == std::string_view::npos;
    for (unsigned char c : text)
        if (c < 32 || c == 127) simple = false;
    if (simple && rfc1522s(subject) != text && size < 1000) std::abort();
    printable_or_fold(fold_header("Subject", subject));
    printable_or_fold(rfc2231_param("filename", nopath(text)));
    std::string list(text);
    if (line_clean(list)) {
        std::string enc = encode_addr_list(list);
        if (!line_clean(enc)) std::abort();
        for (const std::string& a : addr_list(list))
            if (a.empty()) std::abort();
    }
    std::string wrapped(text);
    do_wrap(wrapped, 20);
    if (wrapped.size() != text.size()) std::abort();
    return 0;
}
