#include "platform/mfc/afxdll.h"

// Load of the library (static initialisation) is the process attach; unload (static
// destruction) is the process detach. A failed attach is not followed by a detach.
CDllEntryPoint::CDllEntryPoint(EntryFn entry, HINSTANCE instance)
    : entry_(entry), instance_(instance), attached_(FALSE) {
    attached_ = entry_(instance_, DLL_PROCESS_ATTACH, nullptr) ? TRUE : FALSE;
}

CDllEntryPoint::~CDllEntryPoint() {
    if (attached_) {
        entry_(instance_, DLL_PROCESS_DETACH, nullptr);
    }
}
