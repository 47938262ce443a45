// The log directory as one open handle: every file is opened, looked at and
// removed relative to it, so a path swapped after the check changes nothing.
#include "logdir_p.h"

#include "config_p.h"
#include "messages_p.h"

#include <QDateTime>
#include <QDir>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <vector>

namespace
{
using LogerDetail::Diagnose;

// Symbolic links followed on the way to a directory before giving up.
const int nMaxLinks = 40;
// Room for the note of lost records before a line.
const size_t nNoteRoom = 256;

bool IsOwnGroup(gid_t nGid)
{
    if (nGid == 0 || nGid == getegid())
        return true;
    const int nCount = getgroups(0, nullptr);
    if (nCount <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(nCount));
    const int nGot = getgroups(nCount, groups.data());
    return nGot > 0 && std::find(groups.begin(), groups.begin() + nGot, nGid) != groups.begin() + nGot;
}

// Opens a path one directory at a time from "/", checking each directory
// before anything is looked up in it. A symbolic link on the way is followed
// only when root or the effective user made it; missing directories are made
// (0750) only when asked, never through a link.
class TrustedWalk
{
public:
    ~TrustedWalk()
    {
        if (nDirFd >= 0)
            close(nDirFd);
        if (nParentFd >= 0)
            close(nParentFd);
    }
    bool Run(const QByteArray& absolutePath, bool bMake)
    {
        m_bMake = bMake;
        nDirFd = -1;
        return Step(nDirFd, absolutePath, 0, &nParentFd);
    }

    int nDirFd = -1;    // the directory at the end of the path
    int nParentFd = -1; // the one its last part was looked up in
    bool bMissing = false;
    QByteArray failedAt; // the directory that may not be used
    QString strWhy;
    int nErrno = 0;

private:
    bool Fail(const QByteArray& at, int nError, const QString& strReason)
    {
        failedAt = at;
        nErrno = nError;
        strWhy = strReason;
        return false;
    }
    bool Trusted(int nFd, const QByteArray& at)
    {
        struct stat st;
        if (fstat(nFd, &st) != 0)
            return Fail(at, errno, QString::fromLocal8Bit(strerror(errno)));
        const char* pszWhy = LogerDetail::UntrustedDirectoryReason(st);
        return pszWhy == nullptr || Fail(at, EACCES, QString::fromLatin1(pszWhy));
    }
    // Walks `path` from the directory nFd (replaced as it goes).
    bool Step(int& nFd, const QByteArray& path, int nDepth, int* pParentFd)
    {
        QByteArray at;
        if (path.startsWith('/') || nFd < 0) {
            if (nFd >= 0)
                close(nFd);
            nFd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
            at = "/";
            if (nFd < 0)
                return Fail(at, errno, QString::fromLocal8Bit(strerror(errno)));
            if (!Trusted(nFd, at))
                return false;
        }
        QList<QByteArray> parts = path.split('/');
        parts.removeAll(QByteArray());
        parts.removeAll(QByteArray("."));
        for (int k = 0; k < parts.size(); ++k) {
            const QByteArray& part = parts.at(k);
            const QByteArray here = at + part;
            if (k == parts.size() - 1 && pParentFd != nullptr)
                *pParentFd = fcntl(nFd, F_DUPFD_CLOEXEC, 0);
            struct stat st;
            if (fstatat(nFd, part.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno != ENOENT)
                    return Fail(here, errno, QString::fromLocal8Bit(strerror(errno)));
                if (!m_bMake) {
                    bMissing = true;
                    return true;
                }
                if (mkdirat(nFd, part.constData(), 0750) != 0 && errno != EEXIST)
                    return Fail(here, errno, QString::fromLocal8Bit(strerror(errno)));
                if (fstatat(nFd, part.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                    return Fail(here, errno, QString::fromLocal8Bit(strerror(errno)));
            }
            if (S_ISLNK(st.st_mode)) {
                if (st.st_uid != 0 && st.st_uid != geteuid())
                    return Fail(here, EACCES, QStringLiteral("a symbolic link made by another user"));
                if (nDepth >= nMaxLinks)
                    return Fail(here, ELOOP, QString::fromLocal8Bit(strerror(ELOOP)));
                char szTarget[4096];
                const ssize_t nTarget = readlinkat(nFd, part.constData(), szTarget, sizeof(szTarget) - 1);
                if (nTarget <= 0)
                    return Fail(here, errno, QString::fromLocal8Bit(strerror(errno)));
                // The target must exist: nothing is made through a link.
                const bool bMake = m_bMake;
                m_bMake = false;
                const bool bOk = Step(nFd, QByteArray(szTarget, static_cast<int>(nTarget)), nDepth + 1, nullptr);
                m_bMake = bMake;
                if (!bOk)
                    return false;
                if (bMissing) {
                    bMissing = false;
                    return Fail(here, ENOENT, QStringLiteral("a symbolic link to a missing directory"));
                }
            } else if (S_ISDIR(st.st_mode)) {
                const int nNext = openat(nFd, part.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (nNext < 0)
                    return Fail(here, errno, QString::fromLocal8Bit(strerror(errno)));
                close(nFd);
                nFd = nNext;
                if (!Trusted(nFd, here))
                    return false;
            } else {
                return Fail(here, ENOTDIR, QString::fromLocal8Bit(strerror(ENOTDIR)));
            }
            at = here + '/';
        }
        return true;
    }

    bool m_bMake = false;
};

QByteArray AbsolutePath(const QString& strPath)
{
    const QByteArray path = QFile::encodeName(strPath);
    return path.startsWith('/') ? path : QFile::encodeName(QDir::currentPath()) + '/' + path;
}

// The local date YYYYMMDD of a clock reading.
void LocalDate(time_t t, char szDate[16])
{
    struct tm tmVar;
    localtime_r(&t, &tmVar);
    char* p = LogerDetail::PutDecimal(szDate, tmVar.tm_year + 1900, 2);
    p = LogerDetail::PutDecimal(p, tmVar.tm_mon + 1, 2);
    p = LogerDetail::PutDecimal(p, tmVar.tm_mday, 2);
    *p = '\0';
}

// Start and end of the local day "YYYYMMDD".
void DayBounds(const char* pszDate, time_t& tStart, time_t& tNext)
{
    const int nDate = atoi(pszDate);
    struct tm tmDay = {};
    tmDay.tm_year = nDate / 10000 - 1900;
    tmDay.tm_mon = nDate / 100 % 100 - 1;
    tmDay.tm_mday = nDate % 100;
    tmDay.tm_isdst = -1;
    struct tm tmNext = tmDay;
    ++tmNext.tm_mday;
    tStart = mktime(&tmDay);
    tNext = mktime(&tmNext);
}

// What a listing of the directory holds: the entries a file manager would
// show (directories, regular files, links to either), by name without case.
std::vector<QByteArray> ListDirectory(int nDirFd)
{
    std::vector<QByteArray> names;
    const int nFd = openat(nDirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* pDir = nFd >= 0 ? fdopendir(nFd) : nullptr;
    if (pDir == nullptr) {
        if (nFd >= 0)
            close(nFd);
        return names;
    }
    while (const dirent* pEntry = readdir(pDir)) {
        const char* pszName = pEntry->d_name;
        if (strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0)
            continue;
        unsigned char nType = pEntry->d_type;
        if (nType == DT_LNK || nType == DT_UNKNOWN) {
            struct stat st;
            if (fstatat(nFd, pszName, &st, 0) != 0)
                continue; // a dangling link
            nType = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (nType == DT_DIR || nType == DT_REG)
            names.emplace_back(pszName);
    }
    closedir(pDir);
    std::sort(names.begin(), names.end(), [](const QByteArray& a, const QByteArray& b) {
        const int n = QFile::decodeName(a).toLower().compare(QFile::decodeName(b).toLower());
        return n != 0 ? n < 0 : a < b;
    });
    return names;
}

bool HasLogSuffix(const QByteArray& name)
{
    const int nDot = name.lastIndexOf('.');
    return nDot >= 0 && qstricmp(name.constData() + nDot + 1, "log") == 0;
}

// A regular file's identity and times, never through a link.
bool StatRegular(int nDirFd, const QByteArray& name, struct statx& stx)
{
    return statx(nDirFd, name.constData(), AT_SYMLINK_NOFOLLOW,
                 STATX_TYPE | STATX_MODE | STATX_UID | STATX_NLINK | STATX_SIZE | STATX_MTIME | STATX_CTIME |
                     STATX_BTIME,
                 &stx) == 0 &&
           S_ISREG(stx.stx_mode);
}

// Creation time as the file system reports it: the birth time, else the time
// of the last status change.
time_t CreatedSecs(const struct statx& stx)
{
    return static_cast<time_t>((stx.stx_mask & STATX_BTIME) ? stx.stx_btime.tv_sec : stx.stx_ctime.tv_sec);
}

QString Reason(int nErrno)
{
    return QString::fromLocal8Bit(strerror(nErrno));
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

// Under a file size limit a write that crosses it would raise SIGXFSZ, whose
// default ends the process: it is held back for this thread and dropped, and
// the write fails with EFBIG instead.
int WriteAllUnderLimit(int nFd, const char* p, size_t n, size_t& nWritten)
{
    sigset_t xfsz, previous;
    sigemptyset(&xfsz);
    sigaddset(&xfsz, SIGXFSZ);
    pthread_sigmask(SIG_BLOCK, &xfsz, &previous);
    const int nError = WriteAll(nFd, p, n, nWritten);
    if (nError == EFBIG && !sigismember(&previous, SIGXFSZ)) {
        const timespec noWait = {0, 0};
        sigtimedwait(&xfsz, nullptr, &noWait);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return nError;
}

// Whether a file that already holds bytes ends without a line feed (a line
// cut short by a full disk or a crash).
bool EndsInsideALine(int nDirFd, const QByteArray& name, qint64 nSize)
{
    if (nSize <= 0)
        return false;
    const int nFd = openat(nDirFd, name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (nFd < 0)
        return false;
    char c = '\n';
    const bool bRead = pread(nFd, &c, 1, static_cast<off_t>(nSize - 1)) == 1;
    close(nFd);
    return bRead && c != '\n';
}

LogerDetail::LogDirectory* g_pActive = nullptr;
} // namespace

namespace LogerDetail
{
QString LogFileName(const QString& strPath, const char* pszDate, uint64_t nId, const QString& strLogName)
{
    return strPath + QLatin1String(pszDate) + QLatin1Char('_') + QString::number(static_cast<qulonglong>(nId)) +
           QLatin1Char('_') + strLogName + QLatin1String(".log");
}

uint64_t LogIdFromFileName(const QString& strFileName, bool& bHasIdField)
{
    const QStringList list = strFileName.split(QChar('_'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    bHasIdField = list.size() >= 2;
    if (!bHasIdField)
        return 0;
    return static_cast<uint64_t>(list.at(1).toLongLong(nullptr, 10));
}

const char* UntrustedDirectoryReason(const struct stat& st)
{
    if (st.st_uid != geteuid() && st.st_uid != 0)
        return "owned by another user";
    if ((st.st_mode & S_IWOTH) != 0 && (st.st_mode & S_ISVTX) == 0)
        return "writable by all users and not sticky";
    if ((st.st_mode & S_IWGRP) != 0 && !IsOwnGroup(st.st_gid))
        return "writable by a group this process is not in";
    return nullptr;
}

LogDirectory& ActiveLogDirectory()
{
    if (g_pActive == nullptr)
        g_pActive = new LogDirectory;
    return *g_pActive;
}

LogDirectory* InstallLogDirectory(LogDirectory* pDirectory)
{
    LogDirectory* pOld = &ActiveLogDirectory();
    g_pActive = pDirectory;
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
    m_strLogName = strLogName;
    m_nFullSize = FullSizeBytes(nMegaByte);
    const QByteArray path = QFile::encodeName(strPath);
    m_namePrefix = path.endsWith('/') ? QByteArray() : path.mid(path.lastIndexOf('/') + 1);
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
    if (!walk.Run(AbsolutePath(m_strPath), false)) {
        Diagnose("log directory refused:", QFile::decodeName(walk.failedAt), walk.strWhy);
        m_nOpenErrno = walk.nErrno;
        return false;
    }
    if (!walk.bMissing) {
        std::swap(m_nDirFd, walk.nDirFd);
        std::swap(m_nParentFd, walk.nParentFd);
    }
    return true;
}

bool LogDirectory::DeleteExpired(unsigned int nOverDays)
{
    if (m_nDirFd < 0)
        return true;
    bool bDel = true;
    // 64 bits: a period above 49710 days must not wrap into a short one.
    const qint64 nPeriodSecs = static_cast<qint64>(nOverDays) * 86400;
    // Entries are joined to the path as configured, like the files made there.
    const int nFileDirFd = m_namePrefix.isEmpty() ? m_nDirFd : m_nParentFd;
    const std::vector<QByteArray> names = ListDirectory(m_nDirFd);
    for (size_t i = 0; i < names.size(); ++i) {
        const QByteArray name = m_namePrefix + names[i];
        struct statx stx;
        if (!HasLogSuffix(name) || !StatRegular(nFileDirFd, name, stx))
            continue;
        const QString strFilePath = m_strPath + QFile::decodeName(names[i]);
        Diagnose("Found already existed logfiles:", static_cast<int>(i), strFilePath);
        if (static_cast<qint64>(time(nullptr)) - static_cast<qint64>(CreatedSecs(stx)) < nPeriodSecs)
            continue;
        // Removing needs no right on the file itself, and its mode stays.
        if (unlinkat(nFileDirFd, name.constData(), 0) != 0) {
            Diagnose("remove file", strFilePath, " faild!", Reason(errno));
            bDel = false;
        }
    }
    return bDel;
}

bool LogDirectory::Fits(qint64 nSize, size_t nRoom) const
{
    return m_nSizeLimit < 0 || nSize + static_cast<qint64>(nRoom) <= m_nSizeLimit;
}

void LogDirectory::ChooseFile(size_t nRoom)
{
    m_continueName.clear();
    if (m_nDirFd < 0) {
        ++m_nMaxId;
        Diagnose("current dir is not exists!，will create new dir !", m_strPath);
        return;
    }
    qint64 nBestMsecs = QDateTime::fromString("2000-01-01 00:00:01", "yyyy-MM-dd hh:mm:ss").toMSecsSinceEpoch();
    const std::vector<QByteArray> names = ListDirectory(m_nDirFd);
    const uid_t nUid = geteuid();
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
        if (bHasIdField && nId > m_nMaxId)
            m_nMaxId = nId;
        // Only a file of our own that no other name reaches is continued.
        const qint64 nSize = static_cast<qint64>(stx.stx_size);
        const qint64 nMsecs = static_cast<qint64>(stx.stx_mtime.tv_sec) * 1000 + stx.stx_mtime.tv_nsec / 1000000;
        if (nSize < m_nFullSize && Fits(nSize, nRoom) && nMsecs > nBestMsecs && stx.stx_uid == nUid &&
            stx.stx_nlink == 1) {
            nBestMsecs = nMsecs;
            m_continueName = name;
        }
    }
    if (m_continueName.isEmpty()) {
        ++m_nMaxId;
    } else {
        Diagnose("current already can write logfile is:", m_strScanPath + QFile::decodeName(m_continueName));
    }
    Diagnose("current existing filesname Max id:", static_cast<qulonglong>(m_nMaxId));
}

bool LogDirectory::EnsureFile(time_t tNow, size_t nRoom)
{
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
        DayBounds(m_szDate, m_tDayStart, m_tNextDay);
        m_nMaxId = 0;
        // A directory removed under us is looked for anew, and one not yet
        // opened (records before the start) is opened now.
        struct stat st;
        if (m_nDirFd >= 0 && (fstat(m_nDirFd, &st) != 0 || st.st_nlink == 0))
            CloseDirectory();
        if (m_nDirFd < 0 && !OpenDirectory()) {
            m_szDate[0] = '\0';
            return false;
        }
        Diagnose("just start or day is changed ,will check and create a new log name!");
        ChooseFile(nRoom);
        bNeedReCreate = true;
    }
    if (m_nFd >= 0) {
        struct stat st;
        if (m_nSize >= m_nFullSize && fstat(m_nFd, &st) == 0)
            m_nSize = st.st_size; // the count says full: the file has the last word
        if (m_nSize >= m_nFullSize || (m_nSize > 0 && !Fits(m_nSize, nRoom)))
            ChooseFile(nRoom);
        else if (!bNeedReCreate)
            return true;
    }
    CloseFile();
    return OpenChosenFile();
}

bool LogDirectory::OpenChosenFile()
{
    if (m_nDirFd < 0) {
        TrustedWalk walk;
        if (!walk.Run(AbsolutePath(m_strPath), true)) {
            m_nOpenErrno = walk.nErrno;
            Diagnose("mkpath logpath error ,please check it!", m_strPath, QFile::decodeName(walk.failedAt),
                     walk.strWhy);
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
        Diagnose("create log file error ,please check it!", strFullPath, Reason(m_nOpenErrno));
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
    const QString strFullPath = LogFileName(m_strPath, m_szDate, m_nMaxId, m_strLogName);
    const QByteArray name = m_namePrefix + QFile::encodeName(LogFileName(QString(), m_szDate, m_nMaxId, m_strLogName));
    const int nDirFd = m_namePrefix.isEmpty() ? m_nDirFd : m_nParentFd;
    // Never an existing file: whatever is found at the name was not made here.
    const int nFd =
        openat(nDirFd, name.constData(),
               O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0640);
    if (nFd < 0) {
        m_nOpenErrno = errno;
        Diagnose("create log file error ,please check it!", strFullPath, Reason(m_nOpenErrno));
        return false;
    }
    return AdoptFile(nFd, nDirFd, name, strFullPath);
}

bool LogDirectory::AdoptFile(int nFd, int nDirFd, const QByteArray& name, const QString& strFullPath)
{
    struct stat st;
    if (fstat(nFd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
        m_nOpenErrno = EPERM;
        Diagnose("create log file error ,please check it!", strFullPath,
                 QStringLiteral("not a regular file of this user with one link"));
        close(nFd);
        return false;
    }
    Diagnose("create logfile ok! file is :", strFullPath);
    m_nFd = nFd;
    m_nFileDirFd = nDirFd;
    m_fileName = name;
    m_nSize = st.st_size;
    m_nDev = st.st_dev;
    m_nIno = st.st_ino;
    m_tChecked = time(nullptr);
    rlimit limit;
    m_nSizeLimit = getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                       ? static_cast<qint64>(limit.rlim_cur)
                       : -1;
    m_bOpenLine = EndsInsideALine(nDirFd, name, m_nSize);
    return true;
}

void LogDirectory::CloseFile()
{
    if (m_nFd >= 0)
        close(m_nFd);
    m_nFd = -1;
}

// Once a second: the name still leads to the open file (else it was deleted,
// moved or replaced), and its size, which other writers may have changed.
void LogDirectory::LookAtFile()
{
    struct stat st;
    if (fstatat(m_nFileDirFd, m_fileName.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != m_nDev ||
        st.st_ino != m_nIno)
        m_bReopen = true;
    else
        m_nSize = st.st_size;
}

void LogDirectory::CountLost(int nErrno)
{
    ++m_nLost;
    m_nLostErrno = nErrno;
}

int LogDirectory::Append(const RecordBytes& record, time_t tNow)
{
    if (!m_bShutDown) {
        bool bCheck = m_nFd < 0 || tNow >= m_tNextDay || tNow < m_tDayStart || m_nSize >= m_nFullSize;
        if (m_nFd >= 0 && tNow != m_tChecked) {
            m_tChecked = tNow;
            LookAtFile();
            bCheck = bCheck || m_bReopen || m_nSize >= m_nFullSize;
        }
        // Under a file size limit, a new file before a line would cross it.
        const size_t nRoom = record.bytes.Size() + (m_nLost > 0 || m_bOpenLine ? nNoteRoom : 0);
        bCheck = bCheck || (m_nSize > 0 && !Fits(m_nSize, nRoom));
        if (bCheck && !EnsureFile(tNow, nRoom)) {
            Diagnose("get log instance failed!");
            CountLost(m_nOpenErrno);
            return -1;
        }
    }
    if (m_nFd < 0) {
        ++m_nLost;
        return -1;
    }
    if (!Fits(m_nSize, record.bytes.Size())) {
        CountLost(EFBIG); // longer than the limit allows any file to be: no piece of it is written
        return -2;
    }
    return WriteBytes(record);
}
} // namespace LogerDetail

namespace
{
// The rare line: the end of a cut line, a note of lost records, then the
// record; built on the heap, so the common path keeps a small stack.
__attribute__((noinline)) void JoinWithNote(LogerDetail::LineBuffer& joined, const LogerDetail::RecordBytes& record,
                                            bool bOpenLine, uint64_t nLost, int nLostErrno)
{
    if (bOpenLine)
        joined.Append("\n", 1);
    if (nLost > 0) {
        char szNote[160];
        const int nNote = snprintf(szNote, sizeof(szNote), "%" PRIu64 " record(s) lost before this line: %s", nLost,
                                   strerror(nLostErrno));
        std::unique_ptr<LogerDetail::RecordBytes> note(new LogerDetail::RecordBytes);
        LogerDetail::FormatRecord(*note, record.szTime, ERR, 0, record.nThreadId, "logger", 6, szNote,
                                  static_cast<size_t>(nNote));
        joined.Append(note->bytes.Data(), note->bytes.Size());
    }
    joined.Append(record.bytes.Data(), record.bytes.Size());
}
} // namespace

int LogerDetail::LogDirectory::WriteBytes(const RecordBytes& record)
{
    const char* pBytes = record.bytes.Data();
    size_t nBytes = record.bytes.Size();
    std::unique_ptr<LineBuffer> joined;
    if (m_bOpenLine || m_nLost > 0) {
        joined.reset(new LineBuffer);
        JoinWithNote(*joined, record, m_bOpenLine, m_nLost, m_nLostErrno);
        pBytes = joined->Data();
        nBytes = joined->Size();
    }
    size_t nWritten = 0;
    const int nError = m_nSizeLimit < 0 ? WriteAll(m_nFd, pBytes, nBytes, nWritten)
                                        : WriteAllUnderLimit(m_nFd, pBytes, nBytes, nWritten);
    m_nSize += static_cast<qint64>(nWritten);
    if (nError != 0) {
        if (nWritten > 0)
            m_bOpenLine = pBytes[nWritten - 1] != '\n';
        CountLost(nError);
        return -2;
    }
    m_bOpenLine = false;
    m_nLost = 0;
    return 0;
}
