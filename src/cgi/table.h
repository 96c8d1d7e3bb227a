// What the request-entry subsystem offers: the commands it answers itself
// (the maintenance pages, plain template pages) and the reset of its state.
#pragma once
#include "cgi/commands.h"

const Subsystem& cgi_subsystem();
