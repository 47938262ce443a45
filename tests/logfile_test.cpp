// Which file a line goes to: continuing today's file, new ids, rollover by
// size and date, restarts, and directories that cannot be used.
#include "access.h"
#include "support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QRegularExpression>

#include <fcntl.h>
#include <sys/stat.h>

using namespace testing_support;

namespace
{
const qint64 MiB = 1024 * 1024;

struct Entry
{
    QString name; // "T" stands for today's date; a trailing "/" makes a directory
    qint64 size;
    int ageMinutes; // last modified this long ago
};

void setModified(const QString& file, int ageMinutes)
{
    const timespec when{time(nullptr) - ageMinutes * 60, 0};
    const timespec times[2] = {when, when};
    ASSERT_EQ(utimensat(AT_FDCWD, QFile::encodeName(file).constData(), times, 0), 0);
}

// A file that was not created today, seen through a link named `link`.
bool linkToOldFile(const QString& link)
{
    const QString old = "/usr/share/common-licenses/GPL-3";
    QFileInfo info(old);
    if (!info.exists() || LogerDetail::CreatedTime(info).date() == QDate::currentDate())
        return false;
    return QFile::link(old, link);
}
} // namespace

TEST(NameSelection, ContinuesTheNewestFileOfTodayBelowTheLimit)
{
    struct Row
    {
        const char* what;
        std::vector<Entry> entries;
        unsigned megabytes;
        uint64_t previousId;
        uint64_t id;
        QString continued; // empty: a new file
    } rows[] = {
        {"worked example", {{"T_1_demo.log", 10 * MiB, 150}, {"T_2_demo.log", 200 * 1024, 60}}, 10, 0, 2, "T_2_demo.log"},
        {"all full", {{"T_1_demo.log", 10 * MiB, 150}, {"T_2_demo.log", 10 * MiB, 60}}, 10, 0, 3, ""},
        {"empty directory", {}, 30, 0, 1, ""},
        {"exactly the limit is full", {{"T_1_demo.log", MiB, 1}}, 1, 0, 2, ""},
        {"one byte less is continued", {{"T_1_demo.log", MiB - 1, 1}}, 1, 0, 1, "T_1_demo.log"},
        {"ids compared as numbers", {{"T_2_demo.log", MiB, 1}, {"T_10_demo.log", MiB, 1}}, 1, 0, 11, ""},
        {"a larger id is kept", {{"T_3_demo.log", MiB, 1}}, 1, 20, 21, ""},
        {"suffix in any case, only files",
         {{"old.log/", 0, 1}, {"app.LOG", 10, 5}, {"app.log.1", 10, 1}, {"T_4_x.txt", 10, 1}}, 30, 0, 0, "app.LOG"},
        {"hidden files count", {{".T_7_demo.log", MiB, 1}}, 1, 0, 8, ""},
        {"creation date, not name date", {{"20000101_9_demo.log", MiB, 1}}, 1, 0, 10, ""},
        {"an id that is no number", {{"T_x_demo.log", 10, 1}}, 30, 0, 0, "T_x_demo.log"},
        {"another program's file", {{"T_5_other.log", 10, 1}}, 30, 0, 5, "T_5_other.log"},
        {"same time: first by name", {{"T_1_b.log", 10, 3}, {"T_1_A.log", 10, 3}}, 30, 0, 1, "T_1_A.log"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        for (const Entry& e : row.entries) {
            QString name = e.name;
            name.replace(QRegularExpression("^(\\.?)T"), "\\1" + today());
            if (name.endsWith('/')) {
                ASSERT_TRUE(QDir().mkdir(dir.file(name)));
                continue;
            }
            writeSizedFile(dir.file(name), e.size);
            setModified(dir.file(name), e.ageMinutes);
        }
        LogerTestAccess::config().m_strLogPath = dir.path();
        LogerTestAccess::config().m_nMegaByte = row.megabytes;
        LogerTestAccess::maxId() = row.previousId;
        LogerTestAccess::createNewLogName();
        EXPECT_EQ(LogerTestAccess::maxId(), row.id);
        QString continued = row.continued;
        continued.replace(QRegularExpression("^T"), today());
        EXPECT_EQ(LogerTestAccess::continued(), continued.isEmpty() ? QStringList() : QStringList{dir.file(continued)});
    }
}

TEST(NameSelection, IgnoresFilesNotCreatedToday)
{
    TempDir dir;
    if (!linkToOldFile(dir.file(today() + "_4_demo.log")))
        GTEST_SKIP() << "no file created on another day to link to";
    DebugCapture debug;
    LogerTestAccess::config().m_strLogPath = dir.path();
    LogerTestAccess::createNewLogName();
    EXPECT_EQ(LogerTestAccess::maxId(), 1u);
    EXPECT_TRUE(LogerTestAccess::continued().isEmpty());
    EXPECT_EQ(debug.indexOf("Found already existed logfiles: 0 \"" + dir.file(today())), 0);
}

TEST(NameSelection, ReportsAMissingDirectoryAndListsAPathWithoutSeparator)
{
    TempDir dir;
    DebugCapture debug;
    LogerTestAccess::config().m_strLogPath = dir.file("missing");
    LogerTestAccess::createNewLogName();
    EXPECT_EQ(LogerTestAccess::maxId(), 1u);
    EXPECT_EQ(debug.messages(),
              QStringList{"current dir is not exists!，will create new dir ! \"" + dir.file("missing") + "\""});

    writeFile(dir.file(today() + "_3_demo.log"), "x");
    LogerTestAccess::config().m_strLogPath = dir.path().chopped(1);
    LogerTestAccess::createNewLogName();
    EXPECT_EQ(LogerTestAccess::continued(), QStringList{dir.file(today() + "_3_demo.log")});
    EXPECT_EQ(debug.messages().last(), "current existing filesname Max id: 3");
}

TEST(Rollover, StartsTheNextFileAfterTheRecordThatFillsOne)
{
    TempDir dir;
    ASSERT_TRUE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path() + "logs/", "demo", 1)));
    const QString first = dir.file("logs/" + today() + "_1_demo.log");
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 1, std::string(MiB - 200, 'a'));
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 2, std::string(500, 'b'));
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 3, std::string("next"));
    EXPECT_EQ(readLines(first).size(), 2);
    EXPECT_GT(QFileInfo(first).size(), MiB);
    EXPECT_EQ(fileNames(dir.file("logs")), QStringList({today() + "_1_demo.log", today() + "_2_demo.log"}));
    EXPECT_TRUE(readLines(dir.file("logs/" + today() + "_2_demo.log")).value(0).endsWith("[next]"));
}

TEST(Opening, UsesAPathWithoutSeparatorAsPrefix)
{
    TempDir dir;
    ASSERT_TRUE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path() + "demo")));
    EXPECT_TRUE(QFileInfo(dir.file("demo")).isDir());
    EXPECT_EQ(LogerTestAccess::fileName(), dir.file("demo" + today() + "_1_demo.log"));
}

TEST(Opening, ARegularFileWhereTheDirectoryMustGoFailsEveryTime)
{
    TempDir dir;
    writeFile(dir.file("taken"), "a file, not a directory");
    DebugCapture debug;
    EXPECT_FALSE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path() + "taken/")));
    EXPECT_TRUE(debug.contains("mkpath logpath error ,please check it! \"" + dir.path() + "taken/\""));
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 1, std::string("lost"));
    EXPECT_EQ(debug.messages().last(), "get log instance failed!");
    EXPECT_NE(LogerTestAccess::thread(), pthread_t(0)); // started all the same
}

TEST(Opening, ADirectoryWhereTheFileMustGoLosesRecordsUntilItIsGone)
{
    TempDir dir;
    const QString blocked = dir.file(today() + "_1_demo.log");
    ASSERT_TRUE(QDir().mkdir(blocked));
    DebugCapture debug;
    EXPECT_FALSE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path())));
    EXPECT_EQ(debug.indexOf("create log file error ,please check it! \"" + blocked + "\" \""),
              debug.messages().size() - 1);
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 1, std::string("lost"));
    EXPECT_EQ(debug.messages().last(), "get log instance failed!");
    ASSERT_TRUE(QDir().rmdir(blocked));
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 2, std::string("kept"));
    EXPECT_EQ(debug.messages().last(), "create logfile ok! file is : \"" + blocked + "\"");
    EXPECT_EQ(readLines(blocked).size(), 1);
    // A failed start may be tried again.
    EXPECT_TRUE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path())));
}

TEST(Restart, ContinuesTodaysFileInTheNextProcess)
{
    TempDir dir;
    for (int run = 0; run < 2; ++run) {
        const ChildResult r = runHost({"init-record", dir.path().toStdString(), "demo", "30", "5", "log", "3", "10"});
        ASSERT_EQ(r.out, "init:1\nuninit begin...uninit end...") << r.err;
    }
    EXPECT_EQ(fileNames(dir.path()), QStringList{today() + "_1_demo.log"});
    EXPECT_EQ(readLines(dir.file(today() + "_1_demo.log")).size(), 6);
}

TEST(DateChange, StartsADayWithId1OrId2AfterAFullFile)
{
    if (!haveFaketime())
        GTEST_SKIP() << "libfaketime is not installed";
    struct Row
    {
        const char* firstDayBytes;
        QStringList files;
    } rows[] = {
        {"100", {"20291231_1_demo.log", "20300101_1_demo.log"}},
        {"1100000", {"20291231_1_demo.log", "20300101_2_demo.log"}},
    };
    for (const Row& row : rows) {
        TempDir dir;
        const ChildResult r = runHost({"init-record", dir.path().toStdString(), "demo", "1", "5", "log", "1",
                                       row.firstDayBytes, "next-day", "log", "1", "5"},
                                      shiftedClock(secondsUntil("2029-12-31 23:59:58"), 10));
        ASSERT_EQ(r.out, "init:1\nuninit begin...uninit end...") << r.err;
        EXPECT_EQ(fileNames(dir.path()), row.files) << row.firstDayBytes;
    }
}
