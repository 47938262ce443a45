// Start-up from a record, the stop, the drain loop and level control.
#include "support.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace testing_support;

TEST(Startup, DerivesTheFolderFromTheLogName)
{
    const struct
    {
        QString base, givenPath, name, logPath; // a null base keeps the last result
    } rows[] = {{"/base", "", "demo.log", "/base/demo/"},     {"/base", "", "demo", "/base/demo/"},
                {QString(), "", "demo", "/base/demo//demo/"}, // a failed start tried again appends once more
                {"/base", "", "a.b.c", "/base/a/"},           {"/base", "", ".hidden", "/base/"},
                {"/base/", "", "demo.log", "/base//demo/"},   {"/base", "/given/path", "demo", "/given/path"}};
    for (const auto& row : rows) {
        if (!row.base.isNull())
            LogerTestAccess::config().m_strLogPath = row.base;
        LOG_CONFIG_INFO info = recordConfig(row.givenPath, row.name);
        info.m_nOverDays = 0; // rejected: nothing touches the disk and a retry is allowed
        EXPECT_FALSE(Loger::GetLoger().InitLogInfo(info));
        EXPECT_EQ(LogerTestAccess::config().m_strLogPath, row.logPath) << row.name.toStdString();
    }
}

TEST(Startup, PrintsTheConfigurationAndRejectsItWithoutStartingAnything)
{
    TempDir dir;
    const struct
    {
        QString name;
        int level;
        unsigned megabytes;
        bool write;
        QString notice;
    } rows[] = {{"", INFO, 30, true, "m_strLogPath or m_strLogName is Empty!"},
                {"demo", 5, 30, false, "logger will not write log!"},
                {"demo", INFO, 0, true, "logger will not print in terminal !"}};
    for (const auto& row : rows) {
        LOG_CONFIG_INFO info = recordConfig(dir.path, row.name, row.megabytes);
        info.m_emLogLevel = em_LOG_LEVEL(row.level);
        info.m_bIsWriteLog = row.write;
        debugMessages().clear();
        EXPECT_FALSE(Loger::GetLoger().InitLogInfo(info));
        EXPECT_EQ(debugMessages(),
                  QStringList({"m_strLogPath:       \"" + dir.path + '"', "m_strLogName:       \"" + row.name + '"',
                               QString("m_bIsWriteLog:      ") + (row.write ? "true" : "false"),
                               "m_emLogLevel:       " + QString::number(row.level),
                               "m_nMegaByte:        " + QString::number(row.megabytes), "m_bIsPrintScreen:   false",
                               "m_nRowLogMaxLen:    1024", "m_nOverDays:        5", row.notice}));
    }
    EXPECT_TRUE(fileNames(dir.path).isEmpty());
    EXPECT_EQ(LogerTestAccess::thread(), pthread_t(0));
}

TEST(Startup, RefusesASecondStartAndChangesNothing)
{
    TempDir dir, other;
    ASSERT_TRUE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path)));
    const QString file = LogerTestAccess::fileName();
    debugMessages().clear();
    EXPECT_FALSE(Loger::GetLoger().InitLogInfo(recordConfig(other.path, "other")));
    EXPECT_FALSE(Loger::GetLoger().InitLogInfo(other.file("any.ini")));
    EXPECT_EQ(debugMessages(), QStringList({"error,Loger already is init!", "error,Loger already is init!"}));
    EXPECT_EQ(LogerTestAccess::config().m_strLogName, "demo");
    EXPECT_EQ(LogerTestAccess::fileName(), file);
}

TEST(Stop, UnInitDiscardsTheQueueAndLaterRecordsStillLand)
{
    TempDir dir;
    Loger& log = Loger::GetLoger();
    ASSERT_TRUE(log.InitLogInfo(recordConfig(dir.path)));
    ASSERT_NE(LogerTestAccess::thread(), pthread_t(0));
    LogerTestAccess::queue().resize(2, LOG_PUTOUT{"00:00:00.000", INFO, 1, 1, "f", "f.cpp", "queued"});
    EXPECT_EQ(capturedStdout([&] {
                  log.unInit();
                  log.unInit();
              }),
              "uninit begin...uninit end...uninit begin...uninit end...");
    EXPECT_TRUE(LogerTestAccess::queue().empty());
    EXPECT_EQ(LogerTestAccess::thread(), pthread_t(0));
    debugMessages().clear();
    EXPECT_EQ(log.doWriteLog(), 0);
    EXPECT_EQ(debugMessages(), QStringList{"doWriteLog is stop! "});
    log.addLogtoList(INFO, "f.cpp", "f", 1, std::string("after the stop"));
    const QStringList lines = readLines(LogerTestAccess::fileName());
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith("[after the stop]"));
}

TEST(Stop, DrainLoopWritesQueuedRecordsUntilTheStop)
{
    TempDir dir;
    Loger& log = Loger::GetLoger();
    ASSERT_TRUE(log.InitLogInfo(recordConfig(dir.path)));
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
    const Child r = runHost({}, {"TMPDIR=" + dir.path});
    EXPECT_EQ(r.err.section('\n', 0, 0), "Default Log Paths:  \"" + dir.path.chopped(1) + "\"");
    EXPECT_EQ(r.out, "uninit begin...uninit end...");
}

TEST(Level, RefusedLevelIsLoggedAndRemembered)
{
    TempDir dir;
    Loger& log = Loger::GetLoger();
    ASSERT_TRUE(log.InitLogInfo(recordConfig(dir.path)));
    EXPECT_TRUE(LogerTestAccess::errorMsg().isEmpty());
    EXPECT_FALSE(log.SetLogLevel(em_LOG_LEVEL(5)));
    EXPECT_FALSE(log.SetLogLevel(em_LOG_LEVEL(-1)));
    EXPECT_EQ(log.GetLogLevel(), DEBUG);
    EXPECT_EQ(LogerTestAccess::errorMsg(), "ERROR_LEVEL_RANGE");
    ASSERT_TRUE(log.SetLogLevel(INFO));
    EXPECT_FALSE(log.SetLogLevel(em_LOG_LEVEL(9))); // its DEBUG record is below INFO
    std::vector<std::thread> threads; // refusals from many threads at once
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&log] {
            for (int n = 0; n < 20000; ++n)
                log.SetLogLevel(em_LOG_LEVEL(99));
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(log.GetLogLevel(), INFO);
    const QStringList lines = readLines(LogerTestAccess::fileName());
    const QString tid = QString::number(unsigned(pthread_self())).leftJustified(5);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].endsWith("[DEBUG] [487 ] [" + tid + "]  [Loger::SetLogLevel]   [ERROR_LEVEL_RANGE-[5]]"));
    EXPECT_TRUE(lines[1].endsWith("[ERROR_LEVEL_RANGE-[-1]]"));
    EXPECT_EQ(log.GetSaveLogPathFileName(), "/log"); // a record start-up sets no base directory
    EXPECT_EQ(log.GetSaveDumpPathFileName(), "/dump");
}
