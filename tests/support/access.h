// Reaches the logger's private state; the library names this class its friend.
#pragma once

#include "logger_p.h"

class LogerTestAccess
{
public:
    static Loger& logger() { return Loger::GetLoger(); }
    static LOG_CONFIG_INFO& config() { return logger().m_LogCfgInfo; }
    static uint64_t& maxId() { return logger().m_nLogNameMaxId; }
    static QStringList& continued() { return logger().m_listCurLogPath; }
    static std::list<LOG_PUTOUT>& queue() { return logger().m_logList; }
    static std::mutex& mutex() { return logger().m_WriteLogMutex; }
    static pthread_t thread() { return logger().m_hSendThread; }
    static QString fileName() { return logger().m_LogFile.fileName(); }
    static QString errorMsg() { return logger().m_strErrMsg; }
    static QString basePath() { return logger().m_strBaseLogPath; }
    static bool initOk() { return logger().m_IsInitOK; }
    static void createNewLogName() { logger().CreateNewlogName(); }
    static bool createLogFile() { return logger().CreateLogFile(); }
    static int writeLog(const LOG_PUTOUT& record) { return logger().WriteLog(record); }
};

namespace testing_support
{
// A record configuration as a host would fill it: echo off unless asked.
inline LOG_CONFIG_INFO recordConfig(const QString& dir, const QString& name = "demo", unsigned megabytes = 30,
                                    bool echo = false)
{
    LOG_CONFIG_INFO info{};
    info.m_strLogPath = dir;
    info.m_strLogName = name;
    info.m_bIsWriteLog = true;
    info.m_emLogLevel = DEBUG;
    info.m_nMegaByte = megabytes;
    info.m_bIsPrintScreen = echo;
    info.m_nRowLogMaxLen = 1024;
    info.m_nOverDays = 5;
    return info;
}
} // namespace testing_support
