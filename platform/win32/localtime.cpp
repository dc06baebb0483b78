// Local time over clock_gettime and localtime_r.
#include "platform/win32/localtime.h"

#include <atomic>
#include <ctime>

namespace {

void system_local_time(SYSTEMTIME* time) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    localtime_r(&now.tv_sec, &parts);
    time->wYear = static_cast<WORD>(parts.tm_year + 1900);
    time->wMonth = static_cast<WORD>(parts.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    time->wDay = static_cast<WORD>(parts.tm_mday);
    time->wHour = static_cast<WORD>(parts.tm_hour);
    time->wMinute = static_cast<WORD>(parts.tm_min);
    // A leap second (60) is shown as the last second of its minute, as Windows never gives 60.
    time->wSecond = static_cast<WORD>(parts.tm_sec > 59 ? 59 : parts.tm_sec);
    time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}

std::atomic<local_time_source> current_source{system_local_time};

} // namespace

void GetLocalTime(SYSTEMTIME* time) {
    if (time == nullptr) {
        return;
    }
    current_source.load()(time);
}

local_time_source set_local_time_source(local_time_source source) {
    return current_source.exchange(source == nullptr ? system_local_time : source);
}
