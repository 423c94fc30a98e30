// Extension-module registration and module resources: the resource chain that
// CString::LoadString searches, and the library entry point (DllMain) emulation.
// The chain and the string tables are guarded by one lock: every function here may be called
// from any thread.
#pragma once

#include "platform/mfc/afxstr.h"

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

struct AFX_EXTENSION_MODULE {
    BOOL bInitialized;
    HMODULE hModule;
    HMODULE hResource;
};

// At attach: fills `state` with the module's instance; FALSE on failure.
TALVEN_API BOOL AfxInitExtensionModule(AFX_EXTENSION_MODULE& state, HMODULE module);
// At detach: removes this module's CDynLinkLibrary from the resource chain (bAll: every one).
TALVEN_API void AfxTermExtensionModule(AFX_EXTENSION_MODULE& state, BOOL bAll = FALSE);

// Constructing one puts the module's resources into the chain that CString::LoadString
// searches (newest first); AfxTermExtensionModule takes it out again and deletes it.
class TALVEN_API CDynLinkLibrary {
public:
    explicit CDynLinkLibrary(AFX_EXTENSION_MODULE& state, BOOL bSystem = FALSE);
    virtual ~CDynLinkLibrary();
    CDynLinkLibrary(const CDynLinkLibrary&) = delete;
    CDynLinkLibrary& operator=(const CDynLinkLibrary&) = delete;

    HMODULE m_hModule;
    HMODULE m_hResource;
    BOOL m_bSystem;
    CDynLinkLibrary* m_pNextDLL;
};

// The entry-point emulation: a shared library defines
//     BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
// and names it once with TALVEN_DLL_ENTRY_POINT(DllMain, instance) in the same file, after the
// module's static objects that must exist before attach. The platform then calls it with
// DLL_PROCESS_ATTACH when the library is loaded and DLL_PROCESS_DETACH when it is unloaded.
class TALVEN_API CDllEntryPoint {
public:
    typedef BOOL (*EntryFn)(HINSTANCE, DWORD, LPVOID);
    CDllEntryPoint(EntryFn entry, HINSTANCE instance);
    ~CDllEntryPoint();
    CDllEntryPoint(const CDllEntryPoint&) = delete;
    CDllEntryPoint& operator=(const CDllEntryPoint&) = delete;
    BOOL Attached() const { return attached_; }

private:
    EntryFn entry_;
    HINSTANCE instance_;
    BOOL attached_;
};

#define TALVEN_DLL_ENTRY_POINT(fn, instance) \
    static CDllEntryPoint talven_dll_entry_point_(&fn, instance)
