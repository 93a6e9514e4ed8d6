// The manual clock and the calendar-time helpers built on it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "NQClock.h"
#include "NQTime.h"

namespace NQClock = NQBase::NQClock;
using NQBase::FormatTimeStr;

namespace {

constexpr int64_t kWallStart = 1700000000123;  // 2023-11-14 22:13:20.123 UTC

// Sets TZ for the scope of a test.
class ScopedTZ {
public:
    explicit ScopedTZ(const char* tz) {
        const char* old = std::getenv("TZ");
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTZ() {
        if (hadOld_) setenv("TZ", old_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    bool hadOld_ = false;
    std::string old_;
};

class ManualClock : public ::testing::Test {
protected:
    void SetUp() override { NQClock::useManual(kWallStart); }
    void TearDown() override { NQClock::useReal(); }
};

TEST_F(ManualClock, CalendarTimeStartsWhereTold) {
    EXPECT_TRUE(NQClock::isManual());
    EXPECT_EQ(NQClock::wallMs(), kWallStart);
    EXPECT_EQ(NQBase::GetCurrentSystemTime(), kWallStart);
    EXPECT_EQ(NQBase::nq_time64(), kWallStart / 1000);
}

TEST_F(ManualClock, AdvanceMovesBothClocks) {
    int64_t steady = NQClock::steadyMs();
    NQClock::advance(1500);
    EXPECT_EQ(NQClock::steadyMs(), steady + 1500);
    EXPECT_EQ(NQClock::wallMs(), kWallStart + 1500);
    EXPECT_EQ(NQBase::nq_time64(), (kWallStart + 1500) / 1000);
}

TEST_F(ManualClock, SetWallMsChangesCalendarTimeOnly) {
    int64_t steady = NQClock::steadyMs();
    const int64_t weekLater = kWallStart + 7LL * 24 * 3600 * 1000;
    NQClock::setWallMs(weekLater);
    EXPECT_EQ(NQClock::wallMs(), weekLater);
    EXPECT_EQ(NQClock::steadyMs(), steady);
}

TEST_F(ManualClock, TimesBefore1970RoundDown) {
    NQClock::setWallMs(-1);
    EXPECT_EQ(NQBase::nq_time64(), -1);
}

TEST_F(ManualClock, FormatTimeStrOfTheManualTime) {
    ScopedTZ tz("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(FormatTimeStr(NQBase::nq_time64(), false), "2023-11-14 22:13:20");
    EXPECT_EQ(FormatTimeStr(NQBase::nq_time64(), true), "2023-11-14 23:13:20");
}

TEST(RuntimeClock, UseRealRestoresSystemTime) {
    NQClock::useManual(0);
    NQClock::useReal();
    EXPECT_FALSE(NQClock::isManual());
    using namespace std::chrono;
    int64_t system = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(static_cast<double>(NQClock::wallMs()), static_cast<double>(system), 1000.0);
}

TEST(RuntimeClock, AdvanceAndSetWallMsDoNothingOnRealTime) {
    NQClock::useReal();
    int64_t before = NQClock::wallMs();
    NQClock::setWallMs(5);
    NQClock::advance(100000);
    EXPECT_GE(NQClock::wallMs(), before);
    EXPECT_LT(NQClock::wallMs(), before + 100000);
}

TEST(RuntimeTime, FormatTimeStrInUtc) {
    EXPECT_EQ(FormatTimeStr(0, false), "1970-01-01 00:00:00");
    EXPECT_EQ(FormatTimeStr(1700000000, false), "2023-11-14 22:13:20");
    EXPECT_EQ(FormatTimeStr(951782400, false), "2000-02-29 00:00:00");
    EXPECT_EQ(FormatTimeStr(4102444799, false), "2099-12-31 23:59:59");  // past 2038
}

TEST(RuntimeTime, FormatTimeStrInLocalTimeFollowsTheZone) {
    ScopedTZ tz("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(FormatTimeStr(0, true), "1970-01-01 01:00:00");
    EXPECT_EQ(FormatTimeStr(1700000000, true), "2023-11-14 23:13:20");  // winter, +1
    EXPECT_EQ(FormatTimeStr(1690000000, true), "2023-07-22 06:26:40");  // summer, +2
}

TEST(RuntimeTime, LocalTimeBrokenDown) {
    ScopedTZ tz("CET-1CEST,M3.5.0,M10.5.0/3");
    std::tm parts{};
    ASSERT_TRUE(NQBase::nq_localtime64(1700000000, &parts));
    EXPECT_EQ(parts.tm_year, 123);
    EXPECT_EQ(parts.tm_mon, 10);
    EXPECT_EQ(parts.tm_mday, 14);
    EXPECT_EQ(parts.tm_hour, 23);
    EXPECT_EQ(parts.tm_min, 13);
    EXPECT_EQ(parts.tm_sec, 20);
    EXPECT_EQ(parts.tm_isdst, 0);
    EXPECT_FALSE(NQBase::nq_localtime64(0, nullptr));
}

TEST(RuntimeTime, DiffTimeIsEndMinusBegin) {
    EXPECT_DOUBLE_EQ(NQBase::nq_difftime64(10, 4), 6.0);
    EXPECT_DOUBLE_EQ(NQBase::nq_difftime64(4, 10), -6.0);
    EXPECT_DOUBLE_EQ(NQBase::nq_difftime64(1700000000 + 604800, 1700000000), 604800.0);
}

}  // namespace
