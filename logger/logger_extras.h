// Opt-in additions beside the logger's fixed interface: call-site macros, Qt
// message capture, the crash trace, and the library's version.
//
//   #include <logger/logger_extras.h>
//   LOGER_INFO("worker %d started", id);    // printf form, checked by -Wformat
//   LOGER_WARN(someStdString);              // std::string
//   LOGER_ERR(QStringLiteral("disk full")); // QString
//
// Each macro compares the record's level with GetLogLevel() first; below it,
// nothing else happens: no argument is evaluated, no text formatted. At or
// above it, the record goes to addLogtoList with the caller's source file,
// function text and line. Any thread, any time, like addLogtoList.
#ifndef LOGGER_LOGGER_EXTRAS_H
#define LOGGER_LOGGER_EXTRAS_H

#include "logger.h"

#if defined(__GNUC__)
#define LOGER_FUNCTION __PRETTY_FUNCTION__
#else
#define LOGER_FUNCTION __func__
#endif

// One record at `level` (an em_LOG_LEVEL, evaluated twice), then the message
// as for addLogtoList. No local names: the message's arguments see the
// caller's own. A message given alone is text, never a format: a run-time
// string with "%" in it is written as it is (so is a literal: "50%%" prints
// "50%%"); with arguments, the first is a printf format, checked by -Wformat.
#define LOGER_AT(level, ...)                                                                                           \
    do {                                                                                                               \
        if (static_cast<int>(level) >= static_cast<int>(Loger::GetLoger().GetLogLevel()))                              \
            LOGER_PICK_(__VA_ARGS__, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_FORMAT_, LOGER_TEXT_)((level), __FILE__, LOGER_FUNCTION, __LINE__, __VA_ARGS__);       \
    } while (0)

// LOGER_TEXT_ for one argument, LOGER_FORMAT_ for 2 to 64.
#define LOGER_PICK_(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, _15, _16, _17, _18, _19, _20, _21, _22, \
                    _23, _24, _25, _26, _27, _28, _29, _30, _31, _32, _33, _34, _35, _36, _37, _38, _39, _40, _41, _42, \
                    _43, _44, _45, _46, _47, _48, _49, _50, _51, _52, _53, _54, _55, _56, _57, _58, _59, _60, _61, _62, \
                    _63, _64, NAME, ...)                                                                               \
    NAME
#define LOGER_FORMAT_(level, file, function, line, ...)                                                                \
    Loger::GetLoger().addLogtoList(level, file, function, line, __VA_ARGS__)
#define LOGER_TEXT_(level, file, function, line, text) LogerText::Add(level, file, function, line, text)

namespace LogerText
{
inline void Add(em_LOG_LEVEL level, const char* file, const char* function, int line, const char* text)
{
    Loger::GetLoger().addLogtoList(level, file, function, line, "%s", text);
}
inline void Add(em_LOG_LEVEL level, const char* file, const char* function, int line, const std::string& text)
{
    Loger::GetLoger().addLogtoList(level, file, function, line, text);
}
inline void Add(em_LOG_LEVEL level, const char* file, const char* function, int line, const QString& text)
{
    Loger::GetLoger().addLogtoList(level, file, function, line, text);
}
} // namespace LogerText

#define LOGER_DEBUG(...) LOGER_AT(LOGER_LEVEL_DEBUG, __VA_ARGS__)
#define LOGER_INFO(...) LOGER_AT(LOGER_LEVEL_INFO, __VA_ARGS__)
#define LOGER_WARN(...) LOGER_AT(LOGER_LEVEL_WARN, __VA_ARGS__)
#define LOGER_ERR(...) LOGER_AT(LOGER_LEVEL_ERR, __VA_ARGS__)
#define LOGER_FATAL(...) LOGER_AT(LOGER_LEVEL_FATAL, __VA_ARGS__)

// The version of the library loaded at run time, "major.minor.patch"; compare
// with LOGGER_VERSION_STR, the version of the headers compiled against.
LOGGER_EXPORT const char* GetLogerVersion();

// Installs a Qt message handler that writes the host's qDebug(), qInfo(),
// qWarning(), qCritical() and qFatal() into the log file at DEBUG, INFO, WARN,
// ERR and FATAL, with the source file, function and line of the message when
// Qt gives them (QT_MESSAGELOGCONTEXT), and then hands each message on to the
// handler installed before. What the logger itself emits on the debug stream
// (its echo, its reports) is never captured again, on any thread, so nothing
// loops and nothing deadlocks. Call it once, best right after InitLogInfo;
// later calls do nothing.
LOGGER_EXPORT void CaptureQtMessages();

// Limits on the disk space of the log, for devices that run for years. Hand
// them over before InitLogInfo (either form); the next successful start puts
// them in force with its configuration, and the keys RetainWhileRunning,
// MaxTotalSizeMB, MinFreeSpaceMB and SyncLevel of an INI file's [LogConfig]
// group take precedence over them. Everything is off by default. The passes
// consider only this log's own files (<date>_<id>_<name>.log with this log
// name, of this user), oldest first by the date and id in their names, and
// never the file being written.
struct LOGER_LIMITS
{
    // At each new day and each rollover, the files whose name date lies more
    // than m_nOverDays days before today are deleted.
    bool m_bRetainWhileRunning = false;
    // At the start, at each new day and rollover, and when the disk is full:
    // the oldest files go until all of them take at most this many MiB (0: off),
    unsigned int m_nMaxTotalSizeMB = 0;
    // ... and until the file system has this many MiB free (0: off).
    unsigned int m_nMinFreeSpaceMB = 0;
    // A record at or above this level is followed by fdatasync, so that it
    // survives a power cut; -1: never.
    int m_nSyncLevel = -1;
};
// Any thread; takes effect at the next successful start.
LOGGER_EXPORT void SetLogerLimits(const LOGER_LIMITS& limits);

// How logging is doing, as a host shows it or sends it home.
struct LOGER_STATUS
{
    QString m_strFilePath;         // the file records go to; empty while none is open
    qint64 m_nFileSize = 0;        // its size as last seen
    quint64 m_nRecordsWritten = 0; // since the start (before it: since the library was loaded)
    quint64 m_nRecordsLost = 0;
    int m_nLastErrno = 0;          // why the last record was lost; 0 when none was
    qint64 m_nLastFailureTime = 0; // when, in seconds since 1970 (UTC); 0 when none was
    qint64 m_nLogBytes = 0;        // this log's own files on disk, the current one included
    qint64 m_nFreeBytes = -1;      // free for this process on the log's file system; -1 unknown
    LOGER_LIMITS m_limits;         // the limits in force
    unsigned int m_nOverDays = 0;  // the retention period in force
    qint64 m_nFileSizeLimit = -1;  // the process's file size limit (RLIMIT_FSIZE) at the
                                   // file's opening; -1 when there is none
};
// Any thread, any time; never waits for a record being written.
LOGGER_EXPORT LOGER_STATUS GetLogerStatus();
// The writer thread, off by default: with m_nRecords > 0 a record is put in
// a queue of that many records (rounded up to a power of two) and a thread of
// the logger's own writes it, many lines at a time, with the same bytes in
// the same files. Hand it over before InitLogInfo (either form); the keys
// QueueRecords and WhenQueueFull=wait|drop of an INI file's [LogConfig] group
// take precedence. A record at or above the sync level returns once it and
// every record before it are written and synced.
struct LOGER_QUEUE
{
    unsigned int m_nRecords = 0;  // 0: each caller writes its record itself
    bool m_bDropWhenFull = false; // full queue: false, the caller waits for room;
                                  // true, the record is dropped and counted
};
// Any thread; takes effect at the next successful start.
LOGGER_EXPORT void SetLogerQueue(const LOGER_QUEUE& queue);
// How the queue is doing; all 0 without one.
struct LOGER_QUEUE_STATUS
{
    unsigned int m_nCapacity = 0;     // records it holds; 0: no queue
    bool m_bDropWhenFull = false;     // what a caller does when it is full
    quint64 m_nDepth = 0;             // records in it now (a record leaves it once written and echoed)
    quint64 m_nHighWater = 0;         // the most that ever waited
    quint64 m_nDropped = 0;           // records dropped for want of room
    quint64 m_nWaitedNanoseconds = 0; // callers' total time waiting for room
};
// Any thread, any time.
LOGGER_EXPORT LOGER_QUEUE_STATUS GetLogerQueueStatus();
// Why the last InitLogInfo (either form) failed, as the logger's first report
// of it says ("log directory refused: ...", "ini file ...: cannot be read:
// ..."); empty when it succeeded or none was tried. *pnErrno, when given, gets
// the system's error number behind it, 0 where there is none. The reports
// themselves reach the debug stream at warning level in the category
// "logger" when its debug messages are off, so a host that drops the
// chatter with QT_LOGGING_RULES="logger.debug=false" still sees them. Any thread.
LOGGER_EXPORT QString GetLogerStartError(int* pnErrno = nullptr);
// Installs the crash trace. When the host then dies of SIGSEGV, SIGABRT,
// SIGBUS, SIGILL or SIGFPE, or of an uncaught exception (std::terminate), the
// log file and stderr get one FATAL line naming the signal (or the exception),
// the fault address and the thread, then the stack, one FATAL line a frame:
// "#n 0xADDR symbol+0xOFF (module+0xOFF)". Then the disposition the host had
// before (its own handler, or the default: exit status and core dump as
// without the trace) gets the signal, and the terminate handler installed
// before runs. The handler runs on an alternate signal stack, so a stack
// overflow is traced too: the calling thread gets one now, every other thread
// when it first logs a record (a thread with one of its own keeps it).
// Symbols of the program itself need it linked with -rdynamic (CMake:
// ENABLE_EXPORTS); on 32-bit ARM, C code needs -funwind-tables (C++ has
// unwind tables already). Call it once, after InitLogInfo; later calls do
// nothing.
LOGGER_EXPORT void InstallCrashHandler();

#endif // LOGGER_LOGGER_EXTRAS_H
