// What the send subsystem offers the program: the compose and send
// commands.
#pragma once
#include "support/subsystem.h"

const Subsystem& send_subsystem();
