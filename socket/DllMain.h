// The library's entry point, called with DLL_PROCESS_ATTACH when the library is loaded and with
// DLL_PROCESS_DETACH when it is unloaded. Attach joins the resource chain, so that the error
// texts can be loaded; detach leaves it. Internal; called by the loader emulation (and tests).
#pragma once

#include "platform/wintypes.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
