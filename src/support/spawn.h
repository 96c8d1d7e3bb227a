// Running an outside program with its standard input and output on pipes:
// the template "do" directive and mail trailers taken from a program.  The
// program is started directly (no shell, no PATH search), its output is read
// line by line under a time-out, and closing the handle reaps it or kills its
// whole process group, so no zombie and no descriptor outlives the handle.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "support/sink.h"

// Receives one finished message text (ending in a line feed).
using sp_msgfn = void (*)(const char* text);

// Handle of one running program; allocated by sp_do, freed by sp_close.
struct SpawnHandle;

// Stores the three message callbacks (a null one keeps the message only in
// the handle's buffer), reports the banner and ignores SIGPIPE so writing to
// a child that has gone returns an error instead of ending the request.
void sp_init(sp_msgfn err, sp_msgfn info, sp_msgfn debug);

// Starts the program named by a command line split at every single blank
// (two blanks give an empty argument; tabs do not separate; at most 94
// arguments).  The first word is the program's path.  Returns nullptr when
// no pipe or process could be made (reason in sp_msg(nullptr)).  A program
// that cannot be executed is not a failure here: its first output line is
// "-ERR Spawn error on exec <program> <reason>".
SpawnHandle* sp_do(std::string_view cmdline);
// The same with the arguments already split.
SpawnHandle* sp_do_argv(const std::vector<std::string>& argv);

// One line of output, line feed included, into `line` (cut to size - 1
// bytes when longer; the rest of that line is dropped).  timeout: seconds to
// wait for a complete line; 0 = only what is already there; negative =
// block.  Returns the number of bytes stored, -2 when no complete line came
// in time, -1 on end of output, a read error or an invalid handle.
int sp_gets(SpawnHandle* sp, std::string& line, std::size_t size, int timeout);

// One read / write on the pipes; -1 on failure.
int sp_read(SpawnHandle* sp, char* buf, std::size_t count);
int sp_write(SpawnHandle* sp, const void* data, std::size_t len);
// Formats (at most 1024 bytes) and writes it; -1 when longer or on failure.
int sp_printf(SpawnHandle* sp, const char* fmt, ...) LK_PRINTF(2, 3);
// Ends the child's standard input (it sees end of file); 1 on success.
int sp_close_input(SpawnHandle* sp);
// Reads and discards every complete line already waiting; returns the
// number of bytes discarded and empties the line buffer.
int sp_flush(SpawnHandle* sp);

// The last message about the handle (or the library's own for nullptr).
const char* sp_msg(const SpawnHandle* sp);
// The child's process id (0 for an invalid handle).
pid_t sp_pid(const SpawnHandle* sp);

// Closes the pipes, reaps the child, or after a grace period sends SIGTERM
// to its process group and, when that is ignored too, SIGKILL.  Frees the
// handle and sets the variable to nullptr.  1 when the child ended by
// itself or on SIGTERM and both closes succeeded, 0 otherwise.
int sp_close(SpawnHandle*& sp);

// How long sp_close lets a child end by itself before SIGTERM, and after
// SIGTERM before SIGKILL, in milliseconds (defaults 1000 and 30000).
void sp_set_grace(int before_term_ms, int after_term_ms);

// Restores the state of a fresh process (callbacks, grace periods).
void spawn_reset();
