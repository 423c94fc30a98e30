#include "socket/QmModule.h"

#include "platform/mfc/afxdll.h"

namespace {
// An object of the library's image; it has no dynamic initialisation, so the module it names is
// known before any constructor of the library runs.
const char g_moduleAnchor = 0;
}  // namespace

HINSTANCE QmGetModuleInstance() {
    return AfxGetModuleOf(&g_moduleAnchor);
}
