// The one write(2) per record: rollover first when the date, the size, the
// file at the name or the process's file size limit says so, then the bytes,
// preceded by a note when records were lost before.
#include "logdir_p.h"

#include "crash_p.h"
#include "messages_p.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <memory>

namespace
{
// Room for the note of lost records before a line.
const size_t nNoteRoom = 256;

// Under a file size limit a write that crosses it would raise SIGXFSZ, whose
// default ends the process: it is held back for this thread and dropped, and
// the write fails with EFBIG instead. Out of line: its signal sets are large
// for a small stack.
__attribute__((noinline)) int WriteAllUnderLimit(int nFd, const char* p, size_t n, size_t& nWritten)
{
    sigset_t xfsz, previous;
    sigemptyset(&xfsz);
    sigaddset(&xfsz, SIGXFSZ);
    pthread_sigmask(SIG_BLOCK, &xfsz, &previous);
    const int nError = LogerDetail::WriteAll(nFd, p, n, nWritten);
    if (nError == EFBIG && !sigismember(&previous, SIGXFSZ)) {
        const timespec noWait = {0, 0};
        sigtimedwait(&xfsz, nullptr, &noWait);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return nError;
}

// Non-zero while the thread writes to a log file.
__thread int t_nWritingLog __attribute__((tls_model("initial-exec"))) = 0;

// SIGXFSZ while the default disposition is in force: the process ends of it,
// as by default, unless the thread was writing to a log file. Then the write
// fails with EFBIG instead and a new file is started under the lowered limit.
void OnFileSizeSignal(int nSignal)
{
    if (t_nWritingLog != 0)
        return;
    const int nSavedErrno = errno;
    signal(nSignal, SIG_DFL);
    raise(nSignal); // delivered once this handler returns: it is blocked until then
    errno = nSavedErrno;
}

// The process's file size limit now; -1: none.
qint64 FileSizeLimit()
{
    rlimit limit;
    return getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
               ? static_cast<qint64>(limit.rlim_cur)
               : -1;
}
} // namespace

namespace LogerDetail
{
void HoldBackFileSizeSignal()
{
    struct sigaction now = {};
    if (sigaction(SIGXFSZ, nullptr, &now) != 0 || (now.sa_flags & SA_SIGINFO) != 0 || now.sa_handler != SIG_DFL)
        return; // the host's own choice stands
    struct sigaction action = {};
    action.sa_handler = OnFileSizeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGXFSZ, &action, nullptr);
}

// Writes all bytes: a short write is completed and EINTR retried, so a line
// goes out in one call unless the disk refuses part of it. Returns 0 or errno;
// nWritten tells how much reached the file.
int WriteAll(int nFd, const char* p, size_t n, size_t& nWritten)
{
    nWritten = 0;
    while (nWritten < n) {
        const ssize_t nRet = write(nFd, p + nWritten, n - nWritten);
        if (nRet > 0)
            nWritten += static_cast<size_t>(nRet);
        else if (nRet < 0 && errno == EINTR)
            continue;
        else
            return nRet < 0 ? errno : EIO;
    }
    return 0;
}

// Once a second: the path still leads to the directory in use, and the name
// to the open file (else it was deleted, moved or replaced), and its size,
// which other writers may have changed.
void LogDirectory::LookAtFile()
{
    struct stat st;
    if (!PathLeadsHere()) {
        // The directory moved away or was replaced: the new file says where
        // the records before it went.
        m_bReopen = true;
        m_nVanished += m_nSinceLook;
        m_movedFrom = QFile::encodeName(m_strFilePath);
    } else if (fstatat(m_nFileDirFd, m_fileName.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != m_nDev ||
               st.st_ino != m_nIno) {
        m_bReopen = true;
        m_nVanished += m_nSinceLook; // told at the top of the next file
    } else {
        m_nSize = st.st_size;
    }
    m_nSinceLook = 0;
    // The file size limit may have been lowered meanwhile (by the host, or
    // by another process with prlimit).
    const qint64 nLimit = FileSizeLimit();
    if (nLimit != m_nSizeLimit)
        NoteSizeLimit(nLimit);
}

void CountLostWithoutLock(int nErrno)
{
    static_assert(std::atomic<quint64>::is_always_lock_free, "counted from a signal handler");
    StatusBoard& board = Board();
    board.nLostWithoutLock.fetch_add(1, std::memory_order_relaxed);
    board.nLastErrno.store(nErrno, std::memory_order_relaxed);
    board.tLastFailure.store(static_cast<qint64>(time(nullptr)), std::memory_order_relaxed);
}

// Records lost without the lock join those the next line tells of.
__attribute__((noinline)) void LogDirectory::TakeLostWithoutLock()
{
    StatusBoard& board = Board();
    const quint64 nLost = board.nLostWithoutLock.exchange(0, std::memory_order_relaxed);
    m_nLost += nLost;
    m_nLostErrno = board.nLastErrno.load(std::memory_order_relaxed);
    board.nLost.store(board.nLost.load(std::memory_order_relaxed) + nLost, std::memory_order_relaxed);
}

void LogDirectory::CountLost(int nErrno)
{
    ++m_nLost;
    m_nLostErrno = nErrno;
    StatusBoard& board = Board();
    BumpCounter(board.nLost);
    board.nLastErrno.store(nErrno, std::memory_order_relaxed);
    board.tLastFailure.store(static_cast<qint64>(time(nullptr)), std::memory_order_relaxed);
}

// A file size limit other than the one the file was opened under: a new
// file is started when the next line would cross it.
void LogDirectory::NoteSizeLimit(qint64 nLimit)
{
    m_nSizeLimit = nLimit;
    StatusBoard& board = Board();
    std::lock_guard<std::mutex> lock(board.mutex);
    board.nFileSizeLimit = nLimit;
}

// A write refused as too large: the limit was lowered since it was last
// read. True when a new file that takes nBytes under the new one is open.
__attribute__((noinline)) bool LogDirectory::StartFileUnderLoweredLimit(size_t nBytes)
{
    const qint64 nLimit = FileSizeLimit();
    if (m_bShutDown || nLimit == m_nSizeLimit)
        return false;
    NoteSizeLimit(nLimit);
    return EnsureFile(time(nullptr), nBytes) && Fits(m_nSize, nBytes);
}

// Whether nBytes fit into the file under the limit as it is now (it may have
// been raised since it was last read).
__attribute__((noinline)) bool LogDirectory::FitsUnderLimitNow(size_t nBytes)
{
    const qint64 nLimit = FileSizeLimit();
    if (nLimit != m_nSizeLimit)
        NoteSizeLimit(nLimit);
    return Fits(m_nSize, nBytes);
}

int LogDirectory::Append(const RecordBytes& record, time_t tNow, int nLevel)
{
    if (Board().nLostWithoutLock.load(std::memory_order_relaxed) != 0)
        TakeLostWithoutLock();
    if (!m_bShutDown) {
        bool bCheck = m_nFd < 0 || tNow >= m_tNextDay || tNow < m_tDayStart || m_nSize >= m_nFullSize;
        if (m_nFd >= 0 && tNow != m_tChecked) {
            m_tChecked = tNow;
            LookAtFile();
            bCheck = bCheck || m_bReopen || m_nSize >= m_nFullSize;
        }
        // Under a file size limit, a new file before a line would cross it.
        const size_t nRoom = record.bytes.Size() + (m_nLost > 0 || m_bOpenLine || m_nVanished > 0 ? nNoteRoom : 0) +
                             static_cast<size_t>(m_movedFrom.size());
        bCheck = bCheck || (m_nSize > 0 && !Fits(m_nSize, nRoom));
        if (bCheck && !EnsureFile(tNow, nRoom)) {
            DiagnoseError(0, "get log instance failed!");
            CountLost(m_nOpenErrno);
            return -1;
        }
    }
    if (m_nFd < 0) {
        CountLost(m_nOpenErrno);
        return -1;
    }
    if (!Fits(m_nSize, record.bytes.Size()) && !FitsUnderLimitNow(record.bytes.Size())) {
        CountLost(EFBIG); // longer than the limit allows any file to be: no piece of it is written
        return -2;
    }
    const int nRet = WriteBytes(record);
    if (nRet == 0 && m_nSyncLevel >= 0 && nLevel >= m_nSyncLevel)
        fdatasync(m_nFd);
    return nRet;
}
} // namespace LogerDetail

namespace
{
// The rare line: the end of a cut line, notes of records lost or gone with a
// deleted file, then the record; built on the heap, so the common path keeps
// a small stack.
__attribute__((noinline)) void JoinWithNotes(LogerDetail::LineBuffer& joined, const LogerDetail::RecordBytes& record,
                                             bool bOpenLine, uint64_t nVanished, uint64_t nLost, int nLostErrno,
                                             const QByteArray& movedFrom)
{
    if (bOpenLine)
        joined.Append("\n", 1);
    std::unique_ptr<LogerDetail::RecordBytes> note(new LogerDetail::RecordBytes);
    char szNote[160];
    if (!movedFrom.isEmpty()) {
        const QByteArray text = "the log directory was moved or replaced: records before this line went to " +
                                movedFrom + " there, " + QByteArray::number(static_cast<qulonglong>(nVanished)) +
                                " of them since the last look";
        LogerDetail::FormatRecord(*note, record.szTime, WARN, 0, record.nThreadId, "logger", 6, text.constData(),
                                  static_cast<size_t>(text.size()));
        joined.Append(note->bytes.Data(), note->bytes.Size());
        note->bytes.Clear();
    } else if (nVanished > 0) {
        const int nNote =
            snprintf(szNote, sizeof(szNote),
                     "%" PRIu64 " record(s) went to the previous file, deleted or replaced since", nVanished);
        LogerDetail::FormatRecord(*note, record.szTime, WARN, 0, record.nThreadId, "logger", 6, szNote,
                                  static_cast<size_t>(nNote));
        joined.Append(note->bytes.Data(), note->bytes.Size());
        note->bytes.Clear();
    }
    if (nLost > 0) {
        const int nNote = snprintf(szNote, sizeof(szNote), "%" PRIu64 " record(s) lost before this line: %s", nLost,
                                   strerror(nLostErrno));
        LogerDetail::FormatRecord(*note, record.szTime, ERR, 0, record.nThreadId, "logger", 6, szNote,
                                  static_cast<size_t>(nNote));
        joined.Append(note->bytes.Data(), note->bytes.Size());
    }
    joined.Append(record.bytes.Data(), record.bytes.Size());
}
// Cuts the file back to nSize when the nWritten bytes after it are the last
// in it (nobody else has written since); true when done.
__attribute__((noinline)) bool CutBack(int nFd, qint64 nSize, size_t nWritten)
{
    struct stat st;
    return fstat(nFd, &st) == 0 && st.st_size == nSize + static_cast<qint64>(nWritten) &&
           ftruncate(nFd, static_cast<off_t>(nSize)) == 0;
}
} // namespace

// One attempt; a line cut short is cut off again where nobody else has
// written since, so the file never keeps a piece of a line. This and
// WriteBytes are inlined into Append: every record passes through them.
__attribute__((always_inline)) inline int LogerDetail::LogDirectory::WriteOnce(const char* pBytes, size_t nBytes)
{
    size_t nWritten = 0;
    ++t_nWritingLog;
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    const int nError = m_nSizeLimit < 0 ? LogerDetail::WriteAll(m_nFd, pBytes, nBytes, nWritten)
                                        : WriteAllUnderLimit(m_nFd, pBytes, nBytes, nWritten);
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    --t_nWritingLog;
    if (nError != 0 && nWritten > 0 && CutBack(m_nFd, m_nSize, nWritten))
        nWritten = 0;
    else if (nError != 0 && nWritten > 0)
        m_bOpenLine = pBytes[nWritten - 1] != '\n';
    m_nSize += static_cast<qint64>(nWritten);
    return nError;
}

__attribute__((always_inline)) inline int LogerDetail::LogDirectory::WriteBytes(const RecordBytes& record)
{
    const char* pBytes = record.bytes.Data();
    size_t nBytes = record.bytes.Size();
    std::unique_ptr<LineBuffer> joined;
    if (m_bOpenLine || m_nLost > 0 || m_nVanished > 0 || !m_movedFrom.isEmpty()) {
        joined.reset(new LineBuffer);
        JoinWithNotes(*joined, record, m_bOpenLine, m_nVanished, m_nLost, m_nLostErrno, m_movedFrom);
        pBytes = joined->Data();
        nBytes = joined->Size();
    }
    int nError = WriteOnce(pBytes, nBytes);
    if (nError == EFBIG && StartFileUnderLoweredLimit(nBytes))
        nError = WriteOnce(pBytes, nBytes);
    // A full disk frees itself once: this log's oldest files make room.
    if ((nError == ENOSPC || nError == EDQUOT) && HasSpaceLimits() && KeepWithinLimits(false) > 0)
        nError = WriteOnce(pBytes, nBytes);
    StatusBoard& board = Board();
    board.nFileSize.store(m_nSize, std::memory_order_relaxed);
    if (nError != 0) {
        CountLost(nError);
        return -2;
    }
    BumpCounter(board.nWritten);
    ++m_nSinceLook;
    if (joined) {
        m_bOpenLine = false;
        m_nLost = 0;
        m_nVanished = 0;
        m_movedFrom.clear();
    }
    return 0;
}
