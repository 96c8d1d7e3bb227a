// HTML from mail, made safe to show inside our own pages.  The text is
// parsed as a browser would parse it (gumbo, an HTML5 parser) and written
// out again from the tree, keeping only elements and attributes known to be
// harmless: nothing that runs script, loads a plug-in, submits a form,
// changes the page's base or refreshes it survives, addresses are checked
// by scheme, styles are filtered, remote images are held back unless the
// user asks for them.
#pragma once
#include <functional>
#include <string>
#include <string_view>

struct SanitizeOptions {
    // The site's switches (allow_script, allow_java, allow_form); the
    // message page grants the first two only when the user also asked for
    // unneutralised HTML.
    bool allow_script = false;
    bool allow_java = false;
    bool allow_form = false;
    // Load images from other sites (otherwise they are replaced by a
    // placeholder with their alternative text).
    bool remote_images = false;
    // Maps a "cid:" address (without "cid:") to the URL of that part, or
    // "" when the message has no such part.
    std::function<std::string(std::string_view cid)> cid_url;
};

struct SanitizeResult {
    bool remote_blocked = false;   // at least one remote image was held back
    int removed = 0;               // elements and attributes taken out
    bool too_complex = false;      // nested too deep to parse: shown as text
};

// The sanitised form of a UTF-8 HTML text (a whole document or a
// fragment): only what belongs in the document's body is kept.
std::string html_sanitize(std::string_view html, const SanitizeOptions& opt, SanitizeResult* res = nullptr);

// The readable text of an HTML text, with line breaks where blocks end
// (for phones and for quoting a reply).
std::string html_to_text(std::string_view html);

// The scheme of an address as a browser sees it ("javascript" for
// " java\tscript:..."), lower case; "" for a relative address.
std::string url_scheme(std::string_view url);
