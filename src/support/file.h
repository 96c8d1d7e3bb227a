// Small file-system helpers every subsystem shares.
#pragma once
#include <string>
#include <string_view>

// True when something (file, folder, device) stands at path.
bool file_exists(const std::string& path);

// Writes all of data to fd, going on after short writes and EINTR; false
// on any other failure (what was written before it stays written).
bool write_all(int fd, std::string_view data);

// Replaces the file at path with text in one step: written to a temporary
// beside it ("<path>.<pid>.tmp", created with mode), synced, then renamed
// over it, so a reader or a crash sees the whole old file or the whole new
// one. False on any failure, with errno kept and the temporary removed.
bool file_replace(const std::string& path, std::string_view text, int mode = 0600);
