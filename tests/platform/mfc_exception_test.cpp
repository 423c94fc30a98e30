#include <gtest/gtest.h>

#include "talven.h"

namespace {

// The platform throws exception objects by pointer; the catcher releases them with Delete().
template <class Expected, class Thrower>
bool ThrowsPointerTo(Thrower thrower) {
    try {
        thrower();
    } catch (CException* e) {
        const bool right = dynamic_cast<Expected*>(e) != nullptr;
        e->Delete();
        return right;
    }
    return false;
}

TEST(AfxThrow, ThrowsReleasableExceptionPointers) {
    EXPECT_TRUE(ThrowsPointerTo<CResourceException>([] { AfxThrowResourceException(); }));
    EXPECT_TRUE(ThrowsPointerTo<CMemoryException>([] { AfxThrowMemoryException(); }));
}

TEST(CFileException, MessageNamesTheCauseAndTheFile) {
    CFileException error(CFileException::sharingViolation, 11, "Socket20100307.log");
    char buffer[128];
    ASSERT_TRUE(error.GetErrorMessage(buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "A sharing violation occurred: Socket20100307.log.");
    char tiny[8];
    ASSERT_TRUE(error.GetErrorMessage(tiny, sizeof tiny));
    EXPECT_STREQ(tiny, "A shari");
}

}  // namespace
