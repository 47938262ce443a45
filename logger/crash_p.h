// What the crash trace needs from the rest of the library, readable from a
// signal handler: the descriptor of the open log file, kept in a lock-free
// atomic (the time of day comes from clock_p.h).
#ifndef LOGGER_CRASH_P_H
#define LOGGER_CRASH_P_H

#include <atomic>
#include <cstddef>

namespace LogerDetail
{
// The log file's descriptor, or -1 while none is open. Called where the file
// is opened and closed; read by the crash trace.
void PublishLogFd(int nFd);

// Set once by InstallCrashHandler. Until then a record pays one test of it
// for the crash trace, and nothing more.
extern std::atomic<bool> g_bCrashHandlerInstalled;
// Whether this thread has been seen by a record since the handler was installed.
extern __thread bool t_bCrashStackKept __attribute__((tls_model("initial-exec")));

void GiveThreadCrashStack();
// Once the crash handler is installed: gives the calling thread an
// alternate signal stack of its own, if it has none yet.
inline void KeepCrashStackForThread()
{
    if (__builtin_expect(g_bCrashHandlerInstalled.load(std::memory_order_relaxed), false) && !t_bCrashStackKept)
        GiveThreadCrashStack();
}
} // namespace LogerDetail

#endif // LOGGER_CRASH_P_H
