// File logger for Qt 5 applications: one process-wide object, one flushed
// line per record, files named <date>_<id>_<name>.log with rollover by date
// and size, continuation of today's file after a restart, and retention.
#ifndef LOGGER_LOGGER_H
#define LOGGER_LOGGER_H

#include <QFile>
#include <QString>
#include <QStringList>
#include <QTextStream>
#include <QtGlobal>

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>

#include "logger_version.h"

#if defined(LOGGER_BUILDING_LIBRARY)
#define LOGGER_EXPORT Q_DECL_EXPORT
#else
#define LOGGER_EXPORT Q_DECL_IMPORT
#endif

// A host may define DEBUG, INFO, WARN, ERR or FATAL as macros (-DDEBUG,
// <curses.h>): they are set aside while the level names are declared. Such a
// host names the levels LOGER_LEVEL_DEBUG..., declared below.
#pragma push_macro("DEBUG")
#pragma push_macro("INFO")
#pragma push_macro("WARN")
#pragma push_macro("ERR")
#pragma push_macro("FATAL")
#undef DEBUG
#undef INFO
#undef WARN
#undef ERR
#undef FATAL

// Severity of a record; a record is written when its level is at least the
// configured one.
enum em_LOG_LEVEL : int
{
    DEBUG = 0,
    INFO = 1,
    WARN = 2,
    ERR = 3,
    FATAL = 4
};

// The levels under names that no host macro hides, for hosts where DEBUG,
// INFO, WARN, ERR or FATAL is a macro of their own.
constexpr em_LOG_LEVEL LOGER_LEVEL_DEBUG = DEBUG;
constexpr em_LOG_LEVEL LOGER_LEVEL_INFO = INFO;
constexpr em_LOG_LEVEL LOGER_LEVEL_WARN = WARN;
constexpr em_LOG_LEVEL LOGER_LEVEL_ERR = ERR;
constexpr em_LOG_LEVEL LOGER_LEVEL_FATAL = FATAL;

// Configuration handed to InitLogInfo. An aggregate (`LOG_CONFIG_INFO info{};`,
// designated fields); a field left out holds the logger's own default.
struct LOGGER_EXPORT LOG_CONFIG_INFO
{
    QString m_strLogPath;                // directory of the log files; ends with "/";
                                         // empty: <temp dir>/<log name up to its first ".">/
    QString m_strLogName;                // part of every file name
    bool m_bIsWriteLog = true;           // master switch
    em_LOG_LEVEL m_emLogLevel = DEBUG;   // lowest level written
    unsigned int m_nMegaByte = 30;       // a file of this many MiB is full
    bool m_bIsPrintScreen = true;        // echo each line on the Qt debug stream
    unsigned int m_nRowLogMaxLen = 1024; // must not be 0; not applied to lines
    unsigned int m_nOverDays = 5;        // files older than this are deleted at start-up

    // Prints the eight fields on the Qt debug stream.
    void Debug_PrintValues();
};

#pragma pop_macro("DEBUG")
#pragma pop_macro("INFO")
#pragma pop_macro("WARN")
#pragma pop_macro("ERR")
#pragma pop_macro("FATAL")

// One record on its way to the file.
struct LOG_PUTOUT
{
    std::string m_strCurRunTime; // HH:MM:SS.mmm
    em_LOG_LEVEL m_level;
    unsigned int m_nLineNo;
    unsigned int m_nCurThreadId;
    std::string m_strModuleName; // caller's function text, e.g. __PRETTY_FUNCTION__
    std::string m_strSrcName;    // caller's source file name
    std::string m_logs;          // message, UTF-8
};

class LOGGER_EXPORT Loger
{
public:
    // The one logger of the process, built when the library is loaded.
    static Loger& GetLoger();

private:
    Loger();
    ~Loger();
    Loger(const Loger&);
    Loger& operator=(const Loger&);

public:
    // Starts the logger once per process, before other threads log; not
    // thread safe. False when already started, when the configuration is
    // rejected or when the log file cannot be opened (a failed start may be
    // retried). With an empty m_strLogPath the directory is the temporary
    // directory plus the log name up to its first ".".
    bool InitLogInfo(const LOG_CONFIG_INFO& LogInfo);
    // Same, from an INI file with the groups [CommConfig] and [LogConfig].
    bool InitLogInfo(const QString& strLogIniFullPath);
    em_LOG_LEVEL GetLogLevel();
    // Any thread, any time. A level outside DEBUG..FATAL is refused: false,
    // a DEBUG record "ERROR_LEVEL_RANGE-[n]" is logged, the level stays.
    bool SetLogLevel(em_LOG_LEVEL emLogLevel);
    // Base directory of the INI start-up followed by "/dump" or "/log".
    QString GetSaveDumpPathFileName();
    QString GetSaveLogPathFileName();

    // Any thread, any time: formats the record and writes it as one flushed
    // line before returning. The message is cut at 2048 bytes (printf form).
    // Null pointers are taken as empty texts.
    void addLogtoList(em_LOG_LEVEL level, const char* strSrcName, const char* strModuleName, int nLineNo,
                      const char* pstrFmt, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 6, 7)))
#endif
        ;
    void addLogtoList(em_LOG_LEVEL level, const char* strSrcName, const char* strModuleName, int nLineNo,
                      const std::string& str);
    void addLogtoList(em_LOG_LEVEL level, const char* strSrcName, const char* strModuleName, int nLineNo,
                      const QString& str);

private:
    int WriteLog(const LOG_PUTOUT& obj);
    unsigned int GetLogMaxRowLength();
    void SetLogMaxRowLength(unsigned int nLen);
    QString GetErrorMsg();
    void InitDefaultCfg();
    bool CreateLogFile();
    void SetErrorMsg(const QString& strErrMsg);
    bool DeleteOverLogFile();
    void CreateNewlogName();
    bool CheckLogCfgCheck();
    inline const char* getClsFnName(const std::string& strClassFunc);
    inline unsigned long getThreadIdSelf();
    inline int getTime(std::string& ttime, unsigned short nTimeType);

public:
    // Started by InitLogInfo; the thread ends at once.
    int createThread();
    // Writes queued records every 50 ms until unInit; returns 0 then.
    int doWriteLog();
    // Requests the stop, discards queued records and waits for the thread.
    // The file stays open: later records are still written. Idempotent.
    void unInit();
    static void* ThreadProc(void* pParam);

private:
    LOG_CONFIG_INFO m_LogCfgInfo;
    QFile m_LogFile;
    std::string m_strLogDate;
    QString m_strErrMsg;
    QStringList m_LogLevlList;
    QTextStream m_LogTextStream;
    uint64_t m_nLogNameMaxId;
    QStringList m_listCurLogPath;
    static Loger m_staticLogger;
    QString m_strBaseLogPath;
    bool m_IsInitOK;
    QString m_strTmpLogContent;
    QString m_strTmpDebugLog;
    QString m_strCurThreadId;
    QString m_strTmpLineNo;
    char m_szTmpClsFunc[256];
    bool m_bAddEmptyLine_first;
    bool m_bAddEmptyLine_last;
    pthread_t m_exitEvent;
    pthread_t m_doEvent;
    pthread_t m_hSendThread;
    pthread_t m_dwSendThreadId;
    std::list<LOG_PUTOUT> m_logList;
    std::mutex m_WriteLogMutex;
    std::atomic<bool> m_bIsStop;
};

#endif // LOGGER_LOGGER_H
