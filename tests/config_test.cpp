// Start-up from an INI file: keys, their acceptance rules and the directories.
// Each start runs in a host process of its own and is read back from its dump.
#include "support.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace
{
struct IniStart
{
    bool started;
    QStringList dump; // the eight values printed before the check
    QString logDir, dumpDir, err;
};

IniStart startFromIni(const TempDir& dir, const QString& ini)
{
    writeFile(dir.file("logger.ini"), ini.toUtf8());
    const Child r = runHost({"init-ini", dir.file("logger.ini"), "paths"}, {}, dir.path);
    IniStart s{
        r.out.startsWith("init:1\n"), {}, r.out.section('\n', 1, 1).mid(4), r.out.section('\n', 2, 2).mid(5), r.err};
    for (const QString& line : r.err.split('\n'))
        if (line.startsWith("m_") && line.left(19).endsWith(' '))
            s.dump << line.mid(20);
    return s;
}
} // namespace

TEST(IniFile, WorkedExampleGivesItsDirectoriesAndFields)
{
    TempDir dir;
    const QString root = dir.path + "data/logs", base = root + "/unit7/service";
    const IniStart s =
        startFromIni(dir, "[CommConfig]\nFileIdentifyPath=unit7\nOverDays=10\nFolderName=service\n"
                          "[LogConfig]\nLogName=mainapp\nLogPath=" +
                              root +
                              "\nIsWriteLog=true\nLogLevel=WARN\nOneLogMaxSizeMB=20\nIsPrintScreen=false\n"
                              "RowLogMaxLen=2048\n");
    ASSERT_TRUE(s.started) << s.err.toStdString();
    EXPECT_EQ(s.dump, QStringList({'"' + base + "/log/\"", "\"mainapp\"", "true", "2", "20", "false", "2048", "10"}));
    EXPECT_EQ(s.logDir, base + "/log");
    EXPECT_EQ(s.dumpDir, base + "/dump");
    EXPECT_EQ(fileNames(base + "/log"), QStringList{today() + "_1_mainapp.log"});
}

TEST(IniFile, ComposesTheDirectoriesFromTheirSegments)
{
    TempDir dir;
    const QString p = dir.path + "root", tmp = QDir::tempPath();
    const struct
    {
        QString iden, folder, logPath, base, logDir;
    } rows[] = {
        {"unit7", "service", p, p + "/unit7/service", p + "/unit7/service/log/"},
        {"/unit7", "", p, p + "/unit7", p + "/unit7/log/"},
        {"/", "service", p, p + "/service", p + "/service/log/"},
        {"unit7/", "service", p, p + "/unit7//service", p + "/unit7/service/log/"},
        {"", "/service", p, p + "//service", p + "/service/log/"},
        {"", "", p + "/", p + "/", p + "/log/"},
        {"", "", "logs", "logs", dir.path + "logs/log/"}, // relative to the working directory
        {"logger-test-ini", "", "", tmp + "/logger-test-ini", tmp + "/logger-test-ini/log/"}, // the default root
    };
    for (const auto& row : rows) {
        const IniStart s =
            startFromIni(dir, "[CommConfig]\nFileIdentifyPath=" + row.iden + "\nFolderName=" + row.folder +
                                  "\n[LogConfig]\nLogName=demo\nLogPath=" + row.logPath);
        EXPECT_TRUE(s.started);
        EXPECT_EQ(s.dump.value(0), '"' + row.logDir + '"');
        EXPECT_EQ(s.logDir, row.base + "/log");
        EXPECT_EQ(s.dumpDir, row.base + "/dump");
    }
    QDir(tmp + "/logger-test-ini").removeRecursively();
}

TEST(IniFile, AcceptsOnlyValidValuesInTheirOwnGroup)
{
    TempDir dir;
    // Dumped values from the third on: write, level, size, echo, row length, days.
    const QStringList defaults = {"true", "0", "30", "true", "1024", "5"};
    const struct
    {
        QString lines;
        int field;
        QString value;
    } rows[] = {
        {"LogLevel=INFO", 1, "1"},
        {"LogLevel=FATAL", 1, "4"},
        {"LogLevel=info", 1, "0"},
        {"LogLevel=Info", 1, "0"},
        {"LogLevel=1", 1, "0"},
        {"LogLevel=", 1, "0"},
        {"OneLogMaxSizeMB=2147483647", 2, "2147483647"},
        {"OneLogMaxSizeMB=2147483648", 2, "30"},
        {"OneLogMaxSizeMB=4294967295", 2, "30"},
        {"OneLogMaxSizeMB=4294967298", 2, "30"}, // not 2: numbers never wrap
        {"OneLogMaxSizeMB=-3", 2, "30"},
        {"OneLogMaxSizeMB=abc", 2, "30"},
        {"OneLogMaxSizeMB=0", 2, "30"},
        {"RowLogMaxLen=1", 4, "1"},
        {"RowLogMaxLen=4294967296", 4, "1024"},
        {"RowLogMaxLen=99999999999", 4, "1024"},
        {"IsWriteLog=0", 0, "false"},
        {"IsWriteLog=FaLsE", 0, "false"},
        {"IsWriteLog=no", 0, "true"},
        {"IsWriteLog=", 0, "true"},
        {"IsPrintScreen=false", 3, "false"},
        {"IsPrintScreen=yes", 3, "true"},
        {"[CommConfig]\nOverDays=2147483647", 5, "2147483647"},
        {"[CommConfig]\nOverDays=0", 5, "5"},
        {"[CommConfig]\nOverDays=4294967297", 5, "5"},
        {"OverDays=9", 5, "5"}, // read only in [CommConfig]
    };
    for (const auto& row : rows) {
        QStringList expected = defaults;
        expected[row.field] = row.value;
        EXPECT_EQ(startFromIni(dir, "[LogConfig]\nLogName=demo\nLogPath=" + dir.path + "\n" + row.lines).dump.mid(2),
                  expected)
            << row.lines.toStdString();
    }
}

TEST(IniFile, RefusesWhatCannotStart)
{
    TempDir dir;
    QDir().mkdir(dir.file("folder.ini"));
    writeFile(dir.file("misplaced.ini"), "[CommConfig]\nLogName=demo\nOverDays=3\n");
    const std::pair<QString, QString> rows[] = {
        {"", "get log file path failed!"},
        {dir.file("missing.ini"), "get log file path failed!"},
        {dir.file("folder.ini"), "get log file path failed!"},
        {dir.file("misplaced.ini"), "program filename is empty! \"\" \"" + dir.file("misplaced.ini") + "\""}};
    for (const auto& [path, message] : rows) {
        debugMessages().clear();
        EXPECT_FALSE(Loger::GetLoger().InitLogInfo(path));
        EXPECT_EQ(debugMessages(), QStringList{message});
    }
    EXPECT_EQ(LogerTestAccess::config().m_nOverDays, 3u); // read before the refusal, and kept
}
