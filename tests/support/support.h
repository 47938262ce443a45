// Helpers shared by the tests: the logger's private state, temporary
// directories, reading files, capturing diagnostics, running the test host.
#pragma once

#include "logger_p.h"

#include <QDir>
#include <QStringList>

#include <functional>
#include <ostream>
#include <string>

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
    static void createNewLogName() { logger().CreateNewlogName(); }
};

inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* out)
{
    *out << '{' << list.join('|').toStdString() << '}';
}

namespace testing_support
{
// A fresh directory, path ending in "/", removed at the end.
struct TempDir
{
    TempDir();
    ~TempDir() { QDir(path).removeRecursively(); }
    QString file(const QString& name) const { return path + name; }
    QString path;
};

QStringList readLines(const QString& file);                                       // without line ends
QStringList fileNames(const QString& dir);                                        // regular files, sorted
void writeFile(const QString& file, const QByteArray& content, qint64 size = -1); // size: extend or cut
QString today();                                                                  // YYYYMMDD
QStringList& debugMessages(); // every Qt debug message since the first call
std::string capturedStdout(const std::function<void()>& action);

// A record configuration as a host fills it, echo off.
LOG_CONFIG_INFO recordConfig(const QString& dir, const QString& name = "demo", unsigned megabytes = 30);

struct Child
{
    int exitCode;
    QString out, err;
};
// Runs the test host (through the emulator of a cross build) with extra
// "NAME=value" environment entries, optionally as user nobody.
Child runHost(const QStringList& args, const QStringList& env = {}, const QString& workDir = {}, bool asNobody = false);
bool haveFaketime();
// Environment for a clock shifted by `offset` seconds, running `speed` times faster.
QStringList shiftedClock(long long offset, int speed = 1);
long long secondsUntil(const char* localDateTime);
} // namespace testing_support
