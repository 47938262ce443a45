// Deletes log files older than the retention period, once per start-up.
#include "logger_p.h"

#include <QDir>

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
        if (!LogerDetail::IsLogFile(fileInfo))
            continue;
        qDebug() << "Found already existed logfiles:" << i << fileInfo.filePath();
        const qint64 nTime = LogerDetail::EpochSecs32(LogerDetail::CreatedTime(fileInfo));
        const qint64 now = LogerDetail::EpochSecs32(QDateTime::currentDateTimeUtc());
        if (now - nTime < nPeriodSecs)
            continue;
        if (!QFile::setPermissions(filePath, QFileDevice::WriteOwner)) {
            bDel = false;
            continue;
        }
        if (!QFile::remove(filePath)) {
            qDebug() << "remove file" << filePath << " faild!";
            bDel = false;
        }
    }
    return bDel;
}
