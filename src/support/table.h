// What the support library offers the program: the reset of its state.
#pragma once
#include "support/subsystem.h"

const Subsystem& support_subsystem();
