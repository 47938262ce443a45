// The log directory through one open handle, and the policy over its files:
// which directories are trusted, the scan for today's files, continuing or
// creating a file, rollover, the notes of records lost, and retention and
// disk limits. The open file itself is a LogFile (logfile_p.h), its names
// are made and read in logname_p.h. Nothing else in the library touches a
// log file.
#ifndef LOGGER_LOGDIR_P_H
#define LOGGER_LOGDIR_P_H

#include "line_p.h"
#include "logfile_p.h"
#include "logname_p.h"
#include "status_p.h"

#include <QByteArray>
#include <QString>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstring>

#include <cstdint>
#include <ctime>
#include <vector>

namespace LogerDetail
{
class LogDirectory
{
    friend LogDirectory* InstallLogDirectory(LogDirectory* pDirectory);

public:
    LogDirectory() = default;
    ~LogDirectory();
    LogDirectory(const LogDirectory&) = delete;
    LogDirectory& operator=(const LogDirectory&) = delete;

    // The directory path as configured (names are joined to it as given, so
    // it normally ends with "/"), the log name and the size limit. Nothing
    // is opened yet.
    void Configure(const QString& strPath, const QString& strLogName, unsigned int nMegaByte);
    // The limits on disk space and the retention period in force; none by default.
    void SetLimits(const LOGER_LIMITS& limits, unsigned int nOverDays);
    // Opens the directory, or as much of its path as exists, through trusted
    // directories only. False when a directory on the way may not be used;
    // the reason is reported.
    bool OpenDirectory();
    // Deletes this user's regular files named as log files ("<8 digits>_<id>_
    // <name>.log") created at least nOverDays days ago, telling each with its
    // age; false when one of them could not be removed (each is reported once).
    bool DeleteExpired(unsigned int nOverDays);
    // Chooses and opens the file for a record stamped tNow when there is none,
    // the day changed, the file is full, or it was deleted or replaced; also
    // when nRoom more bytes would cross the process's file size limit. False
    // when no file could be had.
    bool EnsureFile(time_t tNow, size_t nRoom = 0);
    // Appends one record's bytes with one write(2), under the write lock.
    // Records that cannot be written are counted; the next one written is
    // preceded by a line that says how many were lost and why. Returns 0 when
    // written, -1 when no file could be had, -2 when the write failed.
    int Append(const RecordBytes& record, time_t tNow, int nLevel);
    // For the writer thread, which writes many lines at once: whether a line
    // of nBytes stamped tNow, after nSize bytes of the open file, would go
    // through Append with nothing but its write (no rollover, look, note or
    // limit to mind), so that lines that all do may share one write.
    bool TakesAsIs(time_t tNow, qint64 nSize, size_t nBytes) const;
    // Writes such whole lines, nRecords of them, with one write(2), synced
    // when bSync. Returns 0, or errno with nothing counted and nKept set to
    // the bytes left in the file (a failed write not cut back): the caller
    // counts the whole lines among them and hands the others to Append.
    int WriteRun(const char* pBytes, size_t nBytes, size_t nRecords, bool bSync, size_t& nKept);
    void CountWritten(size_t nRecords);
    qint64 FileSize() const { return m_file.Size(); }
    int SyncLevel() const { return m_nSyncLevel; }
    // Deletes this log's oldest files (never the current one) as the limits
    // say, and no more: by name date when bRetain, by total size, and for free
    // space only when deleting them could make it up. Returns how many went.
    int KeepWithinLimits(bool bRetain);
    // Counts a record that could not even be built (no memory), under the
    // write lock.
    void CountLost(int nErrno);
    // Only files named as this logger names them are continued, never another
    // program's ".log", and files are made and continued inside the directory:
    // for the default file in a shared temporary directory.
    void KeepToOwnNames();
    // From now on records go only to the file that is open, without rollover
    // or messages: the logger object is being destroyed.
    void ShutDown() { m_bShutDown = true; }

private:
    void ChooseFile(size_t nRoom);
    void ChooseQuickly(size_t nRoom);
    void NoteTodaysFile(const QByteArray& name, bool bHasId, uint64_t nId, const struct statx& stx, size_t nRoom,
                        qint64& nBestMsecs);
    int NewFileDirFd() const { return m_namePrefix.isEmpty() ? m_nDirFd : m_nParentFd; }
    QByteArray ParentPath() const { return m_absPath.left(m_absPath.lastIndexOf('/') + 1); }
    bool HasSpaceLimits() const { return m_limits.m_nMaxTotalSizeMB > 0 || m_limits.m_nMinFreeSpaceMB > 0; }
    void TakeLostWithoutLock();
    void TellSizeLimit();
    bool StartFileUnderLoweredLimit(size_t nBytes);
    bool FitsUnderLimitNow(size_t nBytes);
    bool OpenChosenFile();
    bool AdoptFile(int nFd, int nDirFd, const QByteArray& name, const QString& strFullPath);
    void LookAtFile();
    bool PathLeadsHere() const;
    bool OpenNewFile();
    void CloseFile();
    void CloseDirectory();
    int WriteBytes(const RecordBytes& record);

    // What every record reads, and the only fields it writes, together at the
    // start, the open file's own ones last: threads on other CPUs take turns
    // at the lock, and each cache line touched in the section moves between
    // CPUs with it. (Not forced to a line of their own: an over-aligned new
    // needs a newer libstdc++ on devices.)
    bool m_bShutDown = false;
    int m_nSyncLevel = -1; // the level from which each record is synced
    qint64 m_nFullSize = 0;
    time_t m_tDayStart = 0, m_tNextDay = 0;
    uint64_t m_nSinceLook = 0; // records written since the last look at the name
    uint64_t m_nLost = 0;      // records not written since the last one written
    uint64_t m_nVanished = 0;  // records that went to a file deleted or replaced since
    LogFile m_file;
    // Configuration.
    QString m_strPath;     // as configured
    QString m_strScanPath; // the same with one separator at the end
    QByteArray m_absPath;  // made absolute once, against the directory current then
    QString m_strLogName;
    QByteArray m_logNameBytes; // as it appears in file names
    // The directory listed, and the one new files are made in: its
    // parent when the configured path does not end with "/", whose last
    // part then begins every new file's name.
    int m_nDirFd = -1;
    int m_nParentFd = -1;
    QByteArray m_namePrefix;
    // The choice of a file, at a new day or when the file is full.
    char m_szDate[16] = {}; // YYYYMMDD of the current file
    uint64_t m_nMaxId = 0;
    QByteArray m_continueName; // a file of today to continue, in the listed directory
    QByteArray m_movedFrom;    // the file records went to before its directory moved
    bool m_bReopen = false;    // deleted or replaced: choose a file as at a new day
    int m_nOpenErrno = 0;      // why the last opening failed
    int m_nLostErrno = 0;      // why the last of records lost was not written
    // Disk space.
    LOGER_LIMITS m_limits;
    unsigned int m_nOverDays = 0;
    bool m_bScannedOnce = false; // the first scan reports every file; later ones only the choice
    bool m_bOwnNamesOnly = false;
    bool m_bToldShort = false; // told that free space is short beyond this log's files
};

// Calls fn(name) for each entry of a directory but "." and "..", unsorted.
template <typename Fn> void ForEachName(int nDirFd, Fn fn)
{
    const int nFd = openat(nDirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* pDir = nFd >= 0 ? fdopendir(nFd) : nullptr;
    if (pDir == nullptr) {
        if (nFd >= 0)
            close(nFd);
        return;
    }
    while (const dirent* pEntry = readdir(pDir))
        if (strcmp(pEntry->d_name, ".") != 0 && strcmp(pEntry->d_name, "..") != 0)
            fn(pEntry->d_name);
    closedir(pDir);
}

// What a listing of the directory holds: the entries a file manager would
// show (directories, regular files, links to either), by name without case.
std::vector<QByteArray> ListDirectory(int nDirFd);

// A regular file's identity and times, never through a link.
bool StatRegular(int nDirFd, const QByteArray& name, struct statx& stx);

// Creation time as the file system reports it: the birth time, else the time
// of the last status change.
inline time_t CreatedSecs(const struct statx& stx)
{
    return static_cast<time_t>((stx.stx_mask & STATX_BTIME) ? stx.stx_btime.tv_sec : stx.stx_ctime.tv_sec);
}

// Calls fn(name, nDate, nId, st) for each of this user's regular files in
// the directory named as this log's files are ("<prefix><date>_<id>_<log
// name>.log"), never through a link.
template <typename Fn>
void ForEachOwnLogFile(int nDirFd, const QByteArray& namePrefix, const QByteArray& logName, Fn fn)
{
    const uid_t nUid = geteuid();
    ForEachName(nDirFd, [&](const char* pszName) {
        int nDate = 0;
        uint64_t nId = 0;
        struct stat st;
        if (IsOwnLogName(pszName, namePrefix, logName, nDate, nId) &&
            fstatat(nDirFd, pszName, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) && st.st_uid == nUid)
            fn(pszName, nDate, nId, st);
    });
}



// The bytes free to this user on the file system of a directory; -1 when
// they cannot be read.
qint64 FreeBytes(int nDirFd);

// The directory in use, under the write lock. Never destroyed, so that
// records from threads still running at process exit find it intact. Read
// inline on every record; hidden, so it is read without the GOT.
extern LogDirectory* g_pActiveLogDirectory __attribute__((visibility("hidden")));
// The one made by the first record before any start.
LogDirectory& DefaultLogDirectory();
inline LogDirectory& ActiveLogDirectory()
{
    LogDirectory* const pActive = g_pActiveLogDirectory;
    return pActive != nullptr ? *pActive : DefaultLogDirectory();
}
// Puts pDirectory in use, under the write lock; returns the one it replaces,
// for the caller to delete once the lock is released.
LogDirectory* InstallLogDirectory(LogDirectory* pDirectory);
} // namespace LogerDetail

#endif // LOGGER_LOGDIR_P_H
