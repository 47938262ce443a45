// Reading an INI file: one table of its keys, what each accepts, and every
// mistake named with the file, the group, the key, the value and what is used
// instead. A mistake never stops a start; it is only named.
#include "ini_p.h"
#include "config_p.h"
#include "levels_p.h"
#include "messages_p.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTextCodec>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace LogerDetail
{
QString IdentifySegment(const QString& strFileIden)
{
    if (strFileIden.isEmpty() || strFileIden == "/")
        return QString();
    return strFileIden.startsWith(QChar('/')) ? strFileIden : "/" + strFileIden;
}

QString FolderSegment(const QString& strFolderName)
{
    return strFolderName.isEmpty() ? QString() : "/" + strFolderName;
}

namespace
{
enum class KeyKind
{
    Text,
    Switch,   // "0" and "false" (any case) turn it off, any other text on
    Level,    // DEBUG..FATAL, as written
    Positive, // 1..2147483647
    Count,    // 0..2147483647
    SyncLevel, // a level, or empty for never
    QueueFull  // wait or drop
};

enum KeyId
{
    kFileIdentifyPath,
    kOverDays,
    kFolderName,
    kLogName,
    kLogPath,
    kIsWriteLog,
    kLogLevel,
    kOneLogMaxSizeMB,
    kIsPrintScreen,
    kRowLogMaxLen,
    kRetainWhileRunning,
    kMaxTotalSizeMB,
    kMinFreeSpaceMB,
    kSyncLevel,
    kQueueRecords,
    kWhenQueueFull,
    kKeyCount
};

struct IniKey
{
    const char* pszGroup;
    const char* pszKey;
    KeyKind kind;
};

// Indexed by KeyId.
const IniKey aIniKeys[kKeyCount] = {
    {"CommConfig", "FileIdentifyPath", KeyKind::Text},
    {"CommConfig", "OverDays", KeyKind::Positive},
    {"CommConfig", "FolderName", KeyKind::Text},
    {"LogConfig", "LogName", KeyKind::Text},
    {"LogConfig", "LogPath", KeyKind::Text},
    {"LogConfig", "IsWriteLog", KeyKind::Switch},
    {"LogConfig", "LogLevel", KeyKind::Level},
    {"LogConfig", "OneLogMaxSizeMB", KeyKind::Positive},
    {"LogConfig", "IsPrintScreen", KeyKind::Switch},
    {"LogConfig", "RowLogMaxLen", KeyKind::Positive},
    {"LogConfig", "RetainWhileRunning", KeyKind::Switch},
    {"LogConfig", "MaxTotalSizeMB", KeyKind::Count},
    {"LogConfig", "MinFreeSpaceMB", KeyKind::Count},
    {"LogConfig", "SyncLevel", KeyKind::SyncLevel},
    {"LogConfig", "QueueRecords", KeyKind::Count},
    {"LogConfig", "WhenQueueFull", KeyKind::QueueFull},
};

QString KeyPath(KeyId id)
{
    return QLatin1String(aIniKeys[id].pszGroup) + "/" + QLatin1String(aIniKeys[id].pszKey);
}

int LevelOf(const QString& strName)
{
    for (int n = DEBUG; n <= FATAL; ++n)
        if (strName == QLatin1String(szLevelNames[n]))
            return n;
    return -1;
}

// A number as written, in 64 bits: QVariant::toUInt would cut 4294967297 to 1.
long long NumberIn(const QString& strValue, long long nLowest)
{
    bool bOk = false;
    const qulonglong nValue = strValue.toULongLong(&bOk, 10);
    return bOk && nValue >= static_cast<qulonglong>(nLowest) && nValue <= 2147483647u ? static_cast<long long>(nValue)
                                                                                       : -1;
}

// One value of the file, as the start reads it.
struct Value
{
    bool bPresent = false;
    bool bList = false; // an unquoted comma made it a list, which reads as empty
    QString strText;
};

class IniReader
{
public:
    IniReader(const QString& strPath, LOG_CONFIG_INFO& cfg, LOGER_LIMITS& limits, LOGER_QUEUE& queue)
        : m_settings(strPath, QSettings::IniFormat), m_cfg(cfg), m_limits(limits), m_queue(queue),
          m_strFile("ini file \"" + QFileInfo(strPath).absoluteFilePath() + "\":")
    {
        m_settings.setIniCodec(QTextCodec::codecForName("GB2312"));
        for (int id = 0; id < kKeyCount; ++id) {
            const QVariant value = m_settings.value(KeyPath(static_cast<KeyId>(id)));
            m_values[id].bPresent = value.isValid();
            m_values[id].bList = value.type() == QVariant::StringList && value.toStringList().size() > 1;
            m_values[id].strText = value.toString();
        }
    }

    const QString& File() const { return m_strFile; }
    const Value& operator[](KeyId id) const { return m_values[id]; }
    QSettings& Settings() { return m_settings; }

    void Apply()
    {
        for (int id = 0; id < kKeyCount; ++id)
            if (m_values[id].bPresent)
                ApplyKey(static_cast<KeyId>(id));
    }

    void NameUnknownKeys()
    {
        // "Group/Key", or "Key" alone before any group (QSettings' [General]).
        for (const QString& strPath : m_settings.allKeys()) {
            const int nSlash = strPath.indexOf(QLatin1Char('/'));
            const QString strGroup = nSlash < 0 ? QStringLiteral("General") : strPath.left(nSlash);
            const QString strKey = strPath.mid(nSlash + 1);
            bool bKnownGroup = false, bKnownKey = false;
            for (const IniKey& key : aIniKeys) {
                bKnownGroup = bKnownGroup || strGroup == QLatin1String(key.pszGroup);
                bKnownKey = bKnownKey || (strGroup == QLatin1String(key.pszGroup) && strKey == QLatin1String(key.pszKey));
            }
            if (!bKnownGroup)
                LOGER_OWN_WARNING().noquote() << m_strFile << "group [" + strGroup + "] is neither [CommConfig] nor"
                                              << "[LogConfig]: its key" << strKey << "is not read";
            else if (!bKnownKey)
                LOGER_OWN_WARNING().noquote() << m_strFile << "group [" + strGroup + "] has no key" << strKey
                                              << "(it is not read)";
        }
    }

private:
    void NotTaken(KeyId id, const QString& strWhy, const QString& strInstead)
    {
        LOGER_OWN_WARNING().noquote() << m_strFile
                                      << QString("[%1] %2=%3 is not taken: %4; %5 is used instead")
                                             .arg(aIniKeys[id].pszGroup, aIniKeys[id].pszKey, Shown(id), strWhy,
                                                  strInstead);
    }
    QString Shown(KeyId id) const
    {
        return m_values[id].bList ? m_settings.value(KeyPath(id)).toStringList().join(", ") : m_values[id].strText;
    }

    void ApplyKey(KeyId id)
    {
        const QString& strText = m_values[id].strText;
        if (m_values[id].bList) {
            NotTaken(id, "an unquoted comma makes it a list; put the value in double quotes", Kept(id));
            return;
        }
        switch (aIniKeys[id].kind) {
        case KeyKind::Text:
            return; // the start reads texts as they are
        case KeyKind::Switch:
            if (strText.isEmpty()) {
                NotTaken(id, "it is empty", Kept(id));
                return;
            }
            SetSwitch(id, m_settings.value(KeyPath(id)).toBool());
            if (strText.compare("true", Qt::CaseInsensitive) != 0 && strText.compare("false", Qt::CaseInsensitive) != 0 &&
                strText != "1" && strText != "0")
                LOGER_OWN_WARNING().noquote()
                    << m_strFile
                    << QString("[%1] %2=%3 is read as true: only false and 0 turn it off")
                           .arg(aIniKeys[id].pszGroup, aIniKeys[id].pszKey, strText);
            return;
        case KeyKind::Level:
            if (LevelOf(strText) < 0) {
                NotTaken(id, "the levels are DEBUG, INFO, WARN, ERR and FATAL, in capitals", Kept(id));
                return;
            }
            StoreLevel(m_cfg.m_emLogLevel, static_cast<em_LOG_LEVEL>(LevelOf(strText)));
            return;
        case KeyKind::SyncLevel:
            if (!strText.isEmpty() && LevelOf(strText) < 0) {
                NotTaken(id, "the levels are DEBUG, INFO, WARN, ERR and FATAL, in capitals, or nothing for never",
                         Kept(id));
                return;
            }
            m_limits.m_nSyncLevel = LevelOf(strText);
            return;
        case KeyKind::QueueFull:
            if (strText != "wait" && strText != "drop") {
                NotTaken(id, "it is wait or drop, in small letters", Kept(id));
                return;
            }
            m_queue.m_bDropWhenFull = strText == "drop";
            return;
        case KeyKind::Positive:
        case KeyKind::Count: {
            const long long nLowest = aIniKeys[id].kind == KeyKind::Positive ? 1 : 0;
            const long long nValue = NumberIn(strText, nLowest);
            if (nValue < 0) {
                NotTaken(id, QString("a whole number from %1 to 2147483647 is needed").arg(nLowest), Kept(id));
                return;
            }
            SetNumber(id, static_cast<unsigned int>(nValue));
            return;
        }
        }
    }

    void SetSwitch(KeyId id, bool bOn)
    {
        if (id == kIsWriteLog)
            m_cfg.m_bIsWriteLog = bOn;
        else if (id == kIsPrintScreen)
            m_cfg.m_bIsPrintScreen = bOn;
        else
            m_limits.m_bRetainWhileRunning = bOn;
    }
    void SetNumber(KeyId id, unsigned int nValue)
    {
        switch (id) {
        case kOverDays: m_cfg.m_nOverDays = nValue; break;
        case kOneLogMaxSizeMB: m_cfg.m_nMegaByte = nValue; break;
        case kRowLogMaxLen: m_cfg.m_nRowLogMaxLen = nValue; break;
        case kMaxTotalSizeMB: m_limits.m_nMaxTotalSizeMB = nValue; break;
        case kQueueRecords: m_queue.m_nRecords = nValue; break;
        default: m_limits.m_nMinFreeSpaceMB = nValue; break;
        }
    }
    // The value in force for a key whose value is not taken.
    QString Kept(KeyId id) const
    {
        const auto onOff = [](bool bOn) { return QString(bOn ? "true" : "false"); };
        switch (id) {
        case kIsWriteLog: return onOff(m_cfg.m_bIsWriteLog);
        case kIsPrintScreen: return onOff(m_cfg.m_bIsPrintScreen);
        case kRetainWhileRunning: return onOff(m_limits.m_bRetainWhileRunning);
        case kLogLevel: return szLevelNames[static_cast<int>(LoadLevel(m_cfg.m_emLogLevel))];
        case kSyncLevel: return m_limits.m_nSyncLevel < DEBUG || m_limits.m_nSyncLevel > FATAL
                                    ? QString("never")
                                    : QString(szLevelNames[m_limits.m_nSyncLevel]);
        case kOverDays: return QString::number(m_cfg.m_nOverDays);
        case kOneLogMaxSizeMB: return QString::number(m_cfg.m_nMegaByte);
        case kRowLogMaxLen: return QString::number(m_cfg.m_nRowLogMaxLen);
        case kMaxTotalSizeMB: return QString::number(m_limits.m_nMaxTotalSizeMB);
        case kMinFreeSpaceMB: return QString::number(m_limits.m_nMinFreeSpaceMB);
        case kQueueRecords: return QString::number(m_queue.m_nRecords);
        case kWhenQueueFull: return QString(m_queue.m_bDropWhenFull ? "drop" : "wait");
        case kLogPath: return "the directory in force, " + m_cfg.m_strLogPath;
        default: return QString("nothing");
        }
    }

    QSettings m_settings;
    LOG_CONFIG_INFO& m_cfg;
    LOGER_LIMITS& m_limits;
    LOGER_QUEUE& m_queue;
    const QString m_strFile;
    Value m_values[kKeyCount];
};

// A file saved as UTF-8 whose text is not all ASCII reads otherwise as
// GB2312: the first key whose value changes is named.
void NameUtf8Text(const IniReader& reader, const QByteArray& bytes)
{
    bool bAscii = true;
    for (const char c : bytes)
        bAscii = bAscii && static_cast<unsigned char>(c) < 0x80;
    QTextCodec::ConverterState state;
    QTextCodec* const pUtf8 = QTextCodec::codecForName("UTF-8");
    pUtf8->toUnicode(bytes.constData(), bytes.size(), &state);
    if (bAscii || state.invalidChars > 0)
        return;
    // The bytes of each value, as written, read as UTF-8.
    QTextCodec* const pGb2312 = QTextCodec::codecForName("GB2312");
    for (int id = 0; id < kKeyCount; ++id) {
        const QString& strRead = reader[static_cast<KeyId>(id)].strText;
        const QString strUtf8 = QString::fromUtf8(pGb2312->fromUnicode(strRead));
        if (strUtf8 != strRead) {
            LOGER_OWN_WARNING().noquote()
                << reader.File()
                << QString("it is read as GB2312, but it is UTF-8: [%1] %2 is taken as \"%3\", not \"%4\"; "
                           "save it as GB2312 or keep its text to ASCII")
                       .arg(aIniKeys[id].pszGroup, aIniKeys[id].pszKey, strRead, strUtf8);
            return;
        }
    }
}
} // namespace

IniStart ReadIniFile(const QString& strPath, LOG_CONFIG_INFO& cfg, LOGER_LIMITS& limits, LOGER_QUEUE& queue)
{
    IniStart start;
    const QFileInfo fi(strPath);
    const QString strFile = "ini file \"" + fi.absoluteFilePath() + "\":";
    if (!fi.isFile()) {
        const int nErrno = fi.isDir() ? EISDIR : fi.exists() ? EINVAL : ENOENT;
        TellErrorText(strFile + " cannot be read: " +
                          (nErrno == EINVAL ? QString("it is not a regular file")
                                            : ErrnoText(nErrno)),
                      nErrno);
        start.nErrno = nErrno;
        return start;
    }
    start.bIsFile = true;
    QByteArray bytes;
    const int nFd = open(QFile::encodeName(strPath).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (nFd < 0) {
        start.nErrno = errno;
        TellErrorText(strFile + " cannot be read: " + ErrnoText(start.nErrno), start.nErrno);
    } else {
        char buffer[4096];
        for (ssize_t nRead; (nRead = read(nFd, buffer, sizeof(buffer))) > 0;)
            bytes.append(buffer, static_cast<int>(nRead));
        close(nFd);
    }
    IniReader reader(strPath, cfg, limits, queue);
    if (start.nErrno == 0) {
        reader.NameUnknownKeys();
        NameUtf8Text(reader, bytes);
    }
    for (int id = 0; id < kKeyCount && start.strNulKey.isEmpty(); ++id)
        if (reader[static_cast<KeyId>(id)].strText.contains(QChar(0)))
            start.strNulKey = KeyPath(static_cast<KeyId>(id));
    start.strLogName = reader[kLogName].strText;
    if (start.strLogName.isEmpty()) {
        if (start.nErrno == 0)
            LOGER_OWN_WARNING().noquote() << strFile << "no LogName in group [LogConfig]; the logger needs one";
        return start;
    }
    // Keys are taken in the table's order, each only in its own group.
    reader.Apply();
    cfg.m_strLogName = start.strLogName;
    start.strLogPath = reader[kLogPath].strText;
    start.strIdentify = IdentifySegment(reader[kFileIdentifyPath].strText);
    start.strFolder = FolderSegment(reader[kFolderName].strText);
    return start;
}
} // namespace LogerDetail
