// The names of log files and the dates in them.
#include "logname_p.h"

#include "line_p.h"

#include <QStringList>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace
{
bool AllDigits(const char* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] < '0' || p[i] > '9')
            return false;
    return n > 0;
}

// The local day YYYYMMDD moved by nDays, at the hour nHour, to be normalised
// by mktime.
struct tm DayOf(int nDate, int nDays, int nHour)
{
    struct tm tmDay = {};
    tmDay.tm_year = nDate / 10000 - 1900;
    tmDay.tm_mon = nDate / 100 % 100 - 1;
    tmDay.tm_mday = nDate % 100 + nDays;
    tmDay.tm_hour = nHour;
    tmDay.tm_isdst = -1;
    return tmDay;
}

// Reads "<8 digits>_<digits>_" from p on: where the rest of the name begins
// (nullptr when the name is not so), the date as a number and the id.
const char* AfterDateAndId(const char* p, const char* pEnd, int& nDate, uint64_t& nId)
{
    if (pEnd - p < 9 || !AllDigits(p, 8) || p[8] != '_')
        return nullptr;
    const char* q = p + 9;
    while (q < pEnd && *q >= '0' && *q <= '9')
        ++q;
    if (q == p + 9 || q == pEnd || *q != '_')
        return nullptr;
    nDate = LogerDetail::DateNumber(p);
    nId = strtoull(p + 9, nullptr, 10); // both stop at the "_"
    return q + 1;
}
} // namespace

namespace LogerDetail
{
void LocalDate(time_t t, char szDate[16])
{
    struct tm tmVar;
    localtime_r(&t, &tmVar);
    char* p = PutDecimal(szDate, tmVar.tm_year + 1900, 2);
    p = PutDecimal(p, tmVar.tm_mon + 1, 2);
    p = PutDecimal(p, tmVar.tm_mday, 2);
    *p = '\0';
}

int DateNumber(const char* pszDate)
{
    const bool bNegative = *pszDate == '-'; // a year before 0, as LocalDate writes it
    int nDate = 0;
    for (const char* p = pszDate + (bNegative ? 1 : 0); *p >= '0' && *p <= '9'; ++p)
        nDate = nDate * 10 + (*p - '0');
    return bNegative ? -nDate : nDate;
}

void DayBounds(int nDate, time_t& tStart, time_t& tNext)
{
    struct tm tmDay = DayOf(nDate, 0, 0);
    struct tm tmNext = DayOf(nDate, 1, 0);
    tStart = mktime(&tmDay);
    tNext = mktime(&tmNext);
}

int DaysBefore(int nDate, unsigned int nDays)
{
    // At noon: clear of any change of the clock.
    struct tm tmDay = DayOf(nDate, -static_cast<int>(std::min(nDays, 3650000u)), 12);
    mktime(&tmDay);
    return (tmDay.tm_year + 1900) * 10000 + (tmDay.tm_mon + 1) * 100 + tmDay.tm_mday;
}

QString LogFileName(const QString& strPath, const char* pszDate, uint64_t nId, const QString& strLogName)
{
    return strPath + QLatin1String(pszDate) + QLatin1Char('_') + QString::number(static_cast<qulonglong>(nId)) +
           QLatin1Char('_') + strLogName + QLatin1String(".log");
}

uint64_t LogIdFromFileName(const QString& strFileName, bool& bHasIdField)
{
    const QStringList list = strFileName.split(QChar('_'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    bHasIdField = list.size() >= 2;
    if (!bHasIdField)
        return 0;
    return static_cast<uint64_t>(list.at(1).toLongLong(nullptr, 10));
}

bool HasLogSuffix(const QByteArray& name)
{
    const int nDot = name.lastIndexOf('.');
    return nDot >= 0 && qstricmp(name.constData() + nDot + 1, "log") == 0;
}

bool IsLogFileName(const QByteArray& name)
{
    const char* pEnd = name.constData() + name.size();
    int nDate = 0;
    uint64_t nId = 0;
    const char* pRest = AfterDateAndId(name.constData(), pEnd, nDate, nId);
    return pRest != nullptr && pEnd - pRest >= 4 && name.endsWith(".log");
}

bool IsOwnLogName(const char* pszName, const QByteArray& namePrefix, const QByteArray& logName, int& nDate,
                  uint64_t& nId)
{
    const size_t nName = strlen(pszName), nPrefix = static_cast<size_t>(namePrefix.size());
    const size_t nLog = static_cast<size_t>(logName.size());
    if (nName < nPrefix || memcmp(pszName, namePrefix.constData(), nPrefix) != 0)
        return false;
    const char* pEnd = pszName + nName;
    int nNameDate = 0;
    uint64_t nNameId = 0;
    const char* pRest = AfterDateAndId(pszName + nPrefix, pEnd, nNameDate, nNameId);
    if (pRest == nullptr || static_cast<size_t>(pEnd - pRest) != nLog + 4 ||
        memcmp(pRest, logName.constData(), nLog) != 0 || memcmp(pRest + nLog, ".log", 4) != 0)
        return false;
    nDate = nNameDate;
    nId = nNameId;
    return true;
}
} // namespace LogerDetail
