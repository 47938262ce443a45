// The limits handed over before a start, and the status a host may read at
// any time.
#include "status_p.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>

namespace
{
std::mutex g_pendingMutex;
LOGER_LIMITS g_pendingLimits;

bool AllDigits(const char* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] < '0' || p[i] > '9')
            return false;
    return n > 0;
}
} // namespace

namespace LogerDetail
{
LOGER_LIMITS PendingLimits()
{
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    return g_pendingLimits;
}

bool IsOwnLogName(const char* pszName, const QByteArray& namePrefix, const QByteArray& logName, int& nDate,
                  uint64_t& nId)
{
    const size_t nName = strlen(pszName), nPrefix = static_cast<size_t>(namePrefix.size());
    const size_t nLog = static_cast<size_t>(logName.size());
    // prefix, 8 digits, "_", at least one digit, "_", log name, ".log"
    if (nName < nPrefix + 8 + 1 + 1 + 1 + nLog + 4 || memcmp(pszName, namePrefix.constData(), nPrefix) != 0)
        return false;
    const char* p = pszName + nPrefix;
    const char* pTail = pszName + nName - nLog - 4;
    if (!AllDigits(p, 8) || p[8] != '_' || memcmp(pTail, logName.constData(), nLog) != 0 ||
        memcmp(pTail + nLog, ".log", 4) != 0 || pTail[-1] != '_' ||
        !AllDigits(p + 9, static_cast<size_t>(pTail - 1 - (p + 9))))
        return false;
    nDate = atoi(QByteArray(p, 8).constData());
    nId = strtoull(p + 9, nullptr, 10);
    return true;
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
    struct statvfs fs;
    if (statvfs(dirPath.constData(), &fs) == 0)
        status.m_nFreeBytes = static_cast<qint64>(fs.f_bavail) * static_cast<qint64>(fs.f_frsize);
    // This log's own files, read without the write lock: records never wait.
    DIR* pDir = opendir(dirPath.constData());
    if (pDir == nullptr)
        return status;
    const uid_t nUid = geteuid();
    while (const dirent* pEntry = readdir(pDir)) {
        int nDate = 0;
        uint64_t nId = 0;
        struct stat st;
        if (LogerDetail::IsOwnLogName(pEntry->d_name, prefix, logName, nDate, nId) &&
            fstatat(dirfd(pDir), pEntry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == nUid)
            status.m_nLogBytes += static_cast<qint64>(st.st_size);
    }
    closedir(pDir);
    return status;
}
