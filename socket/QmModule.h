// The library's module handle: the identity under which its resources (the string table) are
// registered and its extension module joins the resource chain. Internal to the library.
#pragma once

#include "platform/wintypes.h"

// Constant for the life of the process; any thread, also during static initialisation.
HINSTANCE QmGetModuleInstance();
