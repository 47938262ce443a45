// The crash trace's content, written once for the whole process: for a fatal
// signal, its name and fault address or sender; for std::terminate, the
// uncaught exception; then the thread and the stack. Whether a signal is
// traced at all, and what happens after, is the handler's (crash.cpp).
#include "crashtrace_p.h"

#include "crashframes_p.h"
#include "crashline_p.h"
#include "queue_p.h"

#include <cxxabi.h>
#include <execinfo.h>
#include <time.h>
#include <ucontext.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <typeinfo>

namespace
{
// 0: no trace yet; 1: one is being written; 2: written.
std::atomic<int> g_nTrace{0};
std::terminate_handler g_pfnPreviousTerminate = nullptr;

// Takes the trace for this thread; false when another thread took it (the
// caller then waits a moment for that one to be written) or it is written.
bool TakeTrace()
{
    int nExpected = 0;
    if (g_nTrace.compare_exchange_strong(nExpected, 1)) {
        // What the writer thread has not written yet goes before the trace.
        LogerDetail::WriteOutQueueForCrash(LogerDetail::TraceLogFd());
        return true;
    }
    for (int i = 0; i < 200 && g_nTrace.load() == 1; ++i) {
        const timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return false;
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
        LogerDetail::TraceLine line;
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
        LogerDetail::EmitWithThread(line);
        void* pFrames[LogerDetail::nMaxFrames];
        const int nFrames = backtrace(pFrames, LogerDetail::nMaxFrames);
        const int nWritten = LogerDetail::WriteFrames(pFrames, nFrames, 1, false); // from the caller of this handler on
#if defined(__arm__)
        LogerDetail::WriteScannedFrames(reinterpret_cast<uintptr_t>(&pFrames[0]), nWritten);
#else
        (void)nWritten;
#endif
        g_nTrace.store(2);
    }
    if (g_pfnPreviousTerminate != nullptr)
        g_pfnPreviousTerminate();
    abort();
}
} // namespace

namespace LogerDetail
{
bool TraceSignal(const char* pszSignal, const siginfo_t* pInfo, void* pContext)
{
    if (!TakeTrace())
        return false;
    TraceLine line;
    line.Begin();
    line.Text(pszSignal);
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
    return true;
}

void AllowAnotherTrace()
{
    ResumeQueueAfterTrace();
    g_nTrace.store(0);
}

void InstallTerminateTrace()
{
    g_pfnPreviousTerminate = std::set_terminate(OnTerminate);
}
} // namespace LogerDetail
