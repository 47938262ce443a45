// The stack walk of the crash trace: the frames glibc's backtrace finds, each
// named by the symbol look-up, and on 32-bit ARM, where the unwind tables end
// early, the return addresses found by scanning the stack. Apart from the
// handlers, as it is the part that depends on the machine.
#include "crashframes_p.h"

#include "crashline_p.h"
#include "crashsymbols_p.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <pthread.h>
#include <ucontext.h>

#include <cstddef>
#include <cstring>

namespace
{
// An address within the call that a return address follows: one byte before
// it, past the Thumb bit a return address on ARM may carry.
uintptr_t CallOf(uintptr_t nReturn)
{
#if defined(__arm__)
    return (nReturn & ~uintptr_t(1)) - 1;
#else
    return nReturn - 1;
#endif
}

// " symbol+0xOFF (module+0xOFF)" of an address, as far as dladdr knows it.
void PutSymbol(LogerDetail::TraceLine& line, uintptr_t nAddr, const Dl_info& info)
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

// The top of the calling thread's stack, noted before any crash: the limit of
// the stack scan below.
thread_local uintptr_t t_nStackTop = 0;

#if defined(__arm__)
// Whether [nStart, nEnd) lies in a loaded segment of an object that is
// readable and executable: code, as its program headers (read in place, at
// the start of its mapping) tell.
bool InCodeSegment(uintptr_t nStart, uintptr_t nEnd)
{
    uintptr_t nMapStart = 0, nMapEnd = 0, nBias = 0;
    if (!LogerDetail::FindObject(nStart, nMapStart, nMapEnd, nBias) || nMapEnd - nMapStart < sizeof(ElfW(Ehdr)))
        return false;
    const ElfW(Ehdr)* const pHeader = reinterpret_cast<const ElfW(Ehdr)*>(nMapStart);
    const uintptr_t nRoom = nMapEnd - nMapStart;
    if (memcmp(pHeader->e_ident, ELFMAG, SELFMAG) != 0 || pHeader->e_phentsize != sizeof(ElfW(Phdr)) ||
        pHeader->e_phoff > nRoom || pHeader->e_phnum > (nRoom - pHeader->e_phoff) / sizeof(ElfW(Phdr)))
        return false;
    const ElfW(Phdr)* const pSegments = reinterpret_cast<const ElfW(Phdr)*>(nMapStart + pHeader->e_phoff);
    for (int i = 0; i < pHeader->e_phnum; ++i) {
        const ElfW(Phdr)& seg = pSegments[i];
        if (seg.p_type == PT_LOAD && (seg.p_flags & (PF_R | PF_X)) == (PF_R | PF_X) &&
            nStart >= nBias + seg.p_vaddr && nEnd <= nBias + seg.p_vaddr + seg.p_filesz)
            return true;
    }
    return false;
}

// Whether a word is a return address: code of a loaded object right after a
// call (Thumb-2 BL, BLX and BLX register for an odd word; ARM BL, BLX and BLX
// register for a word-aligned one).
bool FollowsCall(uintptr_t nWord)
{
    if ((nWord & 1) != 0) {
        const uintptr_t nAt = nWord & ~uintptr_t(1);
        if (!InCodeSegment(nAt - 4, nAt))
            return false;
        uint16_t nFirst = 0, nSecond = 0;
        memcpy(&nFirst, reinterpret_cast<const void*>(nAt - 4), 2);
        memcpy(&nSecond, reinterpret_cast<const void*>(nAt - 2), 2);
        const bool bBlxRegister = (nSecond & 0xff87) == 0x4780;
        const bool bBl = (nFirst & 0xf800) == 0xf000 && (nSecond & 0xd000) == 0xd000;
        const bool bBlx = (nFirst & 0xf800) == 0xf000 && (nSecond & 0xd001) == 0xc000;
        return bBlxRegister || bBl || bBlx;
    }
    if ((nWord & 3) != 0 || !InCodeSegment(nWord - 4, nWord))
        return false;
    uint32_t n = 0;
    memcpy(&n, reinterpret_cast<const void*>(nWord - 4), 4);
    const bool bConditional = (n >> 28) != 0xf;
    return (bConditional && (n & 0x0f000000) == 0x0b000000) || (n & 0xfe000000) == 0xfa000000 ||
           (bConditional && (n & 0x0ffffff0) == 0x012fff30);
}
#endif
} // namespace

namespace LogerDetail
{
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
        const uintptr_t nLookUp = i == nFirst && bFirstIsExact ? nAddr : CallOf(nAddr);
        line.Begin();
        line.Text("#", 1);
        line.Decimal(static_cast<unsigned long long>(i - nFirst));
        line.Text(" ", 1);
        line.Hex(nAddr);
        Dl_info info = {};
        if (FindSymbol(nLookUp, info))
            PutSymbol(line, nAddr, info);
        line.Emit();
    }
    return nFrames > nFirst ? nFrames - nFirst : 0;
}

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
// frame. Past that, the stack is scanned from nSp up: each word that follows
// a call instruction in the code of a loaded object, inside a function it
// names, is written as a frame marked "scanned"; such a frame may be a stale
// one.
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
        unsigned char nType = STT_NOTYPE;
        if (!FollowsCall(nAddr) || !FindSymbol(CallOf(nAddr), info, &nType) || info.dli_sname == nullptr ||
            info.dli_fname == nullptr || (nType != STT_FUNC && nType != STT_GNU_IFUNC))
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
} // namespace LogerDetail
