// What the page subsystem offers the program: its page output, the
// template-only commands and the reset of its process state.
#pragma once
#include "support/subsystem.h"

const Subsystem& page_subsystem();
