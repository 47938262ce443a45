// The log directory as one open handle: every file is opened, looked at and
// removed relative to it, so a path swapped after the check changes nothing.
#include "logdir_p.h"

#include "config_p.h"
#include "crash_p.h"
#include "dirwalk_p.h"
#include "messages_p.h"

#include <QDateTime>
#include <QDir>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <vector>

namespace
{
// Names at which something else sits passed over for the next id, at most.
const int nMaxNamesTaken = 1000;
} // namespace

namespace LogerDetail
{
// What a listing of the directory holds: the entries a file manager would
// show (directories, regular files, links to either), by name without case.
std::vector<QByteArray> ListDirectory(int nDirFd)
{
    // Sorted by the name in lower case, then as it is; each key made once.
    std::vector<std::pair<QString, QByteArray>> entries;
    ForEachName(nDirFd, [&](const char* pszName) {
        struct stat st;
        if (fstatat(nDirFd, pszName, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return;
        // A link counts as what it leads to; a dangling one not at all.
        if (S_ISLNK(st.st_mode) && fstatat(nDirFd, pszName, &st, 0) != 0)
            return;
        if (S_ISDIR(st.st_mode) || S_ISREG(st.st_mode))
            entries.emplace_back(QFile::decodeName(pszName).toLower(), QByteArray(pszName));
    });
    std::sort(entries.begin(), entries.end());
    std::vector<QByteArray> names;
    names.reserve(entries.size());
    for (auto& entry : entries)
        names.push_back(std::move(entry.second));
    return names;
}

bool StatRegular(int nDirFd, const QByteArray& name, struct statx& stx)
{
    return statx(nDirFd, name.constData(), AT_SYMLINK_NOFOLLOW,
                 STATX_TYPE | STATX_MODE | STATX_UID | STATX_NLINK | STATX_SIZE | STATX_MTIME | STATX_CTIME |
                     STATX_BTIME,
                 &stx) == 0 &&
           S_ISREG(stx.stx_mode);
}

LogDirectory* g_pActiveLogDirectory = nullptr;

__attribute__((noinline)) LogDirectory& DefaultLogDirectory()
{
    if (g_pActiveLogDirectory == nullptr)
        g_pActiveLogDirectory = new LogDirectory;
    return *g_pActiveLogDirectory;
}

LogDirectory* InstallLogDirectory(LogDirectory* pDirectory)
{
    LogDirectory* pOld = &ActiveLogDirectory();
    g_pActiveLogDirectory = pDirectory;
    PublishLogFd(pDirectory->m_file.Fd()); // for the crash trace
    return pOld;
}

LogDirectory::~LogDirectory()
{
    CloseFile();
    CloseDirectory();
}

void LogDirectory::Configure(const QString& strPath, const QString& strLogName, unsigned int nMegaByte)
{
    m_strPath = strPath;
    m_strScanPath = WithTrailingSeparator(strPath);
    m_absPath = AbsolutePath(strPath);
    m_strLogName = strLogName;
    m_logNameBytes = QFile::encodeName(strLogName);
    m_nFullSize = FullSizeBytes(nMegaByte);
    const QByteArray path = QFile::encodeName(strPath);
    m_namePrefix = path.endsWith('/') ? QByteArray() : path.mid(path.lastIndexOf('/') + 1);
}

void LogDirectory::KeepToOwnNames()
{
    m_bOwnNamesOnly = true;
    if (m_strPath.isEmpty())
        return;
    m_strPath = m_strScanPath;
    m_absPath = AbsolutePath(m_strPath);
    m_namePrefix.clear();
}

void LogDirectory::SetLimits(const LOGER_LIMITS& limits, unsigned int nOverDays)
{
    m_limits = limits;
    m_nSyncLevel = limits.m_nSyncLevel;
    m_nOverDays = nOverDays;
}

void LogDirectory::CloseDirectory()
{
    if (m_nDirFd >= 0)
        close(m_nDirFd);
    if (m_nParentFd >= 0)
        close(m_nParentFd);
    m_nDirFd = m_nParentFd = -1;
}

bool LogDirectory::OpenDirectory()
{
    CloseDirectory();
    TrustedWalk walk;
    if (!walk.Run(m_absPath, false)) {
        m_nOpenErrno = walk.nErrno;
        DiagnoseError(walk.nErrno, "log directory refused:", QFile::decodeName(walk.failedAt), walk.strWhy);
        return false;
    }
    if (!walk.bMissing) {
        std::swap(m_nDirFd, walk.nDirFd);
        std::swap(m_nParentFd, walk.nParentFd);
    }
    return true;
}

void LogDirectory::ChooseFile(size_t nRoom)
{
    if ((m_bScannedOnce || m_bOwnNamesOnly) && m_nDirFd >= 0) {
        ChooseQuickly(nRoom);
        return;
    }
    m_bScannedOnce = true;
    m_continueName.clear();
    if (m_nDirFd < 0) {
        ++m_nMaxId;
        Diagnose("current dir is not exists!，will create new dir !", m_strPath);
        return;
    }
    qint64 nBestMsecs = QDateTime::fromString("2000-01-01 00:00:01", "yyyy-MM-dd hh:mm:ss").toMSecsSinceEpoch();
    const std::vector<QByteArray> names = ListDirectory(m_nDirFd);
    char szCreated[16];
    for (size_t i = 0; i < names.size(); ++i) {
        const QByteArray& name = names[i];
        struct statx stx;
        if (!HasLogSuffix(name) || !StatRegular(m_nDirFd, name, stx))
            continue;
        const QString strFileName = QFile::decodeName(name);
        LocalDate(CreatedSecs(stx), szCreated);
        Diagnose("Found already existed logfiles:", static_cast<int>(i), m_strScanPath + strFileName,
                 "CurDate:", QString::fromLatin1(szCreated));
        if (strcmp(szCreated, m_szDate) != 0)
            continue;
        bool bHasIdField = false;
        const uint64_t nId = LogIdFromFileName(strFileName, bHasIdField);
        NoteTodaysFile(name, bHasIdField, nId, stx, nRoom, nBestMsecs);
    }
    if (m_continueName.isEmpty()) {
        ++m_nMaxId;
    } else {
        Diagnose("current already can write logfile is:", m_strScanPath + QFile::decodeName(m_continueName));
    }
    Diagnose("current existing filesname Max id:", static_cast<qulonglong>(m_nMaxId));
}

// One file of today: its id counts, and it is the one to continue when it is
// the newest below the limits so far, of our own, and no other name reaches it.
void LogDirectory::NoteTodaysFile(const QByteArray& name, bool bHasId, uint64_t nId, const struct statx& stx,
                                  size_t nRoom, qint64& nBestMsecs)
{
    if (bHasId && nId > m_nMaxId)
        m_nMaxId = nId;
    const qint64 nSize = static_cast<qint64>(stx.stx_size);
    const qint64 nMsecs = static_cast<qint64>(stx.stx_mtime.tv_sec) * 1000 + stx.stx_mtime.tv_nsec / 1000000;
    if (nSize < m_nFullSize && m_file.Fits(nSize, nRoom) && nMsecs > nBestMsecs && MayContinue(stx)) {
        nBestMsecs = nMsecs;
        m_continueName = name;
    }
}

// While running: only names of this log and today are looked at, and only
// the choice is reported, so a rollover stays short in a full directory.
void LogDirectory::ChooseQuickly(size_t nRoom)
{
    m_continueName.clear();
    const int nToday = DateNumber(m_szDate);
    qint64 nBestMsecs = -1;
    ForEachName(m_nDirFd, [&](const char* pszName) {
        int nDate = 0;
        uint64_t nId = 0;
        struct statx stx;
        if (!IsOwnLogName(pszName, QByteArray(), m_logNameBytes, nDate, nId) || nDate != nToday ||
            !StatRegular(m_nDirFd, QByteArray::fromRawData(pszName, static_cast<int>(strlen(pszName))), stx))
            return;
        NoteTodaysFile(QByteArray(pszName), true, nId, stx, nRoom, nBestMsecs);
    });
    if (m_continueName.isEmpty())
        ++m_nMaxId;
    else
        Diagnose("current already can write logfile is:", m_strScanPath + QFile::decodeName(m_continueName));
    Diagnose("current existing filesname Max id:", static_cast<qulonglong>(m_nMaxId));
}

bool LogDirectory::EnsureFile(time_t tNow, size_t nRoom)
{
    const bool bRunning = m_bScannedOnce;
    char szDate[16];
    LocalDate(tNow, szDate);
    bool bNeedReCreate = false;
    if (m_bReopen) {
        // Deleted, moved or replaced under us: choose as at a new day.
        m_bReopen = false;
        m_szDate[0] = '\0';
    }
    if (strcmp(m_szDate, szDate) != 0) {
        memcpy(m_szDate, szDate, sizeof(m_szDate));
        DayBounds(DateNumber(m_szDate), m_tDayStart, m_tNextDay);
        m_nMaxId = 0;
        // A directory removed, moved or replaced under us is walked to anew,
        // and one not yet opened (records before the start) is opened now.
        struct stat st;
        if (m_nDirFd >= 0 && (fstat(m_nDirFd, &st) != 0 || st.st_nlink == 0 || !PathLeadsHere()))
            CloseDirectory();
        if (m_nDirFd < 0 && !OpenDirectory()) {
            m_szDate[0] = '\0';
            return false;
        }
        Diagnose("just start or day is changed ,will check and create a new log name!");
        ChooseFile(nRoom);
        bNeedReCreate = true;
    }
    if (m_file.IsOpen()) {
        if (m_file.Size() >= m_nFullSize)
            m_file.TakeSizeFromFile(); // the count says full: the file has the last word
        if (m_file.Size() >= m_nFullSize || (m_file.Size() > 0 && !m_file.Fits(nRoom)))
            ChooseFile(nRoom);
        else if (!bNeedReCreate)
            return true;
    }
    CloseFile();
    if (!OpenChosenFile())
        return false;
    if (bRunning && (m_limits.m_bRetainWhileRunning || HasSpaceLimits()))
        KeepWithinLimits(true);
    return true;
}

bool LogDirectory::OpenChosenFile()
{
    if (m_nDirFd < 0) {
        TrustedWalk walk;
        if (!walk.Run(m_absPath, true)) {
            m_nOpenErrno = walk.nErrno;
            DiagnoseError(walk.nErrno, "mkpath logpath error ,please check it!", m_strPath,
                          QFile::decodeName(walk.failedAt), walk.strWhy);
            return false;
        }
        std::swap(m_nDirFd, walk.nDirFd);
        std::swap(m_nParentFd, walk.nParentFd);
        Diagnose("mkpath logpath ok!", m_strPath);
    }
    if (m_continueName.isEmpty())
        return OpenNewFile();
    const QString strFullPath = m_strScanPath + QFile::decodeName(m_continueName);
    const int nFd = openat(m_nDirFd, m_continueName.constData(),
                           O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (nFd < 0) {
        m_nOpenErrno = errno;
        DiagnoseError(m_nOpenErrno, "create log file error ,please check it!", strFullPath, ErrnoText(m_nOpenErrno));
        return false;
    }
    if (AdoptFile(nFd, m_nDirFd, m_continueName, strFullPath))
        return true;
    // Replaced since the scan by something not ours: a new file instead.
    m_continueName.clear();
    ++m_nMaxId;
    return OpenNewFile();
}

bool LogDirectory::OpenNewFile()
{
    const int nDirFd = NewFileDirFd();
    for (int nTry = 0;; ++nTry) {
        const QString strFullPath = LogFileName(m_strPath, m_szDate, m_nMaxId, m_strLogName);
        const QByteArray name =
            m_namePrefix + QFile::encodeName(LogFileName(QString(), m_szDate, m_nMaxId, m_strLogName));
        // Never opened over what is found at the name: another user's file, a
        // link, a directory... are passed over for the next id. Only a file
        // of our own that could be continued (the scan did not count it as
        // today's: its birth time says otherwise) is continued while below
        // the limits.
        int nFd = openat(nDirFd, name.constData(),
                         O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0640);
        if (nFd >= 0) {
            // An ACL taken over from the directory's default one is dropped.
            fremovexattr(nFd, "system.posix_acl_access");
            return AdoptFile(nFd, nDirFd, name, strFullPath);
        }
        const int nError = errno;
        struct statx stx;
        struct stat st;
        if (nError == EEXIST && StatRegular(nDirFd, name, stx) && MayContinue(stx) &&
            static_cast<qint64>(stx.stx_size) < m_nFullSize && m_file.Fits(static_cast<qint64>(stx.stx_size), 0)) {
            nFd =
                openat(nDirFd, name.constData(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
            if (nFd >= 0 && UnfitFileReason(nFd, st) == nullptr)
                return AdoptFile(nFd, nDirFd, name, strFullPath);
            if (nFd >= 0)
                close(nFd);
        }
        if (nError == EEXIST && nTry < nMaxNamesTaken) {
            ++m_nMaxId;
            continue;
        }
        m_nOpenErrno = nError;
        DiagnoseError(m_nOpenErrno, "create log file error ,please check it!", strFullPath, ErrnoText(m_nOpenErrno));
        return false;
    }
}

bool LogDirectory::AdoptFile(int nFd, int nDirFd, const QByteArray& name, const QString& strFullPath)
{
    if (const char* pszWhy = m_file.Adopt(nFd, nDirFd, name, strFullPath)) {
        m_nOpenErrno = EPERM;
        Diagnose("log file passed over:", strFullPath, pszWhy);
        return false;
    }
    Diagnose("create logfile ok! file is :", strFullPath);
    if (this == g_pActiveLogDirectory)
        PublishLogFd(nFd);
    m_nSinceLook = 0;
    StatusBoard& board = Board();
    board.nFileSize.store(m_file.Size(), std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(board.mutex);
    board.strFilePath = strFullPath;
    board.fileDirPath = m_namePrefix.isEmpty() ? m_absPath : ParentPath();
    board.namePrefix = m_namePrefix;
    board.logName = m_logNameBytes;
    board.limits = m_limits;
    board.nOverDays = m_nOverDays;
    board.nFileSizeLimit = m_file.SizeLimit();
    return true;
}

// Whether the configured path still leads to the directories in use: one
// moved away, or moved and replaced (rotation by directory), is walked to again.
bool LogDirectory::PathLeadsHere() const
{
    const auto same = [](int nFd, const QByteArray& path) {
        struct stat atPath, inUse;
        return nFd < 0 || (stat(path.constData(), &atPath) == 0 && fstat(nFd, &inUse) == 0 &&
                           atPath.st_dev == inUse.st_dev && atPath.st_ino == inUse.st_ino);
    };
    return same(m_nDirFd, m_absPath) && (m_namePrefix.isEmpty() || same(m_nParentFd, ParentPath()));
}

void LogDirectory::CloseFile()
{
    if (this == g_pActiveLogDirectory)
        PublishLogFd(-1);
    m_file.Close();
}

} // namespace LogerDetail
