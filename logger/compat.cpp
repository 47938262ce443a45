// Members that nothing in the library calls any more. They exist because the
// class's declaration is fixed: hosts may call the public ones (the drain
// loop), and each still behaves as before. The working code is elsewhere.
#include "config_p.h"
#include "logdir_p.h"
#include "messages_p.h"
#include "writelock_p.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

// The drain loop of the queue, which nothing fills: records are written by
// the threads that hand them in.
int Loger::doWriteLog()
{
    for (;;) {
        if (m_bIsStop) {
            const LogerDetail::OwnMessagesScope ownMessages;
            LOGER_OWN_DEBUG() << "doWriteLog is stop! ";
            return 0;
        }
        std::list<LOG_PUTOUT> listBatch;
        {
            const LogerDetail::FileSection section;
            listBatch.swap(m_logList);
        }
        while (!listBatch.empty()) {
            {
                const LogerDetail::FileSection section;
                WriteLog(listBatch.front());
            }
            LogerDetail::EmitDiagnostics();
            listBatch.pop_front();
        }
        usleep(50000);
    }
}

int Loger::WriteLog(const LOG_PUTOUT& obj)
{
    // The queue's path; the caller holds the write lock, so the echo is kept
    // for after it, like the other messages.
    if (!LogerDetail::IsWriting(m_LogCfgInfo))
        return 0;
    const char* pLogContent = obj.m_logs.c_str();
    if (pLogContent[0] == '\0')
        return -1;
    if (static_cast<int>(LogerDetail::LoadLevel(m_LogCfgInfo.m_emLogLevel)) > static_cast<int>(obj.m_level))
        return 0;
    if (obj.m_level < DEBUG || obj.m_level > FATAL)
        return -1;
    LogerDetail::RecordBytes record;
    LogerDetail::FormatRecord(record, obj.m_strCurRunTime.c_str(), obj.m_level, obj.m_nLineNo, obj.m_nCurThreadId,
                              obj.m_strModuleName.c_str(), obj.m_strModuleName.size(), pLogContent, obj.m_logs.size());
    const int nRet = LogerDetail::ActiveLogDirectory().Append(record, time(nullptr), obj.m_level);
    if (nRet == -1)
        return -1;
    if (record.bEmptyFirst)
        LogerDetail::KeepDiagnostic("\n");
    if (LogerDetail::IsEchoed(m_LogCfgInfo) && record.nLineLength > 0)
        LogerDetail::Diagnose(
            QString::fromUtf8(record.bytes.Data() + record.nLineBegin, static_cast<int>(record.nLineLength)));
    if (record.bEmptyLast)
        LogerDetail::KeepDiagnostic("\n");
    return 0;
}

// The file side's steps, as the logger's own members; the log directory
// takes them as a whole.
bool Loger::CreateLogFile()
{
    return LogerDetail::ActiveLogDirectory().EnsureFile(time(nullptr));
}

void Loger::CreateNewlogName()
{
    // Only ever part of choosing a file, which EnsureFile does as a whole.
    LogerDetail::ActiveLogDirectory().EnsureFile(time(nullptr));
}

bool Loger::DeleteOverLogFile()
{
    return LogerDetail::ActiveLogDirectory().DeleteExpired(m_LogCfgInfo.m_nOverDays);
}

bool Loger::CheckLogCfgCheck()
{
    return LogerDetail::CheckConfig(m_LogCfgInfo);
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

// Declared inline: no code is made of these unless a member calls them.
inline const char* Loger::getClsFnName(const std::string& strClassFunc)
{
    size_t nBegin = 0;
    size_t nCount = 0;
    if (!LogerDetail::FindFunctionName(strClassFunc.c_str(), strlen(strClassFunc.c_str()), nBegin, nCount))
        return strClassFunc.c_str();
    // Longer names are cut so that the fixed buffer is never overrun.
    if (nCount > sizeof(m_szTmpClsFunc) - 1)
        nCount = sizeof(m_szTmpClsFunc) - 1;
    memset(m_szTmpClsFunc, 0, sizeof(m_szTmpClsFunc));
    memcpy(m_szTmpClsFunc, strClassFunc.data() + nBegin, nCount);
    return m_szTmpClsFunc;
}

inline unsigned long Loger::getThreadIdSelf()
{
    return static_cast<unsigned long>(pthread_self());
}

inline int Loger::getTime(std::string& ttime, unsigned short nTimeType)
{
    using LogerDetail::PutDecimal;
    char buff[16];
    memset(buff, 0, sizeof(buff));
    struct timeval timeVal;
    gettimeofday(&timeVal, NULL);
    struct tm tmVar;
    localtime_r(&timeVal.tv_sec, &tmVar);
    char* p = buff;
    if (nTimeType == 0) {
        // YYYYMMDD
        p = PutDecimal(p, tmVar.tm_year + 1900, 2);
        p = PutDecimal(p, tmVar.tm_mon + 1, 2);
        p = PutDecimal(p, tmVar.tm_mday, 2);
    } else if (nTimeType == 1) {
        // HH:MM:SS.mmm, the milliseconds truncated, never rounded up
        p = PutDecimal(p, tmVar.tm_hour, 2);
        *p++ = ':';
        p = PutDecimal(p, tmVar.tm_min, 2);
        *p++ = ':';
        p = PutDecimal(p, tmVar.tm_sec, 2);
        *p++ = '.';
        p = PutDecimal(p, static_cast<int>(timeVal.tv_usec / 1000), 3);
    }
    ttime.assign(buff, static_cast<size_t>(p - buff));
    return static_cast<int>(p - buff);
}
