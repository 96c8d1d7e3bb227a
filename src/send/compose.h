// Building one outgoing message into a file before any SMTP traffic: the
// header block, the text part, the HTML alternative, attachments streamed
// from their files in base64, and the MIME layout around them.  The whole
// message exists, complete, before the dialogue starts; a send never ends
// its data with a half-written message.
#pragma once
#include <string>
#include <vector>

struct OutAttach {
    std::string path;    // file holding the bytes
    std::string name;    // file name as the person knows it
    std::string type;    // content type ("" = application/octet-stream)
};

struct OutMessage {
    std::string from;         // complete From value (display name encoded already)
    std::string sender;       // "" = no Sender header
    std::string reply_to;     // Reply-To value
    std::string to, cc;       // address lists as typed (completed locally)
    std::string x_cc_sender;  // auto-cc address, "" = none
    std::string date;         // Date value
    std::string subject;      // as typed (UTF-8)
    std::string x_mailer;     // "" = none
    std::string priority;     // "" = none
    std::string message_id;
    std::string in_reply_to;  // "" = not a reply
    std::string references;   // "" = none
    std::string user_info;    // "" = none
    bool html_body = false;   // the text part is HTML (content_type says so)
    std::string text;         // the text part, ready (wrapped, signed, trailer added)
    bool has_html = false;    // an HTML alternative follows
    std::string html;         // its text
    bool no_qp = false;       // the site turned quoted-printable off
    std::vector<OutAttach> attach;
    // Parts carried over from a forwarded message, each complete with its
    // own header block and transfer-encoded body (CR LF line ends).
    std::vector<std::string> carried;
};

// A fresh temporary file, created exclusively with a unique name in the
// temp_area setting's directory or else the work area; "" when none could
// be made.
std::string temp_fname();

// Writes the message (CR LF line ends) to path; lines gets the number of
// lines written.  false with err set when a file cannot be read or written.
bool compose_write(const OutMessage& m, const std::string& path, long& lines, std::string& err);

// The multipart boundary: "-=_" + host name + time in hexadecimal + a
// per-process counter, which no base64 or quoted-printable line can hold.
std::string make_boundary();
