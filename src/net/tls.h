// TLS on the mail socket: implicit TLS right after the connect, STLS and
// STARTTLS on a plain connection, certificate and host-name checks, and the
// words a failure is reported in.  Once started, the line reader and writer
// of net/sock.h go through TLS without their callers knowing.
#pragma once
#include <string>
#include <vector>

enum TlsKind { TLS_POP = 0, TLS_SMTP = 1 };

// none: plain only; optional: STLS/STARTTLS when the server offers it;
// required: STLS/STARTTLS or no login at all; implicit: TLS from the first
// byte (POP3S, SMTPS).
enum TlsMode { TLS_NONE = 0, TLS_OPTIONAL = 1, TLS_REQUIRED = 2, TLS_IMPLICIT = 3 };

// The mode a connection of this kind to this port uses: implicit for the
// ports of pop_tls_ports / smtp_tls_ports, otherwise pop_tls / smtp_tls.
int tls_mode(int kind, int port);
// "none", "optional", "required", "implicit"; -1 for anything else.
int tls_parse_mode(const std::string& text);
const char* tls_mode_name(int mode);

// Starts TLS on the open mail socket (msock().sk) and checks the server's
// certificate against host.  Plain bytes received before the call are
// dropped: they came before the handshake, so nothing may read them as a
// reply of the protected session.  1 on success; 0 with the error page text
// set (in the user's words, detail in the log) and the connection closed.
int tls_start(const std::string& host, int kind);

// Reports that a server does not offer STLS/STARTTLS while the site requires
// it, and closes the connection.  Always 0.
int tls_refuse_plain(const std::string& host, int kind);

// The command that asks for TLS on a plain connection, as the reply line of
// a capability list names it: "STLS" (POP3 CAPA) or "STARTTLS" (SMTP EHLO).
bool tls_capability(const std::string& line, int kind);

// For the SMTP dialogue.  tls_open connects the mail socket (msock().sk)
// to host:port and, when the port's mode is implicit, starts TLS; the
// greeting is left unread.  0 with the error page prepared.
int tls_open(std::string& host, int port, int kind);
// After the greeting: EHLO, then STARTTLS and EHLO again when the port's
// mode asks for it, refusing a server without STARTTLS when the mode
// requires it.  ehlo gets the lines of the last EHLO reply (AUTH mechanisms
// are read from them), none when the server refused EHLO (the caller greets
// with HELO).  1 ready for AUTH/MAIL; 0 on failure: TLS failures have
// tls_failure() set, the error page prepared and the connection closed;
// otherwise the connection was lost.
int tls_smtp_hello(const std::string& host, int port, const std::string& helo_name,
                   std::vector<std::string>* ehlo);

bool tls_active();
// The last failure in the words of the error page ("" when none).
const std::string& tls_failure();

// For net/sock.cpp: reads and writes on the TLS session of descriptor s.
// They answer as read(2)/send(2) do (-1 with errno set, 0 at the end).
bool tls_on(int s);
bool tls_pending(int s);
long tls_read(int s, char* buf, int size);
long tls_write(int s, const char* data, std::size_t len);
void tls_close();
void tls_reset();
