// What each subsystem offers the rest of the program, as data: its command
// handlers under the names the route tables use, the page output (for the
// page subsystem), a reset of its process state and a start-up step.  The
// program's root lists the subsystems and installs them; the dispatcher
// looks handlers up by name, so a command whose subsystem is not built has
// no entry and gets the one "not available" error.
#pragma once
#include <span>
#include <string>
#include <string_view>

#include "support/subsystem.h"

// Builds the handler lookup from the subsystems' tables (replacing any
// earlier one).  A name offered twice is a programming error: the first
// subsystem keeps it and the clash is logged.
void commands_install(std::span<const Subsystem> subs);
// The handler offered under this name, or nullptr.
const Handler* handler_find(std::string_view name);
// Runs the named handler; a name nobody offers records the "not available"
// error and answers 0.
int handler_run(std::string_view name);
// Runs the named hook when some subsystem offers it, else answers dflt
// without any error (finish steps such as writing the profile).
int hook_run(std::string_view name, int dflt);
// Which subsystem offers the handler ("" when none).
const char* handler_owner(std::string_view name);

// The page output; until the page subsystem is installed, variables go
// nowhere and pages are not shown (the error page then uses its plain form).
void page_set(const std::string& name, const std::string& value);
void page_set_outside(const std::string& name, const std::string& value);
// Shows a page; false when no page subsystem is installed.
bool page_show(const std::string& page);
bool page_shown();

// True once a command reached a handler this installation lacks: the
// request then takes the error finish.
bool command_missing_ran();
void commands_reset();
