#include <gtest/gtest.h>

#include "platform/mfc/afxdll.h"
#include "talven.h"

namespace {

// Two stand-in modules with string tables that share one id.
const char g_moduleA = 0;
const char g_moduleB = 0;
HMODULE ModuleA() { return reinterpret_cast<HMODULE>(const_cast<char*>(&g_moduleA)); }
HMODULE ModuleB() { return reinterpret_cast<HMODULE>(const_cast<char*>(&g_moduleB)); }

constexpr UINT kShared = 0x7F0001;
constexpr UINT kOnlyA = 0x7F0002;
const AFX_STRING_RESOURCE kTableA[] = {{kShared, "shared from A"}, {kOnlyA, "only in A"}};
const AFX_STRING_RESOURCE kTableB[] = {{kShared, "shared from B"}};

class ResourceChain : public ::testing::Test {
protected:
    void SetUp() override {
        AfxRegisterModuleStringTable(ModuleA(), LANG_NEUTRAL, kTableA, 2);
        AfxRegisterModuleStringTable(ModuleB(), LANG_ENGLISH_US, kTableB, 1);
    }
    void TearDown() override {
        AfxTermExtensionModule(stateA_);
        AfxTermExtensionModule(stateB_);
        AfxUnregisterModuleStringTable(ModuleA());
        AfxUnregisterModuleStringTable(ModuleB());
    }
    void Join(AFX_EXTENSION_MODULE& state, HMODULE module) {
        ASSERT_TRUE(AfxInitExtensionModule(state, module));
        new CDynLinkLibrary(state);  // owned by the chain, deleted by AfxTermExtensionModule
    }
    static CString Load(UINT id) {
        CString text;
        text.LoadString(id);
        return text;
    }

    AFX_EXTENSION_MODULE stateA_ = {FALSE, nullptr, nullptr};
    AFX_EXTENSION_MODULE stateB_ = {FALSE, nullptr, nullptr};
};

TEST_F(ResourceChain, OnlyModulesInTheChainAreSearched) {
    EXPECT_TRUE(Load(kOnlyA).IsEmpty());
    char buffer[64];
    EXPECT_EQ(LoadStringA(ModuleA(), kOnlyA, buffer, sizeof buffer), 9);
    EXPECT_STREQ(buffer, "only in A");
    Join(stateA_, ModuleA());
    EXPECT_STREQ(Load(kOnlyA), "only in A");
}

TEST_F(ResourceChain, NewestModuleWinsAndTermRemovesOnlyItsOwn) {
    Join(stateA_, ModuleA());
    Join(stateB_, ModuleB());
    EXPECT_STREQ(Load(kShared), "shared from B");
    EXPECT_STREQ(Load(kOnlyA), "only in A");

    AfxTermExtensionModule(stateB_);
    EXPECT_STREQ(Load(kShared), "shared from A");

    AfxTermExtensionModule(stateA_);
    CString text("stale");
    EXPECT_FALSE(text.LoadString(kShared));
    EXPECT_TRUE(text.IsEmpty());
}

TEST_F(ResourceChain, UnregisteredTableIsGoneEvenWhileInTheChain) {
    Join(stateA_, ModuleA());
    AfxUnregisterModuleStringTable(ModuleA());
    EXPECT_TRUE(Load(kOnlyA).IsEmpty());
}

TEST_F(ResourceChain, UninitialisedRecordTermsNothing) {
    Join(stateA_, ModuleA());
    AFX_EXTENSION_MODULE state = {FALSE, nullptr, nullptr};
    EXPECT_FALSE(AfxInitExtensionModule(state, nullptr));
    AfxTermExtensionModule(state);
    EXPECT_STREQ(Load(kOnlyA), "only in A");
}

TEST_F(ResourceChain, LoadStringATruncatesToTheBuffer) {
    char buffer[5] = "....";
    EXPECT_EQ(LoadStringA(ModuleA(), kOnlyA, buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "only");
    EXPECT_EQ(LoadStringA(ModuleB(), kOnlyA, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
}

}  // namespace
