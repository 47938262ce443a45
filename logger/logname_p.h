// How log files are named, "<YYYYMMDD>_<id>_<log name>.log", and the local
// dates in their names: made and read back here only.
#ifndef LOGGER_LOGNAME_P_H
#define LOGGER_LOGNAME_P_H

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <ctime>

namespace LogerDetail
{
// The local date YYYYMMDD of a clock reading, as text.
void LocalDate(time_t t, char szDate[16]);
// The local day of a date's text as LocalDate writes it (its digits up to
// whatever follows), as the number YYYYMMDD; 0 for an empty text.
int DateNumber(const char* pszDate);
// Start and end of the local day YYYYMMDD.
void DayBounds(int nDate, time_t& tStart, time_t& tNext);
// The date nDays days before the local day YYYYMMDD, as YYYYMMDD.
int DaysBefore(int nDate, unsigned int nDays);

// "<dir><date>_<id>_<name>.log", joined as given: "%" signs stay as they are.
QString LogFileName(const QString& strPath, const char* pszDate, uint64_t nId, const QString& strLogName);

// The sequence id in the second "_" field of any file name; 0 when the
// field is missing or not a number.
uint64_t LogIdFromFileName(const QString& strFileName, bool& bHasIdField);

// Whether a name ends in ".log", in any case.
bool HasLogSuffix(const QByteArray& name);

// "<8 digits>_<id>_<any name>.log", as a logger names its files (the name
// may be empty).
bool IsLogFileName(const QByteArray& name);

// Whether the name, after the prefix, is "<YYYYMMDD>_<id>_<log name>.log":
// one of this log's files. Gives its date as a number and its id.
bool IsOwnLogName(const char* pszName, const QByteArray& namePrefix, const QByteArray& logName, int& nDate,
                  uint64_t& nId);
} // namespace LogerDetail

#endif // LOGGER_LOGNAME_P_H
