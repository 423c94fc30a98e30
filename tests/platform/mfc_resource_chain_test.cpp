#include <gtest/gtest.h>

#include "platform/mfc/afxdll.h"
#include "talven.h"
#include "tests/platform/string_modules.h"

namespace {

using string_modules::kOnlyA;
using string_modules::kShared;
using string_modules::ModuleA;
using string_modules::ModuleB;

class ResourceChain : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(ModuleA(), nullptr);
        ASSERT_NE(ModuleB(), nullptr);
    }
    void TearDown() override {
        AfxTermExtensionModule(stateA_);
        AfxTermExtensionModule(stateB_);
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

TEST_F(ResourceChain, UninitialisedRecordTermsNothing) {
    Join(stateA_, ModuleA());
    AFX_EXTENSION_MODULE state = {FALSE, nullptr, nullptr};
    EXPECT_FALSE(AfxInitExtensionModule(state, nullptr));
    AfxTermExtensionModule(state);
    EXPECT_STREQ(Load(kOnlyA), "only in A");
}

// String ids have 16 bits: a larger id names no string, even one whose low word has an entry.
TEST_F(ResourceChain, IdsAboveSixteenBitsFindNothing) {
    Join(stateA_, ModuleA());
    CString text("stale");
    EXPECT_FALSE(text.LoadString(0x10000u + kOnlyA));
    EXPECT_TRUE(text.IsEmpty());
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
