// Filing a copy of a sent message in the user's copies folder.
#pragma once
#include <string>

// Files the message in path (CR LF or LF line ends) into the copies folder
// (the copy_name setting, "Copies to self" by default) as a new message
// file with LF line ends, and adds its index record.  lines: the count for
// "lines:" (negative leaves it unset); has_attach sets the "file," flag.
// 1 when filed (or already there), 0 on failure.
int do_copyself(const std::string& path, long lines, bool has_attach);
