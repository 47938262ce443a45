// Start-up, in both forms: from a configuration record and from an INI file.
// Each makes a candidate configuration and its limits; the one start checks
// it, opens its directory and today's file, and installs both at once.
#include "config_p.h"
#include "ini_p.h"
#include "logdir_p.h"
#include "messages_p.h"
#include "queue_p.h"
#include "status_p.h"
#include "writelock_p.h"

#include <QDir>
#include <QFileInfo>

#include <memory>
#include <mutex>

namespace
{
// What holds for the whole of a start, in either form: one start at a time
// (of two at once, the second sees the first's success and is refused;
// recursive, for a start from a message handler that the first start's
// reports reach), no cancellation, its messages the logger's own, and its
// reason kept for GetLogerStartError.
class StartScope
{
public:
    StartScope() : m_oneStart(OneStart()) {}
    StartScope(const StartScope&) = delete;
    StartScope& operator=(const StartScope&) = delete;

    // False, told, when the logger has started already.
    bool MayStart(bool bIsInitOK)
    {
        if (bIsInitOK)
            LogerDetail::TellError(0, "error,Loger already is init!");
        return !bIsInitOK;
    }
    bool Done(bool bStarted) { return m_report.Done(bStarted); }

private:
    static std::recursive_mutex& OneStart()
    {
        static std::recursive_mutex startMutex;
        return startMutex;
    }
    const std::lock_guard<std::recursive_mutex> m_oneStart;
    const LogerDetail::NoCancellation m_noCancellation;
    const LogerDetail::OwnMessagesScope m_ownMessages;
    LogerDetail::StartReport m_report;
};

// The one start: the candidate (its log path final) is checked, its directory
// and today's file opened under its limits, and both installed in one step
// into live. Nothing of the running configuration changes unless it
// succeeds. Once the candidate is accepted, the writer thread is started
// whether the file opened or not.
bool Start(Loger& logger, LOG_CONFIG_INFO& live, LOG_CONFIG_INFO& candidate, const LOGER_LIMITS& limits,
           const LOGER_QUEUE& queue)
{
    if (!LogerDetail::CheckConfig(candidate))
        return false;
    if (!candidate.m_strLogPath.endsWith('/') && QFileInfo(candidate.m_strLogPath).isDir())
        LOGER_OWN_WARNING().noquote()
            << QString("log path \"%1\" is a directory but does not end with \"/\": the files go beside it, as "
                       "\"%1YYYYMMDD_<id>_%2.log\"; end the path with \"/\" to put them inside")
                   .arg(candidate.m_strLogPath, candidate.m_strLogName);

    std::unique_ptr<LogerDetail::LogDirectory> directory(new LogerDetail::LogDirectory);
    directory->Configure(candidate.m_strLogPath, candidate.m_strLogName, candidate.m_nMegaByte);
    directory->SetLimits(limits, candidate.m_nOverDays);
    bool nRet = directory->OpenDirectory();
    if (nRet) {
        directory->DeleteExpired(candidate.m_nOverDays);
        nRet = directory->EnsureFile(time(nullptr));
    }
    if (nRet && (limits.m_nMaxTotalSizeMB > 0 || limits.m_nMinFreeSpaceMB > 0))
        directory->KeepWithinLimits(false);
    if (nRet) {
        // Installed in one step: records see the old configuration and file
        // or the new ones, never a mixture.
        LogerDetail::LogDirectory* pOld = nullptr;
        {
            const LogerDetail::FileSection section;
            LogerDetail::InstallConfig(live, candidate);
            pOld = LogerDetail::InstallLogDirectory(directory.release());
            LogerDetail::StatusBoard& board = LogerDetail::Board(); // counted from the start
            board.nWritten.store(0, std::memory_order_relaxed);
            board.nLost.store(0, std::memory_order_relaxed);
            board.nLastErrno.store(0, std::memory_order_relaxed);
            board.tLastFailure.store(0, std::memory_order_relaxed);
        }
        delete pOld; // a default file opened by earlier records is closed
    }
    LogerDetail::EmitDiagnostics();
    if (nRet)
        LogerDetail::MakeQueue(queue, limits.m_nSyncLevel);
    if (logger.createThread() == 0 && nRet)
        LogerDetail::PublishQueue();
    return nRet;
}
} // namespace

bool Loger::InitLogInfo(const LOG_CONFIG_INFO& LogInfo)
{
    StartScope start;
    if (!start.MayStart(m_IsInitOK))
        return false;
    LOG_CONFIG_INFO candidate = LogInfo;
    if (LogInfo.m_strLogPath.isEmpty()) {
        // The folder is the log name up to its first ".", under the directory
        // in force (the temporary directory unless a start changed it).
        const int nIdex = LogInfo.m_strLogName.indexOf(QChar('.'), 0, Qt::CaseSensitive);
        // Never the temporary directory itself, which other users share: a
        // name that gives no folder ("." first) needs a path of its own.
        if (nIdex == 0) {
            LOGER_OWN_DEBUG() << "the log name gives no folder name, and no log path is given:" << LogInfo.m_strLogName;
            return false;
        }
        const QString strFoderName = "/" + LogInfo.m_strLogName.left(nIdex);
        candidate.m_strLogPath = LogerDetail::WithTrailingSeparator(m_LogCfgInfo.m_strLogPath + strFoderName);
    }
    if (!Start(*this, m_LogCfgInfo, candidate, LogerDetail::PendingLimits(), LogerDetail::PendingQueue()))
        return false;
    m_IsInitOK = true;
    return start.Done(true);
}

bool Loger::InitLogInfo(const QString& strLogIniFullPath)
{
    StartScope start;
    if (!start.MayStart(m_IsInitOK))
        return false;
    // A candidate on the configuration in force. Limits: the file's keys over
    // those handed over before.
    LOG_CONFIG_INFO candidate = m_LogCfgInfo;
    LOGER_LIMITS limits = LogerDetail::PendingLimits();
    LOGER_QUEUE queue = LogerDetail::PendingQueue();
    const LogerDetail::IniStart ini = LogerDetail::ReadIniFile(strLogIniFullPath, candidate, limits, queue);
    if (!ini.bIsFile) {
        LogerDetail::TellError(ini.nErrno, "get log file path failed!");
        return false;
    }
    if (ini.strLogName.isEmpty()) {
        LogerDetail::TellError(ini.nErrno, "program filename is empty!", ini.strLogName, strLogIniFullPath);
        return false;
    }
    if (!ini.strNulKey.isEmpty()) {
        LogerDetail::TellError(0, "ini file", strLogIniFullPath, ": the value of", ini.strNulKey,
                               "holds a NUL character!");
        return false;
    }
    // Plain concatenation: no separator is added or removed.
    const QString strBaseLogPath =
        (ini.strLogPath.isEmpty() ? m_LogCfgInfo.m_strLogPath : ini.strLogPath) + ini.strIdentify + ini.strFolder;
    const QDir temDir(strBaseLogPath + "/log");
    candidate.m_strLogPath = LogerDetail::WithTrailingSeparator(temDir.absolutePath());
    if (!Start(*this, m_LogCfgInfo, candidate, limits, queue))
        return false;
    m_IsInitOK = true;
    m_strBaseLogPath = strBaseLogPath;
    return start.Done(true);
}

int Loger::createThread()
{
    // A thread of an earlier failed start has already returned: reap it.
    if (m_hSendThread != 0) {
        pthread_join(m_hSendThread, nullptr);
        m_hSendThread = 0;
    }
    pthread_attr_t attr;
    int nRet = pthread_attr_init(&attr);
    if (nRet != 0) {
        LOGER_OWN_PRINTF("Loger::createThread() pthread_attr_init() failed! errno=%d.", nRet);
        return -1;
    }
    // Joinable and not detached: unInit joins it, so it has surely ended.
    nRet = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    if (nRet != 0) {
        LOGER_OWN_PRINTF("Loger::createThread() pthread_attr_setdetachstate() failed! err=%d", nRet);
        pthread_attr_destroy(&attr);
        return -1;
    }
    nRet = pthread_create(&m_dwSendThreadId, &attr, ThreadProc, this);
    if (nRet != 0) {
        LOGER_OWN_PRINTF("Loger::createThread() pthread_create() failed! err=%d", nRet);
        pthread_attr_destroy(&attr);
        return -1;
    }
    pthread_attr_destroy(&attr);
    m_hSendThread = m_dwSendThreadId;
    return 0;
}

void* Loger::ThreadProc(void* pParam)
{
    // Without a queue, records are written by the threads that hand them in
    // and this returns at once; with one, it writes them until unInit.
    (void)pParam;
    LogerDetail::RunWriter();
    return nullptr;
}
