#include "socket/DllMain.h"

#include <new>

#include "platform/mfc/WindowAttachment.h"
#include "platform/mfc/afxdll.h"
#include "socket/QmModule.h"
#include "socket/QmSocket.h"

// Defined before the entry point's registration below: constructed (empty) before attach and
// destroyed after detach.
CString g_strSocketError;
CString g_strTpSocketError;

namespace {
AFX_EXTENSION_MODULE g_socketModule = {FALSE, nullptr, nullptr};
}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        // Thread notifications stay on: the compiler's runtime is linked in, and it runs the
        // library's thread_local destructors from them (DisableThreadLibraryCalls' reference
        // page: not for a DLL linked to a static runtime, and no gain with static TLS).
        if (!AfxInitExtensionModule(g_socketModule, instance)) {
            return FALSE;
        }
        // Joins the resource chain, which owns the object from now on and deletes it at
        // detach. Without memory for it the library still loads, only without its texts.
        new (std::nothrow) CDynLinkLibrary(g_socketModule);
        return TRUE;
    case DLL_PROCESS_DETACH:
        // A non-null reserved means the process is exiting: its other threads are gone already,
        // perhaps inside the library holding its locks, and the system reclaims everything.
        // Nothing that takes a lock may run then.
        if (reserved != nullptr) {
            return TRUE;
        }
        // The classes go first: their window procedure leaves with this module.
        talven::mfc::UnregisterWindowClasses();
        AfxTermExtensionModule(g_socketModule);
        return TRUE;
    default:
        return TRUE;
    }
}

TALVEN_DLL_ENTRY_POINT(DllMain, QmGetModuleInstance());
