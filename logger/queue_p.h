// The opt-in record queue and its writer thread: callers put the bytes of
// their formatted lines into a bounded queue of fixed slots without a system
// call, and the logger's own thread writes them out in order, many whole
// lines per write(2), through the log directory's rules.
#ifndef LOGGER_QUEUE_P_H
#define LOGGER_QUEUE_P_H

#include "line_p.h"
#include "logger_extras.h"

#include <atomic>
#include <cstdint>
#include <ctime>

namespace LogerDetail
{
class RecordQueue;

// The queue in force, or nullptr: the caller writes its record itself.
extern std::atomic<RecordQueue*> g_pRecordQueue;

// The options handed over for the next start.
LOGER_QUEUE PendingQueue();

// Makes the queue of a successful start (none when opt is off, or a queue
// is already there); the writer thread then runs RunWriter.
void MakeQueue(const LOGER_QUEUE& opt, int nSyncLevel);
// Callers use it from now on (once its writer runs).
void PublishQueue();
// The writer thread's body: writes until the queue is closed and empty.
void RunWriter();
// Closes the queue: records from now on are written by their callers; the
// writer writes out what was queued before and ends (called on the writer
// thread, this writes it out). Then ForgetQueue once it has been joined.
void CloseQueue();
void ForgetQueue();
// In a child just forked: its callers write themselves, with no queue.
void DropQueueInChild();
// The crash trace: writes what is queued to nFd first; async-signal-safe.
void WriteOutQueueForCrash(int nFd);
// The host's handler let the process go on after a trace: the writer goes on
// too (what the trace wrote out may then be written again).
void ResumeQueueAfterTrace();

// Puts a record into the queue; false when it is closed (or this thread is
// the writer): the caller writes it itself.
bool QueueRecord(RecordQueue* pQueue, const RecordBytes& record, time_t tNow, int nLevel, bool bEcho);
} // namespace LogerDetail

#endif // LOGGER_QUEUE_P_H
