// Mistakes in an INI file named: a misspelt group or key is otherwise
// ignored in silence and leaves a default in place.
#include "ini_check_p.h"
#include "messages_p.h"

#include <QFileInfo>
#include <QSettings>
#include <QTextCodec>

namespace LogerDetail
{
void ReportIniMistakes(const QString& strIniPath)
{
    const char* const aCommKeys[] = {"FileIdentifyPath", "OverDays", "FolderName"};
    const char* const aLogKeys[] = {"LogName",         "LogPath",        "IsWriteLog",   "LogLevel",
                                    "OneLogMaxSizeMB", "IsPrintScreen",  "RowLogMaxLen", "RetainWhileRunning",
                                    "MaxTotalSizeMB",  "MinFreeSpaceMB", "SyncLevel"};
    const auto isOneOf = [](const QString& strKey, const auto& aKeys) {
        for (const char* pszKey : aKeys)
            if (strKey == QLatin1String(pszKey))
                return true;
        return false;
    };
    // Read as the start-up reads it.
    QSettings settings(strIniPath, QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("GB2312"));
    const QString strFile = "ini file \"" + QFileInfo(strIniPath).absoluteFilePath() + "\":";
    // "Group/Key", or "Key" alone before any group (QSettings' [General]).
    for (const QString& strPath : settings.allKeys()) {
        const int nSlash = strPath.indexOf(QLatin1Char('/'));
        const QString strGroup = nSlash < 0 ? QStringLiteral("General") : strPath.left(nSlash);
        const QString strKey = strPath.mid(nSlash + 1);
        if (strGroup != QLatin1String("CommConfig") && strGroup != QLatin1String("LogConfig"))
            LOGER_OWN_DEBUG().noquote() << strFile << "group [" + strGroup + "] is neither [CommConfig] nor"
                                        << "[LogConfig]: its key" << strKey << "is not read";
        else if (!(strGroup == QLatin1String("CommConfig") ? isOneOf(strKey, aCommKeys) : isOneOf(strKey, aLogKeys)))
            LOGER_OWN_DEBUG().noquote() << strFile << "group [" + strGroup + "] has no key" << strKey
                                        << "(it is not read)";
    }
    if (settings.value(QStringLiteral("LogConfig/LogName")).toString().isEmpty())
        LOGER_OWN_DEBUG().noquote() << strFile << "no LogName in group [LogConfig]; the logger needs one";
}
} // namespace LogerDetail
