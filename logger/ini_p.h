// Reading an INI file for a start: its keys over the configuration in force,
// every mistake named.
#ifndef LOGGER_INI_P_H
#define LOGGER_INI_P_H

#include "logger.h"
#include "logger_extras.h"

#include <QString>

namespace LogerDetail
{
// What a start needs of the file beyond the values it set.
struct IniStart
{
    bool bIsFile = false; // a regular file (else the start is refused at once)
    int nErrno = 0;       // why it could not be read; 0 when it was
    QString strLogName;   // empty: the start cannot go on
    QString strLogPath;   // as written
    QString strIdentify;  // "/" + FileIdentifyPath, or empty
    QString strFolder;    // "/" + FolderName, or empty
    QString strNulKey;    // "Group/Key" of the first value with a NUL inside (the
                          // system would read a path or name only up to it)
};

// Takes the accepted values of the file's keys into cfg, limits and queue (nothing
// when it has no LogName) and names, one line each on the logger's own
// messages, a file that cannot be read, groups and keys that are not read,
// values that are not taken with the value used instead, and text saved as
// UTF-8 that reads otherwise as GB2312.
IniStart ReadIniFile(const QString& strPath, LOG_CONFIG_INFO& cfg, LOGER_LIMITS& limits, LOGER_QUEUE& queue);

// INI segments: "/" + FileIdentifyPath unless it starts with "/" (a lone "/"
// gives nothing); "/" + FolderName unless it is empty.
QString IdentifySegment(const QString& strFileIden);
QString FolderSegment(const QString& strFolderName);
} // namespace LogerDetail

#endif // LOGGER_INI_P_H
