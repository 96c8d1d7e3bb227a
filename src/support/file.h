// Small file-system helpers every subsystem shares.
#pragma once
#include <string>
#include <string_view>

// True when something (file, folder, device) stands at path.
bool file_exists(const std::string& path);

// Writes all of data to fd, going on after short writes and EINTR; false
// on any other failure (what was written before it stays written).
bool write_all(int fd, std::string_view data);
