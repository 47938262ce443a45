// The logger's own debug messages (reports of opening and rolling over, the
// echo of records): kept while the write lock is held and emitted after it,
// so that a host's message handler may hand them back to the logger. All of
// them pass the category "logger", which a logging rule may turn off.
#include "messages_p.h"

#include <atomic>

namespace
{
// Set when the object is destroyed at exit: nothing is emitted any more.
// Trivially destructible on purpose.
std::atomic<bool> g_bObjectGone{false};
} // namespace

__thread LogerDetail::OwnMessages LogerDetail::t_ownMessages
    __attribute__((tls_model("initial-exec"))) = {nullptr, 0, 0};

namespace
{
using LogerDetail::OwnMessages;
using LogerDetail::t_ownMessages;

void DrainDiagnostics(OwnMessages& own)
{
    while (own.pDiagnostics != nullptr && !own.pDiagnostics->isEmpty()) {
        const QString strText = own.pDiagnostics->takeFirst();
        if (!g_bObjectGone)
            LOGER_OWN_DEBUG().noquote() << strText;
    }
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

void KeepDiagnostic(const QString& strText)
{
    if (g_bObjectGone)
        return;
    OwnMessages& own = t_ownMessages;
    if (own.pDiagnostics == nullptr)
        own.pDiagnostics = new QStringList;
    own.pDiagnostics->append(strText);
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
