// What GetLogerStatus reports, kept up to date by the directory in use, and
// the limits handed over for the next start.
#ifndef LOGGER_STATUS_P_H
#define LOGGER_STATUS_P_H

#include "logger_extras.h"

#include <QByteArray>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

namespace LogerDetail
{
struct StatusBoard
{
    // What every record changes, first and together: it moves between CPUs
    // with the write lock.
    std::atomic<qint64> nFileSize{0};
    std::atomic<quint64> nWritten{0};
    // Changed at a start and when a file is opened.
    std::mutex mutex;
    QString strFilePath;
    QByteArray fileDirPath; // where this log's files are made
    QByteArray namePrefix;  // what begins their names there
    QByteArray logName;
    LOGER_LIMITS limits;
    unsigned int nOverDays = 0;
    qint64 nFileSizeLimit = -1;
    // Changed by records lost, under the write lock; read without it.
    std::atomic<quint64> nLost{0};
    std::atomic<int> nLastErrno{0};
    std::atomic<qint64> tLastFailure{0};
    // Records lost without the write lock (handed in by a signal handler on
    // the thread that held it): added to nLost by the next record written.
    std::atomic<quint64> nLostWithoutLock{0};
};
// The one board; never destroyed, so records at exit find it intact.
inline StatusBoard& Board()
{
    static StatusBoard* const pBoard = new StatusBoard;
    return *pBoard;
}
// One more record written or lost: by the one writer that holds the write lock.
inline void BumpCounter(std::atomic<quint64>& counter)
{
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// Counts a record lost where the write lock cannot be taken; async-signal-safe.
void CountLostWithoutLock(int nErrno);

// The limits handed over for the next start.
LOGER_LIMITS PendingLimits();
} // namespace LogerDetail

#endif // LOGGER_STATUS_P_H
