// Tests of the local time.
#include "platform/win32/localtime.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

void fixed_time(SYSTEMTIME* time) {
    *time = SYSTEMTIME{2001, 2, 6, 3, 4, 5, 6, 7};
}

TEST(LocalTime, FollowsLocaltimeOfTheTimeZone) {
    // Both clocks are read within one second, so that an hour or a day turning between the
    // two readings cannot make them differ.
    SYSTEMTIME now{};
    std::time_t seconds = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        const std::time_t before = std::time(nullptr);
        GetLocalTime(&now);
        seconds = std::time(nullptr);
        if (seconds == before) {
            break;
        }
    }
    std::tm parts{};
    localtime_r(&seconds, &parts);
    EXPECT_EQ(now.wYear, parts.tm_year + 1900);
    EXPECT_EQ(now.wMonth, parts.tm_mon + 1);
    EXPECT_EQ(now.wDay, parts.tm_mday);
    EXPECT_EQ(now.wDayOfWeek, parts.tm_wday);
    EXPECT_EQ(now.wHour, parts.tm_hour);
    EXPECT_LT(now.wMilliseconds, 1000);
}

TEST(LocalTime, TestsCanFixTheClockAndRestoreIt) {
    const local_time_source previous = set_local_time_source(fixed_time);
    SYSTEMTIME fixed{};
    GetLocalTime(&fixed);
    EXPECT_EQ(fixed.wYear, 2001);
    EXPECT_EQ(fixed.wHour, 4);
    EXPECT_EQ(fixed.wSecond, 6);
    set_local_time_source(previous);

    SYSTEMTIME now{};
    GetLocalTime(&now);
    EXPECT_GT(now.wYear, 2020);
}

} // namespace
