#pragma once

#include "XPLMDataAccess.h"

namespace velmir {

// Looks a dataref up by name, logging the name when the simulator lacks it.
// Only ever called during start-up: periodic paths use the stored handles.
XPLMDataRef BindDataRef(const char* name);

}  // namespace velmir
