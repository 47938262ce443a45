// The lines of the crash trace: text and numbers put into a fixed buffer with
// no allocation and no lock, then written to the log file and to stderr.
// Apart from the stack walk and the handlers, so that what is safe to call in
// a signal handler is seen in one place.
#include "crashline_p.h"

#include "clock_p.h"
#include "crash_p.h"
#include "digits_p.h"
#include "levels_p.h"
#include "logfile_p.h"
#include "logger.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace
{
static_assert(std::atomic<int>::is_always_lock_free,
              "the crash trace reads the log file's descriptor from a signal handler");

std::atomic<int> g_nLogFd{-1};
// Set when a line of the trace could not go whole into the log file: the
// rest goes to stderr only, so that the file ends with a whole line.
bool g_bFileTraceEnded = false;

long ThreadTaskId()
{
    return syscall(SYS_gettid);
}
} // namespace

namespace LogerDetail
{
void PublishLogFd(int nFd)
{
    g_nLogFd.store(nFd, std::memory_order_release);
}

int TraceLogFd()
{
    return g_nLogFd.load(std::memory_order_acquire);
}

void TraceLine::Text(const char* p, size_t n)
{
    const size_t nRoom = sizeof(m_sz) - 2 - m_n;
    if (n > nRoom)
        n = nRoom;
    memcpy(m_sz + m_n, p, n);
    m_n += n;
}

void TraceLine::Text(const char* psz)
{
    Text(psz, strlen(psz));
}

void TraceLine::Decimal(unsigned long long n, size_t nWidth)
{
    char sz[32];
    Text(sz, static_cast<size_t>(PutPadded(sz, n, nWidth) - sz));
}

void TraceLine::Hex(uintptr_t n)
{
    char sz[2 + 2 * sizeof(unsigned long long)];
    char* const pEnd = sz + sizeof(sz);
    char* const pStart = PutDigits<16>(pEnd, n, "0123456789abcdef") - 2;
    pStart[0] = '0';
    pStart[1] = 'x';
    Text(pStart, static_cast<size_t>(pEnd - pStart));
}

void TraceLine::Begin()
{
    m_n = 0;
    char szTime[16];
    Text("[", 1);
    Text(szTime, TimeOfDayInHandler(szTime));
    Text("] [", 3);
    Text(szLevelNames[FATAL]);
    Text("] [0   ] [", 10);
    Decimal(static_cast<unsigned int>(pthread_self()), 5);
    Text("]  [crash]   [", 14);
}

void TraceLine::Emit()
{
    m_sz[m_n++] = ']';
    m_sz[m_n++] = '\n';
    const int nFd = g_nLogFd.load(std::memory_order_acquire);
    if (nFd >= 0 && !g_bFileTraceEnded)
        g_bFileTraceEnded = !WriteWhole(nFd);
    size_t nDone = 0;
    WriteAll(STDERR_FILENO, m_sz, m_n, nDone);
}

// The line into the log file, whole or not at all: never across the
// process's file size limit (whose SIGXFSZ would end the process before
// its own signal), and a part the disk took alone is cut off again.
bool TraceLine::WriteWhole(int nFd) const
{
    struct stat st;
    rlimit limit;
    if (fstat(nFd, &st) != 0 || (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
                                 static_cast<unsigned long long>(st.st_size) + m_n > limit.rlim_cur))
        return false;
    size_t nDone = 0;
    if (WriteAll(nFd, m_sz, m_n, nDone) == 0)
        return true;
    struct stat after;
    if (nDone > 0 && fstat(nFd, &after) == 0 && after.st_size == st.st_size + static_cast<off_t>(nDone))
        ftruncate(nFd, st.st_size);
    return false;
}

void EmitWithThread(TraceLine& line)
{
    line.Text(" in thread ");
    line.Decimal(static_cast<unsigned int>(pthread_self()));
    line.Text(" (task ");
    line.Decimal(static_cast<unsigned long long>(ThreadTaskId()));
    line.Text(")");
    line.Emit();
}
} // namespace LogerDetail
