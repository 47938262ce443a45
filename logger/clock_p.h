// The clock of lines: the time of day "HH:MM:SS.mmm" of a record (broken
// down once a second per thread), and the offset from UTC that lets a signal handler tell the time of day
// without localtime_r.
#ifndef LOGGER_CLOCK_P_H
#define LOGGER_CLOCK_P_H

#include <cstddef>
#include <ctime>

namespace LogerDetail
{
// The hours, minutes and seconds of the current second of one thread.
struct TimeOfDayCache
{
    time_t tSecond = -1;
    char szHms[32] = {}; // room for any value localtime_r may give
};
// The local time of day "HH:MM:SS.mmm" of one clock reading, the second
// taken from the cache when it is the same; returns the reading's seconds.
// Notes the offset from UTC for TimeOfDayInHandler.
time_t StampTimeOfDay(TimeOfDayCache& cache, char szTime[16]);

// Seconds east of UTC of the local time just computed; kept in a lock-free
// atomic for TimeOfDayInHandler.
void NoteUtcOffset(long nSeconds);

// "HH:MM:SS.mmm" of now by the offset last noted, NUL-terminated; returns its
// length. Async-signal-safe: for the crash trace, where localtime_r cannot run.
size_t TimeOfDayInHandler(char szTime[16]);
} // namespace LogerDetail

#endif // LOGGER_CLOCK_P_H
