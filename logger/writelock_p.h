// The lock around the log file. It is held for one write(2), far less than
// what a sleep in the kernel and the wake-up after it cost (tens of
// microseconds when the CPU went idle): a thread that finds it taken waits a
// few microseconds awake while the holder runs on another CPU, and sleeps on
// a futex only when that was not enough.
#ifndef LOGGER_WRITELOCK_P_H
#define LOGGER_WRITELOCK_P_H

#include "logger.h"

namespace LogerDetail
{
class WriteLock
{
public:
    constexpr WriteLock() = default;
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

    void lock()
    {
        int nExpected = kFree;
        if (!__atomic_compare_exchange_n(&m_nState, &nExpected, kHeld, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            LockContended();
    }
    void unlock()
    {
        if (__atomic_exchange_n(&m_nState, kFree, __ATOMIC_RELEASE) == kHeldWithSleepers)
            WakeOne();
    }
    // In a child just forked: no other thread is left to hold it.
    void ResetInChild() { __atomic_store_n(&m_nState, kFree, __ATOMIC_RELAXED); }

private:
    enum : int
    {
        kFree,
        kHeld,
        kHeldWithSleepers // a thread may sleep on it: unlock wakes one
    };
    bool TryTake();
    void LockContended();
    void WakeOne();
    int m_nState = kFree;
};

// The one lock of the log file: records, starts and the shutdown take it.
// A cache line of its own: waiters look at it while the holder writes.
extern WriteLock g_fileLock;
inline WriteLock& FileLock()
{
    return g_fileLock;
}
} // namespace LogerDetail

#endif // LOGGER_WRITELOCK_P_H
