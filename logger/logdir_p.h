// The log directory and the file in it: naming, continuing today's file,
// rollover, the one write(2) per record, and retention.
#ifndef LOGGER_LOGDIR_P_H
#define LOGGER_LOGDIR_P_H

#include "line_p.h"

#include <QDateTime>
#include <QFileInfo>

namespace LogerDetail
{
// Filter of every directory listing: files, directories and hidden entries,
// without "." and "..".
constexpr int nListFilter = 0x6107;

// Appends one record's bytes to the log file, under the write lock: opens,
// rolls over or reopens through pfnCreateLogFile when the date, the size or
// the file at the path says so, then writes with one write(2). Records that
// cannot be written are counted; the next one written is preceded by a line
// that says how many were lost and why. tNow is the record's clock reading.
// Returns 0 when written, -1 when no file could be had, -2 when the write
// failed.
int AppendToLogFile(const RecordBytes& record, time_t tNow, Loger& logger, bool (*pfnCreateLogFile)(Loger&));

// Counts one record as lost for the reason nErrno, as AppendToLogFile does
// when the file refuses one. Under the write lock.
void CountLostRecord(int nErrno);

// From now on records go only to the file that is open, without rollover or
// diagnostics: the logger object is being destroyed. Under the write lock.
void ShutDownLogFile();

// "<dir><date>_<id>_<name>.log": the directory is used as stored.
QString LogFileName(const QString& strPath, const std::string& strDate, uint64_t nId, const QString& strLogName);

// The sequence id in the second "_" field of a log file name; 0 when the
// field is missing or not a number.
uint64_t LogIdFromFileName(const QString& strFileName, bool& bHasIdField);

// True for a regular file, not a symbolic link, whose suffix is "log" in any
// letter case.
bool IsLogFile(const QFileInfo& fileInfo);

// Creation time as the file system reports it: the birth time, else the time
// of the last status change (what QFileInfo::created gives).
LOGGER_EXPORT QDateTime CreatedTime(const QFileInfo& fileInfo);

// Seconds since 1970 in the unsigned 32-bit form of QDateTime::toTime_t
// (4294967295 when invalid or out of range), widened without sign.
qint64 EpochSecs32(const QDateTime& dateTime);

} // namespace LogerDetail

#endif // LOGGER_LOGDIR_P_H
