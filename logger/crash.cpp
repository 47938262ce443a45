// The crash trace: when the host dies of a fatal signal or an uncaught
// exception, the log ends with one FATAL line that names the signal, the fault
// address and the thread, then the stack, one frame a line. Written with
// write(2) from fixed buffers: no lock the crashed code or another thread may
// hold (not the loader's either), no allocation. A handler the host had
// before sees a fault first; the trace is written when it does not cure it.
// Then the process dies of its signal as if there had been no handler.
#include "clock_p.h"
#include "crash_p.h"
#include "queue_p.h"
#include "digits_p.h"
#include "levels_p.h"
#include "logfile_p.h"
#include "logger_extras.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
static_assert(std::atomic<int>::is_always_lock_free,
              "the crash trace reads these from a signal handler");

std::atomic<int> g_nLogFd{-1};
// 0: no trace yet; 1: one is being written; 2: written.
std::atomic<int> g_nTrace{0};

const int nFatalSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGILL, SIGFPE};
const char* const szSignalNames[] = {"SIGSEGV", "SIGABRT", "SIGBUS", "SIGILL", "SIGFPE"};
struct sigaction g_previous[5];
std::terminate_handler g_pfnPreviousTerminate = nullptr;
// The program's name as it was started, for its frames (the loader knows
// it by an empty name).
const char* g_pszProgram = "";
// Set when a line of the trace could not go whole into the log file: the
// rest goes to stderr only, so that the file ends with a whole line.
bool g_bFileTraceEnded = false;
// A fault handed on to the host's handler, which returned without touching
// its context: when the same comes again at once, the handler did not cure it.
__thread uint64_t t_nFaultHandedOn __attribute__((tls_model("initial-exec"))) = 0;

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
    void Decimal(unsigned long long n, size_t nWidth = 0)
    {
        char sz[32];
        Text(sz, static_cast<size_t>(LogerDetail::PutPadded(sz, n, nWidth) - sz));
    }
    void Hex(uintptr_t n)
    {
        char sz[2 + 2 * sizeof(unsigned long long)];
        char* const pEnd = sz + sizeof(sz);
        char* const pStart = LogerDetail::PutDigits<16>(pEnd, n, "0123456789abcdef") - 2;
        pStart[0] = '0';
        pStart[1] = 'x';
        Text(pStart, static_cast<size_t>(pEnd - pStart));
    }
    // "[HH:MM:SS.mmm] [FATAL] [0   ] [tid  ]  [crash]   [": the usual line.
    void Begin()
    {
        m_n = 0;
        char szTime[16];
        Text("[", 1);
        Text(szTime, LogerDetail::TimeOfDayInHandler(szTime));
        Text("] [", 3);
        Text(LogerDetail::szLevelNames[FATAL]);
        Text("] [0   ] [", 10);
        Decimal(static_cast<unsigned int>(pthread_self()), 5);
        Text("]  [crash]   [", 14);
    }
    // Ends the line and writes it to the log file and to stderr.
    void Emit()
    {
        m_sz[m_n++] = ']';
        m_sz[m_n++] = '\n';
        const int nFd = g_nLogFd.load(std::memory_order_acquire);
        if (nFd >= 0 && !g_bFileTraceEnded)
            g_bFileTraceEnded = !WriteWhole(nFd);
        size_t nDone = 0;
        LogerDetail::WriteAll(STDERR_FILENO, m_sz, m_n, nDone);
    }

private:
    // The line into the log file, whole or not at all: never across the
    // process's file size limit (whose SIGXFSZ would end the process before
    // its own signal), and a part the disk took alone is cut off again.
    bool WriteWhole(int nFd) const
    {
        struct stat st;
        rlimit limit;
        if (fstat(nFd, &st) != 0 || (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
                                     static_cast<unsigned long long>(st.st_size) + m_n > limit.rlim_cur))
            return false;
        size_t nDone = 0;
        if (LogerDetail::WriteAll(nFd, m_sz, m_n, nDone) == 0)
            return true;
        struct stat after;
        if (nDone > 0 && fstat(nFd, &after) == 0 && after.st_size == st.st_size + static_cast<off_t>(nDone))
            ftruncate(nFd, st.st_size);
        return false;
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

#if defined(DLFO_STRUCT_HAS_EH_DBASE)
// An address of the dynamic section: glibc relocates most of them in place,
// not those of a read-only section.
uintptr_t Relocated(uintptr_t n, const link_map* pMap, const dl_find_object& object)
{
    const bool bInside = n >= reinterpret_cast<uintptr_t>(object.dlfo_map_start) &&
                         n < reinterpret_cast<uintptr_t>(object.dlfo_map_end);
    return bInside ? n : n + pMap->l_addr;
}

// Where a symbol's code or data begins: a Thumb function's value has its
// lowest bit set, its first instruction lies one byte before.
uintptr_t SymbolStart(const ElfW(Sym)& sym)
{
#if defined(__arm__)
    if ((sym.st_info & 0xf) == STT_FUNC)
        return sym.st_value & ~uintptr_t(1);
#endif
    return sym.st_value;
}

// The number of dynamic symbols, from either hash table.
size_t SymbolCount(const uint32_t* pHash, const uint32_t* pGnuHash)
{
    if (pHash != nullptr)
        return pHash[1];
    if (pGnuHash == nullptr)
        return 0;
    const uint32_t nBuckets = pGnuHash[0], nFirst = pGnuHash[1], nBloom = pGnuHash[2];
    const uint32_t* const pBuckets =
        reinterpret_cast<const uint32_t*>(reinterpret_cast<const ElfW(Addr)*>(pGnuHash + 4) + nBloom);
    uint32_t nLast = 0;
    for (uint32_t i = 0; i < nBuckets; ++i)
        nLast = pBuckets[i] > nLast ? pBuckets[i] : nLast;
    if (nLast < nFirst)
        return nFirst;
    const uint32_t* const pChains = pBuckets + nBuckets - nFirst;
    while ((pChains[nLast] & 1) == 0)
        ++nLast;
    return nLast + 1;
}

// What dladdr tells of an address, found without the loader's lock (which
// dladdr takes: a crash while another thread loads a library would wait for
// it forever): _dl_find_object, made for unwinders and signal handlers, then
// the object's dynamic symbols read in place, matched as dladdr does.
bool FindSymbol(uintptr_t nAddr, Dl_info& info, unsigned char* pnType = nullptr)
{
    dl_find_object object;
    if (_dl_find_object(reinterpret_cast<void*>(nAddr), &object) != 0 || object.dlfo_link_map == nullptr)
        return false;
    const link_map* const pMap = object.dlfo_link_map;
    info.dli_fname = pMap->l_name != nullptr && pMap->l_name[0] != '\0' ? pMap->l_name : g_pszProgram;
    info.dli_fbase = object.dlfo_map_start;
    info.dli_sname = nullptr;
    info.dli_saddr = nullptr;
    const ElfW(Sym)* pSymbols = nullptr;
    const char* pszStrings = nullptr;
    size_t nStrings = 0;
    const uint32_t *pHash = nullptr, *pGnuHash = nullptr;
    for (const ElfW(Dyn)* pDyn = pMap->l_ld; pDyn != nullptr && pDyn->d_tag != DT_NULL; ++pDyn) {
        const uintptr_t n = Relocated(pDyn->d_un.d_ptr, pMap, object);
        if (pDyn->d_tag == DT_SYMTAB)
            pSymbols = reinterpret_cast<const ElfW(Sym)*>(n);
        else if (pDyn->d_tag == DT_STRTAB)
            pszStrings = reinterpret_cast<const char*>(n);
        else if (pDyn->d_tag == DT_STRSZ)
            nStrings = pDyn->d_un.d_val;
        else if (pDyn->d_tag == DT_HASH)
            pHash = reinterpret_cast<const uint32_t*>(n);
        else if (pDyn->d_tag == DT_GNU_HASH)
            pGnuHash = reinterpret_cast<const uint32_t*>(n);
    }
    if (pSymbols == nullptr || pszStrings == nullptr)
        return true;
    const ElfW(Sym)* pBest = nullptr;
    const size_t nSymbols = SymbolCount(pHash, pGnuHash);
    for (size_t i = 0; i < nSymbols; ++i) {
        const ElfW(Sym)& sym = pSymbols[i];
        const uintptr_t nValue = pMap->l_addr + SymbolStart(sym);
        if (sym.st_name == 0 || sym.st_name >= nStrings || (sym.st_info & 0xf) == STT_TLS ||
            sym.st_shndx == SHN_ABS || (sym.st_shndx == SHN_UNDEF && sym.st_value == 0) || nAddr < nValue)
            continue;
        const bool bInside = nAddr < nValue + sym.st_size || (sym.st_size == 0 && nAddr == nValue);
        if (bInside && (pBest == nullptr || SymbolStart(*pBest) < SymbolStart(sym)))
            pBest = &sym;
    }
    if (pBest != nullptr) {
        info.dli_sname = pszStrings + pBest->st_name;
        info.dli_saddr = reinterpret_cast<void*>(pMap->l_addr + SymbolStart(*pBest));
        if (pnType != nullptr)
            *pnType = pBest->st_info & 0xf;
    }
    return true;
}

#if defined(__arm__)
// The object mapped at an address: where its mapping begins (its ELF
// header) and ends, and its load bias.
bool FindObject(uintptr_t nAddr, uintptr_t& nMapStart, uintptr_t& nMapEnd, uintptr_t& nBias)
{
    dl_find_object object;
    if (_dl_find_object(reinterpret_cast<void*>(nAddr), &object) != 0 || object.dlfo_link_map == nullptr)
        return false;
    nMapStart = reinterpret_cast<uintptr_t>(object.dlfo_map_start);
    nMapEnd = reinterpret_cast<uintptr_t>(object.dlfo_map_end);
    nBias = object.dlfo_link_map->l_addr;
    return true;
}
#endif
#else
// Without _dl_find_object (glibc before 2.35): dladdr, which may wait for the
// loader's lock.
bool FindSymbol(uintptr_t nAddr, Dl_info& info, unsigned char* pnType = nullptr)
{
    const ElfW(Sym)* pSym = nullptr;
    if (dladdr1(reinterpret_cast<void*>(nAddr), &info, reinterpret_cast<void**>(&pSym), RTLD_DL_SYMENT) == 0)
        return false;
    if (pnType != nullptr && pSym != nullptr)
        *pnType = pSym->st_info & 0xf;
    return true;
}

#if defined(__arm__)
bool FindObject(uintptr_t nAddr, uintptr_t& nMapStart, uintptr_t& nMapEnd, uintptr_t& nBias)
{
    Dl_info info = {};
    link_map* pMap = nullptr;
    if (dladdr1(reinterpret_cast<void*>(nAddr), &info, reinterpret_cast<void**>(&pMap), RTLD_DL_LINKMAP) == 0 ||
        pMap == nullptr)
        return false;
    nMapStart = reinterpret_cast<uintptr_t>(info.dli_fbase);
    nMapEnd = nMapStart + 4096; // its program headers lie in the first page
    nBias = pMap->l_addr;
    return true;
}
#endif
#endif

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
// Whether [nStart, nEnd) lies in a loaded segment of an object that is
// readable and executable: code, as its program headers (read in place, at
// the start of its mapping) tell.
bool InCodeSegment(uintptr_t nStart, uintptr_t nEnd)
{
    uintptr_t nMapStart = 0, nMapEnd = 0, nBias = 0;
    if (!FindObject(nStart, nMapStart, nMapEnd, nBias) || nMapEnd - nMapStart < sizeof(ElfW(Ehdr)))
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
    if (g_nTrace.compare_exchange_strong(nExpected, 1)) {
        // What the writer thread has not written yet goes before the trace.
        LogerDetail::WriteOutQueueForCrash(g_nLogFd.load(std::memory_order_acquire));
        return true;
    }
    for (int i = 0; i < 200 && g_nTrace.load() == 1; ++i) {
        const timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

void OnFatalSignal(int nSignal, siginfo_t* pInfo, void* pContext);

// The trace of a signal: its name and fault address or sender, then the
// stack. False when another thread's trace was written instead.
bool TraceSignal(int nIndex, const siginfo_t* pInfo, void* pContext)
{
    if (!TakeTrace())
        return false;
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
    return true;
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
    const uintptr_t nPc = FaultPc(pContext);
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
                TraceSignal(nIndex, pInfo, pContext);
            errno = nSavedErrno;
            return;
        }
        t_nFaultHandedOn = 0;
    } else if (IsHandler(g_previous[nIndex])) {
        // A signal sent: traced, as the process ends of it unless the host's
        // handler decides otherwise; if it returns, the process goes on and a
        // later crash is traced again.
        const bool bTraced = TraceSignal(nIndex, pInfo, pContext);
        CallHostHandler(nIndex, nSignal, pInfo, pContext);
        if (bTraced) {
            LogerDetail::ResumeQueueAfterTrace();
            g_nTrace.store(0);
        }
        errno = nSavedErrno;
        return;
    } else if (g_previous[nIndex].sa_handler == SIG_IGN && !bFault) {
        return; // ignored, as without this handler
    }
    TraceSignal(nIndex, pInfo, pContext);
    // As if there had been no handler: the default gets the signal again
    // once this handler returns (it is blocked until then).
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
std::atomic<bool> g_bCrashHandlerInstalled{false};
__thread bool t_bCrashStackKept __attribute__((tls_model("initial-exec"))) = false;

void PublishLogFd(int nFd)
{
    g_nLogFd.store(nFd, std::memory_order_release);
}

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
    g_pszProgram = program_invocation_name != nullptr ? program_invocation_name : "";
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
    g_pfnPreviousTerminate = std::set_terminate(OnTerminate);
}
