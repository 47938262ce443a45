// What the crash trace says: its first line (the signal or the uncaught
// exception, and the thread), then the stack. One trace at a time.
#ifndef LOGGER_CRASHTRACE_P_H
#define LOGGER_CRASHTRACE_P_H

#include <signal.h>

namespace LogerDetail
{
// The trace of a signal named pszSignal: the fault address or the sender,
// then the stack from the frame that ran when it came. False when another
// thread's trace was written instead.
bool TraceSignal(const char* pszSignal, const siginfo_t* pInfo, void* pContext);

// After a trace whose signal the host's handler survived: the writer thread
// goes on, and a later crash is traced again.
void AllowAnotherTrace();

// Puts the trace of std::terminate (an uncaught exception, its type and
// what()) before the terminate handler the host had.
void InstallTerminateTrace();
} // namespace LogerDetail

#endif // LOGGER_CRASHTRACE_P_H
