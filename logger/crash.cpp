// The crash trace: when the host dies of a fatal signal or an uncaught
// exception, the log ends with one FATAL line that names the signal, the fault
// address and the thread, then the stack, one frame a line. Written with
// write(2) from fixed buffers: no lock the crashed code may hold, no
// allocation. Then the host's previous disposition runs as if there had been
// no handler.
#include "crash_p.h"
#include "logger_extras.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <typeinfo>

namespace
{
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<long>::is_always_lock_free,
              "the crash trace reads these from a signal handler");

std::atomic<int> g_nLogFd{-1};
std::atomic<long> g_nUtcOffset{0};
std::atomic<bool> g_bInstalled{false};
// 0: no trace yet; 1: one is being written; 2: written.
std::atomic<int> g_nTrace{0};

const int nFatalSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGILL, SIGFPE};
const char* const szSignalNames[] = {"SIGSEGV", "SIGABRT", "SIGBUS", "SIGILL", "SIGFPE"};
struct sigaction g_previous[5];
std::terminate_handler g_pfnPreviousTerminate = nullptr;

// Frames of the trace at most; deep recursion shows its top.
const int nMaxFrames = 64;
// The alternate stack: room for the unwinder and the symbol look-up.
const size_t nAltStackSize = 64 * 1024;

int SignalIndex(int nSignal)
{
    for (int i = 0; i < 5; ++i)
        if (nFatalSignals[i] == nSignal)
            return i;
    return -1;
}

// One line of the trace in a fixed buffer; what does not fit is cut, the line
// still ends in "]\n".
class TraceLine
{
public:
    void Text(const char* p, size_t n)
    {
        const size_t nRoom = sizeof(m_sz) - 2 - m_n;
        if (n > nRoom)
            n = nRoom;
        memcpy(m_sz + m_n, p, n);
        m_n += n;
    }
    void Text(const char* psz) { Text(psz, strlen(psz)); }
    // n in decimal, padded with blanks to nWidth (as the line's number fields).
    void Decimal(unsigned long long n, int nWidth = 0)
    {
        char szDigits[24];
        int nDigits = 0;
        do {
            szDigits[nDigits++] = static_cast<char>('0' + n % 10);
            n /= 10;
        } while (n != 0);
        char szOut[24];
        for (int i = 0; i < nDigits; ++i)
            szOut[i] = szDigits[nDigits - 1 - i];
        Text(szOut, static_cast<size_t>(nDigits));
        for (int i = nDigits; i < nWidth; ++i)
            Text(" ", 1);
    }
    void Hex(uintptr_t n)
    {
        char szOut[2 + 2 * sizeof(uintptr_t)];
        int nDigits = 0;
        char szDigits[2 * sizeof(uintptr_t)];
        do {
            szDigits[nDigits++] = "0123456789abcdef"[n & 15];
            n >>= 4;
        } while (n != 0);
        szOut[0] = '0';
        szOut[1] = 'x';
        for (int i = 0; i < nDigits; ++i)
            szOut[2 + i] = szDigits[nDigits - 1 - i];
        Text(szOut, static_cast<size_t>(2 + nDigits));
    }
    void Two(long n)
    {
        const char sz[2] = {static_cast<char>('0' + n / 10), static_cast<char>('0' + n % 10)};
        Text(sz, 2);
    }
    // "[HH:MM:SS.mmm] [FATAL] [0   ] [tid  ]  [crash]   [": the usual line.
    void Begin()
    {
        m_n = 0;
        timespec now = {};
        clock_gettime(CLOCK_REALTIME, &now);
        const long long nLocal = static_cast<long long>(now.tv_sec) + g_nUtcOffset.load(std::memory_order_relaxed);
        const long nDay = static_cast<long>(((nLocal % 86400) + 86400) % 86400);
        Text("[", 1);
        Two(nDay / 3600);
        Text(":", 1);
        Two(nDay / 60 % 60);
        Text(":", 1);
        Two(nDay % 60);
        Text(".", 1);
        const long nMillis = now.tv_nsec / 1000000;
        Decimal(static_cast<unsigned long long>(nMillis / 100));
        Two(nMillis % 100);
        Text("] [FATAL] [0   ] [", 18);
        Decimal(static_cast<unsigned int>(pthread_self()), 5);
        Text("]  [crash]   [", 14);
    }
    // Ends the line and writes it to the log file and to stderr.
    void Emit()
    {
        m_sz[m_n++] = ']';
        m_sz[m_n++] = '\n';
        const int nFd = g_nLogFd.load(std::memory_order_acquire);
        if (nFd >= 0)
            WriteAll(nFd);
        WriteAll(STDERR_FILENO);
    }

private:
    void WriteAll(int nFd) const
    {
        size_t nDone = 0;
        LogerDetail::WriteAll(nFd, m_sz, m_n, nDone);
    }
    char m_sz[1024];
    size_t m_n = 0;
};

long ThreadTaskId()
{
    return syscall(SYS_gettid);
}

// Ends the first line of a trace: " in thread <id> (task <kernel id>)".
void EmitWithThread(TraceLine& line)
{
    line.Text(" in thread ");
    line.Decimal(static_cast<unsigned int>(pthread_self()));
    line.Text(" (task ");
    line.Decimal(static_cast<unsigned long long>(ThreadTaskId()));
    line.Text(")");
    line.Emit();
}

// " symbol+0xOFF (module+0xOFF)" of an address, as far as dladdr knows it.
void PutSymbol(TraceLine& line, uintptr_t nAddr, const Dl_info& info)
{
    if (info.dli_sname != nullptr) {
        line.Text(" ", 1);
        line.Text(info.dli_sname);
        line.Text("+", 1);
        line.Hex(nAddr - reinterpret_cast<uintptr_t>(info.dli_saddr));
    }
    if (info.dli_fname != nullptr) {
        line.Text(" (", 2);
        line.Text(info.dli_fname);
        line.Text("+", 1);
        line.Hex(nAddr - reinterpret_cast<uintptr_t>(info.dli_fbase));
        line.Text(")", 1);
    }
}

// The stack from frame nFirst on: "#n 0xADDR symbol+0xOFF (module+0xOFF)";
// the symbol is there when the module exports it (a program built with
// -rdynamic, any shared library), the module offset always. Every frame but
// the one where a signal came holds a return address, which may lie past the
// end of its function (a call that never returns): it is looked up one byte
// before.
int WriteFrames(void* const* pFrames, int nFrames, int nFirst, bool bFirstIsExact)
{
    TraceLine line;
    for (int i = nFirst; i < nFrames; ++i) {
        const uintptr_t nAddr = reinterpret_cast<uintptr_t>(pFrames[i]);
        const uintptr_t nLookUp = i == nFirst && bFirstIsExact ? nAddr : nAddr - 1;
        line.Begin();
        line.Text("#", 1);
        line.Decimal(static_cast<unsigned long long>(i - nFirst));
        line.Text(" ", 1);
        line.Hex(nAddr);
        Dl_info info = {};
        if (dladdr(reinterpret_cast<void*>(nLookUp), &info) != 0)
            PutSymbol(line, nAddr, info);
        line.Emit();
    }
    return nFrames > nFirst ? nFrames - nFirst : 0;
}

// The top of the calling thread's stack, noted before any crash: the limit of
// the stack scan below.
thread_local uintptr_t t_nStackTop = 0;

void NoteStackTop()
{
    pthread_attr_t attr;
    if (t_nStackTop != 0 || pthread_getattr_np(pthread_self(), &attr) != 0)
        return;
    void* pAddr = nullptr;
    size_t nSize = 0;
    if (pthread_attr_getstack(&attr, &pAddr, &nSize) == 0)
        t_nStackTop = reinterpret_cast<uintptr_t>(pAddr) + nSize;
    pthread_attr_destroy(&attr);
}

#if defined(__arm__)
// 32-bit ARM unwinds by its exception tables, which end at functions that
// never return or must not throw (abort, std::terminate) and at the signal
// frame. Past that, the stack is scanned from nSp up: each word that is the
// return address of a Thumb call (odd, one byte past a known function's code)
// is written as a frame marked "scanned"; such a frame may be a stale one.
void WriteScannedFrames(uintptr_t nSp, int nNumber)
{
    const uintptr_t nTop = t_nStackTop;
    if (nTop == 0 || nSp >= nTop)
        return;
    const uintptr_t nEnd = nTop - nSp > 256 * 1024 ? nSp + 256 * 1024 : nTop;
    TraceLine line;
    int nFound = 0;
    for (uintptr_t p = nSp & ~uintptr_t(3); p + 4 <= nEnd && nFound < nMaxFrames; p += 4) {
        const uintptr_t nAddr = *reinterpret_cast<const uintptr_t*>(p);
        Dl_info info = {};
        if ((nAddr & 1) == 0 || dladdr(reinterpret_cast<void*>(nAddr - 1), &info) == 0 || info.dli_sname == nullptr ||
            info.dli_fname == nullptr || reinterpret_cast<uintptr_t>(info.dli_saddr) > nAddr - 1)
            continue;
        line.Begin();
        line.Text("#", 1);
        line.Decimal(static_cast<unsigned long long>(nNumber + nFound));
        line.Text(" ", 1);
        line.Hex(nAddr);
        PutSymbol(line, nAddr, info);
        line.Text(" scanned", 8);
        line.Emit();
        ++nFound;
    }
}
#endif

// The program counter at the fault, where the platform tells it.
uintptr_t FaultPc(const void* pContext)
{
    const ucontext_t* const pUc = static_cast<const ucontext_t*>(pContext);
#if defined(__arm__)
    return pUc->uc_mcontext.arm_pc;
#elif defined(__x86_64__)
    return static_cast<uintptr_t>(pUc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    return static_cast<uintptr_t>(pUc->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
    return pUc->uc_mcontext.pc;
#else
    (void)pUc;
    return 0;
#endif
}

// Takes the trace for this thread; false when another thread took it (the
// caller then waits a moment for that one to be written) or it is written.
bool TakeTrace()
{
    int nExpected = 0;
    if (g_nTrace.compare_exchange_strong(nExpected, 1))
        return true;
    for (int i = 0; i < 200 && g_nTrace.load() == 1; ++i) {
        const timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

void OnFatalSignal(int nSignal, siginfo_t* pInfo, void* pContext)
{
    const int nIndex = SignalIndex(nSignal);
    const int nSavedErrno = errno;
    if (nIndex >= 0 && TakeTrace()) {
        TraceLine line;
        line.Begin();
        line.Text(szSignalNames[nIndex]);
        // A fault has an address; a signal sent (kill, raise, abort) a sender.
        if (pInfo != nullptr && pInfo->si_code > 0) {
            line.Text(" at address ");
            line.Hex(reinterpret_cast<uintptr_t>(pInfo->si_addr));
        } else if (pInfo != nullptr) {
            line.Text(" sent by process ");
            line.Decimal(static_cast<unsigned long long>(pInfo->si_pid));
        }
        EmitWithThread(line);
        void* pFrames[nMaxFrames];
        const int nFrames = backtrace(pFrames, nMaxFrames);
        // The trace starts at the frame that was running when the signal came.
        const uintptr_t nPc = FaultPc(pContext);
        int nFirst = -1;
        for (int i = 0; i < nFrames && nFirst < 0; ++i)
            if (nPc != 0 && reinterpret_cast<uintptr_t>(pFrames[i]) == nPc)
                nFirst = i;
#if defined(__arm__)
        // The tables may end at the signal frame: the frame that ran then
        // comes from the context, its caller from the link register; the
        // rest, in any case, from the stack.
        const mcontext_t& mc = static_cast<const ucontext_t*>(pContext)->uc_mcontext;
        int nWritten = 0;
        if (nFirst < 0) {
            void* const pFromContext[2] = {reinterpret_cast<void*>(mc.arm_pc), reinterpret_cast<void*>(mc.arm_lr)};
            nWritten = WriteFrames(pFromContext, 2, 0, true);
        } else {
            nWritten = WriteFrames(pFrames, nFrames, nFirst, true);
        }
        WriteScannedFrames(mc.arm_sp, nWritten);
#else
        WriteFrames(pFrames, nFrames, nFirst < 0 ? 0 : nFirst, nFirst >= 0);
#endif
        g_nTrace.store(2);
    }
    // As if there had been no handler: the previous disposition gets the
    // signal again once this handler returns (it is blocked until then).
    if (nIndex >= 0)
        sigaction(nSignal, &g_previous[nIndex], nullptr);
    else
        signal(nSignal, SIG_DFL);
    raise(nSignal);
    errno = nSavedErrno;
}

void OnTerminate()
{
    if (TakeTrace()) {
        char szType[256] = "";
        char szWhat[512] = "";
        const std::type_info* const pType = abi::__cxa_current_exception_type();
        if (pType != nullptr) {
            int nStatus = -1;
            char* const pszName = abi::__cxa_demangle(pType->name(), nullptr, nullptr, &nStatus);
            snprintf(szType, sizeof(szType), "%s", nStatus == 0 && pszName != nullptr ? pszName : pType->name());
            free(pszName);
            try {
                throw; // the exception terminate was called for
            } catch (const std::exception& e) {
                snprintf(szWhat, sizeof(szWhat), "%s", e.what());
            } catch (...) {
            }
        }
        TraceLine line;
        line.Begin();
        if (pType != nullptr) {
            line.Text("uncaught exception ");
            line.Text(szType);
            if (szWhat[0] != '\0') {
                line.Text(": ");
                line.Text(szWhat);
            }
        } else {
            line.Text("terminate called without an exception");
        }
        EmitWithThread(line);
        void* pFrames[nMaxFrames];
        const int nFrames = backtrace(pFrames, nMaxFrames);
        const int nWritten = WriteFrames(pFrames, nFrames, 1, false); // from the caller of this handler on
#if defined(__arm__)
        WriteScannedFrames(reinterpret_cast<uintptr_t>(&pFrames[0]), nWritten);
#else
        (void)nWritten;
#endif
        g_nTrace.store(2);
    }
    if (g_pfnPreviousTerminate != nullptr)
        g_pfnPreviousTerminate();
    abort();
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
void PublishLogFd(int nFd)
{
    g_nLogFd.store(nFd, std::memory_order_release);
}

int PublishedLogFd()
{
    return g_nLogFd.load(std::memory_order_acquire);
}

void NoteUtcOffset(long nSeconds)
{
    g_nUtcOffset.store(nSeconds, std::memory_order_relaxed);
}

void KeepCrashStackForThread()
{
    if (!g_bInstalled.load(std::memory_order_relaxed))
        return;
    // Once per thread: a thread whose stack the host set up keeps it.
    thread_local bool t_bDone = false;
    if (t_bDone)
        return;
    t_bDone = true;
    thread_local ThreadAltStack t_stack;
    t_stack.Ensure();
    NoteStackTop();
}
} // namespace LogerDetail

void InstallCrashHandler()
{
    if (g_bInstalled.exchange(true))
        return;
    // Loaded now, not in the handler: backtrace loads the unwinder on its
    // first call (which allocates), and the local time's offset needs the zone.
    void* pFrame = nullptr;
    backtrace(&pFrame, 1);
    Dl_info info;
    dladdr(reinterpret_cast<void*>(&InstallCrashHandler), &info);
    time_t tNow = time(nullptr);
    struct tm tmNow = {};
    if (localtime_r(&tNow, &tmNow) != nullptr)
        LogerDetail::NoteUtcOffset(tmNow.tm_gmtoff);
    LogerDetail::KeepCrashStackForThread();

    struct sigaction action = {};
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 5; ++i)
        sigaction(nFatalSignals[i], &action, &g_previous[i]);
    g_pfnPreviousTerminate = std::set_terminate(OnTerminate);
}
