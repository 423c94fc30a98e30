// wsprintfA: formatting into a caller's buffer, never beyond Win32's 1024-byte limit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/test_support.h"
#include "support/test_system.h"

namespace {

TEST(MessageFormat, CopiesTheTextWithItsTerminator) {
    char buffer[32];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(wsprintfA(buffer, "%s", "127.0.0.1"), 9);
    EXPECT_STREQ(buffer, "127.0.0.1");
    EXPECT_EQ(wsprintfA(buffer, "%d:%u", -5, 80u), 5);
    EXPECT_STREQ(buffer, "-5:80");
}

// The buffer of wsprintfA holds at most 1024 bytes (its reference page), the terminating NUL
// among them.
TEST(MessageFormat, LongOutputStopsAtTheLimitAndStaysTerminated) {
    char buffer[1100];
    std::memset(buffer, 'x', sizeof buffer);
    const std::string longText(2000, 'a');
    const int stored = wsprintfA(buffer, "%s", longText.c_str());
    if (talven_test::ExpectDocumented("wsprintfA fills 1024 bytes with text and no terminating "
                                      "NUL under Wine 8.0; wsprintfA's reference page limits the "
                                      "buffer to 1024 bytes, the NUL included")) {
        EXPECT_EQ(stored, 1023);
        EXPECT_EQ(buffer[1023], '\0');
        EXPECT_EQ(buffer[1024], 'x');  // nothing written past 1024 bytes
    } else {
        EXPECT_EQ(buffer[1024], 'x');  // Wine too writes nothing past 1024 bytes
    }
}

}  // namespace
