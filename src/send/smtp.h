// The SMTP client side of a send: commands written whole with a bounded
// wait, replies read through the mail socket (multi-line replies consumed),
// EHLO with AUTH PLAIN or LOGIN, and the message data streamed from a file
// with every line dot-stuffed.  Credentials never reach the log, neither as
// typed nor in base64.
#pragma once
#include <string>
#include <string_view>
#include <vector>

// Writes one command line (CR LF added).  secret: the line carries
// credentials and is logged as "-> ****".  false when the write failed.
bool smtp_cmd(std::string_view line, bool secret = false);
// Reads a whole reply; its code, or -1 when none could be read.  The last
// line is msock().reason.
int smtp_reply();
// The last reply line for messages ("" after a failed read).
std::string smtp_reason();

// EHLO and authentication with the given credentials.  1: authenticated;
// 0: the server offers no AUTH or refused EHLO (the caller greets with
// HELO and goes on); -1: the server refused the credentials (reason holds
// its reply).  ehlo: the reply lines of an EHLO already made on this
// session (after STARTTLS), so none is sent again.
int smtp_auth(const std::string& domain, const std::string& user, const std::string& pass,
              const std::vector<std::string>* ehlo = nullptr);

// Streams the message file (CR LF lines) as DATA content, a "." put before
// every line that begins with one, then the final ".".  false when a write
// failed or the file could not be read: the data is then left unended, so
// the server never takes a cut message.
bool smtp_data_file(const std::string& path);
