// The one logger object, its lifetime, record intake and level control.
// A record is checked and formatted in the caller's thread without the lock;
// the lock covers only the file (size, rollover, one write); the logger's own
// debug messages and the echo follow once it is released (messages.cpp).
#include "callsite_p.h"
#include "clock_p.h"
#include "config_p.h"
#include "crash_p.h"
#include "levels_p.h"
#include "logdir_p.h"
#include "messages_p.h"
#include "queue_p.h"
#include "writelock_p.h"

#include <QStandardPaths>

#include <cerrno>
#include <cstdarg>

Loger Loger::m_staticLogger;

namespace
{
// The refused-level record names this file and this fixed line.
const char* const szThisSourceName = "logger.cpp";
const int nSetLogLevelLine = 487;

const char* OrEmpty(const char* psz)
{
    return psz != nullptr ? psz : "";
}

using LogerDetail::IsEchoed;
using LogerDetail::IsWriting;

bool IsWritten(int nLevel, const LOG_CONFIG_INFO& cfg)
{
    return nLevel >= static_cast<int>(LogerDetail::LoadLevel(cfg.m_emLogLevel)) && nLevel >= DEBUG && nLevel <= FATAL;
}

// What a thread keeps between its records: the line being built, the time of
// day of the current second and its id field. Its memory is taken from the
// heap once, so that a record takes little of the caller's stack (threads on
// devices may have 16 KiB). Reached through a thread-local pointer of the
// initial-exec kind, one load, where a thread-local object of a shared library
// costs a call at each use; a pointer is all the static TLS it takes.
struct ThreadState
{
    ThreadState() : nThreadId(static_cast<unsigned int>(pthread_self()))
    {
        nTid = static_cast<size_t>(LogerDetail::PutPadded(szTid, nThreadId, 5) - szTid);
    }
    LogerDetail::RecordBytes record;
    LogerDetail::TimeOfDayCache time;
    LogerDetail::SiteText siteScratch;
    unsigned int nThreadId;
    char szTid[16];
    size_t nTid;
    int nDepth = 0; // records being built by the thread
};

__thread ThreadState* t_pState __attribute__((tls_model("initial-exec"))) = nullptr;
__thread bool t_bStateGone __attribute__((tls_model("initial-exec"))) = false;

// Frees the state among the thread's destructors; records after that (from
// other destructors) use the heap.
struct ThreadStateOwner
{
    ~ThreadStateOwner()
    {
        delete t_pState;
        t_pState = nullptr;
        t_bStateGone = true;
    }
};

ThreadState* MakeThreadState()
{
    if (t_bStateGone)
        return nullptr;
    t_pState = new ThreadState;
    thread_local ThreadStateOwner owner;
    (void)owner;
    return t_pState;
}

// The state for one record: the thread's own, or one on the heap for a
// record handed in while the thread builds another (a message handler that
// logs during the echo) or after the thread's own state is gone.
class RecordState
{
public:
    RecordState()
    {
        ThreadState* pState = t_pState != nullptr ? t_pState : MakeThreadState();
        if (pState == nullptr || pState->nDepth > 0) {
            m_pOwn.reset(new ThreadState);
            pState = m_pOwn.get();
        }
        m_pState = pState;
        ++m_pState->nDepth;
    }
    ~RecordState() { --m_pState->nDepth; }
    RecordState(const RecordState&) = delete;
    RecordState& operator=(const RecordState&) = delete;
    ThreadState* operator->() { return m_pState; }

private:
    ThreadState* m_pState;
    std::unique_ptr<ThreadState> m_pOwn;
};

// The room for a formatted message: longer ones are cut to 2048 bytes.
const size_t nMessageRoom = 2049;

// Appends the record under the lock, then emits.
void AppendAndEmit(const LogerDetail::RecordBytes& record, time_t tNow, em_LOG_LEVEL level, bool bEcho)
{
    // With the writer thread on, the record goes into its queue.
    LogerDetail::RecordQueue* const pQueue = LogerDetail::g_pRecordQueue.load(std::memory_order_acquire);
    if (__builtin_expect(pQueue != nullptr, 0) && LogerDetail::QueueRecord(pQueue, record, tNow, level, bEcho))
        return;
    int nRet = 0;
    {
        const LogerDetail::FileSection section(true);
        if (!section.Held()) {
            LogerDetail::CountLostWithoutLock(EDEADLK);
            return;
        }
        nRet = LogerDetail::ActiveLogDirectory().Append(record, tNow, level);
    }
    // No file, no echo; a failed write is echoed all the same.
    LogerDetail::EmitAfterRecord(nRet == -1 ? nullptr : &record, bEcho);
}

// What a record to be written is stamped with: its time and its call site's text.
struct Stamp
{
    char szTime[16];
    time_t tNow;
    const LogerDetail::SiteText* pSite;
};
inline void StampRecord(RecordState& state, em_LOG_LEVEL level, const char* pszModule, int nLineNo, Stamp& stamp)
{
    LogerDetail::KeepCrashStackForThread();
    stamp.tNow = LogerDetail::StampTimeOfDay(state->time, stamp.szTime);
    stamp.pSite =
        &LogerDetail::SiteOf(pszModule, SIZE_MAX, level, static_cast<unsigned int>(nLineNo), state->siteScratch);
    state->record.nThreadId = state->nThreadId;
}

// Stamps and formats the record, appends it under the lock, then emits.
void WriteRecordOrThrow(bool bEcho, em_LOG_LEVEL level, const char* pszModule, int nLineNo, const char* pMsg,
                        size_t nMsg)
{
    RecordState state;
    Stamp stamp;
    StampRecord(state, level, pszModule, nLineNo, stamp);
    // Texts end at their first NUL, as C strings do.
    LogerDetail::FormatRecordAt(state->record, stamp.szTime, 12, true, *stamp.pSite, state->szTid, state->nTid, pMsg,
                                strnlen(pMsg, nMsg));
    AppendAndEmit(state->record, stamp.tNow, level, bEcho);
}

// No exception leaves the library: a record that cannot be built (no memory
// for a long line) is counted as lost, like one the file refused.
void CountLost()
{
    const LogerDetail::FileSection section(true);
    if (section.Held())
        LogerDetail::ActiveLogDirectory().CountLost(ENOMEM);
    else
        LogerDetail::CountLostWithoutLock(ENOMEM);
}

// Records the thread is handing in now.
__thread int t_nRecordsHere __attribute__((tls_model("initial-exec"))) = 0;

struct RecordScope
{
    RecordScope()
    {
        ++t_nRecordsHere;
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
    }
    ~RecordScope()
    {
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
        --t_nRecordsHere;
    }
    RecordScope(const RecordScope&) = delete;
    RecordScope& operator=(const RecordScope&) = delete;
};

// A record handed in while its thread holds or awaits the file's lock, or
// builds another record (but for the echo, which a message handler of the
// host's may hand back), comes from a signal handler that interrupted it:
// the lock, the heap or the local time's lock may be held, and waiting for
// them would wait for itself. It is lost, counted at once before anything is
// built (when it would have been written), and told with the next record.
bool IsLostToInterruptedRecord(bool bWritten)
{
    if (!LogerDetail::InFileLockHere() && (t_nRecordsHere == 0 || LogerDetail::IsEmittingOwnMessages()))
        return false;
    if (bWritten)
        LogerDetail::CountLostWithoutLock(EDEADLK);
    return true;
}

void WriteRecord(bool bEcho, em_LOG_LEVEL level, const char* pszModule, int nLineNo, const char* pMsg,
                 size_t nMsg) noexcept
{
    if (IsLostToInterruptedRecord(true))
        return;
    const RecordScope scope;
    try {
        WriteRecordOrThrow(bEcho, level, pszModule, nLineNo, pMsg, nMsg);
    } catch (...) {
        CountLost();
    }
}

// The printf form: the message is formatted straight into the line.
void WritePrintfRecord(bool bWritten, bool bEcho, em_LOG_LEVEL level, const char* pszModule, int nLineNo,
                       const LogerDetail::FormatPlan& plan, va_list args)
{
    RecordState state;
    LogerDetail::RecordBytes& record = state->record;
    Stamp stamp;
    char* pMsg = nullptr;
    if (bWritten) {
        StampRecord(state, level, pszModule, nLineNo, stamp);
        pMsg = LogerDetail::BeginLine(record, stamp.szTime, 12, *stamp.pSite, state->szTid, state->nTid, nMessageRoom);
    } else { // formatted all the same: the format may do more than print
        record.bytes.Clear();
        pMsg = record.bytes.Reserve(nMessageRoom);
    }
    const int cnt = LogerDetail::RunPlan(pMsg, nMessageRoom, plan, args);
    if (cnt < 0) {
        LOGER_OWN_PRINTF("vsnprintf error,ret:%d", cnt);
        return;
    }
    size_t nMsg = static_cast<size_t>(cnt) < nMessageRoom ? static_cast<size_t>(cnt) : nMessageRoom - 1;
    if (!plan.bAscii)
        nMsg = strnlen(pMsg, nMsg);
    if (nMsg == 0) {
        LOGER_OWN_PRINTF("error m_szTmpFmt is empty!");
        return;
    }
    if (!bWritten)
        return;
    if (plan.bAscii && stamp.pSite->bPlain && pMsg[0] != '\n' && pMsg[nMsg - 1] != '\n')
        LogerDetail::CloseLine(record, nMsg);
    else
        LogerDetail::FinishLine(record, stamp.szTime, nMsg, plan.bAscii, true, *stamp.pSite);
    AppendAndEmit(record, stamp.tNow, level, bEcho);
}
// The rest of the printf form, out of line: the record dropped by its level
// returns without the frame this needs.
__attribute__((noinline)) void AddPrintfRecord(bool bWritten, bool bEcho, em_LOG_LEVEL level, const char* pszModule,
                                               int nLineNo, const char* pszFmt, const LogerDetail::FormatPlan* pPlan,
                                               va_list args) noexcept
{
    if (IsLostToInterruptedRecord(bWritten))
        return;
    const RecordScope scope;
    try {
        // A format not kept (not a literal) is worked out on the heap: the
        // caller's stack may be small.
        std::unique_ptr<LogerDetail::FormatPlan> scratch(pPlan != nullptr ? nullptr : new LogerDetail::FormatPlan);
        const LogerDetail::FormatPlan& plan = pPlan != nullptr ? *pPlan : LogerDetail::MakePlan(pszFmt, *scratch);
        if (!bWritten && plan.bSurelyPrints)
            return;
        WritePrintfRecord(bWritten, bEcho, level, pszModule, nLineNo, plan, args);
    } catch (...) {
        CountLost();
    }
}
} // namespace

Loger& Loger::GetLoger()
{
    return m_staticLogger;
}

Loger::Loger()
    : m_nLogNameMaxId(0), m_IsInitOK(false), m_bAddEmptyLine_first(false), m_bAddEmptyLine_last(false), m_exitEvent(0),
      m_doEvent(0), m_hSendThread(0), m_dwSendThreadId(0), m_bIsStop(false)
{
    // A child forked while another thread holds the write lock would wait for
    // it forever: the lock is taken around fork and released on both sides.
    pthread_atfork([] { LogerDetail::FileLock().lock(); }, [] { LogerDetail::FileLock().unlock(); },
                   [] {
                       LogerDetail::FileLock().ResetInChild();
                       // The writer thread is the parent's: the child's callers write.
                       LogerDetail::DropQueueInChild();
                       Loger::GetLoger().m_hSendThread = 0;
                   });
    // A file size limit may be lowered at any time: the logger's writes must
    // not end the process of SIGXFSZ.
    LogerDetail::HoldBackFileSizeSignal();
    InitDefaultCfg();
    // Records logged before the start go to a file chosen by the defaults,
    // never into another program's ".log" in the temporary directory.
    LogerDetail::ActiveLogDirectory().Configure(m_LogCfgInfo.m_strLogPath, m_LogCfgInfo.m_strLogName,
                                                m_LogCfgInfo.m_nMegaByte);
    LogerDetail::ActiveLogDirectory().KeepToOwnNames();
    for (const char* pszName : LogerDetail::szLevelNames) // entry n names level n
        m_LogLevlList << QString::fromLatin1(pszName);
    memset(m_szTmpClsFunc, 0, sizeof(m_szTmpClsFunc));
}

namespace
{
// The writer thread stopping the logger itself (from a message handler
// called for the echo) cannot wait for its own end.
void JoinUnlessSelf(pthread_t hThread)
{
    if (hThread != 0 && pthread_equal(hThread, pthread_self()))
        pthread_detach(hThread);
    else if (hThread != 0)
        pthread_join(hThread, nullptr);
}
} // namespace

Loger::~Loger()
{
    // Threads may still log while the process exits, and destructors that
    // run after this one may too: from here on records go to the open file,
    // which stays open until the process ends, without rollover or messages.
    // What is queued is written first, as at unInit.
    LogerDetail::CloseQueue();
    pthread_t hWriter = 0;
    {
        const LogerDetail::FileSection section;
        hWriter = m_hSendThread;
        m_hSendThread = 0;
    }
    JoinUnlessSelf(hWriter);
    LogerDetail::ForgetQueue();
    {
        const LogerDetail::FileSection section;
        LogerDetail::ActiveLogDirectory().ShutDown();
        LogerDetail::StopOwnMessages();
    }
    m_LogTextStream.flush();
    unInit();
}

void Loger::InitDefaultCfg()
{
    m_LogCfgInfo.m_strLogPath = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    m_LogCfgInfo.m_strLogName = QString();
    m_LogCfgInfo.m_bIsWriteLog = true;
    m_LogCfgInfo.m_emLogLevel = DEBUG;
    m_LogCfgInfo.m_nMegaByte = 30;
    m_LogCfgInfo.m_bIsPrintScreen = true;
    m_LogCfgInfo.m_nRowLogMaxLen = 1024;
    m_LogCfgInfo.m_nOverDays = 5;
    LOGER_OWN_DEBUG() << "Default Log Paths: " << m_LogCfgInfo.m_strLogPath;
}

void Loger::unInit()
{
    LOGER_OWN_PRINTF("uninit begin...");
    m_bIsStop = true;
    // The writer thread writes out what is queued and ends; callers write
    // their records themselves from now on.
    LogerDetail::CloseQueue();
    pthread_t hThread = 0;
    {
        const LogerDetail::FileSection section;
        m_logList.clear();
        // Taken under the lock, so two threads calling unInit never join the
        // same thread twice.
        hThread = m_hSendThread;
        m_hSendThread = 0;
    }
    m_bIsStop = true;
    JoinUnlessSelf(hThread);
    LogerDetail::ForgetQueue();
    LOGER_OWN_PRINTF("uninit end...");
}

em_LOG_LEVEL Loger::GetLogLevel()
{
    return LogerDetail::LoadLevel(m_LogCfgInfo.m_emLogLevel);
}

bool Loger::SetLogLevel(em_LOG_LEVEL emLogLevel)
{
    if (static_cast<unsigned int>(emLogLevel) <= static_cast<unsigned int>(FATAL)) {
        LogerDetail::StoreLevel(m_LogCfgInfo.m_emLogLevel, emLogLevel);
        return true;
    }
    Loger::GetLoger().addLogtoList(DEBUG, szThisSourceName, "bool Loger::SetLogLevel(em_LOG_LEVEL)", nSetLogLevelLine,
                                   "ERROR_LEVEL_RANGE-[%d]", static_cast<int>(emLogLevel));
    // Refusals come from any thread: two unguarded assignments of the text
    // would free its old data twice. A lock of its own, so that a caller
    // inside the logger's own critical section cannot deadlock here.
    static std::mutex errMsgMutex;
    std::lock_guard<std::mutex> lock(errMsgMutex);
    m_strErrMsg = "ERROR_LEVEL_RANGE";
    return false;
}

QString Loger::GetSaveDumpPathFileName()
{
    return m_strBaseLogPath + "/dump";
}

QString Loger::GetSaveLogPathFileName()
{
    return m_strBaseLogPath + "/log";
}

void Loger::addLogtoList(em_LOG_LEVEL level, const char* strSrcName, const char* strModuleName, int nLineNo,
                         const char* pstrFmt, ...)
{
    (void)strSrcName; // carried by a record, never written
    if (!IsWriting(m_LogCfgInfo))
        return;
    const bool bWritten = IsWritten(level, m_LogCfgInfo);
    const char* const pszFmt = OrEmpty(pstrFmt);
    const LogerDetail::FormatPlan* pPlan = LogerDetail::KeptPlanOf(pszFmt);
    if (!bWritten && pPlan != nullptr && pPlan->bSurelyPrints)
        return; // below the level, and nothing would come of formatting it
    const LogerDetail::NoCancellation noCancellation;
    va_list TmpArgList;
    va_start(TmpArgList, pstrFmt);
    AddPrintfRecord(bWritten, IsEchoed(m_LogCfgInfo), level, OrEmpty(strModuleName), nLineNo, pszFmt, pPlan,
                    TmpArgList);
    va_end(TmpArgList);
}

void Loger::addLogtoList(em_LOG_LEVEL level, const char* strSrcName, const char* strModuleName, int nLineNo,
                         const std::string& str)
{
    (void)strSrcName;
    if (!IsWriting(m_LogCfgInfo) || !IsWritten(level, m_LogCfgInfo) || str.c_str()[0] == '\0')
        return;
    const LogerDetail::NoCancellation noCancellation;
    WriteRecord(IsEchoed(m_LogCfgInfo), level, OrEmpty(strModuleName), nLineNo, str.c_str(), str.size());
}

void Loger::addLogtoList(em_LOG_LEVEL level, const char* strSrcName, const char* strModuleName, int nLineNo,
                         const QString& str)
{
    (void)strSrcName;
    if (!IsWriting(m_LogCfgInfo) || !IsWritten(level, m_LogCfgInfo))
        return;
    QByteArray utf8;
    try {
        utf8 = str.toUtf8();
    } catch (...) {
        CountLost();
        return;
    }
    if (utf8.constData()[0] == '\0')
        return;
    const LogerDetail::NoCancellation noCancellation;
    WriteRecord(IsEchoed(m_LogCfgInfo), level, OrEmpty(strModuleName), nLineNo, utf8.constData(),
                static_cast<size_t>(utf8.size()));
}
