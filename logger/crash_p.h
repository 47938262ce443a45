// What the crash trace needs from the rest of the library, readable from a
// signal handler: the descriptor of the open log file, kept in a lock-free
// atomic (the time of day comes from clock_p.h).
#ifndef LOGGER_CRASH_P_H
#define LOGGER_CRASH_P_H

#include <cstddef>

namespace LogerDetail
{
// Writes all bytes with write(2): a short write is completed and EINTR
// retried. Returns 0 or errno; nWritten tells how much reached the file.
// Async-signal-safe, for the crash trace as for records.
int WriteAll(int nFd, const char* p, size_t n, size_t& nWritten);

// The log file's descriptor, or -1 while none is open. Called where the file
// is opened and closed; read by the crash trace.
void PublishLogFd(int nFd);
int PublishedLogFd();

// Once the crash handler is installed: gives the calling thread an
// alternate signal stack of its own, if it has none yet.
void KeepCrashStackForThread();
} // namespace LogerDetail

#endif // LOGGER_CRASH_P_H
