#include "socket/QmModule.h"

namespace {
// Its address is the handle; it has no dynamic initialisation, so the handle is valid before
// any constructor of the library runs.
const char g_moduleAnchor = 0;
}  // namespace

HINSTANCE QmGetModuleInstance() {
    return reinterpret_cast<HINSTANCE>(const_cast<char*>(&g_moduleAnchor));
}
