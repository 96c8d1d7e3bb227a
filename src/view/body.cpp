#include "view/body.h"

#include <cstdlib>

#include "cgi/config.h"
#include "cgi/diag.h"
#include "cgi/lang.h"
#include "cgi/request.h"
#include "support/escape.h"
#include "support/str.h"
#include "user/profile.h"
#include "view/mimecodec.h"
#include "view/sanitize.h"

namespace {

constexpr std::size_t kFlush = 65536;   // page text is handed on in pieces of about this size

bool is_inline_image_type(std::string_view t) {
    return t == "image/png" || t == "image/gif" || t == "image/jpeg" || t == "image/jpg" || t == "image/pjpeg" ||
           t == "image/webp" || t == "image/bmp";
}

enum class Kind { Text, Html, Attach };

Kind kind_of(const MimePart& p) {
    const std::string& t = p.h.type;
    if (p.h.disposition == "attachment" && !(t == "text/plain" && p.h.name.empty())) return Kind::Attach;
    if (t == "text/html") return Kind::Html;
    if (starts_with(t, "text/")) return Kind::Text;
    // A multipart we did not split (no boundary, or nested too deep) is
    // shown as the text it is.
    if (starts_with(t, "multipart/") && p.children.empty()) return Kind::Text;
    return Kind::Attach;
}

std::string lower_ascii_prefix(std::string_view s, std::size_t n) { return lower(s.substr(0, n)); }

// A charset declared inside the HTML itself, for parts whose header names none.
std::string meta_charset(std::string_view html) {
    std::string head = lower_ascii_prefix(html, 4096);
    std::size_t p = head.find("charset=");
    if (p == std::string::npos) return {};
    p += 8;
    while (p < head.size() && (head[p] == '"' || head[p] == '\'' || head[p] == ' ')) p++;
    std::size_t e = p;
    while (e < head.size() && e - p < 40 &&
           ((head[e] >= 'a' && head[e] <= 'z') || (head[e] >= '0' && head[e] <= '9') || head[e] == '-' ||
            head[e] == '_' || head[e] == '.' || head[e] == ':'))
        e++;
    return head.substr(p, e - p);
}

bool uu_image_name(std::string_view name) {
    std::string l = lower(name);
    if (contains(l, ".jpg") || contains(l, ".jpeg") || contains(l, ".gif") || contains(l, ".png")) return true;
    return contains(l, ".tif") && ini_true(K_show_tiff);
}

struct Ctx {
    const BodyOptions& opt;
    BodyResult& res;
    const BodySink& sink;
    MimeTree tree;
    std::vector<UuSection> uu;
    std::vector<bool> used;
    std::string buf;
    bool collect = false;   // phone decks: the whole body is cut afterwards
    bool html_page = false;
    std::string prefix;
    std::string eol;

    Ctx(const BodyOptions& o, BodyResult& r, const BodySink& s) : opt(o), res(r), sink(s) {}

    void emit(std::string_view text) {
        buf += text;
        if (!collect && buf.size() >= kFlush) flush();
    }
    void flush() {
        if (!buf.empty() && sink) sink(buf);
        buf.clear();
    }

    std::string enc(std::string_view line) const {
        if (opt.text_encode) return opt.text_encode(line);
        return body_text_encode(line, opt);
    }

    void line(std::string_view text_html) {
        std::string s = prefix;
        s += text_html;
        s += eol;
        emit(s);
    }

    int number_of(int idx) const {
        int n = tree.parts[static_cast<std::size_t>(idx)].number;
        return n == 0 ? 99 : n;
    }

    std::string cid_url(std::string_view id) {
        std::string want = id_unbracket(id);
        std::string dec = pct_decode(want);   // addresses in HTML may be %-encoded
        for (std::size_t i = 0; i < tree.parts.size(); i++) {
            const MimePart& q = tree.parts[i];
            if (q.number <= 0 || (q.h.content_id != want && q.h.content_id != dec)) continue;
            used[i] = true;
            res.inline_parts.push_back(q.number);
            if (log_has("mime")) imsg("Src replace (%s) \n", want.c_str());
            const auto& l = part_link_info();
            return sfmt("%s?cmd=item&item=%s&utoken=%s&part=%d&fld=%d", l.script.c_str(), pct_encode(l.item).c_str(),
                        pct_encode(l.utoken).c_str(), q.number, l.fld);
        }
        if (log_has("mime")) imsg("can't find part (%s)\n", want.c_str());
        return {};
    }

    std::string sanitized(std::string_view html) {
        bool exec = opt.v_exec;
        if (exec && ini_true(K_allow_script) && ini_true(K_allow_java) && ini_true(K_allow_form))
            return std::string(html);   // the site and the user both asked for mail HTML untouched
        SanitizeOptions so;
        so.allow_script = exec && ini_true(K_allow_script);
        so.allow_java = exec && ini_true(K_allow_java);
        so.allow_form = ini_true(K_allow_form);
        so.remote_images = opt.remote_images;
        so.cid_url = [this](std::string_view id) { return cid_url(id); };
        SanitizeResult sr;
        std::string out = html_sanitize(html, so, &sr);
        if (sr.remote_blocked) res.remote_blocked = true;
        return out;
    }

    // ---- leaves ----

    void text_lines(std::string_view text, int idx) {
        int nth = 0;
        bool skipping = false;
        for_each_line(text, [&](std::string_view l) {
            if (skipping) {
                if (uu_is_end(l)) skipping = false;
                return true;
            }
            std::string name = idx >= 0 ? uu_begin_name(l) : std::string();
            if (!name.empty()) {
                const UuSection* sec = nullptr;
                for (const auto& u : uu)
                    if (u.part == idx && u.nth == nth) sec = &u;
                nth++;
                if (sec) {
                    uu_line(*sec);
                    skipping = true;
                    return true;
                }
            }
            line(enc(l));
            return true;
        });
    }

    void uu_line(const UuSection& u) {
        const auto& l = part_link_info();
        std::string safe = nice_fname(nopath(u.name));
        if (opt.quote || opt.wml) {
            line(enc(std::string(lang_get("Attachment: ")) + u.name));
            return;
        }
        std::string q = sfmt("%s?cmd=item&amp;item=%s&amp;part=%d&amp;fld=%d&amp;utoken=%s", l.script.c_str(),
                             pct_encode(l.item).c_str(), u.number, l.fld, pct_encode(l.utoken).c_str());
        if (uu_image_name(u.name)) {
            if (opt.v_inline) {
                line("<img src=\"" + q + "\" alt=\"" + html_escape(u.name) + "\">");
            } else {
                line("<a href=\"" + q + "&amp;/" + safe + "\"> " + lang_get("Click for UUencoded Image") + " " +
                     html_escape(u.name) + "</a>");
            }
        } else {
            line("<a href=\"" + q + "&amp;/" + safe + "\"> " + lang_get("Click for UUencoded Attachment") + " " +
                 html_escape(u.name) + "</a>");
        }
    }

    void plain_block(std::string_view text, int idx) {
        bool wrap = !opt.quote;
        if (wrap) emit(body_pre(false, opt));
        text_lines(text, idx);
        if (wrap) emit(body_post(false, opt));
    }

    void text_leaf(int idx, bool top) {
        const MimePart& p = tree.parts[static_cast<std::size_t>(idx)];
        std::string text = part_text(p);
        if (html_page && (opt.v_asis || opt.v_exec)) {
            // "As is": the text is taken for HTML, and sanitised like HTML.
            emit(body_pre(true, opt));
            emit(sanitized(text));
            emit("\n");
            emit(body_post(true, opt));
            return;
        }
        (void)top;
        plain_block(text, idx);
    }

    void html_leaf(int idx, bool top, bool in_alt) {
        const MimePart& p = tree.parts[static_cast<std::size_t>(idx)];
        std::string raw = part_decode(p);
        std::string cs = p.h.charset.empty() ? meta_charset(raw) : p.h.charset;
        std::string html = to_utf8(raw, cs);
        if (!html_page) {
            plain_block(html_to_text(html), -1);
            return;
        }
        bool wrapped = top || in_alt;
        emit(wrapped ? body_pre(true, opt) : std::string("<hr>"));
        emit(sanitized(html));
        emit("\n");
        if (wrapped) emit(body_post(true, opt));
    }

    void attach_leaf(int idx, bool top) {
        const MimePart& p = tree.parts[static_cast<std::size_t>(idx)];
        std::string name = part_display_name(tree, idx);
        if (top && name == "attachment") {
            if (!p.h.description.empty()) name = p.h.description;
            else if (opt.v_inline && starts_with(p.h.type, "image/"))
                name = p.h.type == "image/jpeg" ? "view.jpg" : "view.gif";
        }
        std::string safe = nice_fname(nopath(name));
        bool image = is_inline_image_type(p.h.type);
        int n = number_of(idx);
        if (opt.quote) {
            if (opt.v_inline || top) line(enc(std::string(lang_get("Attachment: ")) + name));
            return;
        }
        if (opt.wml) {
            if (top && opt.v_inline && image) line(enc(std::string(lang_get("Attached image ")) + name));
            return;
        }
        // Parts of a multipart are listed apart from the body unless the
        // user wants them inline; a message that is one attachment always
        // shows its link.
        if (!top && !opt.v_inline) return;
        std::string url = part_url(n, safe, true);
        if (opt.v_inline && image) {
            emit("<img src=\"" + url + "\" alt=\"" + html_escape(name) + "\"><br>\n");
            res.inline_parts.push_back(n);
        } else if (opt.v_inline && starts_with(p.h.type, "audio/")) {
            emit("<audio controls src=\"" + url + "\"></audio>" + html_escape(name) + "<br>\n");
            res.inline_parts.push_back(n);
        } else {
            emit("<a href=\"" + url + "&amp;/" + safe + "\">" + html_escape(name) + "</a><br>\n");
        }
    }

    void message_headers(int idx) {
        const MimePart& inner = tree.parts[static_cast<std::size_t>(idx)];
        static const char* const names[][2] = {
            {"from", "From: "}, {"to", "To: "}, {"cc", "Cc: "}, {"date", "Date: "}, {"subject", "Subject: "}};
        std::string block;
        bool wrap = !opt.quote;
        if (wrap) {
            if (html_page) emit("<hr>");
            emit(body_pre(false, opt));
        }
        for (const auto& n : names) {
            std::string v = mime_header_value(inner.head, n[0], 2000);
            if (v.empty()) continue;
            line(enc(std::string(n[1]) + rfc1522s(v)));
        }
        if (wrap) emit(body_post(false, opt));
    }

    // ---- structure ----

    int choose_alternative(const MimePart& p) const {
        int pick = -1;
        if (html_page) {
            for (int c : p.children) {
                const std::string& t = tree.parts[static_cast<std::size_t>(c)].h.type;
                if (t == "text/html" || starts_with(t, "multipart/")) pick = c;
            }
            if (pick < 0)
                for (int c : p.children)
                    if (tree.parts[static_cast<std::size_t>(c)].h.type == "text/plain") pick = c;
        } else {
            for (int c : p.children)
                if (pick < 0 && tree.parts[static_cast<std::size_t>(c)].h.type == "text/plain") pick = c;
            if (pick < 0)
                for (int c : p.children)
                    if (pick < 0 && starts_with(tree.parts[static_cast<std::size_t>(c)].h.type, "multipart/")) pick = c;
        }
        if (pick < 0 && !p.children.empty()) pick = p.children.back();
        return pick;
    }

    void entity(int idx, bool top, bool in_alt, int depth) {
        const MimePart& p = tree.parts[static_cast<std::size_t>(idx)];
        if (used[static_cast<std::size_t>(idx)] || depth > kMaxMimeDepth + 2) return;
        if (log_has("mime")) imsg("End of MIME header, part %d, ishtml %d alt=%d gwml=%d", p.number,
                                  p.h.type == "text/html", in_alt, opt.wml);
        if (starts_with(p.h.type, "multipart/") && !p.children.empty()) {
            if (p.h.type == "multipart/alternative") {
                int c = choose_alternative(p);
                if (c >= 0) entity(c, false, true, depth + 1);
                return;
            }
            if (p.h.type == "multipart/related") {
                int root = p.children.front();
                for (int c : p.children)
                    if (!p.h.start.empty() && tree.parts[static_cast<std::size_t>(c)].h.content_id == p.h.start) root = c;
                entity(root, false, in_alt, depth + 1);
                for (int c : p.children)
                    if (c != root) entity(c, false, false, depth + 1);
                return;
            }
            for (int c : p.children) entity(c, false, false, depth + 1);
            return;
        }
        if (starts_with(p.h.type, "message/") && p.children.size() == 1 && p.number != -1) {
            int inner = p.children.front();
            message_headers(inner);
            entity(inner, false, false, depth + 1);
            return;
        }
        switch (kind_of(p)) {
            case Kind::Text: text_leaf(idx, top); break;
            case Kind::Html: html_leaf(idx, top, in_alt); break;
            case Kind::Attach: attach_leaf(idx, top); break;
        }
    }
};

// Phone decks: the part of the rendered body from roffset that fits.
void cut_deck(Ctx& c) {
    const BodyOptions& o = c.opt;
    std::string& b = c.buf;
    std::size_t start = o.roffset > 0 ? static_cast<std::size_t>(o.roffset) : 0;
    if (start > b.size()) start = b.size();
    if (start > 0 && start < b.size()) {
        // A deck ends at a safe place, so this is one; but the offset comes
        // from the request: never start inside a tag, an entity or a character.
        std::size_t lt = b.rfind('<', start);
        if (lt != std::string::npos && b.find('>', lt) >= start) start = lt;
        std::size_t amp = b.rfind('&', start);
        if (amp != std::string::npos && start - amp < 10 && b.find(';', amp) >= start) start = amp;
        while (start > 0 && (static_cast<unsigned char>(b[start]) & 0xC0) == 0x80) start--;
    }
    long room = o.body_limit - o.sent_before - 3;
    if (room <= 0) {
        if (log_has("body_limit")) imsg("+item page too big or body_limit too small no room for body");
        c.res.roffset = static_cast<long>(start) + 1;
        b.clear();
        return;
    }
    if (b.size() - start <= static_cast<std::size_t>(room)) {
        b.erase(0, start);
        c.res.roffset = 0;
        return;
    }
    std::size_t cut = start + static_cast<std::size_t>(room);
    std::size_t lt = b.rfind('<', cut - 1);
    if (lt != std::string::npos && lt >= start && b.find('>', lt) >= cut) cut = lt;
    std::size_t amp = b.rfind('&', cut - 1);
    if (amp != std::string::npos && amp >= start && cut - amp <= 10 && b.find(';', amp) >= cut) cut = amp;
    while (cut > start && (static_cast<unsigned char>(b[cut]) & 0xC0) == 0x80) cut--;
    // End after a word when one ends close by, so the next deck starts with a word.
    for (std::size_t k = cut, lim = cut > start + 15 ? cut - 15 : start; k > lim; k--)
        if (b[k - 1] == ' ' || b[k - 1] == '\n') {
            cut = k;
            break;
        }
    if (cut <= start) cut = start + 1 <= b.size() ? start + 1 : b.size();
    if (log_has("body_limit"))
        imsg("+body_limit=%ld roffset=%ld sent=%ld gsent=%ld", o.body_limit, o.roffset,
             static_cast<long>(cut - start), o.sent_before);
    std::string piece = b.substr(start, cut - start) + "...";
    b = std::move(piece);
    c.res.roffset = static_cast<long>(cut);
}

}  // namespace

// ---- public helpers -----------------------------------------------------

BodyOptions body_options_for_page(bool quote, std::string_view line_end) {
    BodyOptions o;
    o.wml = g.gwml != 0;
    o.quote = quote;
    o.line_end = std::string(line_end);
    o.v_font = prof.xv_font != 0;
    o.v_inline = prof.xv_inline != 0;
    o.v_asis = prof.xv_asis != 0;
    o.v_headers = prof.xv_headers != 0;
    return o;
}

void part_link_from_request(std::string_view item, int fld) {
    PartLinkInfo li;
    li.script = g.path_script;
    li.item = std::string(item);
    li.fld = fld;
    li.utoken = g.utoken;
    li.wml = g.gwml != 0;
    part_set_link_info(li);
}

std::string body_pre(bool html, const BodyOptions& opt) {
    if (wm_ini_get(K_read_wrap) == "1") return "<p>";
    if (!html && !opt.v_font) {
        if (opt.wml || ini_isset(K_item_pre1)) return wm_ini_get(K_item_pre1);
        return "<pre>";
    }
    return wm_ini_get(K_item_pre2);
}

std::string body_post(bool html, const BodyOptions& opt) {
    if (wm_ini_get(K_read_wrap) == "1") return "</p>";
    if (!html && !opt.v_font) {
        if (opt.wml || ini_isset(K_item_post1)) return wm_ini_get(K_item_post1);
        return "</pre>";
    }
    return wm_ini_get(K_item_post2);
}

namespace {

// Pieces of a line no wider than w characters, broken at the last blank
// before the limit (the blank is dropped), or at the limit when a piece
// has none.
std::vector<std::string_view> wrap_pieces(std::string_view line, int w) {
    std::vector<std::string_view> out;
    std::size_t start = 0, blank = std::string_view::npos;
    int count = 0;
    for (std::size_t i = 0; i < line.size(); i++) {
        auto uc = static_cast<unsigned char>(line[i]);
        if ((uc & 0xC0) == 0x80) continue;
        if (count == w) {
            if (blank != std::string_view::npos && blank > start) {
                out.push_back(line.substr(start, blank - start));
                start = blank + 1;
            } else {
                out.push_back(line.substr(start, i - start));
                start = i;
            }
            blank = std::string_view::npos;
            count = 0;
            for (std::size_t k = start; k < i; k++)
                if ((static_cast<unsigned char>(line[k]) & 0xC0) != 0x80) count++;
        }
        if (line[i] == ' ' || line[i] == '\t') blank = i;
        count++;
    }
    out.push_back(line.substr(start));
    return out;
}

}  // namespace

std::string body_text_encode(std::string_view line, const BodyOptions& opt) {
    std::string out;
    int w = std::atoi(wm_ini_get(K_read_wrap).c_str());
    if (w == 0) w = 85;   // the display width when none is set
    bool wrap = !opt.quote && !opt.v_font && w > 1;
    std::vector<std::string_view> pieces;
    if (wrap) pieces = wrap_pieces(line, w);
    else pieces.push_back(line);
    for (std::size_t k = 0; k < pieces.size(); k++) {
        if (k) out += '\n';
        for (char c : pieces[k]) {
            auto uc = static_cast<unsigned char>(c);
            if (uc < 32 && c != '\t') continue;   // controls carry nothing on a page
            if (opt.wml && c == '\'') out += "&apos;";
            else if (opt.wml && c == '$') out += "&#36;&#36;";   // a bare "$" starts a deck variable
            else if (const char* e = html_entity(uc, opt.wml ? kEscQuote : kEscHtml)) out += e;
            else out += c;
        }
    }
    if (opt.v_font && !opt.quote) out += opt.wml ? "<br/>" : "<br>";
    return out;
}

std::string uu_begin_name(std::string_view line) {
    if (!starts_with(line, "begin ")) return {};
    std::size_t i = 6;
    std::size_t d = i;
    while (d < line.size() && line[d] >= '0' && line[d] <= '7') d++;
    if (d == i || d - i > 4 || d >= line.size() || line[d] != ' ') return {};
    int mode = std::atoi(std::string(line.substr(i, d - i)).c_str());
    if (mode <= 99) return {};
    std::string_view name = line.substr(d + 1);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    if (name.empty()) return {};
    return std::string(name.substr(0, 511));
}

bool uu_is_end(std::string_view line) { return starts_with(line, "end") || contains(line, "-----END PGP"); }

std::string part_decode(const MimePart& p) {
    std::string out;
    const std::string& e = p.h.encoding;
    if (e == "base64") {
        Base64Stream b;
        out.reserve(p.body.size() * 3 / 4);
        b.feed(p.body, out);
        b.finish(out);
    } else if (e == "quoted-printable") {
        out.reserve(p.body.size());
        bool ended_nl = !p.body.empty() && p.body.back() == '\n';
        bool last_hard = false;
        for_each_line(p.body, [&](std::string_view l) {
            last_hard = decode_quote_to(l, out);
            if (last_hard) out += '\n';
            return true;
        });
        if (last_hard && !ended_nl && !out.empty()) out.pop_back();
    } else {
        out.assign(p.body);
    }
    return out;
}

std::string part_text(const MimePart& p) { return to_utf8(part_decode(p), p.h.charset); }

std::vector<UuSection> uu_scan(const MimeTree& tree) {
    std::vector<UuSection> out;
    for (std::size_t i = 0; i < tree.parts.size(); i++) {
        const MimePart& p = tree.parts[i];
        if (!p.children.empty() || kind_of(p) != Kind::Text) continue;
        if (p.h.encoding != "base64" && !contains(p.body, "begin ")) continue;
        std::string text = part_decode(p);
        int nth = 0;
        bool skipping = false;
        for_each_line(text, [&](std::string_view l) {
            if (skipping) {
                if (uu_is_end(l)) skipping = false;
                return true;
            }
            std::string name = uu_begin_name(l);
            if (name.empty()) return true;
            UuSection u;
            u.number = 100 + static_cast<int>(out.size());
            u.part = static_cast<int>(i);
            u.nth = nth++;
            u.name = name;
            out.push_back(u);
            skipping = true;
            return true;
        });
    }
    return out;
}

BodyResult tpl_show_item(std::string_view msg, const BodyOptions& opt, const BodySink& out) {
    BodyResult res;
    Ctx c(opt, res, out);
    mime_parse(msg, c.tree);
    c.used.assign(c.tree.parts.size(), false);
    c.uu = uu_scan(c.tree);
    c.html_page = !opt.wml && !opt.quote;
    c.collect = opt.wml && opt.body_limit > 0 && !opt.quote;
    if (opt.quote) {
        // The table's default (">") holds when the site sets nothing.
        const std::string prefix = ini_isset(K_reply_prefix) ? wm_ini_get(K_reply_prefix) : ini_default(K_reply_prefix);
        c.prefix = opt.dont_quote ? std::string() : html_escape(prefix);
        c.eol = opt.line_end;
    } else {
        c.eol = opt.wml ? "<br/>\n" : opt.line_end;
    }
    if (log_has("mime"))
        imsg("tpl_show_item - content={%s} quote_body=%d", c.tree.parts[0].h.type.c_str(), opt.quote ? 1 : 0);
    if (opt.v_headers && c.html_page) {
        c.emit(body_pre(false, opt));
        for_each_line(c.tree.parts[0].head, [&](std::string_view l) {
            c.emit(c.enc(rfc1522s(l)));
            c.emit("\n");
            return true;
        });
        c.emit(body_post(false, opt));
    }
    c.entity(0, true, false, 0);
    if (c.collect) cut_deck(c);
    c.flush();
    return res;
}

std::string render_body(std::string_view msg, const BodyOptions& opt, BodyResult* res) {
    std::string out;
    BodyResult r = tpl_show_item(msg, opt, [&](std::string_view s) { out += s; });
    if (res) *res = r;
    return out;
}
