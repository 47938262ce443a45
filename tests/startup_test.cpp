// Start-up from a record, the stop, the drain loop and level control.
#include "access.h"
#include "support.h"

#include <gtest/gtest.h>

#include <QDir>

#include <future>

using namespace testing_support;

TEST(Startup, DerivesTheFolderFromTheLogName)
{
    Loger& log = Loger::GetLoger();
    struct Row
    {
        QString base, givenPath, name, logPath;
    } rows[] = {
        {"/base", "", "demo.log", "/base/demo/"}, {"/base", "", "demo", "/base/demo/"},
        {QString(), "", "demo", "/base/demo//demo/"}, // a failed start tried again appends once more
        {"/base", "", "a.b.c", "/base/a/"},       {"/base", "", ".hidden", "/base/"},
        {"/base/", "", "demo.log", "/base//demo/"}, {"/base", "/given/path", "demo", "/given/path"},
    };
    for (const Row& row : rows) {
        if (!row.base.isNull())
            LogerTestAccess::config().m_strLogPath = row.base;
        LOG_CONFIG_INFO info = recordConfig(row.givenPath, row.name);
        info.m_nOverDays = 0; // rejected, so that nothing touches the disk and a retry is allowed
        EXPECT_FALSE(log.InitLogInfo(info));
        EXPECT_EQ(LogerTestAccess::config().m_strLogPath, row.logPath) << row.name.toStdString();
        EXPECT_EQ(LogerTestAccess::config().m_strLogName, row.name);
    }
}

TEST(Startup, RejectedConfigurationPrintsItAndStartsNothing)
{
    TempDir dir;
    struct Row
    {
        const char* what;
        QString name;
        int level;
        unsigned megabytes;
        bool write;
        QStringList afterDump;
    } rows[] = {
        {"empty name", "", INFO, 30, true, {"m_strLogPath or m_strLogName is Empty!"}},
        {"level 5, writing off", "demo", 5, 30, false, {"logger will not write log!"}},
        {"size 0, echo off", "demo", INFO, 0, true, {"logger will not print in terminal !"}},
    };
    for (const Row& row : rows) {
        LOG_CONFIG_INFO info = recordConfig(dir.path(), row.name, row.megabytes);
        info.m_emLogLevel = em_LOG_LEVEL(row.level);
        info.m_bIsWriteLog = row.write;
        DebugCapture debug;
        EXPECT_FALSE(Loger::GetLoger().InitLogInfo(info)) << row.what;
        const QStringList dump = {
            "m_strLogPath:       \"" + dir.path() + "\"", "m_strLogName:       \"" + row.name + "\"",
            QString("m_bIsWriteLog:      ") + (row.write ? "true" : "false"),
            "m_emLogLevel:       " + QString::number(row.level), "m_nMegaByte:        " + QString::number(row.megabytes),
            "m_bIsPrintScreen:   false", "m_nRowLogMaxLen:    1024", "m_nOverDays:        5"};
        EXPECT_EQ(debug.messages(), dump + row.afterDump) << row.what;
    }
    EXPECT_TRUE(fileNames(dir.path()).isEmpty());
    EXPECT_EQ(LogerTestAccess::thread(), pthread_t(0));
}

TEST(Startup, RefusesASecondStartAndChangesNothing)
{
    TempDir dir, other;
    Loger& log = Loger::GetLoger();
    ASSERT_TRUE(log.InitLogInfo(recordConfig(dir.path())));
    const QString file = LogerTestAccess::fileName();
    DebugCapture debug;
    EXPECT_FALSE(log.InitLogInfo(recordConfig(other.path(), "other")));
    EXPECT_FALSE(log.InitLogInfo(other.file("any.ini")));
    EXPECT_EQ(debug.messages(), QStringList({"error,Loger already is init!", "error,Loger already is init!"}));
    EXPECT_EQ(LogerTestAccess::config().m_strLogPath, dir.path());
    EXPECT_EQ(LogerTestAccess::config().m_strLogName, "demo");
    EXPECT_EQ(LogerTestAccess::fileName(), file);
}

TEST(Stop, UnInitDiscardsTheQueueWaitsAndLeavesTheFileOpen)
{
    TempDir dir;
    Loger& log = Loger::GetLoger();
    ASSERT_TRUE(log.InitLogInfo(recordConfig(dir.path())));
    ASSERT_NE(LogerTestAccess::thread(), pthread_t(0));
    LogerTestAccess::queue().resize(2, LOG_PUTOUT{"00:00:00.000", INFO, 1, 1, "f", "f.cpp", "queued"});
    StdoutCapture out;
    log.unInit();
    log.unInit();
    EXPECT_EQ(out.text(), "uninit begin...uninit end...uninit begin...uninit end...");
    EXPECT_TRUE(LogerTestAccess::queue().empty());
    EXPECT_EQ(LogerTestAccess::thread(), pthread_t(0));
    log.addLogtoList(INFO, "f.cpp", "f", 1, std::string("after the stop"));
    const QStringList lines = readLines(LogerTestAccess::fileName());
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith("[after the stop]"));
    DebugCapture debug;
    EXPECT_EQ(log.doWriteLog(), 0);
    EXPECT_EQ(debug.messages(), QStringList{"doWriteLog is stop! "});
}

TEST(Stop, DrainLoopWritesQueuedRecordsUntilTheStop)
{
    TempDir dir;
    Loger& log = Loger::GetLoger();
    ASSERT_TRUE(log.InitLogInfo(recordConfig(dir.path())));
    auto loop = std::async(std::launch::async, [&] { return log.doWriteLog(); });
    {
        std::lock_guard<std::mutex> lock(LogerTestAccess::mutex());
        for (const char* text : {"first", "second"})
            LogerTestAccess::queue().push_back(LOG_PUTOUT{"00:00:00.000", INFO, 1, 1, "f", "f.cpp", text});
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (readLines(LogerTestAccess::fileName()).size() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    const QStringList lines = readLines(LogerTestAccess::fileName());
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].endsWith("[first]") && lines[1].endsWith("[second]"));
    log.unInit();
    ASSERT_EQ(loop.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(loop.get(), 0);
}

TEST(Lifetime, ReportsTheDefaultPathAtLoadAndStopsAtExit)
{
    TempDir dir;
    const ChildResult r = runHost({}, {{"TMPDIR", dir.path().toStdString()}});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(QString::fromStdString(r.err).split('\n').value(0), "Default Log Paths:  \"" + dir.path().chopped(1) + "\"");
    EXPECT_EQ(r.out, "uninit begin...uninit end...");
}

TEST(Level, RefusedLevelIsLoggedAndRemembered)
{
    TempDir dir;
    Loger& log = Loger::GetLoger();
    ASSERT_TRUE(log.InitLogInfo(recordConfig(dir.path())));
    EXPECT_TRUE(LogerTestAccess::errorMsg().isEmpty());
    EXPECT_FALSE(log.SetLogLevel(em_LOG_LEVEL(5)));
    EXPECT_FALSE(log.SetLogLevel(em_LOG_LEVEL(-1)));
    EXPECT_EQ(log.GetLogLevel(), DEBUG);
    EXPECT_EQ(LogerTestAccess::errorMsg(), "ERROR_LEVEL_RANGE");
    ASSERT_TRUE(log.SetLogLevel(INFO));
    EXPECT_FALSE(log.SetLogLevel(em_LOG_LEVEL(9))); // a DEBUG record: not written at INFO
    EXPECT_EQ(log.GetLogLevel(), INFO);
    const QStringList lines = readLines(LogerTestAccess::fileName());
    ASSERT_EQ(lines.size(), 2);
    const QString tid = QString::number(unsigned(pthread_self())).leftJustified(5, ' ');
    EXPECT_TRUE(lines[0].endsWith("[DEBUG] [487 ] [" + tid + "]  [Loger::SetLogLevel]   [ERROR_LEVEL_RANGE-[5]]"));
    EXPECT_TRUE(lines[1].endsWith("[ERROR_LEVEL_RANGE-[-1]]"));
    // A record start-up leaves the base directory empty.
    EXPECT_EQ(log.GetSaveLogPathFileName(), "/log");
    EXPECT_EQ(log.GetSaveDumpPathFileName(), "/dump");
}
