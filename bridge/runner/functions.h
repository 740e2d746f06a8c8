// functions.h -- the add-on's seven functions, registered with Regina.
#pragma once

#include "winside.h"

namespace rexxrun {

// The REXX names of the add-on's functions, as the host registers them.
extern const char* const FUNCTION_NAMES[7];

// Registers the seven functions for the scripts this process runs; their
// calls go to `side`, which is started at the first of them. False when
// Regina refuses a registration.
bool RegisterFunctions(WindowsSide* side);

}  // namespace rexxrun
