// What the organisation subsystem offers the program: the address books
// and pick lists.
#pragma once
#include "support/subsystem.h"

const Subsystem& org_subsystem();
