// Local time: GetLocalTime over localtime_r, with a seam for tests.
#pragma once

#include "platform/win32/error.h"

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;     // 1 to 12
    WORD wDayOfWeek; // 0 Sunday to 6 Saturday
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

// The current local time of the process's time zone (TZ), to the millisecond.
void GetLocalTime(SYSTEMTIME* time);

// Replaces the clock GetLocalTime reads, so tests can fix the time of day; null restores the
// system clock. Returns the previous source. Not for use while other threads read the time.
using local_time_source = void (*)(SYSTEMTIME* time);
local_time_source set_local_time_source(local_time_source source);
