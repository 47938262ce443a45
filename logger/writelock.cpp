#include "writelock_p.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <sched.h>
#include <unistd.h>

#include <ctime>

#if !defined(LOGGER_WRITE_LOCK_STD) && !defined(LOGGER_WRITE_LOCK_ADAPTIVE)
namespace
{
// A waiter first lets the holder go on: a line written by one CPU after
// another is cheap, one written by CPUs in turn pays for moving the file's
// data in the kernel and ours between them. It looks at the lock once per
// kPollNanoseconds (looking takes the lock's cache line from the holder) and
// takes it when it was free at two looks in a row, or, once it has waited
// kTurnNanoseconds, at the first moment it is free. It sleeps after
// kSpinNanoseconds: then the holder is slow (a rollover, a sync) or not running.
// It sleeps at once when the holder took the lock on its own CPU, or the
// process may run on one CPU only: the holder cannot go on while it spins.
const long long kPollNanoseconds = 1000;
const long long kTurnNanoseconds = 5000;
const long long kSpinNanoseconds = 20000;
// A bound of its own, should the clock stand still (a test's fake clock).
const unsigned kMostSpins = 1u << 16;

long long MonotonicNanoseconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void RelaxCpu()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
    __asm__ __volatile__("yield" ::: "memory");
#endif
}

// With one CPU for the process (as taskset, cgroups or the host gave it),
// the holder cannot run while another thread spins.
bool SpinningHelps()
{
    static const bool bHelps = [] {
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        return sched_getaffinity(0, sizeof(cpus), &cpus) == 0 ? CPU_COUNT(&cpus) > 1
                                                             : sysconf(_SC_NPROCESSORS_ONLN) > 1;
    }();
    return bHelps;
}
} // namespace

namespace LogerDetail
{
bool WriteLock::IsHolderOn(int nCpu) const
{
    return nCpu >= 0 && __atomic_load_n(&m_nHolderCpu, __ATOMIC_RELAXED) == nCpu;
}

bool WriteLock::TryTake()
{
    int nExpected = kFree;
    return __atomic_load_n(&m_nState, __ATOMIC_RELAXED) == kFree &&
           __atomic_compare_exchange_n(&m_nState, &nExpected, kHeld, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

void WriteLock::LockContended()
{
    const int nCpu = sched_getcpu();
    if (SpinningHelps() && !IsHolderOn(nCpu)) {
        const long long nStart = MonotonicNanoseconds();
        long long nNextLook = nStart + kPollNanoseconds;
        bool bFreeAtLastLook = false;
        for (unsigned n = 0; n < kMostSpins; ++n) {
            RelaxCpu();
            if (IsHolderOn(nCpu))
                break;
            const long long nWaited = MonotonicNanoseconds() - nStart;
            if (nWaited >= kSpinNanoseconds)
                break;
            if (nWaited >= kTurnNanoseconds) {
                if (TryTake())
                    return;
                continue;
            }
            if (nStart + nWaited < nNextLook)
                continue;
            nNextLook += kPollNanoseconds;
            const bool bFree = __atomic_load_n(&m_nState, __ATOMIC_RELAXED) == kFree;
            if (bFree && bFreeAtLastLook && TryTake())
                return;
            bFreeAtLastLook = bFree;
        }
    }
    // Marked as slept on before sleeping, so that the holder's unlock wakes us.
    while (__atomic_exchange_n(&m_nState, kHeldWithSleepers, __ATOMIC_ACQUIRE) != kFree)
        syscall(SYS_futex, &m_nState, FUTEX_WAIT_PRIVATE, kHeldWithSleepers, nullptr, nullptr, 0);
}

void WriteLock::WakeOne()
{
    syscall(SYS_futex, &m_nState, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}
} // namespace LogerDetail
#endif

namespace LogerDetail
{
__thread int t_nInFileLock __attribute__((tls_model("initial-exec"))) = 0;

alignas(64) WriteLock g_fileLock;
} // namespace LogerDetail
