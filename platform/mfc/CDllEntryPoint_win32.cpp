// The library entry point on Windows. In a DLL the system's loader calls DllMain, after the
// DLL's static objects are made and before they are destroyed. When the library's objects are
// linked into a program instead (the unit tests do that), nothing would call it: this object
// then makes the attach call during the program's static initialisation, and the detach call
// during its static destruction, as the loader would.
#include "platform/mfc/afxdll.h"

HMODULE AfxGetModuleOf(const void* anchor) {
    HMODULE module = nullptr;
    // No reference is taken: the module holding the anchor is the caller's own, loaded for as
    // long as the call can be made.
    if (!::GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCSTR>(anchor), &module)) {
        return nullptr;
    }
    return module;
}

// A failed attach is not followed by a detach.
CDllEntryPoint::CDllEntryPoint(EntryFn entry, HINSTANCE instance)
    : entry_(entry), instance_(instance), attached_(FALSE) {
    if (instance_ != nullptr && instance_ == ::GetModuleHandleA(nullptr)) {
        attached_ = entry_(instance_, DLL_PROCESS_ATTACH, nullptr) ? TRUE : FALSE;
    }
}

CDllEntryPoint::~CDllEntryPoint() {
    if (attached_) {
        entry_(instance_, DLL_PROCESS_DETACH, nullptr);
    }
}
