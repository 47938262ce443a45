// Configuration: the dump and check before start-up, and start-up from an INI file.
#include "config_p.h"
#include "status_p.h"
#include "ini_check_p.h"
#include "logdir_p.h"
#include "messages_p.h"

#include <QDir>
#include <QSettings>
#include <QTextCodec>

namespace LogerDetail
{
QString WithTrailingSeparator(const QString& strPath)
{
    QString strNative = QDir::toNativeSeparators(strPath);
    if (!strNative.endsWith(QDir::separator(), Qt::CaseSensitive))
        strNative += QDir::separator();
    return strNative;
}

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

int CountOrZero(const QVariant& value)
{
    bool bOk = false;
    const qulonglong nValue = value.toString().toULongLong(&bOk, 10);
    return bOk && nValue <= 2147483647u ? static_cast<int>(nValue) : -1;
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

namespace
{
// Limits of an INI start, in force for the record start it runs.
thread_local const LOGER_LIMITS* t_pIniLimits = nullptr;
} // namespace

void LogerDetail::StartWithLimits(Loger& logger, const LOG_CONFIG_INFO& candidate, const LOGER_LIMITS& limits,
                                  bool& bStarted)
{
    t_pIniLimits = &limits;
    bStarted = logger.InitLogInfo(candidate);
    t_pIniLimits = nullptr;
}

LOGER_LIMITS LogerDetail::LimitsOfThisStart()
{
    return t_pIniLimits != nullptr ? *t_pIniLimits : PendingLimits();
}

bool LogerDetail::CheckConfig(LOG_CONFIG_INFO& cfg)
{
    cfg.Debug_PrintValues();
    if (cfg.m_strLogPath.isEmpty() || cfg.m_strLogName.isEmpty()) {
        LOGER_OWN_DEBUG() << "m_strLogPath or m_strLogName is Empty!";
        return false;
    }
    // The system would read either only up to a NUL; a "/" would put the
    // files into another directory.
    if (cfg.m_strLogPath.contains(QChar(0)) || cfg.m_strLogName.contains(QChar(0))) {
        LOGER_OWN_DEBUG() << "m_strLogPath or m_strLogName holds a NUL character!";
        return false;
    }
    if (cfg.m_strLogName.contains(QChar('/'))) {
        LOGER_OWN_DEBUG() << "m_strLogName holds a \"/\":" << cfg.m_strLogName;
        return false;
    }
    if (!cfg.m_bIsWriteLog)
        LOGER_OWN_DEBUG() << "logger will not write log!";
    const int nLevel = static_cast<int>(LogerDetail::LoadLevel(cfg.m_emLogLevel));
    if (nLevel < DEBUG || nLevel > FATAL)
        return false;
    if (!cfg.m_bIsPrintScreen)
        LOGER_OWN_DEBUG() << "logger will not print in terminal !";
    if (cfg.m_nMegaByte == 0 || cfg.m_nRowLogMaxLen == 0 || cfg.m_nOverDays == 0)
        return false;
    return true;
}

void LogerDetail::InstallConfig(LOG_CONFIG_INFO& live, const LOG_CONFIG_INFO& accepted)
{
    // Records read the switches and the level without the lock.
    live.m_strLogPath = accepted.m_strLogPath;
    live.m_strLogName = accepted.m_strLogName;
    __atomic_store_n(&live.m_bIsWriteLog, accepted.m_bIsWriteLog, __ATOMIC_RELAXED);
    StoreLevel(live.m_emLogLevel, accepted.m_emLogLevel);
    live.m_nMegaByte = accepted.m_nMegaByte;
    __atomic_store_n(&live.m_bIsPrintScreen, accepted.m_bIsPrintScreen, __ATOMIC_RELAXED);
    live.m_nRowLogMaxLen = accepted.m_nRowLogMaxLen;
    live.m_nOverDays = accepted.m_nOverDays;
}

bool Loger::CheckLogCfgCheck()
{
    return LogerDetail::CheckConfig(m_LogCfgInfo);
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
    // Every value read; one with a NUL inside refuses the start, as the
    // system would read a path or name only up to it.
    QString strNulKey;
    const auto value = [&](const char* pszKey) {
        const QVariant v = settings.value(pszKey);
        if (strNulKey.isEmpty() && v.toString().contains(QChar(0)))
            strNulKey = settings.group() + "/" + pszKey;
        return v;
    };

    // A candidate on the configuration in force; installed only by a
    // successful start.
    LOG_CONFIG_INFO candidate = m_LogCfgInfo;
    // Each key is looked up only in its own group.
    settings.beginGroup("CommConfig");
    const QString strFileIden = LogerDetail::IdentifySegment(value("FileIdentifyPath").toString());
    const int overDays = LogerDetail::PositiveNumber(value("OverDays"));
    if (overDays > 0)
        candidate.m_nOverDays = static_cast<unsigned int>(overDays);
    const QString folderName = LogerDetail::FolderSegment(value("FolderName").toString());
    settings.endGroup();

    settings.beginGroup("LogConfig");
    QString strValue = value("LogName").toString();
    if (strValue.isEmpty()) {
        LOGER_OWN_DEBUG() << "program filename is empty!" << strValue << strLogIniFullPath;
        return false;
    }
    candidate.m_strLogName = strValue;

    // Plain concatenation: no separator is added or removed.
    strValue = value("LogPath").toString();
    const QString strBaseLogPath =
        (strValue.isEmpty() ? m_LogCfgInfo.m_strLogPath : strValue) + strFileIden + folderName;
    const QDir temDir(strBaseLogPath + "/log");
    candidate.m_strLogPath = LogerDetail::WithTrailingSeparator(temDir.absolutePath());

    if (!value("IsWriteLog").toString().isEmpty())
        candidate.m_bIsWriteLog = value("IsWriteLog").toBool();
    const int nLevel = m_LogLevlList.indexOf(value("LogLevel").toString());
    if (nLevel >= DEBUG && nLevel <= FATAL)
        candidate.m_emLogLevel = static_cast<em_LOG_LEVEL>(nLevel);
    else
        candidate.m_emLogLevel = GetLogLevel();
    int nValue = LogerDetail::PositiveNumber(value("OneLogMaxSizeMB"));
    if (nValue > 0)
        candidate.m_nMegaByte = static_cast<unsigned int>(nValue);
    if (!value("IsPrintScreen").toString().isEmpty())
        candidate.m_bIsPrintScreen = value("IsPrintScreen").toBool();
    nValue = LogerDetail::PositiveNumber(value("RowLogMaxLen"));
    if (nValue > 0)
        candidate.m_nRowLogMaxLen = static_cast<unsigned int>(nValue);
    // Limits on disk space: the file's keys over those handed over before.
    LOGER_LIMITS limits = LogerDetail::PendingLimits();
    if (!value("RetainWhileRunning").toString().isEmpty())
        limits.m_bRetainWhileRunning = value("RetainWhileRunning").toBool();
    int nLimit = LogerDetail::CountOrZero(value("MaxTotalSizeMB"));
    if (nLimit >= 0)
        limits.m_nMaxTotalSizeMB = static_cast<unsigned int>(nLimit);
    nLimit = LogerDetail::CountOrZero(value("MinFreeSpaceMB"));
    if (nLimit >= 0)
        limits.m_nMinFreeSpaceMB = static_cast<unsigned int>(nLimit);
    if (settings.contains("SyncLevel")) {
        const QString strSync = value("SyncLevel").toString();
        const int nSync = m_LogLevlList.indexOf(strSync);
        if (strSync.isEmpty() || (nSync >= DEBUG && nSync <= FATAL))
            limits.m_nSyncLevel = strSync.isEmpty() ? -1 : nSync;
    }
    settings.endGroup();
    if (!strNulKey.isEmpty()) {
        LOGER_OWN_DEBUG() << "ini file" << strLogIniFullPath << ": the value of" << strNulKey
                          << "holds a NUL character!";
        return false;
    }

    // The log directory is absolute and not empty, so the record entry takes
    // it unchanged and runs the one start-up sequence.
    bool bStarted = false;
    LogerDetail::StartWithLimits(*this, candidate, limits, bStarted);
    if (!bStarted)
        return false;
    m_strBaseLogPath = strBaseLogPath;
    return true;
}
