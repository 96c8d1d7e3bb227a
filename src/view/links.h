// Links to the parts of the message being shown: the download address of
// a part and the attachment list of the message page.  The MIME parser
// (view/mime.h) finds the parts; this is where they become HTML.
#pragma once
#include <string>
#include <string_view>

// The link values part_list and the body renderer put into URLs; set by
// the message page from the request.
struct PartLinkInfo {
    std::string script;      // script path
    std::string item;        // message number
    int fld = 0;
    std::string utoken;      // session token (not yet URL-encoded)
    bool wml = false;
};
void part_set_link_info(const PartLinkInfo& info);
const PartLinkInfo& part_link_info();

// The download link of part n: "<script>/<safe>?cmd=item&item=..&utoken=..&part=n&fld=.."
// with "&" written as "&amp;" (HTML attribute form).
std::string part_url(int part, std::string_view safe_name, bool with_name_element);

// The attachment links of the current message (HTML or WML), and
// part_names(): the safe names, each followed by a blank.
std::string part_list();
const std::string& part_names();

void links_reset();
