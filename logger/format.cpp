// One record becomes one line: "[time] [LEVEL] [line] [tid]  [function]   [message]".
#include "logger_p.h"

namespace
{
bool IsAscii(const char* psz, size_t nLen)
{
    for (size_t i = 0; i < nLen; ++i) {
        if (static_cast<unsigned char>(psz[i]) >= 0x80)
            return false;
    }
    return true;
}

// Appends UTF-8 bytes; ASCII, the common case, is widened in place without
// a temporary string.
void AppendUtf8(QString& strLine, const char* psz, size_t nLen)
{
    if (IsAscii(psz, nLen))
        strLine.append(QLatin1String(psz, static_cast<int>(nLen)));
    else
        strLine.append(QString::fromUtf8(psz, static_cast<int>(nLen)));
}

// A failed write (disk full, file size limit) would leave the stream refusing
// every later line; the file keeps what it could not write and retries it
// at the next size check, so the stream is made ready again.
void FlushLogStream(QTextStream& stream)
{
    stream.flush();
    if (stream.status() != QTextStream::Ok)
        stream.resetStatus();
}

// A field left-aligned and padded with blanks to nWidth; longer values whole.
void AppendPadded(QString& strLine, const QString& strValue, int nWidth)
{
    strLine.append(strValue);
    for (int i = strValue.size(); i < nWidth; ++i)
        strLine.append(QLatin1Char(' '));
}
} // namespace

namespace LogerDetail
{
bool FindFunctionName(const std::string& strClassFunc, size_t& nBegin, size_t& nCount)
{
    const size_t nIndex1 = strClassFunc.find_first_of('(');
    if (nIndex1 == std::string::npos)
        return false;
    const size_t nIndex2 = strClassFunc.find_last_of(' ', nIndex1 == 0 ? 0 : nIndex1 - 1);
    // No blank before the "(": the whole text before it is the name.
    nBegin = (nIndex2 == std::string::npos || nIndex1 == 0) ? 0 : nIndex2 + 1;
    nCount = nIndex1 - nBegin;
    return true;
}

void AdjustLineFeeds(char* pLogContent, size_t& nLen, bool& bEmptyFirst, bool& bEmptyLast)
{
    bEmptyFirst = false;
    bEmptyLast = false;
    if (nLen == 0)
        return;
    if (pLogContent[0] == '\n') {
        pLogContent[0] = ' ';
        bEmptyFirst = true;
    }
    if (pLogContent[nLen - 1] == '\n') {
        pLogContent[nLen - 1] = '\0';
        --nLen;
        bEmptyLast = true;
    }
}

void FormatLogLine(QString& strLine, const char* szTime, const QString& strLevel, const QString& strLineNo,
                   const QString& strThreadId, const char* szFunc, const char* szMsg, size_t nMsgLen)
{
    strLine.resize(0); // keeps the capacity of the previous line
    strLine.append(QLatin1Char('['));
    AppendUtf8(strLine, szTime, strlen(szTime));
    strLine.append(QLatin1String("] ["));
    AppendPadded(strLine, strLevel, 5);
    strLine.append(QLatin1String("] ["));
    AppendPadded(strLine, strLineNo, 4);
    strLine.append(QLatin1String("] ["));
    AppendPadded(strLine, strThreadId, 5);
    strLine.append(QLatin1String("]  ["));
    AppendUtf8(strLine, szFunc, strlen(szFunc));
    strLine.append(QLatin1String("]   ["));
    AppendUtf8(strLine, szMsg, nMsgLen);
    strLine.append(QLatin1Char(']'));
}
} // namespace LogerDetail

int Loger::WriteLog(const LOG_PUTOUT& obj)
{
    if (!m_LogCfgInfo.m_bIsWriteLog)
        return 0;
    // The message is a C string: it ends at its first NUL.
    const char* pLogContent = obj.m_logs.c_str();
    size_t nLen = strlen(pLogContent);
    if (nLen == 0)
        return -1;
    if (static_cast<int>(LogerDetail::LoadLevel(m_LogCfgInfo.m_emLogLevel)) > static_cast<int>(obj.m_level))
        return 0;
    if (obj.m_level < DEBUG || obj.m_level > FATAL)
        return -1;

    // Adjusted on a per-thread copy that keeps its capacity; the record is const.
    thread_local std::string strContent;
    strContent.assign(pLogContent, nLen);
    LogerDetail::AdjustLineFeeds(&strContent[0], nLen, m_bAddEmptyLine_first, m_bAddEmptyLine_last);

    m_strTmpLineNo.setNum(obj.m_nLineNo, 10);
    m_strCurThreadId.setNum(obj.m_nCurThreadId, 10);
    LogerDetail::FormatLogLine(m_strTmpLogContent, obj.m_strCurRunTime.c_str(), m_LogLevlList.at(obj.m_level),
                               m_strTmpLineNo, m_strCurThreadId, getClsFnName(obj.m_strModuleName), strContent.c_str(),
                               nLen);

    if (!CreateLogFile()) {
        qDebug() << "get log instance failed!";
        return -1;
    }
    // The file is open in append mode, so every write lands at its end, also
    // after another process has appended; no seek is needed.
    if (m_bAddEmptyLine_first) {
        qDebug() << Qt::endl;
        m_LogTextStream << QLatin1Char('\n');
        if (nLen == 1) {
            FlushLogStream(m_LogTextStream);
            return 0;
        }
    }
    if (m_LogCfgInfo.m_bIsPrintScreen)
        qDebug() << m_strTmpLogContent;
    m_LogTextStream << m_strTmpLogContent << QLatin1Char('\n');
    if (m_bAddEmptyLine_last) {
        qDebug() << Qt::endl;
        m_LogTextStream << QLatin1Char('\n');
    }
    // One flush: the line and its empty lines reach the file in one write.
    FlushLogStream(m_LogTextStream);
    return 0;
}
