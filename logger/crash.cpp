// The crash handler: installed once, on the fatal signals and std::terminate.
// When the host dies of a fatal signal or an uncaught exception, the log ends
// with the trace (crashtrace.cpp). A handler the host had before sees a fault
// first; the trace is written when it does not cure it. Then the process dies
// of its signal as if there had been no handler. Each thread that logs gets an
// alternate signal stack here, so that a stack overflow is traced too.
#include "crash_p.h"

#include "clock_p.h"
#include "crashframes_p.h"
#include "crashsymbols_p.h"
#include "crashtrace_p.h"
#include "logger_extras.h"

#include <execinfo.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <ucontext.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace
{
const int nFatalSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGILL, SIGFPE};
const char* const szSignalNames[] = {"SIGSEGV", "SIGABRT", "SIGBUS", "SIGILL", "SIGFPE"};
struct sigaction g_previous[5];
// A fault handed on to the host's handler, which returned without touching
// its context: when the same comes again at once, the handler did not cure it.
__thread uint64_t t_nFaultHandedOn __attribute__((tls_model("initial-exec"))) = 0;

// The alternate stack: room for the unwinder and the symbol look-up.
const size_t nAltStackSize = 64 * 1024;

int SignalIndex(int nSignal)
{
    for (int i = 0; i < 5; ++i)
        if (nFatalSignals[i] == nSignal)
            return i;
    return -1;
}

// A fault's identity: the signal, its code and address, and the registers.
// The same again right after the host's handler returned means the
// instruction ran again in the very same state: the handler did not cure it.
uint64_t FaultFingerprint(int nSignal, const siginfo_t* pInfo, const void* pContext)
{
    uint64_t nHash = 14695981039346656037ull;
    const auto mix = [&nHash](const void* p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            nHash = (nHash ^ static_cast<const unsigned char*>(p)[i]) * 1099511628211ull;
    };
    const void* const pAddr = pInfo->si_addr;
    mix(&nSignal, sizeof(nSignal));
    mix(&pInfo->si_code, sizeof(pInfo->si_code));
    mix(&pAddr, sizeof(pAddr));
    const mcontext_t& mc = static_cast<const ucontext_t*>(pContext)->uc_mcontext;
#if defined(__arm__)
    mix(&mc.arm_r0, reinterpret_cast<const char*>(&mc.fault_address) - reinterpret_cast<const char*>(&mc.arm_r0));
#elif defined(__x86_64__) || defined(__i386__)
    mix(mc.gregs, sizeof(mc.gregs));
#elif defined(__aarch64__)
    mix(mc.regs, sizeof(mc.regs) + sizeof(mc.sp) + sizeof(mc.pc) + sizeof(mc.pstate));
#else
    (void)mc;
    const uintptr_t nPc = LogerDetail::FaultPc(pContext);
    mix(&nPc, sizeof(nPc));
#endif
    return nHash;
}

bool IsHandler(const struct sigaction& action)
{
    return (action.sa_flags & SA_SIGINFO) != 0 || (action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN);
}

// Runs the handler the host had before, with the original siginfo and
// context, under the signal mask it asked for.
void CallHostHandler(int nIndex, int nSignal, siginfo_t* pInfo, void* pContext)
{
    const struct sigaction host = g_previous[nIndex];
    if ((host.sa_flags & SA_RESETHAND) != 0) { // reset when delivered, as the kernel would
        g_previous[nIndex].sa_handler = SIG_DFL;
        g_previous[nIndex].sa_flags &= ~SA_SIGINFO;
    }
    sigset_t mask, previous;
    pthread_sigmask(SIG_BLOCK, &host.sa_mask, &previous);
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    if ((host.sa_flags & SA_NODEFER) != 0)
        sigdelset(&mask, nSignal);
    else
        sigaddset(&mask, nSignal);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    if ((host.sa_flags & SA_SIGINFO) != 0)
        host.sa_sigaction(nSignal, pInfo, pContext);
    else
        host.sa_handler(nSignal);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void OnFatalSignal(int nSignal, siginfo_t* pInfo, void* pContext);

// Whether the signal still comes to this handler; when the host's handler
// put back the default (or ignores it), the fault that runs again ends the process.
bool IsStillOurs(int nSignal, bool& bDefault)
{
    struct sigaction now = {};
    sigaction(nSignal, nullptr, &now);
    bDefault = !IsHandler(now);
    return (now.sa_flags & SA_SIGINFO) != 0 && now.sa_sigaction == OnFatalSignal;
}

void OnFatalSignal(int nSignal, siginfo_t* pInfo, void* pContext)
{
    const int nIndex = SignalIndex(nSignal);
    const int nSavedErrno = errno;
    if (nIndex < 0 || pInfo == nullptr) {
        signal(nSignal, SIG_DFL);
        raise(nSignal);
        errno = nSavedErrno;
        return;
    }
    const bool bFault = pInfo->si_code > 0;
    if (IsHandler(g_previous[nIndex]) && bFault) {
        // The host's handler sees the fault first (a guard page, a lazy
        // mapping): when it returns, the instruction runs again, cured or not.
        const uint64_t nFault = FaultFingerprint(nSignal, pInfo, pContext);
        if (nFault != t_nFaultHandedOn) {
            CallHostHandler(nIndex, nSignal, pInfo, pContext);
            // Redirected (its context changed): cured. Else the same fault
            // again right away means it was not.
            t_nFaultHandedOn = FaultFingerprint(nSignal, pInfo, pContext) == nFault ? nFault : 0;
            bool bDefault = false;
            if (!IsStillOurs(nSignal, bDefault) && bDefault) // it gave the fault up to the default: the end
                LogerDetail::TraceSignal(szSignalNames[nIndex], pInfo, pContext);
            errno = nSavedErrno;
            return;
        }
        t_nFaultHandedOn = 0;
    } else if (IsHandler(g_previous[nIndex])) {
        // A signal sent: traced, as the process ends of it unless the host's
        // handler decides otherwise; if it returns, the process goes on and a
        // later crash is traced again.
        const bool bTraced = LogerDetail::TraceSignal(szSignalNames[nIndex], pInfo, pContext);
        CallHostHandler(nIndex, nSignal, pInfo, pContext);
        if (bTraced)
            LogerDetail::AllowAnotherTrace();
        errno = nSavedErrno;
        return;
    } else if (g_previous[nIndex].sa_handler == SIG_IGN && !bFault) {
        return; // ignored, as without this handler
    }
    LogerDetail::TraceSignal(szSignalNames[nIndex], pInfo, pContext);
    // As if there had been no handler: the default gets the signal again
    // once this handler returns (it is blocked until then).
    signal(nSignal, SIG_DFL);
    raise(nSignal);
    errno = nSavedErrno;
}

// An alternate signal stack for the calling thread, unless it has one: a
// stack overflow is a crash too, and its handler needs a stack of its own.
// The memory stays with the thread until it ends.
struct ThreadAltStack
{
    void* pMemory = nullptr;
    ~ThreadAltStack()
    {
        if (pMemory == nullptr)
            return;
        stack_t st = {};
        st.ss_flags = SS_DISABLE;
        sigaltstack(&st, nullptr);
        munmap(pMemory, nAltStackSize);
    }
    void Ensure()
    {
        stack_t old = {};
        if (pMemory != nullptr || sigaltstack(nullptr, &old) != 0 || !(old.ss_flags & SS_DISABLE))
            return;
        void* const p = mmap(nullptr, nAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            return;
        stack_t st = {};
        st.ss_sp = p;
        st.ss_size = nAltStackSize;
        if (sigaltstack(&st, nullptr) == 0)
            pMemory = p;
        else
            munmap(p, nAltStackSize);
    }
};
} // namespace

namespace LogerDetail
{
std::atomic<bool> g_bCrashHandlerInstalled{false};
__thread bool t_bCrashStackKept __attribute__((tls_model("initial-exec"))) = false;

void GiveThreadCrashStack()
{
    // Once per thread: a thread whose stack the host set up keeps it.
    t_bCrashStackKept = true;
    thread_local ThreadAltStack t_stack;
    t_stack.Ensure();
    NoteStackTop();
}
} // namespace LogerDetail

void InstallCrashHandler()
{
    if (LogerDetail::g_bCrashHandlerInstalled.exchange(true))
        return;
    // Loaded now, not in the handler: backtrace loads the unwinder on its
    // first call (which allocates), and the local time's offset needs the zone.
    void* pFrame = nullptr;
    backtrace(&pFrame, 1);
    LogerDetail::NoteProgramForSymbols();
    time_t tNow = time(nullptr);
    struct tm tmNow = {};
    if (localtime_r(&tNow, &tmNow) != nullptr)
        LogerDetail::NoteUtcOffset(tmNow.tm_gmtoff);
    LogerDetail::KeepCrashStackForThread();

    struct sigaction action = {};
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // Held back while the trace is written: a write across the file size
    // limit would end the process of SIGXFSZ before its own signal.
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGXFSZ);
    for (int i = 0; i < 5; ++i)
        sigaction(nFatalSignals[i], &action, &g_previous[i]);
    LogerDetail::InstallTerminateTrace();
}
