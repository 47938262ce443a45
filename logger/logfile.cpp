// Which file a line goes to and how it gets there: naming, continuing today's
// file, rollover by date and size, noticing a deleted or replaced file, and
// the one write(2) per record.
#include "config_p.h"
#include "crash_p.h"
#include "logdir_p.h"
#include "messages_p.h"

#include <QDir>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>

namespace
{
// The open log file. Plain data, constant-initialised and never destroyed,
// so that records from threads still running at process exit find it intact.
// Guarded by the write lock.
struct LogFileState
{
    int nFd;                    // -1: no file open
    qint64 nSize;               // size at opening plus the bytes written since,
                                // confirmed at the path once a second
    qint64 nFullSize;           // the limit the file was opened with
    time_t tDayStart, tNextDay; // the local day of the file's date
    time_t tChecked;            // second of the last look at the path
    dev_t nDev;                 // the file's identity, to notice that the path
    ino_t nIno;                 // now names another file
    char* pszPath;              // the path, for that look
    bool bReopen;               // deleted or replaced: choose a file as at a new day
    bool bOpenLine;             // the file does not end in a line feed
    bool bShutDown;             // the logger object is gone
    int nOpenErrno;             // why the last opening failed
    uint64_t nLost;             // records not written since the last one written
    int nLostErrno;             // why the last of them was not
};
LogFileState g_logFile = {-1, 0, 0, 0, 0, -1, 0, 0, nullptr, false, false, false, 0, 0, 0};

// Start and end of the local day "YYYYMMDD".
void DayBounds(const std::string& strDate, time_t& tStart, time_t& tNext)
{
    const int nDate = atoi(strDate.c_str());
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

// Opens for appending without following a symbolic link and without waiting
// on a FIFO; anything but a regular file is refused. Returns the descriptor,
// or -1 with the reason in nErrno and strError.
int OpenRegularForAppend(const QByteArray& path, struct stat& st, int& nErrno, QString& strError)
{
    const int nFd =
        open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0666);
    nErrno = errno;
    if (nFd >= 0 && fstat(nFd, &st) == 0 && S_ISREG(st.st_mode))
        return nFd;
    if (nFd >= 0) {
        nErrno = EINVAL;
        close(nFd);
        strError = QStringLiteral("not a regular file");
    } else {
        strError = QString::fromLocal8Bit(strerror(nErrno));
    }
    return -1;
}

// Whether a file that already holds bytes ends without a line feed (a line
// cut short by a full disk or a crash).
bool EndsInsideALine(const QByteArray& path, qint64 nSize)
{
    if (nSize <= 0)
        return false;
    const int nFd = open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (nFd < 0)
        return false;
    char c = '\n';
    const bool bRead = pread(nFd, &c, 1, static_cast<off_t>(nSize - 1)) == 1;
    close(nFd);
    return bRead && c != '\n';
}

// Once a second: the path still names the open file (else it was deleted,
// moved or replaced), and its size, which other writers may have changed.
void LookAtPath(LogFileState& f)
{
    struct stat st;
    if (lstat(f.pszPath, &st) != 0 || st.st_dev != f.nDev || st.st_ino != f.nIno)
        f.bReopen = true;
    else
        f.nSize = st.st_size;
}

void CloseLogFile(LogFileState& f)
{
    LogerDetail::PublishLogFd(-1);
    if (f.nFd >= 0)
        close(f.nFd);
    f.nFd = -1;
}
} // namespace

namespace LogerDetail
{
QString LogFileName(const QString& strPath, const std::string& strDate, uint64_t nId, const QString& strLogName)
{
    return QString("%1%2_%3_%4.log")
        .arg(strPath)
        .arg(QString::fromUtf8(strDate.c_str()))
        .arg(static_cast<qulonglong>(nId), 0, 10)
        .arg(strLogName);
}

uint64_t LogIdFromFileName(const QString& strFileName, bool& bHasIdField)
{
    const QStringList list = strFileName.split(QChar('_'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    bHasIdField = list.size() >= 2;
    if (!bHasIdField)
        return 0;
    return static_cast<uint64_t>(list.at(1).toLongLong(nullptr, 10));
}

bool IsLogFile(const QFileInfo& fileInfo)
{
    return fileInfo.isFile() && !fileInfo.isSymLink() &&
           fileInfo.suffix().compare(QLatin1String("log"), Qt::CaseInsensitive) == 0;
}

QString WithTrailingSeparator(const QString& strPath)
{
    QString strNative = QDir::toNativeSeparators(strPath);
    if (!strNative.endsWith(QDir::separator(), Qt::CaseSensitive))
        strNative += QDir::separator();
    return strNative;
}

int AppendToLogFile(const RecordBytes& record, time_t tNow, Loger& logger, bool (*pfnCreateLogFile)(Loger&))
{
    LogFileState& f = g_logFile;
    if (!f.bShutDown) {
        bool bCheck = f.nFd < 0 || tNow >= f.tNextDay || tNow < f.tDayStart || f.nSize >= f.nFullSize;
        if (f.nFd >= 0 && tNow != f.tChecked) {
            f.tChecked = tNow;
            LookAtPath(f);
            bCheck = bCheck || f.bReopen || f.nSize >= f.nFullSize;
        }
        if (bCheck && !pfnCreateLogFile(logger)) {
            Diagnose("get log instance failed!");
            ++f.nLost;
            f.nLostErrno = f.nOpenErrno;
            return -1;
        }
    }
    if (f.nFd < 0) {
        ++f.nLost;
        return -1;
    }

    const char* pBytes = record.bytes.Data();
    size_t nBytes = record.bytes.Size();
    // Rare, so on the heap: the end of a cut line, a note of lost records, the record.
    std::unique_ptr<LineBuffer> pJoined;
    if (f.bOpenLine || f.nLost > 0) {
        pJoined.reset(new LineBuffer);
        LineBuffer& joined = *pJoined;
        if (f.bOpenLine)
            joined.Append("\n", 1);
        if (f.nLost > 0) {
            char szNote[160];
            const int nNote = snprintf(szNote, sizeof(szNote), "%" PRIu64 " record(s) lost before this line: %s",
                                       f.nLost, strerror(f.nLostErrno));
            const std::unique_ptr<RecordBytes> pNote(new RecordBytes);
            RecordBytes& note = *pNote;
            FormatRecord(note, record.szTime, ERR, 0, record.nThreadId, "logger", 6, szNote,
                         static_cast<size_t>(nNote));
            joined.Append(note.bytes.Data(), note.bytes.Size());
        }
        joined.Append(pBytes, nBytes);
        pBytes = joined.Data();
        nBytes = joined.Size();
    }
    size_t nWritten = 0;
    const int nError = WriteAll(f.nFd, pBytes, nBytes, nWritten);
    f.nSize += static_cast<qint64>(nWritten);
    if (nError != 0) {
        if (nWritten > 0)
            f.bOpenLine = pBytes[nWritten - 1] != '\n';
        ++f.nLost;
        f.nLostErrno = nError;
        return -2;
    }
    f.bOpenLine = false;
    f.nLost = 0;
    return 0;
}

void CountLostRecord(int nErrno)
{
    ++g_logFile.nLost;
    g_logFile.nLostErrno = nErrno;
}

void ShutDownLogFile()
{
    g_logFile.bShutDown = true;
}
} // namespace LogerDetail

void Loger::CreateNewlogName()
{
    using LogerDetail::Diagnose;
    m_listCurLogPath.clear();
    QDir directory(m_LogCfgInfo.m_strLogPath);
    if (!directory.exists()) {
        ++m_nLogNameMaxId;
        Diagnose("current dir is not exists!，will create new dir !", m_LogCfgInfo.m_strLogPath);
        return;
    }
    const QString srcPath = LogerDetail::WithTrailingSeparator(m_LogCfgInfo.m_strLogPath);
    QString alreadyExistfile;
    QDateTime dtime = QDateTime::fromString("2000-01-01 00:00:01", "yyyy-MM-dd hh:mm:ss");
    const qint64 nFullSize = LogerDetail::FullSizeBytes(m_LogCfgInfo.m_nMegaByte);
    const QStringList fileNameList =
        directory.entryList(QDir::Filters(LogerDetail::nListFilter), QDir::SortFlags(QDir::NoSort));
    std::string strTmpDate;
    for (int i = 0; i < fileNameList.size(); ++i) {
        const QString filePath = srcPath + fileNameList.at(i);
        const QFileInfo fileInfo(filePath);
        // Never a symbolic link: the logger writes only into files it can see.
        if (!LogerDetail::IsLogFile(fileInfo))
            continue;
        const QString strCurDate = LogerDetail::CreatedTime(fileInfo).date().toString("yyyyMMdd");
        Diagnose("Found already existed logfiles:", i, fileInfo.filePath(), "CurDate:", strCurDate);
        getTime(strTmpDate, 0);
        if (strCurDate.toUtf8() != QByteArray::fromStdString(strTmpDate))
            continue;
        bool bHasIdField = false;
        const uint64_t nid = LogerDetail::LogIdFromFileName(fileInfo.fileName(), bHasIdField);
        if (bHasIdField && nid > m_nLogNameMaxId)
            m_nLogNameMaxId = nid;
        const QDateTime lastModified = fileInfo.lastModified();
        if (fileInfo.size() < nFullSize && dtime < lastModified) {
            dtime = lastModified;
            alreadyExistfile = fileInfo.filePath();
        }
    }
    if (alreadyExistfile.isEmpty()) {
        ++m_nLogNameMaxId;
    } else {
        m_listCurLogPath.append(alreadyExistfile);
        Diagnose("current already can write logfile is:", m_listCurLogPath.first());
    }
    Diagnose("current existing filesname Max id:", static_cast<qulonglong>(m_nLogNameMaxId));
}

bool Loger::CreateLogFile()
{
    using LogerDetail::Diagnose;
    LogFileState& f = g_logFile;
    bool bNeedReCreate = false;
    std::string strDate;
    getTime(strDate, 0);
    if (f.bReopen) {
        // Deleted, moved or replaced under the logger: choose as at a new day.
        f.bReopen = false;
        m_strLogDate.clear();
    }
    if (m_strLogDate != strDate) {
        m_strLogDate = strDate;
        DayBounds(m_strLogDate, f.tDayStart, f.tNextDay);
        m_nLogNameMaxId = 0;
        Diagnose("just start or day is changed ,will check and create a new log name!");
        CreateNewlogName();
        bNeedReCreate = true;
    }
    if (f.nFd >= 0) {
        qint64 nFilesz = f.nSize;
        const qint64 nFullSize = LogerDetail::FullSizeBytes(m_LogCfgInfo.m_nMegaByte);
        struct stat st;
        if (nFilesz >= nFullSize && fstat(f.nFd, &st) == 0)
            nFilesz = f.nSize = st.st_size; // the count says full: the file has the last word
        if (nFilesz >= nFullSize)
            CreateNewlogName();
        else if (!bNeedReCreate)
            return true;
    }
    CloseLogFile(f);

    const QString strPath = m_LogCfgInfo.m_strLogPath;
    const QFileInfo fi(strPath);
    if (!fi.isDir()) {
        QDir dir(strPath);
        errno = 0;
        if (!dir.mkpath(strPath)) {
            f.nOpenErrno = errno != 0 ? errno : ENOTDIR;
            Diagnose("mkpath logpath error ,please check it!", strPath);
            return false;
        }
        Diagnose("mkpath logpath ok!", strPath);
    }
    const QString strTmpFileName =
        !m_listCurLogPath.isEmpty()
            ? m_listCurLogPath.first()
            : LogerDetail::LogFileName(strPath, m_strLogDate, m_nLogNameMaxId, m_LogCfgInfo.m_strLogName);
    m_LogFile.setFileName(strTmpFileName);
    const QByteArray path = QFile::encodeName(strTmpFileName);
    struct stat st;
    QString strError;
    const int nFd = OpenRegularForAppend(path, st, f.nOpenErrno, strError);
    if (nFd < 0) {
        Diagnose("create log file error ,please check it!", strTmpFileName, strError);
        return false;
    }
    Diagnose("create logfile ok! file is :", strTmpFileName);
    f.nFd = nFd;
    LogerDetail::PublishLogFd(nFd);
    f.nSize = st.st_size;
    f.nFullSize = LogerDetail::FullSizeBytes(m_LogCfgInfo.m_nMegaByte);
    f.nDev = st.st_dev;
    f.nIno = st.st_ino;
    f.tChecked = time(nullptr);
    free(f.pszPath);
    f.pszPath = strdup(path.constData());
    f.bOpenLine = EndsInsideALine(path, f.nSize);
    return true;
}
