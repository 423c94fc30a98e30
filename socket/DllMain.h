// The library's entry point, called with DLL_PROCESS_ATTACH when the library is loaded and with
// DLL_PROCESS_DETACH when it is unloaded. Attach joins the resource chain, so that the error
// texts can be loaded; detach leaves it. Internal; called by the system's loader or by the
// platform's entry-point object (and by tests). C linkage: the name under which loaders look for
// a library's entry point.
#pragma once

#include "platform/wintypes.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
