// The limits handed over before a start, and the status a host may read at
// any time.
#include "status_p.h"

#include "logdir_p.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
std::mutex g_pendingMutex;
LOGER_LIMITS g_pendingLimits;
} // namespace

namespace LogerDetail
{
LOGER_LIMITS PendingLimits()
{
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    return g_pendingLimits;
}
} // namespace LogerDetail

void SetLogerLimits(const LOGER_LIMITS& limits)
{
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    g_pendingLimits = limits;
}

LOGER_STATUS GetLogerStatus()
{
    LogerDetail::StatusBoard& board = LogerDetail::Board();
    LOGER_STATUS status;
    QByteArray dirPath, prefix, logName;
    {
        std::lock_guard<std::mutex> lock(board.mutex);
        status.m_strFilePath = board.strFilePath;
        status.m_limits = board.limits;
        status.m_nOverDays = board.nOverDays;
        status.m_nFileSizeLimit = board.nFileSizeLimit;
        dirPath = board.fileDirPath;
        prefix = board.namePrefix;
        logName = board.logName;
    }
    status.m_nFileSize = board.nFileSize.load(std::memory_order_relaxed);
    status.m_nRecordsWritten = board.nWritten.load(std::memory_order_relaxed);
    status.m_nRecordsLost = board.nLost.load(std::memory_order_relaxed) +
                            board.nLostWithoutLock.load(std::memory_order_relaxed);
    status.m_nLastErrno = board.nLastErrno.load(std::memory_order_relaxed);
    status.m_nLastFailureTime = board.tLastFailure.load(std::memory_order_relaxed);
    if (dirPath.isEmpty())
        return status;
    // Free space and this log's own files, read without the write lock:
    // records never wait.
    const int nDirFd = open(dirPath.constData(), O_PATH | O_CLOEXEC);
    if (nDirFd < 0)
        return status;
    const qint64 nFree = LogerDetail::FreeBytes(nDirFd);
    if (nFree >= 0)
        status.m_nFreeBytes = nFree;
    LogerDetail::ForEachOwnLogFile(nDirFd, prefix, logName, [&](const char*, int, uint64_t, const struct stat& st) {
        status.m_nLogBytes += static_cast<qint64>(st.st_size);
    });
    close(nDirFd);
    return status;
}
