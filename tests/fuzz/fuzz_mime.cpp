// Feeds arbitrary bytes to the MIME part reader, the body renderer, the
// part download and every decoder; checks the encoders' round trips.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/request.h"
#include "view/body.h"
#include "view/links.h"
#include "view/mime.h"
#include "view/mimecodec.h"
#include "view/part.h"
#include "subsystems.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    subsystems_reset();
    g.log_file = "/dev/null";
    std::string_view in(reinterpret_cast<const char*>(data), size);

    MimeTree t;
    mime_parse(in, t);
    for (const auto& p : t.parts) {
        if (p.body.data() < in.data() || p.body.data() + p.body.size() > in.data() + in.size()) std::abort();
    }
    BodyOptions o;
    o.v_inline = size & 1;
    (void)render_body(in, o);
    o.wml = true;
    o.body_limit = 300;
    o.roffset = static_cast<long>(size % 97);
    BodyResult r;
    std::string deck = render_body(in, o, &r);
    if (deck.size() > 300) std::abort();
    o = BodyOptions{};
    o.quote = true;
    (void)render_body(in, o);

    part_source(in);
    (void)part_list();
    (void)part_find("x@y");
    for (int n : {1, 2, 3, 99, 100}) {
        PartInfo info;
        if (part_info(in, n, info)) {
            long written = part_write(in, n, nullptr);
            if (written != info.length) std::abort();
            (void)part_headers(info);
        }
    }

    std::string out;
    (void)decode_base64(in, out);
    (void)decode_quote(in);
    (void)rfc1522s(in);
    out.clear();
    (void)decode_uu(in, out);
    if (!valid_utf8(to_utf8(in, "iso-2022-jp")) || !valid_utf8(rfc1522s(in))) std::abort();

    // Encoders: what goes out comes back.
    std::string b64 = sencode_base64(in);
    std::string back;
    if (decode_base64(b64, back) != static_cast<long>(size) || back != in) std::abort();
    std::string q = qprint(in);
    std::string qb;
    std::size_t start = 0;
    bool bare_cr = false;
    for (char c : in) bare_cr = bare_cr || c == '\r';
    if (!bare_cr) {
        while (start <= q.size()) {
            std::size_t e = q.find('\n', start);
            std::size_t end = e == std::string::npos ? q.size() : e;
            bool hard = decode_quote_to(std::string_view(q).substr(start, end - start), qb);
            if (e == std::string::npos) break;
            if (hard) qb += '\n';
            start = e + 1;
        }
        if (qb != in) std::abort();
    }
    return 0;
}
