// The library entry point where the system calls none: load of the library (static
// initialisation) is the process attach; unload (static destruction) is the process detach.
#include "platform/mfc/afxdll.h"

HMODULE AfxGetModuleOf(const void* anchor) {
    // A shared library has no handle of its own before it is loaded: the address of an object
    // in it serves as its identity.
    return reinterpret_cast<HMODULE>(const_cast<void*>(anchor));
}

// A failed attach is not followed by a detach.
CDllEntryPoint::CDllEntryPoint(EntryFn entry, HINSTANCE instance)
    : entry_(entry), instance_(instance), attached_(FALSE) {
    attached_ = entry_(instance_, DLL_PROCESS_ATTACH, nullptr) ? TRUE : FALSE;
}

CDllEntryPoint::~CDllEntryPoint() {
    if (attached_) {
        entry_(instance_, DLL_PROCESS_DETACH, nullptr);
    }
}
