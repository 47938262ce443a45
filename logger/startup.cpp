// Start-up from a configuration record, the writer thread and the drain loop.
#include "logger_p.h"
#include "own_messages_p.h"

#include <QDir>

#include <unistd.h>

bool Loger::InitLogInfo(const LOG_CONFIG_INFO& LogInfo)
{
    const LogerDetail::OwnMessagesScope ownMessages;
    if (m_IsInitOK) {
        LOGER_OWN_DEBUG() << "error,Loger already is init!";
        return false;
    }
    if (!LogInfo.m_strLogPath.isEmpty()) {
        m_LogCfgInfo.m_strLogPath = LogInfo.m_strLogPath;
    } else {
        // The folder is the log name up to its first ".", under the current
        // directory (the temporary directory unless a failed start changed it).
        const int nIdex = LogInfo.m_strLogName.indexOf(QChar('.'), 0, Qt::CaseSensitive);
        const QString strFoderName = "/" + LogInfo.m_strLogName.left(nIdex);
        m_LogCfgInfo.m_strLogPath += strFoderName;
        m_LogCfgInfo.m_strLogPath = LogerDetail::WithTrailingSeparator(m_LogCfgInfo.m_strLogPath);
    }
    m_LogCfgInfo.m_strLogName = LogInfo.m_strLogName;
    m_LogCfgInfo.m_bIsWriteLog = LogInfo.m_bIsWriteLog;
    LogerDetail::StoreLevel(m_LogCfgInfo.m_emLogLevel, LogInfo.m_emLogLevel);
    m_LogCfgInfo.m_nMegaByte = LogInfo.m_nMegaByte;
    m_LogCfgInfo.m_bIsPrintScreen = LogInfo.m_bIsPrintScreen;
    m_LogCfgInfo.m_nRowLogMaxLen = LogInfo.m_nRowLogMaxLen;
    m_LogCfgInfo.m_nOverDays = LogInfo.m_nOverDays;

    // The start-up sequence, shared with the INI entry, which ends here.
    if (!CheckLogCfgCheck())
        return false;
    DeleteOverLogFile();
    bool nRet = false;
    {
        // Records handed in before start-up may be writing to a default file.
        std::lock_guard<std::mutex> lock(m_WriteLogMutex);
        nRet = CreateLogFile();
    }
    LogerDetail::EmitDiagnostics();
    createThread();
    if (nRet)
        m_IsInitOK = true;
    return nRet;
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
        printf("Loger::createThread() pthread_attr_init() failed! errno=%d.", nRet);
        return -1;
    }
    // Joinable and not detached: unInit joins it, so it has surely ended.
    nRet = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    if (nRet != 0) {
        printf("Loger::createThread() pthread_attr_setdetachstate() failed! err=%d", nRet);
        pthread_attr_destroy(&attr);
        return -1;
    }
    nRet = pthread_create(&m_dwSendThreadId, &attr, ThreadProc, this);
    if (nRet != 0) {
        printf("Loger::createThread() pthread_create() failed! err=%d", nRet);
        pthread_attr_destroy(&attr);
        return -1;
    }
    pthread_attr_destroy(&attr);
    m_hSendThread = m_dwSendThreadId;
    return 0;
}

void* Loger::ThreadProc(void* pParam)
{
    (void)pParam;
    return nullptr;
}

int Loger::doWriteLog()
{
    for (;;) {
        if (m_bIsStop) {
            const LogerDetail::OwnMessagesScope ownMessages;
            LOGER_OWN_DEBUG() << "doWriteLog is stop! ";
            return 0;
        }
        std::list<LOG_PUTOUT> listBatch;
        {
            std::lock_guard<std::mutex> lock(m_WriteLogMutex);
            listBatch.swap(m_logList);
        }
        while (!listBatch.empty()) {
            {
                std::lock_guard<std::mutex> lock(m_WriteLogMutex);
                WriteLog(listBatch.front());
            }
            LogerDetail::EmitDiagnostics();
            listBatch.pop_front();
        }
        usleep(50000);
    }
}
