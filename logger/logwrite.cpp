// A record into the log directory: rollover first when the date, the size,
// the file at the name or the process's file size limit says so, then the
// file's one write, preceded by a note when records were lost before; a
// write refused for the size limit or a full disk is tried once more.
#include "logdir_p.h"

#include "messages_p.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <memory>

namespace
{
// Room for the note of lost records before a line.
const size_t nNoteRoom = 256;
} // namespace

namespace LogerDetail
{
// Once a second: the path still leads to the directory in use, and the name
// to the open file (else it was deleted, moved or replaced), and its size,
// which other writers may have changed.
void LogDirectory::LookAtFile()
{
    if (!PathLeadsHere()) {
        // The directory moved away or was replaced: the new file says where
        // the records before it went; deleted, that they went with it.
        m_bReopen = true;
        m_nVanished += m_nSinceLook;
        struct stat st;
        if (fstat(m_nDirFd, &st) != 0 || st.st_nlink > 0)
            m_movedFrom = QFile::encodeName(m_file.Path());
    } else if (!m_file.StillAtName()) {
        m_bReopen = true;
        m_nVanished += m_nSinceLook; // told at the top of the next file
    }
    m_nSinceLook = 0;
    // The file size limit may have been lowered meanwhile (by the host, or
    // by another process with prlimit).
    if (m_file.ReadSizeLimit())
        TellSizeLimit();
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
void LogDirectory::TellSizeLimit()
{
    StatusBoard& board = Board();
    std::lock_guard<std::mutex> lock(board.mutex);
    board.nFileSizeLimit = m_file.SizeLimit();
}

// A write refused as too large: the limit was lowered since it was last
// read. True when a new file that takes nBytes under the new one is open.
__attribute__((noinline)) bool LogDirectory::StartFileUnderLoweredLimit(size_t nBytes)
{
    if (m_bShutDown || !m_file.ReadSizeLimit())
        return false;
    TellSizeLimit();
    return EnsureFile(time(nullptr), nBytes) && m_file.Fits(nBytes);
}

// Whether nBytes fit into the file under the limit as it is now (it may have
// been raised since it was last read).
__attribute__((noinline)) bool LogDirectory::FitsUnderLimitNow(size_t nBytes)
{
    if (m_file.ReadSizeLimit())
        TellSizeLimit();
    return m_file.Fits(nBytes);
}

int LogDirectory::Append(const RecordBytes& record, time_t tNow, int nLevel)
{
    if (Board().nLostWithoutLock.load(std::memory_order_relaxed) != 0)
        TakeLostWithoutLock();
    if (!m_bShutDown) {
        bool bCheck = !m_file.IsOpen() || tNow >= m_tNextDay || tNow < m_tDayStart || m_file.Size() >= m_nFullSize;
        if (m_file.IsOpen() && m_file.IsLookDue(tNow)) {
            LookAtFile();
            bCheck = bCheck || m_bReopen || m_file.Size() >= m_nFullSize;
        }
        // Under a file size limit, a new file before a line would cross it.
        const size_t nRoom = record.bytes.Size() +
                             (m_nLost > 0 || m_file.EndsInsideALine() || m_nVanished > 0 ? nNoteRoom : 0) +
                             static_cast<size_t>(m_movedFrom.size());
        bCheck = bCheck || (m_file.Size() > 0 && !m_file.Fits(nRoom));
        if (bCheck && !EnsureFile(tNow, nRoom)) {
            DiagnoseError(0, "get log instance failed!");
            CountLost(m_nOpenErrno);
            return -1;
        }
    }
    if (!m_file.IsOpen()) {
        CountLost(m_nOpenErrno);
        return -1;
    }
    if (!m_file.Fits(record.bytes.Size()) && !FitsUnderLimitNow(record.bytes.Size())) {
        CountLost(EFBIG); // longer than the limit allows any file to be: no piece of it is written
        return -2;
    }
    const int nRet = WriteBytes(record);
    if (nRet == 0 && m_nSyncLevel >= 0 && nLevel >= m_nSyncLevel)
        fdatasync(m_file.Fd());
    return nRet;
}

bool LogDirectory::TakesAsIs(time_t tNow, qint64 nSize, size_t nBytes) const
{
    return !m_bShutDown && m_file.IsOpen() && tNow >= m_tDayStart && tNow < m_tNextDay && nSize < m_nFullSize &&
           m_file.LookedAtIn(tNow) && m_nLost == 0 && m_nVanished == 0 && !m_file.EndsInsideALine() &&
           m_movedFrom.isEmpty() && m_file.Fits(nSize, nBytes) &&
           Board().nLostWithoutLock.load(std::memory_order_relaxed) == 0;
}

int LogDirectory::WriteRun(const char* pBytes, size_t nBytes, size_t nRecords, bool bSync, size_t& nKept)
{
    nKept = 0;
    const int nError = m_file.Write(pBytes, nBytes, &nKept);
    Board().nFileSize.store(m_file.Size(), std::memory_order_relaxed);
    if (nError != 0)
        return nError;
    CountWritten(nRecords);
    if (bSync)
        fdatasync(m_file.Fd());
    return 0;
}

void LogDirectory::CountWritten(size_t nRecords)
{
    StatusBoard& board = Board();
    board.nWritten.store(board.nWritten.load(std::memory_order_relaxed) + nRecords, std::memory_order_relaxed);
    m_nSinceLook += nRecords;
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
    char szNote[160]; // a longer note is cut: its length is what is in it
    if (!movedFrom.isEmpty()) {
        const QByteArray text = "the log directory was moved or replaced: records before this line went to " +
                                movedFrom + " there, " + QByteArray::number(static_cast<qulonglong>(nVanished)) +
                                " of them since the last look";
        LogerDetail::FormatRecord(*note, record.szTime, WARN, 0, record.nThreadId, "logger", 6, text.constData(),
                                  static_cast<size_t>(text.size()));
        joined.Append(note->bytes.Data(), note->bytes.Size());
        note->bytes.Clear();
    } else if (nVanished > 0) {
        snprintf(szNote, sizeof(szNote), "%" PRIu64 " record(s) went to the previous file, deleted or replaced since",
                 nVanished);
        LogerDetail::FormatRecord(*note, record.szTime, WARN, 0, record.nThreadId, "logger", 6, szNote,
                                  strnlen(szNote, sizeof(szNote)));
        joined.Append(note->bytes.Data(), note->bytes.Size());
        note->bytes.Clear();
    }
    if (nLost > 0) {
        snprintf(szNote, sizeof(szNote), "%" PRIu64 " record(s) lost before this line: %s", nLost,
                 LogerDetail::ErrnoText(nLostErrno).toLocal8Bit().constData());
        LogerDetail::FormatRecord(*note, record.szTime, ERR, 0, record.nThreadId, "logger", 6, szNote,
                                  strnlen(szNote, sizeof(szNote)));
        joined.Append(note->bytes.Data(), note->bytes.Size());
    }
    joined.Append(record.bytes.Data(), record.bytes.Size());
}
} // namespace

// The record's bytes, with the notes when there are any, through the file's
// one write. Inlined into Append: every record passes through it.
__attribute__((always_inline)) inline int LogerDetail::LogDirectory::WriteBytes(const RecordBytes& record)
{
    const char* pBytes = record.bytes.Data();
    size_t nBytes = record.bytes.Size();
    std::unique_ptr<LineBuffer> joined;
    if (m_file.EndsInsideALine() || m_nLost > 0 || m_nVanished > 0 || !m_movedFrom.isEmpty()) {
        joined.reset(new LineBuffer);
        JoinWithNotes(*joined, record, m_file.EndsInsideALine(), m_nVanished, m_nLost, m_nLostErrno, m_movedFrom);
        pBytes = joined->Data();
        nBytes = joined->Size();
    }
    int nError = m_file.Write(pBytes, nBytes);
    if (nError == EFBIG && StartFileUnderLoweredLimit(nBytes))
        nError = m_file.Write(pBytes, nBytes);
    // A full disk frees itself once: this log's oldest files make room.
    if ((nError == ENOSPC || nError == EDQUOT) && HasSpaceLimits() && KeepWithinLimits(false) > 0)
        nError = m_file.Write(pBytes, nBytes);
    StatusBoard& board = Board();
    board.nFileSize.store(m_file.Size(), std::memory_order_relaxed);
    if (nError != 0) {
        CountLost(nError);
        return -2;
    }
    BumpCounter(board.nWritten);
    ++m_nSinceLook;
    if (joined) {
        m_file.NoteLineEnded();
        m_nLost = 0;
        m_nVanished = 0;
        m_movedFrom.clear();
    }
    return 0;
}
