// Start-up from an INI file: keys, their acceptance rules and the directories.
#include "access.h"
#include "support.h"

#include <gtest/gtest.h>

#include <QDir>

using namespace testing_support;

namespace
{
struct IniRun
{
    bool started;
    QStringList dump; // the eight values printed before the check, in order
    QString logDir, dumpDir, err;
};

// Starts a fresh host from `ini` (written to a file in `dir`) and reads back
// what it printed.
IniRun startFromIni(const TempDir& dir, const QByteArray& ini, const QString& workDir = QString())
{
    writeFile(dir.file("logger.ini"), ini);
    const ChildResult r = runHost({"init-ini", dir.file("logger.ini").toStdString(), "paths"}, {}, workDir);
    IniRun run;
    run.err = QString::fromStdString(r.err);
    const QStringList out = QString::fromStdString(r.out).split('\n');
    run.started = out.value(0) == "init:1";
    run.logDir = out.value(1).mid(4);
    run.dumpDir = out.value(2).mid(5);
    for (const QString& line : run.err.split('\n'))
        if (line.startsWith("m_") && line.left(19).endsWith(" "))
            run.dump << line.mid(20);
    return run;
}
} // namespace

TEST(IniFile, WorkedExampleGivesItsDirectoriesAndFields)
{
    TempDir dir;
    const QString root = dir.path() + "data/logs";
    const IniRun run = startFromIni(dir, "[CommConfig]\nFileIdentifyPath=unit7\nOverDays=10\nFolderName=service\n"
                                         "[LogConfig]\nLogName=mainapp\nLogPath=" + root.toUtf8() +
                                         "\nIsWriteLog=true\nLogLevel=WARN\nOneLogMaxSizeMB=20\n"
                                         "IsPrintScreen=false\nRowLogMaxLen=2048\n");
    ASSERT_TRUE(run.started) << run.err.toStdString();
    const QString base = root + "/unit7/service";
    EXPECT_EQ(run.dump, QStringList({'"' + base + "/log/\"", "\"mainapp\"", "true", "2", "20", "false", "2048", "10"}));
    EXPECT_EQ(run.logDir, base + "/log");
    EXPECT_EQ(run.dumpDir, base + "/dump");
    EXPECT_EQ(fileNames(base + "/log"), QStringList{today() + "_1_mainapp.log"});
}

TEST(IniFile, ComposesTheDirectoriesFromTheirSegments)
{
    TempDir dir;
    const QString p = dir.path() + "root"; // LogPath
    struct Row
    {
        QString iden, folder, logPath, base, logDir;
    } rows[] = {
        {"unit7", "service", p, p + "/unit7/service", p + "/unit7/service/log/"},
        {"/unit7", "", p, p + "/unit7", p + "/unit7/log/"},
        {"/", "service", p, p + "/service", p + "/service/log/"},
        {"unit7/", "service", p, p + "/unit7//service", p + "/unit7/service/log/"},
        {"", "/service", p, p + "//service", p + "/service/log/"},
        {"", "", p + "/", p + "/", p + "/log/"},
        {"", "", "logs", "logs", dir.path() + "logs/log/"},         // relative to the working directory
        {"u", "", "", QDir::tempPath() + "/u", QDir::tempPath() + "/u/log/"}, // the default directory
    };
    for (const Row& row : rows) {
        const IniRun run = startFromIni(dir, "[CommConfig]\nFileIdentifyPath=" + row.iden.toUtf8() + "\nFolderName=" +
                                                 row.folder.toUtf8() + "\n[LogConfig]\nLogName=demo\nLogPath=" +
                                                 row.logPath.toUtf8() + "\n",
                                        dir.path());
        SCOPED_TRACE(row.iden.toStdString() + " " + row.folder.toStdString() + " " + row.logPath.toStdString());
        EXPECT_TRUE(run.started);
        EXPECT_EQ(run.dump.value(0), '"' + row.logDir + '"');
        EXPECT_EQ(run.logDir, row.base + "/log");
        EXPECT_EQ(run.dumpDir, row.base + "/dump");
    }
    QDir(QDir::tempPath() + "/u").removeRecursively();
}

TEST(IniFile, AcceptsOnlyValidValuesInTheirOwnGroup)
{
    TempDir dir;
    const QByteArray start = "[LogConfig]\nLogName=demo\nLogPath=" + dir.path().toUtf8() + "\n";
    // The dump after each row: write, level, size, echo, rows, days.
    const QStringList defaults = {"true", "0", "30", "true", "1024", "5"};
    struct Row
    {
        QByteArray lines;
        int field; // index into the six values above
        QString value;
    } rows[] = {
        {"LogLevel=INFO", 1, "1"},          {"LogLevel=info", 1, "0"},        {"LogLevel=Info", 1, "0"},
        {"LogLevel=1", 1, "0"},             {"LogLevel=", 1, "0"},            {"LogLevel=FATAL", 1, "4"},
        {"OneLogMaxSizeMB=2147483647", 2, "2147483647"},                      {"OneLogMaxSizeMB=2147483648", 2, "30"},
        {"OneLogMaxSizeMB=4294967295", 2, "30"}, {"OneLogMaxSizeMB=-3", 2, "30"}, {"OneLogMaxSizeMB=abc", 2, "30"},
        {"OneLogMaxSizeMB=0", 2, "30"},     {"RowLogMaxLen=1", 4, "1"},       {"RowLogMaxLen=4294967296", 4, "1024"},
        {"IsWriteLog=0", 0, "false"},       {"IsWriteLog=FaLsE", 0, "false"}, {"IsWriteLog=no", 0, "true"},
        {"IsWriteLog=", 0, "true"},         {"IsPrintScreen=false", 3, "false"}, {"IsPrintScreen=yes", 3, "true"},
        {"[CommConfig]\nOverDays=2147483647", 5, "2147483647"},              {"[CommConfig]\nOverDays=0", 5, "5"},
        {"OverDays=9", 5, "5"}, // only read in [CommConfig]
    };
    for (const Row& row : rows) {
        const IniRun run = startFromIni(dir, start + row.lines + "\n");
        QStringList expected = defaults;
        expected[row.field] = row.value;
        EXPECT_EQ(run.dump.mid(2), expected) << row.lines.toStdString();
    }
}

TEST(IniFile, RefusesWhatCannotStart)
{
    TempDir dir;
    QDir().mkdir(dir.file("folder.ini"));
    for (const QString& path : {QString(), dir.file("missing.ini"), dir.file("folder.ini")}) {
        DebugCapture debug;
        EXPECT_FALSE(Loger::GetLoger().InitLogInfo(path));
        EXPECT_EQ(debug.messages(), QStringList{"get log file path failed!"});
    }
    writeFile(dir.file("misplaced.ini"), "[CommConfig]\nLogName=demo\nOverDays=3\n");
    DebugCapture debug;
    EXPECT_FALSE(Loger::GetLoger().InitLogInfo(dir.file("misplaced.ini")));
    EXPECT_EQ(debug.messages(), QStringList{"program filename is empty! \"\" \"" + dir.file("misplaced.ini") + "\""});
    EXPECT_EQ(LogerTestAccess::config().m_nOverDays, 3u); // read before the refusal, and kept
}

TEST(IniFile, KeepsItsBaseDirectoryForTheHost)
{
    TempDir dir;
    writeFile(dir.file("a.ini"), "[LogConfig]\nLogName=demo\nLogPath=" + dir.path().toUtf8() + "\n");
    ASSERT_TRUE(Loger::GetLoger().InitLogInfo(dir.file("a.ini")));
    EXPECT_EQ(LogerTestAccess::basePath(), dir.path());
    EXPECT_EQ(Loger::GetLoger().GetSaveLogPathFileName(), dir.path() + "/log"); // the doubled separator stays
    EXPECT_EQ(LogerTestAccess::config().m_strLogPath, dir.path() + "log/");
    DebugCapture debug;
    EXPECT_FALSE(Loger::GetLoger().InitLogInfo(dir.file("a.ini")));
    EXPECT_EQ(debug.messages(), QStringList{"error,Loger already is init!"});
}
