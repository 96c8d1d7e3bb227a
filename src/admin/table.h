// What the administration subsystem offers the program: the manager page
// and the automatic purge that ends a login.
#pragma once
#include "support/subsystem.h"

const Subsystem& admin_subsystem();
