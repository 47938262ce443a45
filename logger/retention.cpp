// Deletes log files older than the retention period, once per start-up.
#include "messages_p.h"
#include "messages_p.h"

#include <QDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace LogerDetail
{
QDateTime CreatedTime(const QFileInfo& fileInfo)
{
    const QDateTime birth = fileInfo.birthTime();
    return birth.isValid() ? birth : fileInfo.metadataChangeTime();
}

qint64 EpochSecs32(const QDateTime& dateTime)
{
    const quint32 nInvalid = 0xFFFFFFFFu;
    if (!dateTime.isValid())
        return nInvalid;
    const qint64 nSecs = dateTime.toMSecsSinceEpoch() / 1000;
    if (static_cast<quint64>(nSecs) >= nInvalid)
        return nInvalid;
    return nSecs;
}
} // namespace LogerDetail

namespace
{
// The mode of the file behind a descriptor (also one opened with O_PATH),
// never of whatever a name points to by now.
bool SetModeOf(int nFd, mode_t nMode)
{
    char szPath[32];
    snprintf(szPath, sizeof(szPath), "/proc/self/fd/%d", nFd);
    return chmod(szPath, nMode) == 0;
}

enum em_REMOVE_RESULT
{
    REMOVED,
    NOT_REGULAR,
    MODE_REFUSED,
    REMOVE_FAILED
};

// Makes the file owner-write only and removes it, only when the entry is a
// regular file itself: a link is never followed, so the mode of its target is
// never changed. A file that lives on (removal failed, or another name still
// holds it) gets its mode back.
em_REMOVE_RESULT RemoveRegularFile(const QString& filePath)
{
    const QByteArray path = QFile::encodeName(filePath);
    const int nFd = open(path.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (nFd < 0)
        return REMOVE_FAILED;
    struct stat st;
    em_REMOVE_RESULT emResult = NOT_REGULAR;
    if (fstat(nFd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (!SetModeOf(nFd, S_IWUSR)) {
            emResult = MODE_REFUSED;
        } else {
            emResult = unlink(path.constData()) == 0 ? REMOVED : REMOVE_FAILED;
            struct stat stAfter;
            if (fstat(nFd, &stAfter) == 0 && stAfter.st_nlink > 0)
                SetModeOf(nFd, st.st_mode & 07777);
        }
    }
    close(nFd);
    return emResult;
}
} // namespace

bool Loger::DeleteOverLogFile()
{
    const QString srcPath = m_LogCfgInfo.m_strLogPath;
    QDir directory(srcPath);
    if (!directory.exists())
        return true;
    bool bDel = true;
    // 64 bits: a period above 49710 days must not wrap into a short one.
    const qint64 nPeriodSecs = static_cast<qint64>(m_LogCfgInfo.m_nOverDays) * 86400;
    const QStringList fileNameList =
        directory.entryList(QDir::Filters(LogerDetail::nListFilter), QDir::SortFlags(QDir::NoSort));
    for (int i = 0; i < fileNameList.size(); ++i) {
        const QString filePath = srcPath + fileNameList.at(i);
        const QFileInfo fileInfo(filePath);
        // Only regular files: a link named like a log file is left alone.
        if (fileInfo.isSymLink() || !LogerDetail::IsLogFile(fileInfo))
            continue;
        LOGER_OWN_DEBUG() << "Found already existed logfiles:" << i << fileInfo.filePath();
        const qint64 nTime = LogerDetail::EpochSecs32(LogerDetail::CreatedTime(fileInfo));
        const qint64 now = LogerDetail::EpochSecs32(QDateTime::fromSecsSinceEpoch(time(nullptr), Qt::UTC));
        if (now - nTime < nPeriodSecs)
            continue;
        const em_REMOVE_RESULT emResult = RemoveRegularFile(filePath);
        if (emResult == REMOVE_FAILED)
            LOGER_OWN_DEBUG() << "remove file" << filePath << " faild!";
        if (emResult == REMOVE_FAILED || emResult == MODE_REFUSED)
            bDel = false;
    }
    return bDel;
}
