#include "tests/platform/string_modules.h"

namespace string_modules {
namespace {

const char g_moduleA = 0;
const char g_moduleB = 0;

const AFX_STRING_RESOURCE kTableA[] = {{kShared, "shared from A"}, {kOnlyA, "only in A"}};
const AFX_STRING_RESOURCE kTableB[] = {{kShared, "shared from B"}};

// What linking a resource script into each module would do.
struct Registration {
    Registration() {
        AfxRegisterModuleStringTable(ModuleA(), LANG_NEUTRAL, kTableA, 2);
        AfxRegisterModuleStringTable(ModuleB(), LANG_ENGLISH_US, kTableB, 1);
    }
};
const Registration g_registration;

}  // namespace

HMODULE ModuleA() { return AfxGetModuleOf(&g_moduleA); }
HMODULE ModuleB() { return AfxGetModuleOf(&g_moduleB); }

}  // namespace string_modules
