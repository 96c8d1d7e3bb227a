// The program's root: the list of every subsystem built into it.  Nothing in
// a subsystem folder includes this; main() and the tests do.
#pragma once
#include <span>

#include "cgi/commands.h"

std::span<const Subsystem> subsystems();
// Installs the subsystems' command tables and page output for the dispatcher.
void subsystems_install();
// Forgets the process state of every subsystem, then installs the tables
// again: one request's worth of clean state (tests run many in one process).
void subsystems_reset();
// The start-up step of every subsystem that has one, in list order.
void subsystems_start();
