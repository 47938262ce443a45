// The clock of lines and file names. The date and time of day change once a
// second: broken down once per second and thread, the milliseconds come from
// each reading.
#include "clock_p.h"

#include "digits_p.h"

#include <atomic>

namespace
{
static_assert(std::atomic<long>::is_always_lock_free, "a signal handler reads the offset");
std::atomic<long> g_nUtcOffset{0};

// Milliseconds as three digits, truncated, never rounded up, then a NUL.
void PutMillis(char* p, long nNanos)
{
    const unsigned int nMillis = static_cast<unsigned int>(nNanos / 1000000);
    p[0] = static_cast<char>('0' + nMillis / 100);
    p[1] = static_cast<char>('0' + nMillis / 10 % 10);
    p[2] = static_cast<char>('0' + nMillis % 10);
    p[3] = '\0';
}
} // namespace

namespace LogerDetail
{
time_t StampTimeOfDay(TimeOfDayCache& cache, char szTime[16])
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != cache.tSecond) {
        struct tm tmVar;
        localtime_r(&now.tv_sec, &tmVar);
        NoteUtcOffset(tmVar.tm_gmtoff);
        char* p = PutDecimal(cache.szHms, tmVar.tm_hour, 2);
        *p++ = ':';
        p = PutDecimal(p, tmVar.tm_min, 2);
        *p++ = ':';
        PutDecimal(p, tmVar.tm_sec, 2);
        cache.tSecond = now.tv_sec;
    }
    memcpy(szTime, cache.szHms, 8);
    szTime[8] = '.';
    PutMillis(szTime + 9, now.tv_nsec);
    return now.tv_sec;
}

void NoteUtcOffset(long nSeconds)
{
    g_nUtcOffset.store(nSeconds, std::memory_order_relaxed);
}

size_t TimeOfDayInHandler(char szTime[16])
{
    timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    const long long nLocal = static_cast<long long>(now.tv_sec) + g_nUtcOffset.load(std::memory_order_relaxed);
    const int nDay = static_cast<int>(((nLocal % 86400) + 86400) % 86400);
    char* p = PutDecimal(szTime, nDay / 3600, 2);
    *p++ = ':';
    p = PutDecimal(p, nDay / 60 % 60, 2);
    *p++ = ':';
    p = PutDecimal(p, nDay % 60, 2);
    *p++ = '.';
    PutMillis(p, now.tv_nsec);
    return 12;
}
} // namespace LogerDetail
