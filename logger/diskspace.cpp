// Retention and disk limits, bounded for years: at a start, files of this
// user named as log files go when they were created longer ago than the
// retention period; while running, this log's oldest files go when they are
// past it by the date in their names, when all of them together pass a
// size, or when the file system runs short of space.
#include "logdir_p.h"

#include "messages_p.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <vector>

namespace
{
struct OwnFile
{
    QByteArray name;
    int nDate; // YYYYMMDD
    uint64_t nId;
    qint64 nSize;
};

} // namespace

qint64 LogerDetail::FreeBytes(int nDirFd)
{
    struct statvfs fs;
    if (fstatvfs(nDirFd, &fs) != 0)
        return -1;
    return static_cast<qint64>(fs.f_bavail) * static_cast<qint64>(fs.f_frsize);
}

namespace LogerDetail
{
bool LogDirectory::DeleteExpired(unsigned int nOverDays)
{
    if (m_nDirFd < 0)
        return true;
    bool bDel = true;
    // 64 bits: a period above 49710 days must not wrap into a short one.
    const qint64 nPeriodSecs = static_cast<qint64>(nOverDays) * 86400;
    // Entries are joined to the path as configured, like the files made there.
    const int nFileDirFd = NewFileDirFd();
    const std::vector<QByteArray> names = ListDirectory(m_nDirFd);
    for (size_t i = 0; i < names.size(); ++i) {
        const QByteArray name = m_namePrefix + names[i];
        struct statx stx;
        // Only this user's files named as a logger names them: never another
        // user's, nor a ".log" of another kind.
        if (!IsLogFileName(names[i]) || !StatRegular(nFileDirFd, name, stx) || stx.stx_uid != geteuid())
            continue;
        const QString strFilePath = m_strPath + QFile::decodeName(names[i]);
        Diagnose("Found already existed logfiles:", static_cast<int>(i), strFilePath);
        const qint64 nAge = static_cast<qint64>(time(nullptr)) - static_cast<qint64>(CreatedSecs(stx));
        if (nAge < nPeriodSecs)
            continue;
        // Removing needs no right on the file itself, and its mode stays.
        if (unlinkat(nFileDirFd, name.constData(), 0) != 0) {
            Diagnose("remove file", strFilePath, " faild!", ErrnoText(errno));
            bDel = false;
            continue;
        }
        char szAge[64];
        snprintf(szAge, sizeof(szAge), "age %.1f days", static_cast<double>(nAge) / 86400.0);
        Diagnose("expired log file removed:", strFilePath, szAge);
    }
    return bDel;
}

int LogDirectory::KeepWithinLimits(bool bRetain)
{
    const int nDirFd = NewFileDirFd();
    if (nDirFd < 0)
        return 0;
    // This log's files of this user, by name only; the open file never.
    std::vector<OwnFile> files;
    ForEachOwnLogFile(
        nDirFd, m_namePrefix, m_logNameBytes, [&](const char* pszName, int nDate, uint64_t nId, const struct stat& st) {
            if (!m_file.IsFile(st))
                files.push_back(OwnFile{QByteArray(pszName), nDate, nId, static_cast<qint64>(st.st_size)});
        });
    std::sort(files.begin(), files.end(), [](const OwnFile& a, const OwnFile& b) {
        return a.nDate != b.nDate ? a.nDate < b.nDate : a.nId < b.nId;
    });

    qint64 nTotal = m_file.IsOpen() ? m_file.Size() : 0;
    for (const OwnFile& file : files)
        nTotal += file.nSize;
    const qint64 nMaxTotal = static_cast<qint64>(m_limits.m_nMaxTotalSizeMB) * 1024 * 1024;
    const qint64 nMinFree = static_cast<qint64>(m_limits.m_nMinFreeSpaceMB) * 1024 * 1024;
    const int nOldestKept = DaysBefore(DateNumber(m_szDate), m_nOverDays);
    // Free space that all of this log's files could not make up (another
    // program filled the disk) is not asked of them: records are lost and
    // told, the history stays.
    bool bFreeForUs = false;
    if (nMinFree > 0) {
        qint64 nDeletable = 0;
        for (const OwnFile& file : files)
            nDeletable += file.nSize;
        const qint64 nFree = FreeBytes(nDirFd);
        bFreeForUs = nFree >= 0 && nFree + nDeletable >= nMinFree;
        if (nFree >= 0 && nFree < nMinFree && !bFreeForUs && !m_bToldShort)
            Diagnose("free space below MinFreeSpaceMB, more than this log's old files could make up: none removed");
        m_bToldShort = nFree >= 0 && nFree < nMinFree && !bFreeForUs;
    }
    int nRemoved = 0, nFailed = 0, nError = 0;
    for (const OwnFile& file : files) {
        const bool bExpired = bRetain && m_limits.m_bRetainWhileRunning && file.nDate < nOldestKept;
        const bool bOverTotal = nMaxTotal > 0 && nTotal > nMaxTotal;
        const bool bShort = bFreeForUs && FreeBytes(nDirFd) < nMinFree;
        if (!bExpired && !bOverTotal && !bShort)
            continue;
        if (unlinkat(nDirFd, file.name.constData(), 0) == 0) {
            ++nRemoved;
            nTotal -= file.nSize;
        } else {
            ++nFailed;
            nError = errno;
        }
    }
    if (nRemoved > 0)
        Diagnose("old log files removed to keep within the limits:", nRemoved);
    if (nFailed > 0)
        Diagnose("old log files that could not be removed:", nFailed, ErrnoText(nError));
    return nRemoved;
}
} // namespace LogerDetail
