#include "tests/platform/string_modules.h"

namespace string_modules {

// Each module is a DLL beside the test program that holds only its string table
// (string_module_a.rc, string_module_b.rc), loaded once and kept.
HMODULE ModuleA() {
    static const HMODULE module = ::LoadLibraryA("talven_test_strings_a.dll");
    return module;
}

HMODULE ModuleB() {
    static const HMODULE module = ::LoadLibraryA("talven_test_strings_b.dll");
    return module;
}

}  // namespace string_modules
