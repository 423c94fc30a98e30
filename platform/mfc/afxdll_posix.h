// Module string tables where the system has no resources: a module registers its table (what
// linking a resource script does on Windows), and LoadStringA reads it.
#pragma once

#include "platform/wintypes.h"

// DllMain reasons
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define LANG_NEUTRAL 0x0000
#define LANG_ENGLISH_US 0x0409

// A module's string table, as a resource script would build it: (id, text) pairs.
struct AFX_STRING_RESOURCE {
    UINT id;
    LPCSTR text;
};

// Makes `table` the string table of `module` in language `langId`. Called from a static
// initialiser of the module that owns the table (the emulation of linking a .rc file), before
// its entry point runs. Any thread.
TALVEN_API void AfxRegisterModuleStringTable(HMODULE module, WORD langId,
                                             const AFX_STRING_RESOURCE* table, int count);
TALVEN_API void AfxUnregisterModuleStringTable(HMODULE module);

// Loads string `id` of `module` into `buffer` (Win32 LoadStringA): the length copied, or 0
// when the module has no such string.
TALVEN_API int LoadStringA(HINSTANCE module, UINT id, LPSTR buffer, int bufferMax);
