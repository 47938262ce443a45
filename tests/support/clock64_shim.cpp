// Preloaded after libfaketime into the test host: on 32-bit targets built with
// 64-bit time, the 64-bit clock calls (__clock_gettime64, __gettimeofday64,
// __time64), which libfaketime does not know, read libfaketime's 32-bit clock;
// with CLOCK64_AT (seconds since 1970) they stand at that time at their first
// call instead, past 2038 too, and run on from there. On 64-bit targets
// nothing calls these names and libfaketime alone moves the clock.
#include <dlfcn.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace
{
struct Timespec64
{
    int64_t tv_sec;
    int32_t tv_nsec;
    int32_t padding;
};
struct Timeval64
{
    int64_t tv_sec;
    int64_t tv_usec;
};
using RealClock = int (*)(clockid_t, Timespec64*);
struct Timespec32
{
    int32_t tv_sec;
    int32_t tv_nsec;
};
using FakedClock = int (*)(clockid_t, Timespec32*);
const int64_t nUnset = INT64_MIN;
std::atomic<int64_t> g_offset{nUnset};
} // namespace

extern "C" {
__attribute__((visibility("default"))) int __clock_gettime64(clockid_t id, Timespec64* ts)
{
    static const RealClock real = reinterpret_cast<RealClock>(dlsym(RTLD_NEXT, "__clock_gettime64"));
    static const FakedClock faked = reinterpret_cast<FakedClock>(dlsym(RTLD_DEFAULT, "clock_gettime"));
    const bool realtime = id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE;
    if (realtime && getenv("CLOCK64_AT") == nullptr && sizeof(long) == 4) {
        Timespec32 ts32;
        const int result = faked(id, &ts32);
        ts->tv_sec = ts32.tv_sec;
        ts->tv_nsec = ts32.tv_nsec;
        ts->padding = 0;
        return result;
    }
    const int result = real(id, ts);
    if (result != 0 || !realtime || getenv("CLOCK64_AT") == nullptr)
        return result;
    int64_t offset = g_offset.load();
    if (offset == nUnset) {
        const int64_t wanted = atoll(getenv("CLOCK64_AT")) - ts->tv_sec;
        g_offset.compare_exchange_strong(offset, wanted);
        offset = g_offset.load();
    }
    ts->tv_sec += offset;
    return 0;
}

__attribute__((visibility("default"))) int __gettimeofday64(Timeval64* tv, void*)
{
    Timespec64 ts;
    const int result = __clock_gettime64(CLOCK_REALTIME, &ts);
    if (result == 0 && tv != nullptr) {
        tv->tv_sec = ts.tv_sec;
        tv->tv_usec = ts.tv_nsec / 1000;
    }
    return result;
}

__attribute__((visibility("default"))) int64_t __time64(int64_t* t)
{
    Timespec64 ts;
    __clock_gettime64(CLOCK_REALTIME, &ts);
    if (t != nullptr)
        *t = ts.tv_sec;
    return ts.tv_sec;
}
}
