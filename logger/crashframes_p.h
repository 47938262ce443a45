// The stack of the crash trace: one line a frame, each with its symbol and
// module when they are known.
#ifndef LOGGER_CRASHFRAMES_P_H
#define LOGGER_CRASHFRAMES_P_H

#include <cstdint>

namespace LogerDetail
{
// Frames of the trace at most; deep recursion shows its top.
constexpr int nMaxFrames = 64;

// The program counter at the fault, where the platform tells it (else 0).
uintptr_t FaultPc(const void* pContext);

// Writes the frames from nFirst on, numbered from 0: "#n 0xADDR
// symbol+0xOFF (module+0xOFF)". bFirstIsExact: the first one is where a
// signal came, not a return address. Returns how many it wrote.
int WriteFrames(void* const* pFrames, int nFrames, int nFirst, bool bFirstIsExact);

// Notes the top of the calling thread's stack, before any crash: the limit
// of the stack scan. Once per thread.
void NoteStackTop();

#if defined(__arm__)
// The frames found by scanning the stack from nSp up, numbered from nNumber
// on and marked "scanned".
void WriteScannedFrames(uintptr_t nSp, int nNumber);
#endif
} // namespace LogerDetail

#endif // LOGGER_CRASHFRAMES_P_H
