// Configuration: the dump and check before start-up, and start-up from an INI file.
#include "ini_check_p.h"
#include "logger_p.h"
#include "own_messages_p.h"

#include <QDir>
#include <QSettings>
#include <QTextCodec>

namespace LogerDetail
{
QString IdentifySegment(const QString& strFileIden)
{
    if (strFileIden.isEmpty() || strFileIden == "/")
        return QString();
    return strFileIden.startsWith(QChar('/')) ? strFileIden : "/" + strFileIden;
}

QString FolderSegment(const QString& strFolderName)
{
    return strFolderName.isEmpty() ? QString() : "/" + strFolderName;
}

int PositiveNumber(const QVariant& value)
{
    // Read as written, in 64 bits: QVariant::toUInt cuts a larger number to
    // its low 32 bits, so 4294967297 would be taken as 1. Past 64 bits the
    // conversion fails; a minus sign, letters or 0 are refused as well.
    bool bOk = false;
    const qulonglong nValue = value.toString().toULongLong(&bOk, 10);
    return bOk && nValue >= 1 && nValue <= 2147483647u ? static_cast<int>(nValue) : 0;
}
} // namespace LogerDetail

void LOG_CONFIG_INFO::Debug_PrintValues()
{
    LOGER_OWN_DEBUG() << "m_strLogPath:      " << m_strLogPath;
    LOGER_OWN_DEBUG() << "m_strLogName:      " << m_strLogName;
    LOGER_OWN_DEBUG() << "m_bIsWriteLog:     " << m_bIsWriteLog;
    LOGER_OWN_DEBUG() << "m_emLogLevel:      " << static_cast<int>(LogerDetail::LoadLevel(m_emLogLevel));
    LOGER_OWN_DEBUG() << "m_nMegaByte:       " << m_nMegaByte;
    LOGER_OWN_DEBUG() << "m_bIsPrintScreen:  " << m_bIsPrintScreen;
    LOGER_OWN_DEBUG() << "m_nRowLogMaxLen:   " << m_nRowLogMaxLen;
    LOGER_OWN_DEBUG() << "m_nOverDays:       " << m_nOverDays;
}

bool Loger::CheckLogCfgCheck()
{
    m_LogCfgInfo.Debug_PrintValues();
    if (m_LogCfgInfo.m_strLogPath.isEmpty() || m_LogCfgInfo.m_strLogName.isEmpty()) {
        LOGER_OWN_DEBUG() << "m_strLogPath or m_strLogName is Empty!";
        return false;
    }
    if (!m_LogCfgInfo.m_bIsWriteLog)
        LOGER_OWN_DEBUG() << "logger will not write log!";
    const int nLevel = static_cast<int>(LogerDetail::LoadLevel(m_LogCfgInfo.m_emLogLevel));
    if (nLevel < DEBUG || nLevel > FATAL)
        return false;
    if (!m_LogCfgInfo.m_bIsPrintScreen)
        LOGER_OWN_DEBUG() << "logger will not print in terminal !";
    if (m_LogCfgInfo.m_nMegaByte == 0 || m_LogCfgInfo.m_nRowLogMaxLen == 0 || m_LogCfgInfo.m_nOverDays == 0)
        return false;
    return true;
}

bool Loger::InitLogInfo(const QString& strLogIniFullPath)
{
    const LogerDetail::OwnMessagesScope ownMessages;
    if (m_IsInitOK) {
        LOGER_OWN_DEBUG() << "error,Loger already is init!";
        return false;
    }
    const QFileInfo fi(strLogIniFullPath);
    if (!fi.isFile()) {
        LOGER_OWN_DEBUG() << "get log file path failed!";
        return false;
    }
    LogerDetail::ReportIniMistakes(strLogIniFullPath);
    QSettings settings(strLogIniFullPath, QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("GB2312"));

    // Each key is looked up only in its own group.
    settings.beginGroup("CommConfig");
    const QString strFileIden = LogerDetail::IdentifySegment(settings.value("FileIdentifyPath").toString());
    const int overDays = LogerDetail::PositiveNumber(settings.value("OverDays"));
    if (overDays > 0)
        m_LogCfgInfo.m_nOverDays = static_cast<unsigned int>(overDays);
    const QString folderName = LogerDetail::FolderSegment(settings.value("FolderName").toString());
    settings.endGroup();

    settings.beginGroup("LogConfig");
    QString strValue = settings.value("LogName").toString();
    if (strValue.isEmpty()) {
        LOGER_OWN_DEBUG() << "program filename is empty!" << strValue << strLogIniFullPath;
        return false;
    }
    m_LogCfgInfo.m_strLogName = strValue;

    // Plain concatenation: no separator is added or removed.
    strValue = settings.value("LogPath").toString();
    m_LogCfgInfo.m_strLogPath = (strValue.isEmpty() ? m_LogCfgInfo.m_strLogPath : strValue) + strFileIden + folderName;
    m_strBaseLogPath = m_LogCfgInfo.m_strLogPath;
    m_LogCfgInfo.m_strLogPath = GetSaveLogPathFileName();
    const QDir temDir(m_LogCfgInfo.m_strLogPath);
    m_LogCfgInfo.m_strLogPath = LogerDetail::WithTrailingSeparator(temDir.absolutePath());

    if (!settings.value("IsWriteLog").toString().isEmpty())
        m_LogCfgInfo.m_bIsWriteLog = settings.value("IsWriteLog").toBool();
    const int nLevel = m_LogLevlList.indexOf(settings.value("LogLevel").toString());
    if (nLevel >= DEBUG && nLevel <= FATAL)
        LogerDetail::StoreLevel(m_LogCfgInfo.m_emLogLevel, static_cast<em_LOG_LEVEL>(nLevel));
    int nValue = LogerDetail::PositiveNumber(settings.value("OneLogMaxSizeMB"));
    if (nValue > 0)
        m_LogCfgInfo.m_nMegaByte = static_cast<unsigned int>(nValue);
    if (!settings.value("IsPrintScreen").toString().isEmpty())
        m_LogCfgInfo.m_bIsPrintScreen = settings.value("IsPrintScreen").toBool();
    nValue = LogerDetail::PositiveNumber(settings.value("RowLogMaxLen"));
    if (nValue > 0)
        m_LogCfgInfo.m_nRowLogMaxLen = static_cast<unsigned int>(nValue);
    settings.endGroup();

    // The log directory is absolute and not empty, so the record entry takes
    // it unchanged and runs the one start-up sequence.
    const LOG_CONFIG_INFO cfgRead = m_LogCfgInfo;
    return InitLogInfo(cfgRead);
}
