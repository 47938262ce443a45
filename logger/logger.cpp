// The one logger object, its lifetime, record intake and level control.
#include "logger_p.h"

#include <QStandardPaths>

#include <cstdarg>

Loger Loger::m_staticLogger;

namespace
{
// The refused-level record names this file and this fixed line.
const char* const szThisSourceName = "logger.cpp";
const int nSetLogLevelLine = 487;

const char* OrEmpty(const char* psz)
{
    return psz != nullptr ? psz : "";
}

// One record per thread, reused so that its strings keep their capacity and
// an ordinary record costs no heap allocation for its fields.
LOG_PUTOUT& ThreadRecord()
{
    thread_local LOG_PUTOUT record;
    return record;
}
} // namespace

Loger& Loger::GetLoger()
{
    return m_staticLogger;
}

Loger::Loger()
    : m_nLogNameMaxId(0), m_IsInitOK(false), m_bAddEmptyLine_first(false), m_bAddEmptyLine_last(false), m_exitEvent(0),
      m_doEvent(0), m_hSendThread(0), m_dwSendThreadId(0), m_bIsStop(false)
{
    InitDefaultCfg();
    m_LogLevlList << QStringList({"DEBUG", "INFO", "WARN", "ERR", "FATAL"}); // entry n names level n
    memset(m_szTmpClsFunc, 0, sizeof(m_szTmpClsFunc));
}

Loger::~Loger()
{
    m_LogTextStream.flush();
    m_LogFile.close();
    unInit();
}

void Loger::InitDefaultCfg()
{
    m_LogCfgInfo.m_strLogPath = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    m_LogCfgInfo.m_strLogName = QString();
    m_LogCfgInfo.m_bIsWriteLog = true;
    m_LogCfgInfo.m_emLogLevel = DEBUG;
    m_LogCfgInfo.m_nMegaByte = 30;
    m_LogCfgInfo.m_bIsPrintScreen = true;
    m_LogCfgInfo.m_nRowLogMaxLen = 1024;
    m_LogCfgInfo.m_nOverDays = 5;
    qDebug() << "Default Log Paths: " << m_LogCfgInfo.m_strLogPath;
}

void Loger::unInit()
{
    printf("uninit begin...");
    m_bIsStop = true;
    pthread_t hThread = 0;
    {
        std::lock_guard<std::mutex> lock(m_WriteLogMutex);
        m_logList.clear();
        // Taken under the lock, so two threads calling unInit never join the
        // same thread twice.
        hThread = m_hSendThread;
        m_hSendThread = 0;
    }
    m_bIsStop = true;
    if (hThread != 0)
        pthread_join(hThread, nullptr);
    printf("uninit end...");
}

em_LOG_LEVEL Loger::GetLogLevel()
{
    return LogerDetail::LoadLevel(m_LogCfgInfo.m_emLogLevel);
}

unsigned int Loger::GetLogMaxRowLength()
{
    return m_LogCfgInfo.m_nRowLogMaxLen;
}

void Loger::SetLogMaxRowLength(unsigned int nLen)
{
    m_LogCfgInfo.m_nRowLogMaxLen = nLen;
}

QString Loger::GetErrorMsg()
{
    return m_strErrMsg;
}

void Loger::SetErrorMsg(const QString& strErrMsg)
{
    m_strErrMsg = strErrMsg;
}

bool Loger::SetLogLevel(em_LOG_LEVEL emLogLevel)
{
    if (static_cast<unsigned int>(emLogLevel) <= static_cast<unsigned int>(FATAL)) {
        LogerDetail::StoreLevel(m_LogCfgInfo.m_emLogLevel, emLogLevel);
        return true;
    }
    Loger::GetLoger().addLogtoList(DEBUG, szThisSourceName, "bool Loger::SetLogLevel(em_LOG_LEVEL)", nSetLogLevelLine,
                                   "ERROR_LEVEL_RANGE-[%d]", static_cast<int>(emLogLevel));
    // Refusals come from any thread: two unguarded assignments of the text
    // would free its old data twice. A lock of its own, so that a caller
    // inside the logger's own critical section cannot deadlock here.
    static std::mutex errMsgMutex;
    std::lock_guard<std::mutex> lock(errMsgMutex);
    m_strErrMsg = "ERROR_LEVEL_RANGE";
    return false;
}

QString Loger::GetSaveDumpPathFileName()
{
    return m_strBaseLogPath + "/dump";
}

QString Loger::GetSaveLogPathFileName()
{
    return m_strBaseLogPath + "/log";
}

void Loger::addLogtoList(em_LOG_LEVEL level, const char* strSrcName, const char* strModuleName, int nLineNo,
                         const char* pstrFmt, ...)
{
    if (!m_LogCfgInfo.m_bIsWriteLog)
        return;
    char szTmpFmt[2049];
    memset(szTmpFmt, 0, sizeof(szTmpFmt));
    va_list TmpArgList;
    va_start(TmpArgList, pstrFmt);
    int cnt = vsnprintf(szTmpFmt, sizeof(szTmpFmt), OrEmpty(pstrFmt), TmpArgList);
    va_end(TmpArgList);
    if (cnt < 0) {
        printf("vsnprintf error,ret:%d", cnt);
        return;
    }
    if (szTmpFmt[0] == '\0') {
        printf("error m_szTmpFmt is empty!");
        return;
    }
    // Formatted straight into the thread's record; the string form then
    // assigns it to itself, which copies nothing.
    std::string& strMessage = ThreadRecord().m_logs;
    strMessage.assign(szTmpFmt);
    addLogtoList(level, strSrcName, strModuleName, nLineNo, strMessage);
}

void Loger::addLogtoList(em_LOG_LEVEL level, const char* strSrcName, const char* strModuleName, int nLineNo,
                         const std::string& str)
{
    if (!m_LogCfgInfo.m_bIsWriteLog)
        return;
    LOG_PUTOUT& record = ThreadRecord();
    getTime(record.m_strCurRunTime, 1);
    record.m_level = level;
    record.m_nLineNo = static_cast<unsigned int>(nLineNo);
    record.m_nCurThreadId = static_cast<unsigned int>(getThreadIdSelf());
    record.m_strModuleName.assign(OrEmpty(strModuleName));
    record.m_strSrcName.assign(OrEmpty(strSrcName));
    if (&str != &record.m_logs)
        record.m_logs.assign(str);
    std::lock_guard<std::mutex> lock(m_WriteLogMutex);
    WriteLog(record);
}

void Loger::addLogtoList(em_LOG_LEVEL level, const char* strSrcName, const char* strModuleName, int nLineNo,
                         const QString& str)
{
    if (!m_LogCfgInfo.m_bIsWriteLog)
        return;
    const QByteArray utf8 = str.toUtf8();
    std::string& strMessage = ThreadRecord().m_logs;
    strMessage.assign(utf8.constData(), size_t(utf8.size()));
    addLogtoList(level, strSrcName, strModuleName, nLineNo, strMessage);
}
