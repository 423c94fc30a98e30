// Extension-module registration and module resources: the resource chain that
// CString::LoadString searches, and the library entry point.
// The chain is guarded by one lock: every function here may be called from any thread.
#pragma once

#include "platform/mfc/afxstr.h"

// How a module's string table is stored and loaded (LoadStringA): a resource linked into the
// module on Windows, a table the module registers elsewhere.
#if defined(_WIN32)
#include "platform/mfc/afxdll_win32.h"
#else
#include "platform/mfc/afxdll_posix.h"
#endif

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

// The module whose image holds `anchor`, an object of static storage in it: the module's
// instance handle on Windows; elsewhere the anchor's address stands for the module. Constant for
// the life of the process; usable during static initialisation. Any thread.
TALVEN_API HMODULE AfxGetModuleOf(const void* anchor);

// The library entry point: a shared library defines
//     extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
// and names it once with TALVEN_DLL_ENTRY_POINT(DllMain, instance) in the same file, after the
// module's static objects that must exist before attach. The entry point is then called with
// DLL_PROCESS_ATTACH when the library is loaded and DLL_PROCESS_DETACH when it is unloaded: by
// the system's loader for a DLL, and by this object where the system has no such call (a
// shared library on POSIX, the library's objects linked into a program on Windows).
class TALVEN_API CDllEntryPoint {
public:
    typedef BOOL (WINAPI* EntryFn)(HINSTANCE, DWORD, LPVOID);
    CDllEntryPoint(EntryFn entry, HINSTANCE instance);
    ~CDllEntryPoint();
    CDllEntryPoint(const CDllEntryPoint&) = delete;
    CDllEntryPoint& operator=(const CDllEntryPoint&) = delete;
    // True when this object made the attach call and it succeeded.
    BOOL Attached() const { return attached_; }

private:
    EntryFn entry_;
    HINSTANCE instance_;
    BOOL attached_;
};

#define TALVEN_DLL_ENTRY_POINT(fn, instance) \
    static CDllEntryPoint talven_dll_entry_point_(&fn, instance)
