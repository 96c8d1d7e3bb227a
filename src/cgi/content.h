// The response header: written at most once per request, never for
// command-line requests; carries the pending cookie lines.
#pragma once
#include <string>

void do_content();
// Queues a complete "Set-Cookie: ..." line (without the newline) to go out
// with the header.
void content_add_cookie(const std::string& line);
// The lines every answer carries, each ending in a newline: never stored
// by a cache (pages show mail and carry the session's token), framed only
// by pages of this origin, and no Referer with the token to other sites.
std::string security_headers();
// The content type with its charset suffix, as the header gives it.
std::string content_type_full();
void content_reset();
