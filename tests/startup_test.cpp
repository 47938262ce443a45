// Start-up from a record or an INI file: what is refused, where the files go,
// which values are taken; the stop.
#include "support.h"

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
    } refused[] = {{"", DEBUG, 30, 1024, 5},    {"demo", 5, 30, 1024, 5},  {"demo", -1, 30, 1024, 5},
                   {"demo", DEBUG, 0, 1024, 5}, {"demo", DEBUG, 30, 0, 5}, {"demo", DEBUG, 30, 1024, 0}};
    for (const auto& r : refused)
        EXPECT_FALSE(log.InitLogInfo(
            LOG_CONFIG_INFO{dir.path, r.name, true, em_LOG_LEVEL(r.level), r.megabytes, false, r.rowLength, r.days}))
            << r.level << ' ' << r.megabytes << ' ' << r.rowLength << ' ' << r.days;
    QDir().mkdir(other.file("folder.ini"));
    writeFile(other.file("misplaced.ini"), "[CommConfig]\nLogName=demo\n"); // each key only in its own group
    for (const QString& ini :
         {QString(), other.file("missing.ini"), other.file("folder.ini"), other.file("misplaced.ini")})
        EXPECT_FALSE(log.InitLogInfo(ini)) << ini.toStdString();
    EXPECT_EQ(fileNames(dir.path), QStringList());

    LOG_CONFIG_INFO fatal = recordConfig(dir.path);
    fatal.m_emLogLevel = FATAL;
    ASSERT_TRUE(log.InitLogInfo(fatal));
    EXPECT_EQ(log.GetSaveDumpPathFileName(), "/dump"); // a record start-up sets no base directory
    writeFile(other.file("good.ini"), ("[LogConfig]\nLogName=other\nLogPath=" + other.path).toUtf8());
    EXPECT_FALSE(log.InitLogInfo(recordConfig(other.path, "other")));
    EXPECT_FALSE(log.InitLogInfo(other.file("good.ini")));
    log.addLogtoList(FATAL, "f.cpp", "f", 1, std::string("kept"));
    EXPECT_EQ(readLines(dir.file(today() + "_1_demo.log")).size(), 1);
    EXPECT_EQ(QDir(other.path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList({"folder.ini", "good.ini", "misplaced.ini"}));
}

TEST(Startup, WithoutAPathLogsIntoAFolderOfTheTemporaryDirectory)
{
    const struct
    {
        QStringList starts;
        QString file;
    } rows[] = {{{"init-record", "", "demo.log", "30", "5"}, "demo/" + today() + "_1_demo.log.log"},
                {{"init-record", "", ".hidden", "30", "5"}, today() + "_1_.hidden.log"},
                // A refused start leaves the directory as it was.
                {{"init-record", "", "demo", "30", "0", "init-record", "", "demo", "30", "5"},
                 "demo/" + today() + "_1_demo.log"}};
    for (const auto& row : rows) {
        TempDir tmp;
        const Child r = runHost(row.starts + QStringList{"log", "1", "5"}, {"TMPDIR=" + tmp.path});
        EXPECT_TRUE(r.out.contains("init:1\n")) << r.err.toStdString();
        EXPECT_EQ(readLines(tmp.file(row.file)).size(), 1) << row.file.toStdString();
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
    // Write, level, MiB, echo, row, days; then the limits in force: retain, total MiB, free MiB, sync level.
    const QStringList defaults = {"true", "0", "30", "true", "1024", "5", "0", "0", "0", "-1"};
    const QStringList handedOver = {"limits", "1", "7", "8", "3"}; // SetLogerLimits before the start
    const struct
    {
        QString keys;
        QStringList before, values;
    } rows[] = {
        {"LogLevel=INFO\nOneLogMaxSizeMB=2147483647\nRowLogMaxLen=1\nIsWriteLog=FaLsE\nIsPrintScreen=yes\n"
         "RetainWhileRunning=true\nMaxTotalSizeMB=2147483647\nMinFreeSpaceMB=0\nSyncLevel=FATAL\n"
         "[CommConfig]\nOverDays=2147483647",
         {},
         {"false", "1", "2147483647", "true", "1", "2147483647", "1", "2147483647", "0", "4"}},
        {"LogLevel=INFO\nOneLogMaxSizeMB=20\nRowLogMaxLen=2048\nIsWriteLog=no\nIsPrintScreen=0\n"
         "RetainWhileRunning=1\nMaxTotalSizeMB=20\nMinFreeSpaceMB=2147483647\nSyncLevel=DEBUG\n[CommConfig]\nOverDays="
         "9",
         {},
         {"true", "1", "20", "false", "2048", "9", "1", "20", "2147483647", "0"}},
        {"LogLevel=FATAL", {}, {"true", "4", "30", "true", "1024", "5", "0", "0", "0", "-1"}},
        {"LogLevel=info\nOneLogMaxSizeMB=2147483648\nRowLogMaxLen=-3\nIsWriteLog=\nMaxTotalSizeMB=2147483648\n"
         "MinFreeSpaceMB=-1\nSyncLevel=err\n[CommConfig]\nOverDays=0",
         {},
         defaults},
        {"LogLevel=1\nOneLogMaxSizeMB=abc\nRowLogMaxLen=4294967296\nOverDays=3\nIsPrintScreen=\nMaxTotalSizeMB=abc\n"
         "SyncLevel=5",
         {},
         defaults},
        {"LogLevel=\nOneLogMaxSizeMB=0\nRowLogMaxLen=0\n[CommConfig]\nOverDays=-3", {}, defaults},
        // Numbers never wrap: these are not 2 MiB, a row of 1215752191 and 1 day.
        {"OneLogMaxSizeMB=4294967298\nRowLogMaxLen=99999999999\nMinFreeSpaceMB=4294967297\n[CommConfig]\n"
         "OverDays=4294967297",
         {},
         defaults},
        // The file's limits over those handed over, each switched off here; without keys, those handed over.
        {"RetainWhileRunning=false\nMaxTotalSizeMB=0\nMinFreeSpaceMB=0\nSyncLevel=", handedOver, defaults},
        {"", handedOver, {"true", "0", "30", "true", "1024", "5", "1", "7", "8", "3"}},
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
        QString ini, group, key; // no group: a correct file, about which nothing is said
    } rows[] = {
        {"[LogConfg]\nLogName=demo", "LogConfg", "LogName"},
        {"[ComConfig]\nOverDays=3\n[LogConfig]\nLogName=demo", "ComConfig", "OverDays"},
        {"[LogConfig]\nLogName=demo\nLogLevl=INFO", "LogConfig", "LogLevl"},
        {"[CommConfig]\nOverDay=3\n[LogConfig]\nLogName=demo", "CommConfig", "OverDay"},
        {"[LogConfig]\nLogPath=logs", "LogConfig", "LogName"}, // missing: where it was looked for
        {"[CommConfig]\nSyncLevel=ERR\n[LogConfig]\nLogName=demo", "CommConfig", "SyncLevel"},
        {"[CommConfig]\nFileIdentifyPath=a\nOverDays=3\nFolderName=b\n[LogConfig]\nLogName=demo\nLogPath=logs\n"
         "IsWriteLog=1\nLogLevel=INFO\nOneLogMaxSizeMB=1\nIsPrintScreen=0\nRowLogMaxLen=9\nRetainWhileRunning=0\n"
         "MaxTotalSizeMB=0\nMinFreeSpaceMB=0\nSyncLevel=ERR",
         "", ""}, // every key in its group
    };
    for (const auto& row : rows) {
        TempDir dir;
        const Child r = startFromIni(dir, row.ini);
        const QStringList aboutFile = r.err.split('\n').filter(dir.file("logger.ini"));
        const QStringList named = aboutFile.filter(row.group).filter(row.key);
        for (const QString& line : aboutFile.filter("ini file")) // as written, not quoted again
            EXPECT_TRUE(line.startsWith("ini file \"" + dir.file("logger.ini") + "\": ")) << line.toStdString();
        EXPECT_EQ(named.size(), row.group.isEmpty() ? 0 : 1) << row.ini.toStdString() << '\n' << r.err.toStdString();
        if (row.group.isEmpty()) {
            EXPECT_EQ(aboutFile, QStringList());
        }
    }
}

TEST(OwnMessages, TheLoggingRuleSilencesThemAloneAndRecordsStillLand)
{
    for (const bool silenced : {false, true}) {
        TempDir dir;
        writeFile(dir.file(today() + "_1_demo.log"), "before\n"); // found by the scan, then continued
        const Child r = runHost({"init-record", dir.path, "demo", "30", "5", "log", "2", "5", "qlog", "1", "1", "0"},
                                silenced ? QStringList{"QT_LOGGING_RULES=logger.debug=false"} : QStringList{});
        EXPECT_EQ(r.out, "init:1" + QString(silenced ? "" : "\nuninit begin...uninit end..."));
        for (const char* own : {"Default Log Paths:", "m_strLogName:", "Found already existed logfiles:"})
            EXPECT_EQ(r.err.contains(own), !silenced) << own << '\n' << r.err.toStdString();
        const QString opened = "create logfile ok! file is : \"" + dir.file(today() + "_1_demo.log") + '"';
        EXPECT_EQ(r.err.split('\n').contains(opened), !silenced) << r.err.toStdString(); // as written, not quoted again
        EXPECT_TRUE(r.err.contains("q 0 0")) << r.err.toStdString();                     // the host's own qDebug()
        EXPECT_EQ(readLines(dir.file(today() + "_1_demo.log")).size(), 3);
    }
}
