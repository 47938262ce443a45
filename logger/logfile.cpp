// Which file a line goes to: naming, continuing today's file, rollover by
// date and size.
#include "logger_p.h"

#include <QDir>
#include <QFileInfo>

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
    return fileInfo.isFile() && fileInfo.suffix().compare(QLatin1String("log"), Qt::CaseInsensitive) == 0;
}

QString WithTrailingSeparator(const QString& strPath)
{
    QString strNative = QDir::toNativeSeparators(strPath);
    if (!strNative.endsWith(QDir::separator(), Qt::CaseSensitive))
        strNative += QDir::separator();
    return strNative;
}
} // namespace LogerDetail

void Loger::CreateNewlogName()
{
    m_listCurLogPath.clear();
    QDir directory(m_LogCfgInfo.m_strLogPath);
    if (!directory.exists()) {
        ++m_nLogNameMaxId;
        qDebug() << "current dir is not exists!，will create new dir !" << m_LogCfgInfo.m_strLogPath;
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
        if (!LogerDetail::IsLogFile(fileInfo))
            continue;
        const QString strCurDate = LogerDetail::CreatedTime(fileInfo).date().toString("yyyyMMdd");
        qDebug() << "Found already existed logfiles:" << i << fileInfo.filePath() << "CurDate:" << strCurDate;
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
        qDebug() << "current already can write logfile is:" << m_listCurLogPath.first();
    }
    qDebug() << "current existing filesname Max id:" << static_cast<qulonglong>(m_nLogNameMaxId);
}

bool Loger::CreateLogFile()
{
    bool bNeedReCreate = false;
    std::string strDate;
    getTime(strDate, 0);
    if (m_strLogDate != strDate) {
        m_strLogDate = strDate;
        m_nLogNameMaxId = 0;
        qDebug() << "just start or day is changed ,will check and create a new log name!";
        CreateNewlogName();
        bNeedReCreate = true;
    }
    if (m_LogFile.isOpen()) {
        const qint64 nFilesz = m_LogFile.size();
        if (nFilesz >= LogerDetail::FullSizeBytes(m_LogCfgInfo.m_nMegaByte))
            CreateNewlogName();
        else if (!bNeedReCreate)
            return true;
    }
    if (m_LogFile.isOpen())
        m_LogFile.close();

    const QString strPath = m_LogCfgInfo.m_strLogPath;
    const QFileInfo fi(strPath);
    if (!fi.isDir()) {
        QDir dir(strPath);
        if (!dir.mkpath(strPath)) {
            qDebug() << "mkpath logpath error ,please check it!" << strPath;
            return false;
        }
        qDebug() << "mkpath logpath ok!" << strPath;
    }
    const QString strTmpFileName =
        !m_listCurLogPath.isEmpty()
            ? m_listCurLogPath.first()
            : LogerDetail::LogFileName(strPath, m_strLogDate, m_nLogNameMaxId, m_LogCfgInfo.m_strLogName);
    m_LogFile.setFileName(strTmpFileName);
    if (!m_LogFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        qDebug() << "create log file error ,please check it!" << strTmpFileName << m_LogFile.errorString();
        return false;
    }
    qDebug() << "create logfile ok! file is :" << strTmpFileName;
    m_LogTextStream.setDevice(&m_LogFile);
    m_LogTextStream.setCodec("UTF-8");
    return true;
}
