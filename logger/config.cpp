// Configuration rules: the dump and check before start-up, and the
// installation of an accepted configuration.
#include "config_p.h"
#include "messages_p.h"

#include <QDir>

namespace LogerDetail
{
QString WithTrailingSeparator(const QString& strPath)
{
    QString strNative = QDir::toNativeSeparators(strPath);
    if (!strNative.endsWith(QDir::separator(), Qt::CaseSensitive))
        strNative += QDir::separator();
    return strNative;
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

bool LogerDetail::CheckConfig(LOG_CONFIG_INFO& cfg)
{
    cfg.Debug_PrintValues();
    if (cfg.m_strLogPath.isEmpty() || cfg.m_strLogName.isEmpty()) {
        LogerDetail::TellError(0, "m_strLogPath or m_strLogName is Empty!");
        return false;
    }
    // The system would read either only up to a NUL; a "/" would put the
    // files into another directory.
    if (cfg.m_strLogPath.contains(QChar(0)) || cfg.m_strLogName.contains(QChar(0))) {
        LogerDetail::TellError(0, "m_strLogPath or m_strLogName holds a NUL character!");
        return false;
    }
    if (cfg.m_strLogName.contains(QChar('/'))) {
        LogerDetail::TellError(0, "m_strLogName holds a \"/\":", cfg.m_strLogName);
        return false;
    }
    if (!cfg.m_bIsWriteLog)
        LOGER_OWN_DEBUG() << "logger will not write log!";
    const int nLevel = static_cast<int>(LogerDetail::LoadLevel(cfg.m_emLogLevel));
    if (nLevel < DEBUG || nLevel > FATAL) {
        LogerDetail::NoteStartError(QString("the configuration was refused: m_emLogLevel %1 is not a level").arg(nLevel),
                                    0);
        return false;
    }
    if (!cfg.m_bIsPrintScreen)
        LOGER_OWN_DEBUG() << "logger will not print in terminal !";
    if (cfg.m_nMegaByte == 0 || cfg.m_nRowLogMaxLen == 0 || cfg.m_nOverDays == 0) {
        LogerDetail::NoteStartError(QString("the configuration was refused: %1 is 0")
                                        .arg(cfg.m_nMegaByte == 0       ? "m_nMegaByte"
                                             : cfg.m_nRowLogMaxLen == 0 ? "m_nRowLogMaxLen"
                                                                        : "m_nOverDays"),
                                    0);
        return false;
    }
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
