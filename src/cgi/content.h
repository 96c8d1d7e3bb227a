// The response header: written at most once per request, never for
// command-line requests; carries the pending cookie lines.
#pragma once
#include <string>

void do_content();
// Queues a complete "Set-Cookie: ..." line (without the newline) to go out
// with the header.
void content_add_cookie(const std::string& line);
// The content type with its charset suffix, as the header gives it.
std::string content_type_full();
void content_reset();
