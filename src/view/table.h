// What the view subsystem offers the program: its command handlers, its
// hooks, and the reset of its process state.
#pragma once
#include "support/subsystem.h"

const Subsystem& view_subsystem();
