// What the crash trace needs from the rest of the library, readable from a
// signal handler: the descriptor of the open log file and the offset of
// local time from UTC, both kept in lock-free atomics.
#ifndef LOGGER_CRASH_P_H
#define LOGGER_CRASH_P_H

#include <cstddef>

namespace LogerDetail
{
// The log file's descriptor, or -1 while none is open. Called where the file
// is opened and closed; read by the crash trace.
void PublishLogFd(int nFd);
int PublishedLogFd();

// Seconds east of UTC of the local time just computed for a line; the crash
// trace stamps its lines with it, since localtime_r cannot run in a handler.
void NoteUtcOffset(long nSeconds);

// Once the crash handler is installed: gives the calling thread an
// alternate signal stack of its own, if it has none yet.
void KeepCrashStackForThread();
} // namespace LogerDetail

#endif // LOGGER_CRASH_P_H
