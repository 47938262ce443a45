// Internal declarations shared by the library's sources; never installed.
// The free functions hold the pure rules (line layout, name cutting, file
// names, INI segments) apart from the one logger; the exported ones are
// called by the tests.
#ifndef LOGGER_LOGGER_P_H
#define LOGGER_LOGGER_P_H

#include "logger.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QVariant>

#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace LogerDetail
{
// Filter of every directory listing: files, directories and hidden entries,
// without "." and "..".
constexpr int nListFilter = 0x6107;

// The level is stored by SetLogLevel on any thread while WriteLog reads it;
// a relaxed atomic access on the plain field keeps the record's layout.
inline em_LOG_LEVEL LoadLevel(const em_LOG_LEVEL& emLevel)
{
    return static_cast<em_LOG_LEVEL>(__atomic_load_n(reinterpret_cast<const int*>(&emLevel), __ATOMIC_RELAXED));
}
inline void StoreLevel(em_LOG_LEVEL& emLevel, em_LOG_LEVEL emValue)
{
    __atomic_store_n(reinterpret_cast<int*>(&emLevel), static_cast<int>(emValue), __ATOMIC_RELAXED);
}

// Byte size at which a log file is full; 64 bits, so limits of 4096 MiB and
// more do not wrap on any target.
inline qint64 FullSizeBytes(unsigned int nMegaByte)
{
    return static_cast<qint64>(nMegaByte) * 1024 * 1024;
}

// The function name written in a line: the text between the last blank
// before the first "(" and that "(". False when the text holds no "(" (the
// whole text is then used as it is).
LOGGER_EXPORT bool FindFunctionName(const std::string& strClassFunc, size_t& nBegin, size_t& nCount);

// Turns a leading line feed into a blank and drops a trailing one.
// nLen is updated; the flags tell which empty lines go around the line.
void AdjustLineFeeds(char* pLogContent, size_t& nLen, bool& bEmptyFirst, bool& bEmptyLast);

// "[time] [LEVEL] [line] [tid  ]  [function]   [message]" into strLine,
// reusing its capacity. Byte texts are read as UTF-8.
void FormatLogLine(QString& strLine, const char* szTime, const QString& strLevel, const QString& strLineNo,
                   const QString& strThreadId, const char* szFunc, const char* szMsg, size_t nMsgLen);

// "<dir><date>_<id>_<name>.log": the directory is used as stored.
QString LogFileName(const QString& strPath, const std::string& strDate, uint64_t nId, const QString& strLogName);

// The sequence id in the second "_" field of a log file name; 0 when the
// field is missing or not a number.
uint64_t LogIdFromFileName(const QString& strFileName, bool& bHasIdField);

// True for a regular file whose suffix is "log" in any letter case.
bool IsLogFile(const QFileInfo& fileInfo);

// Creation time as the file system reports it: the birth time, else the time
// of the last status change (what QFileInfo::created gives).
LOGGER_EXPORT QDateTime CreatedTime(const QFileInfo& fileInfo);

// Seconds since 1970 in the unsigned 32-bit form of QDateTime::toTime_t
// (4294967295 when invalid or out of range), widened without sign.
qint64 EpochSecs32(const QDateTime& dateTime);

// Path with native separators and exactly one separator appended when it
// does not already end with one.
QString WithTrailingSeparator(const QString& strPath);

// INI segments: "/" + FileIdentifyPath unless it starts with "/" (a lone "/"
// gives nothing); "/" + FolderName unless it is empty.
QString IdentifySegment(const QString& strFileIden);
QString FolderSegment(const QString& strFolderName);

// A key of the INI file as an accepted number 1..2147483647, else 0.
int PositiveNumber(const QVariant& value);

// Writes n in decimal with at least nWidth characters, zero-filled like
// "%0*d"; returns the end. Faster than snprintf on the record path.
inline char* PutDecimal(char* p, int n, int nWidth)
{
    char szDigits[12];
    int nDigits = 0;
    unsigned int u = n < 0 ? 0u - static_cast<unsigned int>(n) : static_cast<unsigned int>(n);
    do {
        szDigits[nDigits++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (n < 0) {
        *p++ = '-';
        --nWidth;
    }
    for (int i = nDigits; i < nWidth; ++i)
        *p++ = '0';
    while (nDigits > 0)
        *p++ = szDigits[--nDigits];
    return p;
}
} // namespace LogerDetail

inline const char* Loger::getClsFnName(const std::string& strClassFunc)
{
    size_t nBegin = 0;
    size_t nCount = 0;
    if (!LogerDetail::FindFunctionName(strClassFunc, nBegin, nCount))
        return strClassFunc.c_str();
    // Longer names are cut so that the fixed buffer is never overrun.
    if (nCount > sizeof(m_szTmpClsFunc) - 1)
        nCount = sizeof(m_szTmpClsFunc) - 1;
    memset(m_szTmpClsFunc, 0, sizeof(m_szTmpClsFunc));
    memcpy(m_szTmpClsFunc, strClassFunc.data() + nBegin, nCount);
    return m_szTmpClsFunc;
}

inline unsigned long Loger::getThreadIdSelf()
{
    return static_cast<unsigned long>(pthread_self());
}

inline int Loger::getTime(std::string& ttime, unsigned short nTimeType)
{
    using LogerDetail::PutDecimal;
    char buff[16];
    memset(buff, 0, sizeof(buff));
    struct timeval timeVal;
    gettimeofday(&timeVal, NULL);
    struct tm tmVar;
    localtime_r(&timeVal.tv_sec, &tmVar);
    char* p = buff;
    if (nTimeType == 0) {
        // YYYYMMDD
        p = PutDecimal(p, tmVar.tm_year + 1900, 2);
        p = PutDecimal(p, tmVar.tm_mon + 1, 2);
        p = PutDecimal(p, tmVar.tm_mday, 2);
    } else if (nTimeType == 1) {
        // HH:MM:SS.mmm, the milliseconds truncated, never rounded up
        p = PutDecimal(p, tmVar.tm_hour, 2);
        *p++ = ':';
        p = PutDecimal(p, tmVar.tm_min, 2);
        *p++ = ':';
        p = PutDecimal(p, tmVar.tm_sec, 2);
        *p++ = '.';
        p = PutDecimal(p, static_cast<int>(timeVal.tv_usec / 1000), 3);
    }
    ttime.assign(buff, static_cast<size_t>(p - buff));
    return static_cast<int>(p - buff);
}

#endif // LOGGER_LOGGER_P_H
