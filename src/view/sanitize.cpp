#include "view/sanitize.h"

#include <gumbo.h>

#include <cstring>
#include <vector>

#include "support/escape.h"
#include "support/str.h"

namespace {

enum class Rule { Keep, Unwrap, Drop };

bool in_list(std::string_view name, const char* const* list) {
    for (const char* const* p = list; *p; p++)
        if (name == *p) return true;
    return false;
}

const char* const kKeep[] = {
    "a", "abbr", "acronym", "address", "article", "aside", "b", "bdi", "bdo", "big", "blockquote", "br",
    "caption", "center", "cite", "code", "col", "colgroup", "dd", "del", "details", "dfn", "div", "dl", "dt",
    "em", "figcaption", "figure", "font", "footer", "h1", "h2", "h3", "h4", "h5", "h6", "header", "hr", "i",
    "img", "ins", "kbd", "li", "main", "mark", "nav", "ol", "p", "pre", "q", "rp", "rt", "ruby", "s", "samp",
    "section", "small", "span", "strike", "strong", "sub", "summary", "sup", "table", "tbody", "td", "tfoot",
    "th", "thead", "time", "tr", "tt", "u", "ul", "var", "wbr", nullptr};

// Elements whose content is code, a plug-in, another document or the
// document's head: gone with everything inside.
const char* const kDrop[] = {
    "script", "style", "noscript", "iframe", "frame", "frameset", "noframes", "object", "embed", "applet",
    "param", "template", "head", "title", "meta", "link", "base", "basefont", "bgsound", "audio", "video",
    "source", "track", "canvas", "area", "portal", "image", "isindex", "keygen", "dialog", "slot", nullptr};

const char* const kForm[] = {"form", "input", "select", "option", "optgroup", "textarea", "button", "label",
                             "fieldset", "legend", "datalist", "output", nullptr};
const char* const kJava[] = {"applet", "object", "embed", "param", nullptr};

const char* const kVoid[] = {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta",
                             "param", "source", "track", "wbr", "keygen", nullptr};

const char* const kAttrs[] = {
    "title", "lang", "dir", "align", "valign", "width", "height", "bgcolor", "color", "border",
    "cellpadding", "cellspacing", "colspan", "rowspan", "nowrap", "alt", "face", "size", "start",
    "type", "summary", "abbr", "scope", "span", "hspace", "vspace", "clear", "char", "charoff",
    "frame", "rules", "datetime", "reversed", "open", "noshade", nullptr};
const char* const kFormAttrs[] = {"name", "value", "checked", "selected", "disabled", "readonly", "maxlength",
                                  "rows", "cols", "multiple", "method", "for", "placeholder", nullptr};

const char* const kStyleProps[] = {
    "color", "background-color", "background", "font", "font-family", "font-size", "font-weight",
    "font-style", "font-variant", "text-align", "text-decoration", "text-indent", "text-transform",
    "line-height", "letter-spacing", "word-spacing", "vertical-align", "white-space", "margin",
    "margin-top", "margin-bottom", "margin-left", "margin-right", "padding", "padding-top",
    "padding-bottom", "padding-left", "padding-right", "border", "border-top", "border-bottom",
    "border-left", "border-right", "border-color", "border-style", "border-width", "border-collapse",
    "border-spacing", "border-radius", "width", "height", "max-width", "min-width", "max-height",
    "min-height", "list-style-type", "direction", "table-layout", "word-wrap", "overflow-wrap", nullptr};

std::string tag_name(const GumboElement& el) {
    if (el.tag != GUMBO_TAG_UNKNOWN) return gumbo_normalized_tagname(el.tag);
    GumboStringPiece p = el.original_tag;
    gumbo_tag_from_original_text(&p);
    return lower(std::string_view(p.data ? p.data : "", p.data ? p.length : 0));
}

// A style value we can let through: no addresses, no expressions, no
// escapes or comments that could hide either; brackets only for colours.
bool safe_style_value(std::string_view v) {
    std::string l = lower(v);
    if (l.empty() || l.size() > 200) return false;
    for (const char* bad : {"url", "expression", "javascript", "vbscript", "behavior", "binding", "import",
                            "\\", "/*", "*/", "@", "<", ">", "&", "{", "}", ";"})
        if (contains(l, bad)) return false;
    for (std::size_t i = 0; i < l.size(); i++) {
        unsigned char c = static_cast<unsigned char>(l[i]);
        if (c < 32 || c == 127) return false;
        if (c == '(') {
            std::size_t b = i;
            while (b > 0 && l[b - 1] >= 'a' && l[b - 1] <= 'z') b--;
            std::string_view fn = std::string_view(l).substr(b, i - b);
            if (fn != "rgb" && fn != "rgba" && fn != "hsl" && fn != "hsla") return false;
        }
    }
    return true;
}

std::string filter_style(std::string_view style) {
    std::string out;
    std::size_t i = 0;
    while (i <= style.size()) {
        std::size_t e = style.find(';', i);
        if (e == std::string_view::npos) e = style.size();
        std::string_view decl = style.substr(i, e - i);
        i = e + 1;
        std::size_t c = decl.find(':');
        if (c == std::string_view::npos) continue;
        std::string prop = lower(decl.substr(0, c));
        prop.erase(0, prop.find_first_not_of(" \t\r\n"));
        prop.erase(prop.find_last_not_of(" \t\r\n") + 1);
        std::string_view val = decl.substr(c + 1);
        while (!val.empty() && (val.front() == ' ' || val.front() == '\t' || val.front() == '\n')) val.remove_prefix(1);
        while (!val.empty() && (val.back() == ' ' || val.back() == '\t' || val.back() == '\n')) val.remove_suffix(1);
        if (!in_list(prop, kStyleProps) || !safe_style_value(val)) continue;
        // A negative margin or indent moves mail text out of its own box,
        // over the program's header and buttons.
        if ((starts_with(prop, "margin") || prop == "text-indent") && val.find('-') != std::string_view::npos)
            continue;
        if (!out.empty()) out += "; ";
        out += prop;
        out += ": ";
        out += val;
    }
    return out;
}

struct Writer {
    const SanitizeOptions& opt;
    SanitizeResult& res;
    std::string out;

    Writer(const SanitizeOptions& o, SanitizeResult& r) : opt(o), res(r) {}

    Rule rule(const GumboNode* n, const std::string& name) const {
        const GumboElement& el = n->v.element;
        if (el.tag_namespace != GUMBO_NAMESPACE_HTML) return Rule::Drop;   // SVG, MathML
        if (name == "html" || name == "body") return Rule::Unwrap;
        if (opt.allow_script && name == "script") return Rule::Keep;
        if (opt.allow_java && in_list(name, kJava)) return Rule::Keep;
        if (in_list(name, kForm)) {
            if (opt.allow_form) return Rule::Keep;
            return name == "form" || name == "label" || name == "fieldset" || name == "legend" ? Rule::Unwrap
                                                                                              : Rule::Drop;
        }
        if (in_list(name, kDrop)) return Rule::Drop;
        if (in_list(name, kKeep)) return Rule::Keep;
        return Rule::Unwrap;
    }

    // The address to write for attribute attr of element name, or "" to
    // leave the attribute out.
    std::string check_url(const std::string& name, const std::string& attr, std::string_view value,
                          bool& blocked_image) {
        std::string scheme = url_scheme(value);
        if (opt.allow_script && scheme == "javascript") return std::string(value);
        if (scheme == "cid") {
            std::string_view id = value;
            while (!id.empty() && static_cast<unsigned char>(id.front()) <= 32) id.remove_prefix(1);
            id.remove_prefix(4);
            return opt.cid_url ? opt.cid_url(id) : std::string();
        }
        if (name == "img" && attr == "src") {
            if (scheme == "http" || scheme == "https") {
                if (opt.remote_images) return std::string(value);
                blocked_image = true;
            }
            return {};
        }
        if (scheme == "http" || scheme == "https" || (scheme == "mailto" && attr == "href"))
            return std::string(value);
        return {};
    }

    void start_tag(const GumboNode* n, const std::string& name) {
        const GumboElement& el = n->v.element;
        const bool trusted = (opt.allow_script && name == "script") || (opt.allow_java && in_list(name, kJava));
        std::string attrs;
        bool blocked_image = false;
        bool has_src = false;
        std::string alt;
        for (unsigned i = 0; i < el.attributes.length; i++) {
            const auto* a = static_cast<const GumboAttribute*>(el.attributes.data[i]);
            std::string an = lower(a->name);
            std::string_view av = a->value;
            if (an == "alt") alt = std::string(av);
            std::string keep;
            bool ok = false;
            if (trusted) {
                ok = true;
                keep = std::string(av);
            } else if (starts_with(an, "on")) {
                ok = opt.allow_script && an.find_first_not_of("abcdefghijklmnopqrstuvwxyz") == std::string::npos;
                keep = std::string(av);
            } else if ((an == "href" && (name == "a")) || (an == "src" && name == "img") ||
                       (an == "action" && name == "form" && opt.allow_form)) {
                keep = check_url(name, an, av, blocked_image);
                if (an == "action" && url_scheme(keep) != "http" && url_scheme(keep) != "https") keep.clear();
                ok = !keep.empty();
                if (an == "src") has_src = ok;
            } else if (an == "style") {
                keep = filter_style(av);
                ok = !keep.empty();
            } else if (in_list(an, kAttrs) || (opt.allow_form && in_list(an, kFormAttrs))) {
                keep = std::string(av);
                ok = true;
                if (an == "type" && name == "input" && lower(av) == "file") ok = false;
            }
            if (!ok) {
                res.removed++;
                continue;
            }
            attrs += ' ';
            attrs += an;
            attrs += "=\"";
            html_escape_to(attrs, keep, kEscAttr);
            attrs += '"';
        }
        if (name == "img" && !has_src) {
            // No image we may show: its alternative text stands in, marked
            // so the page can offer to load remote ones.
            if (blocked_image) {
                res.remote_blocked = true;
                out += "<span class=\"blocked-image\" title=\"image not loaded\">[";
                html_escape_to(out, alt.empty() ? std::string_view("image") : std::string_view(alt), kEscText);
                out += "]</span>";
            } else if (!alt.empty()) {
                out += '[';
                html_escape_to(out, alt, kEscText);
                out += ']';
            }
            return;
        }
        if (name == "img" && opt.remote_images) attrs += " referrerpolicy=\"no-referrer\"";
        if (name == "a" && contains(attrs, " href=\"")) attrs += " target=\"_blank\" rel=\"noopener noreferrer\"";
        out += '<';
        out += name;
        out += attrs;
        out += '>';
    }

    void write(const GumboNode* root) {
        struct Frame {
            const GumboNode* node;
            unsigned next;
            bool close;
            bool started;
            std::string name;
        };
        std::vector<Frame> stack;
        stack.push_back({root, 0, false, false, {}});
        while (!stack.empty()) {
            Frame& f = stack.back();
            const GumboNode* n = f.node;
            if (n->type == GUMBO_NODE_TEXT || n->type == GUMBO_NODE_WHITESPACE || n->type == GUMBO_NODE_CDATA) {
                const GumboNode* parent = n->parent;
                bool raw = parent && parent->type == GUMBO_NODE_ELEMENT &&
                           parent->v.element.tag == GUMBO_TAG_SCRIPT && opt.allow_script;
                if (raw) out += n->v.text.text;
                else html_escape_to(out, n->v.text.text, kEscText);
                stack.pop_back();
                continue;
            }
            if (n->type == GUMBO_NODE_COMMENT) {
                stack.pop_back();
                continue;
            }
            const GumboVector* kids;
            if (n->type == GUMBO_NODE_DOCUMENT) {
                kids = &n->v.document.children;
            } else {
                kids = &n->v.element.children;
                if (!f.started) {
                    f.started = true;
                    f.name = tag_name(n->v.element);
                    Rule r = rule(n, f.name);
                    if (r == Rule::Drop) {
                        res.removed++;
                        stack.pop_back();
                        continue;
                    }
                    if (r == Rule::Keep) {
                        start_tag(n, f.name);
                        f.close = !in_list(f.name, kVoid) && !(f.name == "img");
                        // The parser drops one newline after these start
                        // tags; keep a leading one of the text.
                        if (f.close && (f.name == "pre" || f.name == "textarea") && kids->length > 0) {
                            const auto* k0 = static_cast<const GumboNode*>(kids->data[0]);
                            if ((k0->type == GUMBO_NODE_TEXT || k0->type == GUMBO_NODE_WHITESPACE) &&
                                k0->v.text.text[0] == '\n')
                                out += '\n';
                        }
                    }
                }
            }
            if (f.next < kids->length) {
                const auto* child = static_cast<const GumboNode*>(kids->data[f.next]);
                f.next++;
                stack.push_back({child, 0, false, false, {}});
                continue;
            }
            if (f.close) {
                out += "</";
                out += f.name;
                out += '>';
            }
            stack.pop_back();
        }
    }
};

bool is_block(GumboTag t) {
    switch (t) {
        case GUMBO_TAG_P: case GUMBO_TAG_DIV: case GUMBO_TAG_TR: case GUMBO_TAG_LI: case GUMBO_TAG_H1:
        case GUMBO_TAG_H2: case GUMBO_TAG_H3: case GUMBO_TAG_H4: case GUMBO_TAG_H5: case GUMBO_TAG_H6:
        case GUMBO_TAG_TABLE: case GUMBO_TAG_BLOCKQUOTE: case GUMBO_TAG_PRE: case GUMBO_TAG_UL:
        case GUMBO_TAG_OL: case GUMBO_TAG_DL: case GUMBO_TAG_DT: case GUMBO_TAG_DD: case GUMBO_TAG_HR:
        case GUMBO_TAG_ADDRESS: case GUMBO_TAG_SECTION: case GUMBO_TAG_ARTICLE: case GUMBO_TAG_HEADER:
        case GUMBO_TAG_FOOTER: case GUMBO_TAG_CENTER:
            return true;
        default:
            return false;
    }
}

bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

const char* const kFormatting[] = {"a", "b", "big", "code", "em", "font", "i", "nobr", "s", "small",
                                   "strike", "strong", "tt", "u", nullptr};
const char* const kScope[] = {"table", "td", "th", "caption", "html", "template", "applet", "object",
                              "marquee", nullptr};
const char* const kRawText[] = {"script", "style", "textarea", "title", "xmp", "iframe", "noembed",
                                "noframes", "noscript", "plaintext", nullptr};

// The HTML parser checks its stack of open elements for most tags, so its
// time grows with the square of the nesting depth, and formatting elements
// left open are re-created in every following block.  Real mail is shallow;
// a text built to be deep would hold the request for minutes.  This walks
// the tags the way the parser nests them (closing only within scope,
// counting open formatting elements as extra depth) and adds up the work.
bool affordable(std::string_view h, long budget) {
    std::vector<std::string> stack;
    long open_fmt = 0;
    long work = 0;
    std::size_t i = 0;
    while ((i = h.find('<', i)) != std::string_view::npos) {
        i++;
        if (i >= h.size()) break;
        bool end = h[i] == '/';
        if (h[i] == '!') {
            std::size_t e = h.substr(i, 3) == "!--" ? h.find("-->", i) : h.find('>', i);
            if (e == std::string_view::npos) break;
            i = e + 1;
            continue;
        }
        std::size_t n = end ? i + 1 : i;
        if (n >= h.size() || !((h[n] >= 'a' && h[n] <= 'z') || (h[n] >= 'A' && h[n] <= 'Z'))) continue;
        std::size_t ne = n;
        while (ne < h.size() && is_name_char(h[ne]) && ne - n < 20) ne++;
        std::string name = lower(h.substr(n, ne - n));
        std::size_t gt = h.find('>', ne);
        if (gt == std::string_view::npos) break;
        i = gt + 1;
        long depth = static_cast<long>(stack.size());
        if (end) {
            for (std::size_t k = stack.size(); k-- > 0;) {
                if (stack[k] == name) {
                    stack.resize(k);
                    if (in_list(name, kFormatting) && open_fmt > 0) open_fmt--;
                    break;
                }
                if (in_list(stack[k], kScope)) break;
            }
            work += depth;
        } else if (in_list(name, kVoid)) {
            work += depth + open_fmt;
        } else {
            if (in_list(name, kFormatting)) open_fmt++;
            stack.push_back(name);
            work += depth + open_fmt;
            if (in_list(name, kRawText)) {
                // Its content is text up to its own end tag.
                std::string close = "</" + name;
                std::size_t e = i;
                while ((e = h.find("</", e)) != std::string_view::npos && lower(h.substr(e, close.size())) != close) e += 2;
                if (e == std::string_view::npos) break;
                i = e;
            }
        }
        if (work > budget) return false;
    }
    return true;
}

constexpr long kParseBudget = 20000000;   // about a quarter of a second of parsing

// Text of an HTML text without the parser: tags dropped, the common
// entities decoded.  For texts too costly to parse.
std::string strip_tags(std::string_view h) {
    std::string out;
    std::size_t i = 0;
    while (i < h.size()) {
        char c = h[i];
        if (c == '<') {
            std::size_t e = h.find('>', i);
            if (e == std::string_view::npos) break;
            i = e + 1;
            continue;
        }
        if (c == '&') {
            static const std::pair<const char*, const char*> ents[] = {
                {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&nbsp;", " "}, {"&#39;", "'"}};
            bool done = false;
            for (const auto& en : ents) {
                std::size_t l = std::strlen(en.first);
                if (h.substr(i, l) == en.first) {
                    out += en.second;
                    i += l;
                    done = true;
                    break;
                }
            }
            if (done) continue;
        }
        out += c;
        i++;
    }
    return out;
}

GumboOutput* parse(std::string_view html) {
    GumboOptions o = kGumboDefaultOptions;
    o.max_errors = 0;   // we never look at the parse errors
    return gumbo_parse_with_options(&o, html.data(), html.size());
}

}  // namespace

std::string url_scheme(std::string_view url) {
    // Browsers ignore leading blanks and controls and any tab or line break
    // inside an address.
    std::string s;
    std::size_t i = 0;
    while (i < url.size() && static_cast<unsigned char>(url[i]) <= 32) i++;
    for (; i < url.size() && s.size() < 40; i++) {
        char c = url[i];
        if (c == '\t' || c == '\n' || c == '\r') continue;
        if (c == ':') return lower(s);
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (!s.empty() && ((c >= '0' && c <= '9') ||
                                                                                        c == '+' || c == '-' || c == '.'));
        if (!ok) return {};
        s += c;
    }
    return {};
}

std::string html_sanitize(std::string_view html, const SanitizeOptions& opt, SanitizeResult* res) {
    SanitizeResult local;
    SanitizeResult& r = res ? *res : local;
    if (!affordable(html, kParseBudget)) {
        r.too_complex = true;
        std::string out = "<pre>";
        html_escape_to(out, strip_tags(html), kEscText);
        out += "</pre>";
        return out;
    }
    GumboOutput* g = parse(html);
    if (!g) return {};
    Writer w(opt, r);
    w.out.reserve(html.size());
    w.write(g->document);
    gumbo_destroy_output(&kGumboDefaultOptions, g);
    return std::move(w.out);
}

std::string html_to_text(std::string_view html) {
    if (!affordable(html, kParseBudget)) return strip_tags(html);
    GumboOutput* g = parse(html);
    if (!g) return {};
    std::string out;
    struct Frame {
        const GumboNode* node;
        unsigned next;
    };
    std::vector<Frame> stack{{g->document, 0}};
    int in_pre = 0;
    auto newline = [&] {
        if (!out.empty() && out.back() != '\n') out += '\n';
    };
    while (!stack.empty()) {
        Frame& f = stack.back();
        const GumboNode* n = f.node;
        if (n->type == GUMBO_NODE_TEXT || n->type == GUMBO_NODE_WHITESPACE || n->type == GUMBO_NODE_CDATA) {
            std::string_view t = n->v.text.text;
            if (in_pre) {
                out += t;
            } else {
                for (char c : t) {
                    bool ws = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
                    if (ws) {
                        if (!out.empty() && out.back() != ' ' && out.back() != '\n') out += ' ';
                    } else {
                        out += c;
                    }
                }
            }
            stack.pop_back();
            continue;
        }
        if (n->type == GUMBO_NODE_COMMENT) {
            stack.pop_back();
            continue;
        }
        const GumboVector* kids = n->type == GUMBO_NODE_DOCUMENT ? &n->v.document.children : &n->v.element.children;
        if (n->type != GUMBO_NODE_DOCUMENT && f.next == 0) {
            GumboTag t = n->v.element.tag;
            if (t == GUMBO_TAG_HEAD || t == GUMBO_TAG_SCRIPT || t == GUMBO_TAG_STYLE || t == GUMBO_TAG_TEMPLATE ||
                t == GUMBO_TAG_NOSCRIPT || n->v.element.tag_namespace != GUMBO_NAMESPACE_HTML) {
                stack.pop_back();
                continue;
            }
            if (t == GUMBO_TAG_BR) out += '\n';
            if (is_block(t)) newline();
            if (t == GUMBO_TAG_PRE) in_pre++;
        }
        if (f.next < kids->length) {
            const auto* child = static_cast<const GumboNode*>(kids->data[f.next]);
            f.next++;
            stack.push_back({child, 0});
            continue;
        }
        if (n->type != GUMBO_NODE_DOCUMENT) {
            GumboTag t = n->v.element.tag;
            if (t == GUMBO_TAG_PRE) in_pre--;
            if (is_block(t)) newline();
        }
        stack.pop_back();
    }
    gumbo_destroy_output(&kGumboDefaultOptions, g);
    // Trailing blanks of each line carry nothing.
    std::string clean;
    clean.reserve(out.size());
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t e = out.find('\n', start);
        std::size_t end = e == std::string::npos ? out.size() : e;
        std::string_view line(out.data() + start, end - start);
        while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
        clean += line;
        if (e != std::string::npos) clean += '\n';
        start = end + 1;
    }
    while (!clean.empty() && clean.back() == '\n') clean.pop_back();
    return clean;
}
