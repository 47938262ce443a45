// The logger's own debug messages: kept while the write lock is held and
// emitted once it is released, so that a host's message handler may log.
#ifndef LOGGER_MESSAGES_P_H
#define LOGGER_MESSAGES_P_H

#include "line_p.h"

#include <QDebug>
#include <QLoggingCategory>
#include <QString>

namespace LogerDetail
{
// The system's text of an error number, as the logger's messages show it.
QString ErrnoText(int nErrno);
// A message of the logger's own as qDebug() << items would print it.
template <typename... Items> QString DebugText(const Items&... items)
{
    QString strText;
    {
        QDebug debug(&strText);
        (void)(debug << ... << items);
    }
    if (strText.endsWith(QLatin1Char(' ')))
        strText.chop(1); // the separator after the last item
    return strText;
}
// Keeps a message for EmitDiagnostics once the write lock is released: a
// host's message handler may log. nErrno >= 0 marks a failure or a refusal
// (0 when no system error goes with it): it is told even when the debug
// messages are off, and inside a start it is the start's reason.
void KeepDiagnostic(const QString& strText, int nErrno = -1);
template <typename... Items> void Diagnose(const Items&... items)
{
    KeepDiagnostic(DebugText(items...));
}
template <typename... Items> void DiagnoseError(int nErrno, const Items&... items)
{
    KeepDiagnostic(DebugText(items...), nErrno);
}
// A failure told at once, where no write lock is held.
void TellErrorText(const QString& strText, int nErrno);
template <typename... Items> void TellError(int nErrno, const Items&... items)
{
    TellErrorText(DebugText(items...), nErrno);
}
// Why a start fails, for GetLogerStartError, when no message tells it.
void NoteStartError(const QString& strText, int nErrno);
// Around a start (either form; they may nest): the first failure told inside
// becomes the reason of the last start, or none when it succeeds.
class StartReport
{
public:
    StartReport();
    ~StartReport();
    StartReport(const StartReport&) = delete;
    StartReport& operator=(const StartReport&) = delete;
    bool Done(bool bStarted)
    {
        m_bStarted = bStarted;
        return bStarted;
    }

private:
    bool m_bStarted = false;
};

// Emits the kept messages of this thread once the write lock is released. A
// record that reaches the logger again from inside them is written at once,
// and not echoed: that would come straight back.
void EmitDiagnostics();
// Debug messages kept while the write lock is held, and whether this thread
// is emitting them; plain data, so nothing is destroyed before the thread's
// last record. Initial-exec: read by every record, and 16 bytes of static TLS.
struct KeptMessage
{
    QString strText;
    int nErrno; // -1: not a failure
};
struct OwnMessages
{
    QList<KeptMessage>* pDiagnostics;
    int nEmitting;
    int nStartUp; // inside a start-up, whose reports are the logger's own too
};
extern __thread OwnMessages t_ownMessages __attribute__((tls_model("initial-exec")));

void EmitKeptAndEcho(const RecordBytes* pRecord, bool bEchoLine);
// After a record is written and the lock released: the kept messages, then
// the record's echo (none without pRecord), unless this thread is inside its
// own messages already (the outer call emits them then: a record handed in
// from inside them is written, not echoed, as its echo would come straight back).
inline void EmitAfterRecord(const RecordBytes* pRecord, bool bEchoLine)
{
    const OwnMessages& own = t_ownMessages;
    const bool bEcho = pRecord != nullptr && (bEchoLine || pRecord->bEmptyFirst || pRecord->bEmptyLast);
    if (own.nEmitting == 0 && (own.pDiagnostics != nullptr || bEcho))
        EmitKeptAndEcho(pRecord, bEchoLine);
}
// The object is being destroyed: nothing is emitted any more.
void StopOwnMessages();
// True while this thread emits the logger's own debug messages.
bool IsEmittingOwnMessages();
// While one lives, this thread's debug messages are the logger's own too (the
// start-up's dump and reports), so a capture of the debug stream leaves them out.
class OwnMessagesScope
{
public:
    OwnMessagesScope();
    ~OwnMessagesScope();
    OwnMessagesScope(const OwnMessagesScope&) = delete;
    OwnMessagesScope& operator=(const OwnMessagesScope&) = delete;
};

} // namespace LogerDetail

// The Qt logging category of the logger's own messages, "logger": its reports,
// its start-up lines and the echo of records. They go out as before, on the
// debug stream with the text unchanged; QT_LOGGING_RULES="logger.debug=false"
// (or QLoggingCategory::setFilterRules) silences them and nothing else.
namespace LogerDetail
{
// The category itself; debug is on unless a rule turns it off.
const QLoggingCategory& OwnCategory();
} // namespace LogerDetail

// qDebug() for a message of the logger's own: nothing is built when the
// category is off. The message stays in Qt's default category, so the default
// handler prints it without a "logger: " prefix.
#define LOGER_OWN_DEBUG()                                                                                              \
    for (bool bOwnDebugOn_ = LogerDetail::OwnCategory().isDebugEnabled(); bOwnDebugOn_; bOwnDebugOn_ = false)          \
    qDebug()

// A mistake or a failure of the logger's own: as LOGER_OWN_DEBUG() while its
// debug messages are on; with them off ("logger.debug=false" drops the
// chatter), still told at warning level in the "logger" category.
#define LOGER_OWN_WARNING()                                                                                            \
    for (bool bOwnWarningOn_ =                                                                                         \
             LogerDetail::OwnCategory().isDebugEnabled() || LogerDetail::OwnCategory().isWarningEnabled();             \
         bOwnWarningOn_; bOwnWarningOn_ = false)                                                                       \
    (LogerDetail::OwnCategory().isDebugEnabled()                                                                       \
         ? QMessageLogger(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC).debug()                          \
         : QMessageLogger(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC)                                  \
               .warning(LogerDetail::OwnCategory()))

// printf() on standard output for a message of the logger's own.
#define LOGER_OWN_PRINTF(...)                                                                                          \
    do {                                                                                                               \
        if (LogerDetail::OwnCategory().isDebugEnabled())                                                               \
            printf(__VA_ARGS__);                                                                                       \
    } while (false)

#endif // LOGGER_MESSAGES_P_H
