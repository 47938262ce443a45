// The logger's own debug messages (reports of opening and rolling over, the
// echo of records): kept while the write lock is held and emitted after it,
// so that a host's message handler may hand them back to the logger. All of
// them pass the category "logger", which a logging rule may turn off.
#include "messages_p.h"

#include "logger_extras.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace
{
// Set when the object is destroyed at exit: nothing is emitted any more.
// Trivially destructible on purpose.
std::atomic<bool> g_bObjectGone{false};
// The start this thread is in, and what first went wrong in it.
struct StartAttempt
{
    int nDepth;
    bool bFailed;
    QString strReason;
    int nErrno;
};
thread_local StartAttempt t_startAttempt{0, false, QString(), 0};

// Why the last start failed; never destroyed, for hosts that ask at exit.
struct LastStartError
{
    std::mutex mutex;
    QString strReason;
    int nErrno = 0;
};
LastStartError& TheLastStartError()
{
    static LastStartError* const pLast = new LastStartError;
    return *pLast;
}
} // namespace

__thread LogerDetail::OwnMessages LogerDetail::t_ownMessages
    __attribute__((tls_model("initial-exec"))) = {nullptr, 0, 0};

namespace
{
using LogerDetail::OwnMessages;
using LogerDetail::t_ownMessages;

void EmitOwn(const LogerDetail::KeptMessage& message)
{
    if (g_bObjectGone)
        return;
    if (message.nErrno < 0)
        LOGER_OWN_DEBUG().noquote() << message.strText;
    else
        LOGER_OWN_WARNING().noquote() << message.strText;
}

void DrainDiagnostics(OwnMessages& own)
{
    while (own.pDiagnostics != nullptr && !own.pDiagnostics->isEmpty())
        EmitOwn(own.pDiagnostics->takeFirst());
    delete own.pDiagnostics;
    own.pDiagnostics = nullptr;
}

void EmitEcho(const LogerDetail::RecordBytes& record, bool bEchoLine)
{
    if (g_bObjectGone)
        return;
    if (record.bEmptyFirst)
        LOGER_OWN_DEBUG() << Qt::endl;
    if (bEchoLine && record.nLineLength > 0)
        LOGER_OWN_DEBUG() << QString::fromUtf8(record.bytes.Data() + record.nLineBegin,
                                               static_cast<int>(record.nLineLength));
    if (record.bEmptyLast)
        LOGER_OWN_DEBUG() << Qt::endl;
}

} // namespace

namespace LogerDetail
{
const QLoggingCategory& OwnCategory()
{
    // Never destroyed: threads still logging at exit may ask it after static
    // objects are gone.
    static const QLoggingCategory* const pCategory = new QLoggingCategory("logger");
    return *pCategory;
}

QString ErrnoText(int nErrno)
{
    return QString::fromLocal8Bit(strerror(nErrno));
}

void KeepDiagnostic(const QString& strText, int nErrno)
{
    if (g_bObjectGone)
        return;
    if (nErrno >= 0)
        NoteStartError(strText, nErrno);
    OwnMessages& own = t_ownMessages;
    if (own.pDiagnostics == nullptr)
        own.pDiagnostics = new QList<KeptMessage>;
    own.pDiagnostics->append({strText, nErrno});
}

void TellErrorText(const QString& strText, int nErrno)
{
    NoteStartError(strText, nErrno);
    EmitOwn({strText, nErrno});
}

void NoteStartError(const QString& strText, int nErrno)
{
    StartAttempt& attempt = t_startAttempt;
    if (attempt.nDepth > 0 && !attempt.bFailed) {
        attempt.bFailed = true;
        attempt.strReason = strText;
        attempt.nErrno = nErrno;
    }
}

StartReport::StartReport()
{
    StartAttempt& attempt = t_startAttempt;
    if (attempt.nDepth++ == 0)
        attempt = {1, false, QString(), 0};
}

StartReport::~StartReport()
{
    StartAttempt& attempt = t_startAttempt;
    if (--attempt.nDepth > 0)
        return;
    LastStartError& last = TheLastStartError();
    std::lock_guard<std::mutex> lock(last.mutex);
    last.strReason = m_bStarted ? QString() : attempt.bFailed ? attempt.strReason : QString("the start failed");
    last.nErrno = m_bStarted ? 0 : attempt.nErrno;
}

void EmitDiagnostics()
{
    OwnMessages& own = t_ownMessages;
    if (own.nEmitting > 0)
        return;
    ++own.nEmitting;
    DrainDiagnostics(own);
    --own.nEmitting;
}

void EmitKeptAndEcho(const RecordBytes* pRecord, bool bEchoLine)
{
    OwnMessages& own = t_ownMessages;
    const bool bEcho = pRecord != nullptr && (bEchoLine || pRecord->bEmptyFirst || pRecord->bEmptyLast);
    ++own.nEmitting;
    DrainDiagnostics(own);
    if (bEcho)
        EmitEcho(*pRecord, bEchoLine);
    DrainDiagnostics(own); // those of records handed in from inside the echo
    --own.nEmitting;
}

void StopOwnMessages()
{
    g_bObjectGone = true;
}

bool IsEmittingOwnMessages()
{
    return t_ownMessages.nEmitting > 0 || t_ownMessages.nStartUp > 0;
}

OwnMessagesScope::OwnMessagesScope()
{
    ++t_ownMessages.nStartUp;
}

OwnMessagesScope::~OwnMessagesScope()
{
    --t_ownMessages.nStartUp;
}
} // namespace LogerDetail

QString GetLogerStartError(int* pnErrno)
{
    LastStartError& last = TheLastStartError();
    std::lock_guard<std::mutex> lock(last.mutex);
    if (pnErrno != nullptr)
        *pnErrno = last.nErrno;
    return last.strReason;
}
