// The lock around the log file. It is held for one write(2), far less than
// what a sleep in the kernel and the wake-up after it cost (tens of
// microseconds when the CPU went idle): a thread that finds it taken waits a
// few microseconds awake while the holder runs on another CPU, and sleeps on
// a futex only when that was not enough.
//
// The build may put a standard lock in its place (LOGGER_WRITE_LOCK in CMake:
// own, std for std::mutex, adaptive for glibc's adaptive mutex, which spins a
// bounded number of times before it sleeps), so that the benchmark can weigh
// them. Each keeps what the library asks of the lock: set up before any
// constructor runs, nothing to tear down at exit (threads may still log then),
// released in a child just forked, no cancellation point.
#ifndef LOGGER_WRITELOCK_P_H
#define LOGGER_WRITELOCK_P_H

#include "logger.h"

#include <pthread.h>
#include <sched.h>

#include <type_traits>

#if defined(LOGGER_WRITE_LOCK_STD)
#include <mutex>
#endif

namespace LogerDetail
{
#if defined(LOGGER_WRITE_LOCK_STD) || defined(LOGGER_WRITE_LOCK_ADAPTIVE)
class WriteLock
{
public:
    constexpr WriteLock() = default;
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

#if defined(LOGGER_WRITE_LOCK_STD)
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }
#else
    void lock() { pthread_mutex_lock(&m_mutex); }
    void unlock() { pthread_mutex_unlock(&m_mutex); }
#endif
    // In a child just forked: its one thread is the one that took the lock
    // before the fork, and lets it go (neither kind checks its owner).
    void ResetInChild() { unlock(); }

private:
#if defined(LOGGER_WRITE_LOCK_STD)
    std::mutex m_mutex;
#else
    pthread_mutex_t m_mutex = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
#endif
};
#else
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
        __atomic_store_n(&m_nHolderCpu, sched_getcpu(), __ATOMIC_RELAXED);
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
    bool IsHolderOn(int nCpu) const;
    void LockContended();
    void WakeOne();
    int m_nState = kFree;
    // The CPU the holder took the lock on: a waiter on the same CPU sleeps at
    // once, as the holder cannot go on while it spins (whatever their
    // priorities: a real-time waiter would even keep it off the CPU).
    int m_nHolderCpu = -1;
};
#endif
static_assert(std::is_trivially_destructible<WriteLock>::value, "the lock must still work while the process exits");

// The one lock of the log file: records, starts and the shutdown take it.
// A cache line of its own: waiters look at it while the holder writes.
extern WriteLock g_fileLock;
inline WriteLock& FileLock()
{
    return g_fileLock;
}

// Non-zero while the thread takes or holds the file's lock.
extern __thread int t_nInFileLock __attribute__((tls_model("initial-exec")));

// The file's lock for a section of the library. A thread that a signal
// interrupts while it takes or holds the lock must not wait for it again in
// the handler (it would wait for itself): a record's section is then not
// entered, Held() is false, and the record is lost.
class FileSection
{
public:
    explicit FileSection(bool bRecord = false) : m_bHeld(!bRecord || t_nInFileLock == 0)
    {
        if (!m_bHeld)
            return;
        ++t_nInFileLock;
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
        FileLock().lock();
    }
    ~FileSection()
    {
        if (!m_bHeld)
            return;
        FileLock().unlock();
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
        --t_nInFileLock;
    }
    FileSection(const FileSection&) = delete;
    FileSection& operator=(const FileSection&) = delete;
    bool Held() const { return m_bHeld; }

private:
    const bool m_bHeld;
};

// Whether the calling thread takes or holds the file's lock: a record handed
// in now comes from a signal handler that interrupted it there.
inline bool InFileLockHere()
{
    return t_nInFileLock != 0;
}

// Holds off the thread's cancellation for a record or a start: a write, an
// open at a rollover and the echo are cancellation points, and a thread
// cancelled inside would leave a piece of a line, or the lock or a start
// half done. A cancellation asked meanwhile acts at the thread's next
// cancellation point, or, for asynchronous cancellation, at the end of this
// scope: its destructor may throw the cancellation's unwinding, so it lives in
// a frame that lets exceptions through.
class NoCancellation
{
public:
    NoCancellation() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &m_nPrevious); }
    ~NoCancellation() noexcept(false) { pthread_setcancelstate(m_nPrevious, nullptr); }
    NoCancellation(const NoCancellation&) = delete;
    NoCancellation& operator=(const NoCancellation&) = delete;

private:
    int m_nPrevious = PTHREAD_CANCEL_ENABLE;
};
} // namespace LogerDetail

#endif // LOGGER_WRITELOCK_P_H
