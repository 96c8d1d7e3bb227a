// The outgoing message file.
#include "send/compose.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "cgi/config.h"
#include "net/sock.h"
#include "send/mailenc.h"
#include "support/str.h"
#include "user/paths.h"
#include "view/mimecodec.h"

namespace {

// Buffered writer that counts lines and remembers the first failure.
class Out {
public:
    explicit Out(FILE* f) : f_(f) {}
    void put(const std::string& s) {
        if (!ok_) return;
        if (std::fwrite(s.data(), 1, s.size(), f_) != s.size()) ok_ = false;
        for (char c : s)
            if (c == '\n') ++lines_;
    }
    bool ok() const { return ok_; }
    long lines() const { return lines_; }

private:
    FILE* f_;
    bool ok_ = true;
    long lines_ = 0;
};

std::string charset_of(const std::string& text) { return body_plain(text) ? "us-ascii" : "UTF-8"; }

// Header and body of one text part.
void text_part(Out& o, const std::string& text, bool html, bool no_qp, const std::string& boundary_guard) {
    std::string cte = text_cte(text, no_qp);
    // A plain body that happens to hold a boundary line goes encoded.
    if (cte == "7bit" && !boundary_guard.empty() && text.find(boundary_guard) != std::string::npos)
        cte = "quoted-printable";
    o.put(std::string("Content-Type: text/") + (html ? "html" : "plain") + "; charset=" + charset_of(text) + "\r\n");
    o.put("Content-Transfer-Encoding: " + cte + "\r\n\r\n");
    std::string enc = text_encode_cte(text, cte);
    if (enc.size() < 2 || enc.compare(enc.size() - 2, 2, "\r\n") != 0) enc += "\r\n";
    o.put(enc);
}

bool type_sane(const std::string& t) {
    std::size_t slash = t.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == t.size()) return false;
    for (char c : t)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$&^_.+-/", c))) return false;
    return t.find('/', slash + 1) == std::string::npos;
}

bool attachment_part(Out& o, const OutAttach& a, const std::string& boundary, std::string& err) {
    FILE* in = std::fopen(a.path.c_str(), "rb");
    if (!in) {
        err = sfmt("temp attach file problem %s %s", a.name.c_str(), std::strerror(errno));
        return false;
    }
    std::string type = type_sane(lower(a.type)) ? lower(a.type) : "application/octet-stream";
    std::string name = nopath(a.name);
    if (name.empty()) name = "attachment";
    o.put("\r\n--" + boundary + "\r\n");
    o.put("Content-Type: " + type + rfc2231_param("name", name) + "\r\n");
    o.put("Content-Disposition: attachment" + rfc2231_param("filename", name) + "\r\n");
    o.put("Content-Transfer-Encoding: base64\r\n\r\n");
    // 57 bytes make one 76-character line; read many lines at a time.
    constexpr std::size_t kRead = 57 * 1024;
    std::vector<char> buf(kRead);
    std::string lines;
    for (;;) {
        std::size_t n = std::fread(buf.data(), 1, kRead, in);
        if (n == 0) break;
        lines.clear();
        for (std::size_t i = 0; i < n; i += 57) {
            lines += sencode_base64(std::string_view(buf.data() + i, std::min<std::size_t>(57, n - i)));
            lines += "\r\n";
        }
        o.put(lines);
        if (n < kRead) break;
    }
    bool rd_ok = !std::ferror(in);
    std::fclose(in);
    if (!rd_ok) err = sfmt("temp attach file problem %s %s", a.name.c_str(), std::strerror(errno));
    return rd_ok;
}

void header(Out& o, const char* name, const std::string& value) {
    if (!value.empty()) o.put(fold_header(name, value));
}

}  // namespace

std::string temp_fname() {
    const std::string& area = wm_ini_get(K_temp_area);
    std::string tmpl = area.empty() ? file_work("teXXXXXX.tmp") : area + "/teXXXXXX.tmp";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    int fd = mkstemps(buf.data(), 4);
    if (fd < 0) return "";
    close(fd);
    return buf.data();
}

std::string make_boundary() {
    static int counter = 0;
    return sfmt("-=_%s%lx.%d.%d", tcp_hostname().c_str(), static_cast<long>(std::time(nullptr)),
                static_cast<int>(getpid()), ++counter);
}

bool compose_write(const OutMessage& m, const std::string& path, long& lines, std::string& err) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        err = sfmt("temp file problem %s %s", path.c_str(), std::strerror(errno));
        return false;
    }
    Out o(f);
    header(o, "From", m.from);
    header(o, "Sender", m.sender);
    header(o, "Reply-To", m.reply_to);
    header(o, "To", encode_addr_list(m.to));
    header(o, "Cc", encode_addr_list(m.cc));
    header(o, "X-CC-Sender", m.x_cc_sender);
    header(o, "Date", m.date);
    o.put(fold_header("Subject", encode_rfc1522(m.subject)));
    header(o, "X-Mailer", m.x_mailer);
    header(o, "Priority", m.priority);
    header(o, "Message-ID", m.message_id);
    header(o, "In-Reply-To", m.in_reply_to);
    if (!m.references.empty()) o.put(fold_header("References", m.references));
    header(o, "X-User-Info", m.user_info);
    o.put("MIME-Version: 1.0\r\n");

    bool ok = true;
    std::string outer = make_boundary();
    const bool mixed = !m.attach.empty() || !m.carried.empty();
    if (!m.has_html && !mixed) {
        text_part(o, m.text, m.html_body, m.no_qp, "");
    } else {
        std::string alt = m.has_html ? (mixed ? outer + ".alt" : outer) : "";
        if (!mixed) o.put("Content-Type: multipart/alternative;\r\n\tboundary=\"" + outer + "\"\r\n");
        else o.put("Content-Type: multipart/mixed;\r\n\tboundary=\"" + outer + "\"\r\n");
        o.put("\r\nThis is a multi-part message in MIME format.\r\n");
        if (m.has_html && mixed) {
            // Text and HTML as one alternative part, the files beside it.
            o.put("\r\n--" + outer + "\r\n");
            o.put("Content-Type: multipart/alternative;\r\n\tboundary=\"" + alt + "\"\r\n\r\n");
        }
        const std::string& first = m.has_html ? alt : outer;
        o.put("\r\n--" + first + "\r\n");
        text_part(o, m.text, m.html_body, m.no_qp, first);
        if (m.has_html) {
            o.put("\r\n--" + alt + "\r\n");
            text_part(o, m.html, true, m.no_qp, alt);
            o.put("\r\n--" + alt + "--\r\n");
        }
        for (const std::string& part : m.carried) {
            o.put("\r\n--" + outer + "\r\n");
            o.put(part);
        }
        for (const OutAttach& a : m.attach)
            if (!(ok = attachment_part(o, a, outer, err))) break;
        if (mixed) o.put("\r\n--" + outer + "--\r\n");
    }
    lines = o.lines();
    bool wrote = o.ok() && std::fflush(f) == 0;
    if (std::fclose(f) != 0) wrote = false;
    if (ok && !wrote) err = sfmt("temp file problem %s %s", path.c_str(), std::strerror(errno));
    return ok && wrote;
}
