// The emulation's module string tables: a table that its module unregisters is gone, even while
// the module is in the resource chain.
#include <gtest/gtest.h>

#include "platform/mfc/afxdll.h"
#include "talven.h"

namespace {

const char g_module = 0;
constexpr UINT kId = 0x7F10;
const AFX_STRING_RESOURCE kTable[] = {{kId, "registered"}};

TEST(ModuleStringTables, UnregisteredTableIsGoneEvenWhileInTheChain) {
    const HMODULE module = AfxGetModuleOf(&g_module);
    AfxRegisterModuleStringTable(module, LANG_NEUTRAL, kTable, 1);
    AFX_EXTENSION_MODULE state = {FALSE, nullptr, nullptr};
    ASSERT_TRUE(AfxInitExtensionModule(state, module));
    new CDynLinkLibrary(state);  // owned by the chain, deleted by AfxTermExtensionModule
    CString text;
    EXPECT_TRUE(text.LoadString(kId));
    AfxUnregisterModuleStringTable(module);
    EXPECT_FALSE(text.LoadString(kId));
    EXPECT_TRUE(text.IsEmpty());
    AfxTermExtensionModule(state);
}

}  // namespace
