#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "support/test_system.h"
#include "platform/mfc/CTimeClock.h"
#include "talven.h"

namespace {

// Runs a test in a fixed time zone five hours east of UTC (no daylight saving), so that local
// time and UTC differ; restores the process's zone afterwards.
class CTimeLocal : public ::testing::Test {
protected:
    void SetUp() override { talven_test::SetTimeZone("XYZ-5"); }
    void TearDown() override { talven_test::SetTimeZone(nullptr); }
};

TEST_F(CTimeLocal, FormatUsesLocalTime) {
    const CTime epoch(static_cast<std::time_t>(0));
    EXPECT_STREQ(epoch.Format("%Y-%m-%d %H:%M:%S"), "1970-01-01 05:00:00");
    EXPECT_EQ(epoch.GetHour(), 5);
}

TEST_F(CTimeLocal, FieldConstructorTakesLocalTime) {
    const CTime t(2010, 3, 7, 23, 59, 59);
    EXPECT_EQ(t.GetTime(), static_cast<std::time_t>(1268006399 - 5 * 3600));
    EXPECT_STREQ(t.Format("[%Y-%m-%d %H:%M:%S]"), "[2010-03-07 23:59:59]");
    EXPECT_EQ(t.GetYear(), 2010);
    EXPECT_EQ(t.GetMonth(), 3);
    EXPECT_EQ(t.GetDay(), 7);
    EXPECT_EQ(t.GetMinute(), 59);
    EXPECT_EQ(t.GetSecond(), 59);
}

TEST(CTimeFormat, LongAndEmptyResults) {
    std::string format;
    for (int i = 0; i < 2000; ++i) {
        format += "%Y";
    }
    const CTime t(2010, 3, 7, 9, 5, 1);
    EXPECT_EQ(t.Format(format.c_str()).GetLength(), 8000);
    EXPECT_TRUE(t.Format("").IsEmpty());
}

std::time_t FixedClock() { return 1234567890; }

TEST(CTimeClock, TestClockReplacesTheSystemClockUntilCleared) {
    talven::mfc::SetCurrentTimeClock(&FixedClock);
    EXPECT_EQ(CTime::GetCurrentTime().GetTime(), 1234567890);
    EXPECT_EQ(CTime::GetTickCount().GetTime(), 1234567890);
    talven::mfc::SetCurrentTimeClock(nullptr);
    EXPECT_NE(CTime::GetCurrentTime().GetTime(), 1234567890);
}

}  // namespace
