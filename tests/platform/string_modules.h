// Two modules with string tables that share one id, for the resource-chain tests. Module A holds
// kShared ("shared from A") and kOnlyA ("only in A") under the neutral language, module B holds
// kShared ("shared from B") under US English. On Windows they are real modules with linked
// resources (two resource DLLs beside the test program); elsewhere stand-ins that register their
// tables.
#pragma once

#include "platform/mfc/afxdll.h"

namespace string_modules {

constexpr UINT kShared = 0x7F01;
constexpr UINT kOnlyA = 0x7F02;

HMODULE ModuleA();
HMODULE ModuleB();

}  // namespace string_modules
