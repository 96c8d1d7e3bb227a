// The message body as the message page shows it and as a reply quotes it:
// text parts decoded and escaped, HTML parts sanitised, inline images and
// attachments linked to their part downloads, uuencoded files recognised,
// and on phones the body cut into decks that fit.  Pure: given the stored
// message and the view settings, it writes text through a callback.
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "view/links.h"
#include "view/mime.h"

struct BodyOptions {
    bool wml = false;
    bool quote = false;             // render for a reply
    std::string line_end = "\n";    // "<br>" for the HTML quote tag
    // The user's view settings.
    bool v_font = false, v_inline = false, v_asis = false, v_exec = false, v_headers = false;
    bool remote_images = false;     // the user asked to load images from other sites
    bool dont_quote = false;        // spelling check: the text as it is, no prefix
    // Phone decks: at most body_limit characters of page, sent_before of
    // them already written; the body resumes at roffset.
    long body_limit = 0;
    long roffset = 0;
    long sent_before = 0;
    // One plain-text line (UTF-8) to page text; the default escapes it and
    // wraps it at the read width.
    std::function<std::string(std::string_view)> text_encode;
};

struct BodyResult {
    bool remote_blocked = false;    // a remote image was held back
    long roffset = 0;               // where the next deck starts; 0 at the end
    std::vector<int> inline_parts;  // parts shown in the body (images by Content-ID ...)
};

using BodySink = std::function<void(std::string_view)>;

// Renders the body of msg.  Links use part_link_info().
BodyResult tpl_show_item(std::string_view msg, const BodyOptions& opt, const BodySink& out);
std::string render_body(std::string_view msg, const BodyOptions& opt, BodyResult* res = nullptr);

// The options of this request's page: browser kind from the request, view
// settings from the profile.  The caller adds what the form says (v_exec,
// remote_images, body_limit, roffset).
BodyOptions body_options_for_page(bool quote, std::string_view line_end);
// Sets part_link_info() for message item of folder fld from the request
// (script path, session token, browser kind).
void part_link_from_request(std::string_view item, int fld);

// Text block wrappers around a body part (the settings item_pre1/2,
// item_post1/2 and read_wrap).
std::string body_pre(bool html, const BodyOptions& opt);
std::string body_post(bool html, const BodyOptions& opt);

// The default line encoder: HTML (or WML) escaping and wrapping at the
// read width.
std::string body_text_encode(std::string_view line, const BodyOptions& opt);

// uuencoded files inside the text parts, numbered from 100 in order.
struct UuSection {
    int number = 0;
    int part = 0;          // index of the text part in the tree
    int nth = 0;           // its place among the sections of that part
    std::string name;
};
std::vector<UuSection> uu_scan(const MimeTree& tree);
// "begin <mode> <name>" with a mode above 99: the name, else "".
std::string uu_begin_name(std::string_view line);
bool uu_is_end(std::string_view line);

// Transfer decoding of a part body into bytes; text gets LF line ends.
std::string part_decode(const MimePart& p);
// The text of a part in UTF-8 (decoded and converted from its charset).
std::string part_text(const MimePart& p);
