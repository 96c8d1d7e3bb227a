#include "view/part.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cgi/diag.h"
#include "cgi/request.h"
#include "support/escape.h"
#include "support/str.h"
#include "view/body.h"
#include "view/mime.h"
#include "view/mimecodec.h"

namespace {

constexpr std::size_t kChunk = 65536;

// Decoded length of a base64 body, exactly as Base64Stream decodes it.
long base64_length(std::string_view body) {
    static unsigned char valid[256];
    static bool init = false;
    if (!init) {
        const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; i++) valid[static_cast<unsigned char>(a[i])] = 1;
        init = true;
    }
    // Padding ends a group: between two "=" (found with memchr, they are
    // rare) the alphabet characters are counted and make whole groups and
    // a last short one.
    long total = 0;
    std::size_t i = 0;
    while (i <= body.size()) {
        std::size_t eq = body.find('=', i);
        std::size_t end = eq == std::string_view::npos ? body.size() : eq;
        long n = 0;
        for (std::size_t k = i; k < end; ++k) n += valid[static_cast<unsigned char>(body[k])];
        total += n / 4 * 3 + (n % 4 == 2 ? 1 : n % 4 == 3 ? 2 : 0);
        i = end + 1;
    }
    return total;
}

long stream_mime(const MimePart& p, const PartSink& sink) {
    long total = 0;
    std::string tmp;
    auto out = [&](bool force) {
        if (tmp.empty() || (!force && tmp.size() < kChunk)) return;
        total += static_cast<long>(tmp.size());
        if (sink) sink(tmp);
        tmp.clear();
    };
    std::string_view body = p.body;
    if (p.h.encoding == "base64") {
        Base64Stream b;
        for (std::size_t i = 0; i < body.size(); i += kChunk) {
            b.feed(body.substr(i, kChunk), tmp);
            out(true);
        }
        b.finish(tmp);
        out(true);
    } else if (p.h.encoding == "quoted-printable") {
        bool ended_nl = !body.empty() && body.back() == '\n';
        bool last_hard = false;
        for_each_line(body, [&](std::string_view l) {
            // Hold back the line end of the last line until we know it is not
            // the last one.
            if (last_hard) tmp += '\n';
            last_hard = decode_quote_to(l, tmp);
            out(false);
            return true;
        });
        if (last_hard && ended_nl) tmp += '\n';
        out(true);
    } else {
        for (std::size_t i = 0; i < body.size(); i += kChunk) {
            tmp.assign(body.substr(i, kChunk));
            out(true);
        }
    }
    return total;
}

struct Found {
    int idx = -1;                  // MIME part
    const UuSection* uu = nullptr;
};

std::string uu_type(std::string_view name) {
    std::string l = lower(name);
    if (contains(l, ".gif")) return "image/gif";
    if (contains(l, ".tif")) return "image/tiff";
    if (contains(l, ".jpeg") || contains(l, ".jpg")) return "image/jpeg";
    if (contains(l, ".png")) return "image/png";
    return "application/octet-stream";
}

long stream_uu(const MimeTree& tree, const UuSection& u, const PartSink& sink) {
    std::string text = part_decode(tree.parts[static_cast<std::size_t>(u.part)]);
    int nth = 0;
    bool in = false, done = false, skipping = false;
    long total = 0;
    std::string tmp;
    for_each_line(text, [&](std::string_view l) {
        if (in) {
            if (uu_is_end(l)) {
                done = true;
                return false;
            }
            decode_uu(l, tmp);
            if (tmp.size() >= kChunk) {
                total += static_cast<long>(tmp.size());
                if (sink) sink(tmp);
                tmp.clear();
            }
            return true;
        }
        if (skipping) {
            if (uu_is_end(l)) skipping = false;
            return true;
        }
        if (uu_begin_name(l).empty()) return true;
        if (nth++ == u.nth) in = true;
        else skipping = true;
        return true;
    });
    (void)done;
    if (!tmp.empty()) {
        total += static_cast<long>(tmp.size());
        if (sink) sink(tmp);
    }
    return total;
}

// Locates part n; the tree and section list must outlive the answer.
Found locate(const MimeTree& tree, const std::vector<UuSection>& uu, int n) {
    Found f;
    if (n == 99 || n == 0) {
        f.idx = 0;
        return f;
    }
    if (n >= 100)
        for (const auto& u : uu)
            if (u.number == n) {
                f.uu = &u;
                return f;
            }
    if (n > 0) f.idx = tree.by_number(n);
    if (f.idx >= 0 && starts_with(tree.parts[static_cast<std::size_t>(f.idx)].h.type, "multipart/") &&
        !tree.parts[static_cast<std::size_t>(f.idx)].children.empty())
        f.idx = -1;   // a container has no bytes of its own to offer
    return f;
}

// The bytes an RFC 5987 parameter value may hold as they are.
constexpr ByteSet kAttrChar = ByteSet::unreserved().with("!#$&+^`|");

}  // namespace

std::string part_safe_type(std::string_view type, std::string_view charset) {
    static const char* const keep[] = {
        "image/png", "image/gif", "image/jpeg", "image/webp", "image/bmp", "image/tiff", "audio/wav",
        "audio/x-wav", "audio/mpeg", "audio/ogg", "video/mp4", "video/webm", "video/ogg", "application/pdf",
        "application/zip", "application/gzip", "application/msword", "message/rfc822", nullptr};
    std::string t = lower(type);
    if (t == "image/jpg" || t == "image/pjpeg") t = "image/jpeg";
    if (t == "text/plain") {
        std::string cs = lower(charset);
        bool sane = !cs.empty() && cs.size() < 40 &&
                    cs.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_.:") == std::string::npos;
        return sane ? "text/plain; charset=" + cs : "text/plain";
    }
    for (const char* const* k = keep; *k; k++)
        if (t == *k) return t;
    return "application/octet-stream";
}

std::string part_disposition(std::string_view name, bool inline_ok) {
    std::string base(nopath(name));
    std::string clean;   // without control characters
    for (char c : base)
        if (static_cast<unsigned char>(c) >= 32 && c != 127) clean += c;
    clean = utf8_cut(clean, 200);
    if (!valid_utf8(clean)) clean = nice_fname(clean);
    std::string ascii;
    for (char c : clean) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 128) {
            if ((u & 0xC0) != 0x80) ascii += '_';   // one "_" per character
        } else if (c == '"' || c == '\\' || c == '%' || c == ';') {
            ascii += '_';
        } else {
            ascii += c;
        }
    }
    if (ascii.find_first_not_of(" ._") == std::string::npos) {
        ascii = "attachment";
        if (clean.find_first_not_of(" .") == std::string::npos) clean.clear();
    }
    std::string d = inline_ok ? "inline" : "attachment";
    d += "; filename=\"" + ascii + "\"";
    if (!clean.empty() && clean != ascii) {
        d += "; filename*=UTF-8''" + pct_encode(clean, kAttrChar);
    }
    return d;
}

std::string part_headers(const PartInfo& info) {
    std::string h = "Content-Type: " + info.served_type + "\n";
    h += sfmt("Content-Length: %ld\n", info.length);
    h += "Content-Disposition: " + part_disposition(info.name, info.inline_ok) + "\n";
    h += "X-Content-Type-Options: nosniff\n";
    // Should a browser render it after all, it runs nothing and loads nothing.
    h += "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; sandbox\n";
    h += "Cache-Control: no-store\nX-Frame-Options: SAMEORIGIN\nReferrer-Policy: no-referrer\n\n";
    return h;
}

namespace {

// One parse of the message serves both the header and the bytes.
struct Located {
    MimeTree tree;
    std::vector<UuSection> uu;
    Found f;
    Located(std::string_view msg, int n) {
        mime_parse(msg, tree);
        uu = uu_scan(tree);
        f = locate(tree, uu, n);
    }
    bool found() const { return f.uu || f.idx >= 0; }
    long write(const PartSink& sink) const {
        if (f.uu) return stream_uu(tree, *f.uu, sink);
        if (f.idx < 0) return -1;
        return stream_mime(tree.parts[static_cast<std::size_t>(f.idx)], sink);
    }
};

bool fill_info(const Located& l, int n, PartInfo& info) {
    info = PartInfo{};
    info.number = n;
    if (l.f.uu) {
        info.type = uu_type(l.f.uu->name);
        info.name = std::string(nopath(l.f.uu->name));
        info.length = stream_uu(l.tree, *l.f.uu, nullptr);
        info.served_type = part_safe_type(info.type, "");
    } else if (l.f.idx >= 0) {
        const MimePart& p = l.tree.parts[static_cast<std::size_t>(l.f.idx)];
        info.type = p.h.type;
        info.name = part_display_name(l.tree, l.f.idx);
        if (p.h.encoding == "base64") info.length = base64_length(p.body);
        else if (p.h.encoding == "quoted-printable") info.length = stream_mime(p, nullptr);
        else info.length = static_cast<long>(p.body.size());
        info.served_type = part_safe_type(info.type, p.h.charset);
    } else {
        return false;
    }
    const std::string& t = info.served_type;
    info.inline_ok = t == "image/png" || t == "image/gif" || t == "image/jpeg" || t == "image/webp" || t == "image/bmp";
    return true;
}

}  // namespace

bool part_info(std::string_view msg, int n, PartInfo& info) {
    Located l(msg, n);
    return fill_info(l, n, info);
}

long part_write(std::string_view msg, int n, const PartSink& sink) {
    Located l(msg, n);
    return l.write(sink);
}

int part_send(std::string_view msg, int n, const PartSink& sink) {
    Located l(msg, n);
    PartInfo info;
    if (!fill_info(l, n, info)) return 0;
    if (sink) sink(part_headers(info));
    if (log_has("mime")) imsg("Send content\ncontent length %ld\n", info.length);
    l.write(sink);
    return 1;
}

int show_article_part(std::string_view msg, int n) {
    if (log_has("mime")) imsg("show article part %d\n", n);
    int ok = part_send(msg, n, [](std::string_view s) { gwrite(s); });
    if (ok) g.contdone = 1;
    return ok;
}

MappedFile::MappedFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat sb;
    if (fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode)) {
        size_ = static_cast<std::size_t>(sb.st_size);
        if (size_ == 0) {
            ok_ = true;
        } else {
            void* p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
            if (p != MAP_FAILED) {
                data_ = p;
                ok_ = true;
            } else {
                size_ = 0;
            }
        }
    }
    ::close(fd);
}

MappedFile::~MappedFile() {
    if (data_) munmap(data_, size_);
}
