// Module string tables on Windows: a module's table is a STRINGTABLE resource linked into it,
// and LoadStringA, the DllMain reasons and the language ids are the system's (<windows.h>).
#pragma once

#include "platform/wintypes.h"
