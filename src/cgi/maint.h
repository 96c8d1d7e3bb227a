// The administrator's maintenance pages: the settings in force ("showini")
// and a self-test of files and servers ("test").  Both are off unless the
// settings say "notest false" (or the program runs from the command line),
// since they show the installation's layout.
#pragma once
#include <string>

int f_showini(const std::string& program_path);
int f_test(const std::string& program_path);

// One TCP connection attempt to host:port that gives up after timeout_secs;
// the connection is closed again at once.  Returns 1 on success, else 0 with
// the error number in *err.
int probe_connect(const std::string& host, int port, int timeout_secs, int* err);
