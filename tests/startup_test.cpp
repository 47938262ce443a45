// Start-up from a record or an INI file: what is refused, where the files go,
// which values are taken; the stop.
#include "support.h"

#include "logger_extras.h"

#include <QRegularExpression>

#include <future>

using namespace testing_support;

TEST(Startup, RefusesBadConfigurationsThenStartsOnceOnly)
{
    TempDir dir, other;
    Loger& log = Loger::GetLoger();
    const struct
    {
        QString name;
        int level;
        unsigned megabytes, rowLength, days;
        const char* reason; // in the host's reason for the failure
    } refused[] = {{"", DEBUG, 30, 1024, 5, "Empty"},
                   {"demo", 5, 30, 1024, 5, "m_emLogLevel"},
                   {"demo", -1, 30, 1024, 5, "m_emLogLevel"},
                   {"demo", DEBUG, 0, 1024, 5, "m_nMegaByte"},
                   {"demo", DEBUG, 30, 0, 5, "m_nRowLogMaxLen"},
                   {"demo", DEBUG, 30, 1024, 0, "m_nOverDays"},
                   {QString::fromUtf8("de\0mo", 5), DEBUG, 30, 1024, 5, "NUL"},
                   {"de/mo", DEBUG, 30, 1024, 5, "\"/\""}};
    int error = -1;
    for (const auto& r : refused) {
        EXPECT_FALSE(log.InitLogInfo(
            LOG_CONFIG_INFO{dir.path, r.name, true, em_LOG_LEVEL(r.level), r.megabytes, false, r.rowLength, r.days}))
            << r.reason;
        EXPECT_TRUE(GetLogerStartError(&error).contains(r.reason)) << GetLogerStartError().toStdString();
    }
    QDir().mkdir(other.file("folder.ini"));
    writeFile(other.file("misplaced.ini"), "[CommConfig]\nLogName=demo\n"); // each key only in its own group
    const std::pair<QString, int> inis[] = {{QString(), ENOENT},
                                            {other.file("missing.ini"), ENOENT},
                                            {other.file("folder.ini"), EISDIR},
                                            {other.file("misplaced.ini"), 0}};
    for (const auto& [ini, errnoValue] : inis) {
        EXPECT_FALSE(log.InitLogInfo(ini)) << ini.toStdString();
        EXPECT_TRUE(GetLogerStartError(&error).contains(ini)) << GetLogerStartError().toStdString();
        EXPECT_EQ(error, errnoValue) << ini.toStdString();
    }
    EXPECT_EQ(fileNames(dir.path), QStringList());

    LOG_CONFIG_INFO fatal = recordConfig(dir.path);
    fatal.m_emLogLevel = FATAL;
    ASSERT_TRUE(log.InitLogInfo(fatal));
    EXPECT_EQ(GetLogerStartError(&error), "");
    EXPECT_EQ(error, 0);
    EXPECT_EQ(log.GetSaveDumpPathFileName(), "/dump"); // a record start-up sets no base directory
    writeFile(other.file("good.ini"), ("[LogConfig]\nLogName=other\nLogPath=" + other.path).toUtf8());
    EXPECT_FALSE(log.InitLogInfo(recordConfig(other.path, "other")));
    EXPECT_NE(GetLogerStartError(), ""); // already started
    EXPECT_FALSE(log.InitLogInfo(other.file("good.ini")));
    log.addLogtoList(FATAL, "f.cpp", "f", 1, std::string("kept"));
    EXPECT_EQ(readLines(dir.file(today() + "_1_demo.log")).size(), 1);
    EXPECT_EQ(QDir(other.path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList({"folder.ini", "good.ini", "misplaced.ini"}));
}

TEST(Startup, FilesGoWhereThePathAndTheNameSay)
{
    const struct
    {
        QStringList starts; // "TMP/" stands for the temporary directory, which holds a folder "logs"
        QString file;
        bool told; // the start tells where the files go and how to put them inside
    } rows[] = {{{"init-record", "", "demo.log", "30", "5"}, "demo/" + today() + "_1_demo.log.log", false},
                // A refused start leaves the directory as it was.
                {{"init-record", "", "demo", "30", "0", "init-record", "", "demo", "30", "5"},
                 "demo/" + today() + "_1_demo.log", false},
                // A directory without the final "/" is a prefix of the names beside it, and told so.
                {{"init-record", "TMP/logs", "demo", "30", "5"}, "logs" + today() + "_1_demo.log", true},
                {{"init-record", "TMP/logs/", "demo", "30", "5"}, "logs/" + today() + "_1_demo.log", false}};
    for (const auto& row : rows) {
        TempDir tmp;
        QDir().mkdir(tmp.file("logs"));
        QStringList starts = row.starts;
        const Child r =
            runHost(starts.replaceInStrings(QRegularExpression("^TMP/"), tmp.path) + QStringList{"log", "1", "5"},
                    {"TMPDIR=" + tmp.path});
        EXPECT_TRUE(r.out.contains("init:1\n")) << r.err.toStdString();
        EXPECT_EQ(readLines(tmp.file(row.file)).size(), 1) << row.file.toStdString();
        const QRegularExpression told(QRegularExpression::escape(tmp.path) + "logs\" .*\"/\"");
        EXPECT_EQ(r.err.contains(told), row.told) << r.err.toStdString();
    }
}

TEST(Stop, EndsTheDrainLoopAndLaterRecordsStillLand)
{
    TempDir dir;
    Loger& log = Loger::GetLoger();
    ASSERT_TRUE(log.InitLogInfo(recordConfig(dir.path)));
    auto loop = std::async(std::launch::async, [&] { return log.doWriteLog(); });
    log.unInit();
    log.unInit();
    ASSERT_EQ(loop.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(loop.get(), 0);
    log.addLogtoList(INFO, "f.cpp", "f", 1, std::string("after the stop"));
    EXPECT_TRUE(readLines(dir.file(today() + "_1_demo.log")).value(0).endsWith("[after the stop]"));
}

namespace
{
// Starts a host from `ini` in `dir`, also its temporary directory, after the
// commands `before`: it prints the start's result and the reported
// directories, logs three records and prints the limits in force.
Child startFromIni(const TempDir& dir, const QString& ini, const QStringList& before = {})
{
    writeFile(dir.file("logger.ini"), ini.toUtf8());
    return runHost(before +
                       QStringList{"init-ini", dir.file("logger.ini"), "paths", "log", "3", "5", "limits-in-force"},
                   {"TMPDIR=" + dir.path}, dir.path);
}
} // namespace

TEST(IniFile, ComposesTheDirectoriesFromTheirParts)
{
    TempDir dir;
    const QString p = dir.path + "root";
    const struct
    {
        QString identify, folder, logPath, base, logDir;
    } rows[] = {
        {"unit7", "service", p, p + "/unit7/service", p + "/unit7/service/log/"},
        {"/unit7", "", p, p + "/unit7", p + "/unit7/log/"},
        {"/", "", p + "/", p + "/", p + "/log/"},
        {"unit8/", "/other", p, p + "/unit8///other", p + "/unit8/other/log/"},
        {"", "", "logs", "logs", dir.path + "logs/log/"},               // relative to the working directory
        {"unit9", "", "", dir.path + "unit9", dir.path + "unit9/log/"}, // the temporary directory
    };
    for (const auto& row : rows) {
        const Child r =
            startFromIni(dir, "[CommConfig]\nFileIdentifyPath=" + row.identify + "\nFolderName=" + row.folder +
                                  "\n[LogConfig]\nLogName=demo\nLogPath=" + row.logPath);
        EXPECT_TRUE(r.out.startsWith("init:1\nlog:" + row.base + "/log\ndump:" + row.base + "/dump\n"))
            << r.out.toStdString();
        EXPECT_EQ(readLines(row.logDir + today() + "_1_demo.log").size(), 3) << row.logDir.toStdString();
    }
}

TEST(IniFile, TakesValidValuesAndKeepsTheOthers)
{
    // Write, level, MiB, echo, row, days; then the limits in force: retain, total MiB, free MiB, sync level;
    // then the queue: its records (a power of two) and what a full one does.
    const QStringList defaults = {"true", "0", "30", "true", "1024", "5", "0", "0", "0", "-1", "0", "wait"};
    // SetLogerLimits and SetLogerQueue before the start.
    const QStringList handedOver = {"limits", "1", "7", "8", "3", "queue", "16", "drop"};
    const struct
    {
        QString keys;
        QStringList before, values;
    } rows[] = {
        {"LogLevel=INFO\nOneLogMaxSizeMB=2147483647\nRowLogMaxLen=1\nIsWriteLog=FaLsE\nIsPrintScreen=yes\n"
         "RetainWhileRunning=true\nMaxTotalSizeMB=2147483647\nMinFreeSpaceMB=0\nSyncLevel=FATAL\n"
         "QueueRecords=64\nWhenQueueFull=drop\n[CommConfig]\nOverDays=2147483647",
         {},
         {"false", "1", "2147483647", "true", "1", "2147483647", "1", "2147483647", "0", "4", "64", "drop"}},
        {"LogLevel=INFO\nOneLogMaxSizeMB=20\nRowLogMaxLen=2048\nIsWriteLog=no\nIsPrintScreen=0\n"
         "RetainWhileRunning=1\nMaxTotalSizeMB=20\nMinFreeSpaceMB=2147483647\nSyncLevel=DEBUG\nQueueRecords=100\n"
         "WhenQueueFull=wait\n[CommConfig]\nOverDays=9",
         {},
         {"true", "1", "20", "false", "2048", "9", "1", "20", "2147483647", "0", "128", "wait"}},
        {"LogLevel=FATAL", {}, {"true", "4", "30", "true", "1024", "5", "0", "0", "0", "-1", "0", "wait"}},
        {"LogLevel=info\nOneLogMaxSizeMB=2147483648\nRowLogMaxLen=-3\nIsWriteLog=\nMaxTotalSizeMB=2147483648\n"
         "MinFreeSpaceMB=-1\nSyncLevel=err\nQueueRecords=-1\nWhenQueueFull=Drop\n[CommConfig]\nOverDays=0",
         {},
         defaults},
        {"LogLevel=1\nOneLogMaxSizeMB=abc\nRowLogMaxLen=4294967296\nOverDays=3\nIsPrintScreen=\nMaxTotalSizeMB=abc\n"
         "SyncLevel=5\nQueueRecords=abc\nWhenQueueFull=",
         {},
         defaults},
        {"LogLevel=\nOneLogMaxSizeMB=0\nRowLogMaxLen=0\n[CommConfig]\nOverDays=-3", {}, defaults},
        // Numbers never wrap: these are not 2 MiB, a row of 1215752191 and 1 day.
        {"OneLogMaxSizeMB=4294967298\nRowLogMaxLen=99999999999\nMinFreeSpaceMB=4294967297\nQueueRecords=4294967297\n"
         "[CommConfig]\nOverDays=4294967297",
         {},
         defaults},
        // The file's limits over those handed over, each switched off here; without keys, those handed over.
        {"RetainWhileRunning=false\nMaxTotalSizeMB=0\nMinFreeSpaceMB=0\nSyncLevel=\nQueueRecords=0\nWhenQueueFull=wait",
         handedOver,
         defaults},
        {"", handedOver, {"true", "0", "30", "true", "1024", "5", "1", "7", "8", "3", "16", "drop"}},
    };
    for (const auto& row : rows) {
        TempDir dir;
        const Child r =
            startFromIni(dir, "[LogConfig]\nLogName=demo\nLogPath=" + dir.path + "\n" + row.keys, row.before);
        EXPECT_TRUE(r.out.startsWith("init:1\n")) << row.keys.toStdString();
        QStringList printed; // the eight values printed before the check
        for (const QString& line : r.err.split('\n'))
            if (line.startsWith("m_"))
                printed << line.section(": ", 1).trimmed();
        printed = printed.mid(2) + r.out.section("limits:", 1).section('\n', 0, 0).split(',');
        EXPECT_EQ(printed, row.values) << row.keys.toStdString();
        // Records of all three forms, written and echoed as the switches and the level say.
        const int records = row.values[0] == "true" && row.values[1] != "4" ? 3 : 0;
        EXPECT_EQ(readLines(dir.path + "log/" + today() + "_1_demo.log").size(), records) << row.keys.toStdString();
        EXPECT_EQ(r.err.split('\n').filter(QRegularExpression("^\"\\[")).size(), row.values[3] == "true" ? records : 0)
            << row.keys.toStdString();
    }
}

TEST(IniFile, NamesEachMistakeWithItsFileGroupAndKey)
{
    const struct
    {
        QString ini;
        QStringList said; // words of the one line about the file; none: a correct file, about which nothing is said
    } rows[] = {
        {"[LogConfg]\nLogName=demo", {"[LogConfg]", "LogName"}},
        {"[ComConfig]\nOverDays=3\n[LogConfig]\nLogName=demo", {"[ComConfig]", "OverDays"}},
        {"[LogConfig]\nLogName=demo\nLogLevl=INFO", {"[LogConfig]", "LogLevl"}},
        {"[CommConfig]\nOverDay=3\n[LogConfig]\nLogName=demo", {"[CommConfig]", "OverDay"}},
        {"[LogConfig]\nLogPath=logs", {"[LogConfig]", "LogName"}}, // missing: where it was looked for
        // Values not taken: the value, and the one used instead.
        {"[LogConfig]\nLogName=demo\nLogLevel=warn", {"[LogConfig] LogLevel=warn ", " DEBUG "}},
        {"[LogConfig]\nLogName=demo\nSyncLevel=error", {"[LogConfig] SyncLevel=error ", " never "}},
        {"[LogConfig]\nLogName=demo\nOneLogMaxSizeMB=abc", {"[LogConfig] OneLogMaxSizeMB=abc ", " 30 "}},
        {"[LogConfig]\nLogName=demo\nRowLogMaxLen=0", {"[LogConfig] RowLogMaxLen=0 ", " 1024 "}},
        {"[CommConfig]\nOverDays=0\n[LogConfig]\nLogName=demo", {"[CommConfig] OverDays=0 ", " 5 "}},
        {"[LogConfig]\nLogName=demo\nMaxTotalSizeMB=-5", {"[LogConfig] MaxTotalSizeMB=-5 ", " 0 "}},
        {"[LogConfig]\nLogName=demo\nMinFreeSpaceMB=2147483648", {"[LogConfig] MinFreeSpaceMB=2147483648 ", " 0 "}},
        {"[LogConfig]\nLogName=demo\nIsWriteLog=", {"[LogConfig] IsWriteLog= ", " true "}},
        {"[LogConfig]\nLogName=demo\nIsPrintScreen=no", {"[LogConfig] IsPrintScreen=no ", " true"}},
        {"[LogConfig]\nLogName=demo\nRetainWhileRunning=off", {"[LogConfig] RetainWhileRunning=off ", " true"}},
        {"[LogConfig]\nLogName=demo\nQueueRecords=many", {"[LogConfig] QueueRecords=many ", " 0 "}},
        {"[LogConfig]\nLogName=demo\nWhenQueueFull=block", {"[LogConfig] WhenQueueFull=block ", " wait "}},
        {"[LogConfig]\nLogName=demo\nLogPath=a,b", {"[LogConfig] LogPath=a, b ", "comma"}},
        // Saved as UTF-8, read as GB2312: the first key whose value changes.
        {"[LogConfig]\nLogName=gr\u00fc\u00dfe", {"GB2312", "LogName", "\"gr\u00fc\u00dfe\""}},
        {"[CommConfig]\nSyncLevel=ERR\n[LogConfig]\nLogName=demo", {"[CommConfig]", "SyncLevel"}},
        {"[CommConfig]\nFileIdentifyPath=a\nOverDays=3\nFolderName=b\n[LogConfig]\nLogName=demo\nLogPath=logs\n"
         "IsWriteLog=1\nLogLevel=INFO\nOneLogMaxSizeMB=1\nIsPrintScreen=FALSE\nRowLogMaxLen=9\nRetainWhileRunning=true\n"
         "MaxTotalSizeMB=0\nMinFreeSpaceMB=0\nSyncLevel=\nQueueRecords=0\nWhenQueueFull=drop",
         {}}, // every key in its group
    };
    for (const auto& row : rows) {
        TempDir dir;
        const Child r = startFromIni(dir, row.ini);
        const QStringList aboutFile = r.err.split('\n').filter(dir.file("logger.ini"));
        QStringList named = aboutFile;
        for (const QString& word : row.said)
            named = named.filter(word);
        for (const QString& line : aboutFile.filter("ini file")) // as written, not quoted again
            EXPECT_TRUE(line.startsWith("ini file \"" + dir.file("logger.ini") + "\": ")) << line.toStdString();
        EXPECT_EQ(named.size(), row.said.isEmpty() ? 0 : 1) << row.ini.toStdString() << '\n' << r.err.toStdString();
        if (row.said.isEmpty()) {
            EXPECT_EQ(aboutFile, QStringList());
        }
    }
}

TEST(IniFile, AFileThatCannotBeReadIsNamedWithItsReasonBeforeTheStartFails)
{
    TempDir dir;
    QDir().mkdir(dir.file("dir.ini"));
    writeFile(dir.file("root-only.ini"), "[LogConfig]\nLogName=demo\n");
    QFile::setPermissions(dir.file("root-only.ini"), QFile::ReadOwner | QFile::WriteOwner);
    QFile::setPermissions(dir.path, QFile::permissions(dir.path) | QFile::ExeOther | QFile::ReadOther);
    const bool nobody = nobodyAvailable(); // to be refused what only root may read
    const struct
    {
        const char* file;
        bool asNobody;
        const char* reason;
        const char* then; // the line that follows, as before
    } rows[] = {
        {"missing.ini", false, "No such file or directory", "get log file path failed!"},
        {"dir.ini", false, "Is a directory", "get log file path failed!"},
        {"root-only.ini", true, "Permission denied", "program filename is empty!"},
    };
    for (const auto& row : rows) {
        if (row.asNobody && !nobody)
            continue; // its owner reads it
        const Child r = runHost({"init-ini", dir.file(row.file)}, {"TMPDIR=" + dir.path}, dir.path, row.asNobody);
        EXPECT_EQ(r.out.left(7), "init:0\n") << row.file;
        const QStringList lines = r.err.split('\n');
        const auto lineOf = [&lines](const QString& pattern) { return lines.indexOf(QRegularExpression(pattern)); };
        const int named = lineOf(".*" + QRegularExpression::escape(dir.file(row.file)) + ".*" + row.reason + ".*");
        EXPECT_GE(named, 0) << row.file << '\n' << r.err.toStdString();
        EXPECT_GT(lineOf(QRegularExpression::escape(row.then) + ".*"), named) << r.err.toStdString();
        EXPECT_TRUE(lines.filter("no LogName").isEmpty()) << r.err.toStdString(); // not the cause
    }
}

TEST(OwnMessages, TheLoggingRuleSilencesThemAloneAndRecordsStillLand)
{
    for (const bool silenced : {false, true}) {
        TempDir dir;
        writeFile(dir.file(today() + "_1_demo.log"), "before\n"); // found by the scan, then continued
        QFile::setPermissions(dir.file(today() + "_1_demo.log"), QFile::ReadOwner | QFile::WriteOwner);
        const Child r = runHost({"init-record", dir.path, "demo", "30", "5", "log", "2", "5", "qlog", "1", "1", "0"},
                                silenced ? QStringList{"QT_LOGGING_RULES=logger.debug=false"} : QStringList{});
        EXPECT_EQ(r.out, "init:1" + QString(silenced ? "" : "\nuninit begin...uninit end..."));
        for (const char* own : {"Default Log Paths:", "m_strLogName:", "Found already existed logfiles:"})
            EXPECT_EQ(r.err.contains(own), !silenced) << own << '\n' << r.err.toStdString();
        const QString opened = "create logfile ok! file is : \"" + dir.file(today() + "_1_demo.log") + '"';
        EXPECT_EQ(r.err.split('\n').contains(opened), !silenced) << r.err.toStdString(); // as written, not quoted again
        EXPECT_TRUE(r.err.contains("q 0 0")) << r.err.toStdString();                     // the host's own qDebug()
        EXPECT_EQ(readLines(dir.file(today() + "_1_demo.log")).size(), 3);
        // A failed start is told all the same, and its reason is the host's to read.
        writeFile(dir.file("in-the-way"), "a file where a directory must go\n");
        const Child failed = runHost({"init-record", dir.file("in-the-way/sub/"), "demo", "30", "5", "start-error"},
                                     silenced ? QStringList{"QT_LOGGING_RULES=logger.debug=false"} : QStringList{});
        const QRegularExpressionMatch reason = QRegularExpression("start-error:(\\d+):(.+)").match(failed.out);
        ASSERT_TRUE(reason.hasMatch()) << failed.out.toStdString();
        EXPECT_EQ(reason.captured(1).toInt(), ENOTDIR);
        EXPECT_EQ(failed.err.split('\n').filter(reason.captured(2)).size(), 1) << failed.err.toStdString();
        EXPECT_EQ(failed.err.contains("m_strLogName:"), !silenced) << failed.err.toStdString();
    }
}
