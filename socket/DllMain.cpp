#include "socket/DllMain.h"

#include <new>

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

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        if (!AfxInitExtensionModule(g_socketModule, instance)) {
            return FALSE;
        }
        // Joins the resource chain, which owns the object from now on and deletes it at
        // detach. Without memory for it the library still loads, only without its texts.
        new (std::nothrow) CDynLinkLibrary(g_socketModule);
        return TRUE;
    case DLL_PROCESS_DETACH:
        AfxTermExtensionModule(g_socketModule);
        return TRUE;
    default:
        return TRUE;
    }
}

TALVEN_DLL_ENTRY_POINT(DllMain, QmGetModuleInstance());
