// Which file a line goes to: continuing today's file, new ids, rollover by
// size and date, restarts, and directories that cannot be used.
#include "support.h"

#include <gtest/gtest.h>

#include <QDate>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace testing_support;

namespace
{
const qint64 MiB = 1024 * 1024, GiB = 1024 * MiB;
const QString T = today(); // files made by a test are created today

void setAge(const QString& file, int minutes)
{
    const timespec when{time(nullptr) - minutes * 60, 0}, times[2] = {when, when};
    ASSERT_EQ(utimensat(AT_FDCWD, QFile::encodeName(file).constData(), times, 0), 0);
}
} // namespace

TEST(NameSelection, ContinuesTheNewestFileOfTodayBelowTheLimit)
{
    struct File
    {
        QString name; // a trailing "/" makes a directory
        qint64 size;
        int minutesOld;
    };
    struct Row
    {
        const char* what;
        std::vector<File> files;
        unsigned megabytes;
        uint64_t previousId, id;
        QString continued; // empty: a new file
    } rows[] = {
        {"worked example",
         {{T + "_1_demo.log", 10 * MiB, 150}, {T + "_2_demo.log", 200 * 1024, 60}},
         10,
         0,
         2,
         T + "_2_demo.log"},
        {"all full", {{T + "_1_demo.log", 10 * MiB, 150}, {T + "_2_demo.log", 10 * MiB, 60}}, 10, 0, 3, ""},
        {"empty", {}, 30, 0, 1, ""},
        {"exactly the limit is full", {{T + "_1_demo.log", MiB, 1}}, 1, 0, 2, ""},
        {"a byte less is continued", {{T + "_1_demo.log", MiB - 1, 1}}, 1, 0, 1, T + "_1_demo.log"},
        // Sizes and limits past 2 and 4 GiB (sparse files) stay 64-bit on 32-bit targets too.
        {"3 GiB over 1 MiB", {{T + "_1_demo.log", 3 * GiB, 1}}, 1, 0, 2, ""},
        {"a limit of 4096 MiB", {{T + "_1_demo.log", MiB, 1}}, 4096, 0, 1, T + "_1_demo.log"},
        {"4 GiB less a byte", {{T + "_1_demo.log", 4 * GiB - 1, 1}}, 4096, 0, 1, T + "_1_demo.log"},
        {"exactly 4 GiB", {{T + "_1_demo.log", 4 * GiB, 1}}, 4096, 0, 2, ""},
        {"4 GiB and 10 bytes", {{T + "_1_demo.log", 4 * GiB + 10, 1}}, 5000, 0, 1, T + "_1_demo.log"},
        {"ids as numbers", {{T + "_2_demo.log", MiB, 1}, {T + "_10_demo.log", MiB, 1}}, 1, 0, 11, ""},
        {"a larger id is kept", {{T + "_3_demo.log", MiB, 1}}, 1, 20, 21, ""},
        {"suffix in any case, files only",
         {{"old.log/", 0, 1}, {"app.LOG", 9, 5}, {"a.log.1", 9, 1}},
         30,
         0,
         0,
         "app.LOG"},
        {"hidden files", {{"." + T + "_7_demo.log", MiB, 1}}, 1, 0, 8, ""},
        {"creation date, not name date", {{"20000101_9_demo.log", MiB, 1}}, 1, 0, 10, ""},
        {"an id that is no number", {{T + "_x_demo.log", 9, 1}}, 30, 0, 0, T + "_x_demo.log"},
        {"another program's file", {{T + "_5_other.log", 9, 1}}, 30, 0, 5, T + "_5_other.log"},
        {"same time: first by name", {{T + "_1_b.log", 9, 3}, {T + "_1_A.log", 9, 3}}, 30, 0, 1, T + "_1_A.log"},
    };
    for (const Row& row : rows) {
        TempDir dir;
        for (const File& f : row.files) {
            if (f.name.endsWith('/')) {
                QDir().mkdir(dir.file(f.name));
                continue;
            }
            writeFile(dir.file(f.name), {}, f.size);
            setAge(dir.file(f.name), f.minutesOld);
        }
        LogerTestAccess::config().m_strLogPath = dir.path;
        LogerTestAccess::config().m_nMegaByte = row.megabytes;
        LogerTestAccess::maxId() = row.previousId;
        LogerTestAccess::createNewLogName();
        EXPECT_EQ(LogerTestAccess::maxId(), row.id) << row.what;
        EXPECT_EQ(LogerTestAccess::continued(),
                  row.continued.isEmpty() ? QStringList() : QStringList{dir.file(row.continued)})
            << row.what;
    }
}

TEST(NameSelection, IgnoresFilesNotCreatedTodayAndReportsAMissingDirectory)
{
    TempDir dir;
    const QString old = "/usr/share/common-licenses/GPL-3"; // seen through a link: created long ago
    if (LogerDetail::CreatedTime(QFileInfo(old)).date() == QDate::currentDate() ||
        !QFile::link(old, dir.file(T + "_4_demo.log")))
        GTEST_SKIP() << "no file created on another day to link to";
    LogerTestAccess::config().m_strLogPath = dir.path.chopped(1); // listed all the same
    debugMessages().clear();
    LogerTestAccess::createNewLogName();
    EXPECT_EQ(LogerTestAccess::maxId(), 1u);
    EXPECT_TRUE(LogerTestAccess::continued().isEmpty());
    EXPECT_TRUE(debugMessages().value(0).startsWith("Found already existed logfiles: 0 \"" + dir.file(T)));

    LogerTestAccess::config().m_strLogPath = dir.file("missing");
    debugMessages().clear();
    LogerTestAccess::createNewLogName();
    EXPECT_EQ(LogerTestAccess::maxId(), 2u);
    EXPECT_EQ(debugMessages(),
              QStringList{"current dir is not exists!，will create new dir ! \"" + dir.file("missing") + "\""});
}

TEST(Rollover, StartsTheNextFileAfterTheRecordThatFillsOne)
{
    TempDir dir;
    ASSERT_TRUE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path + "new/dir/", "demo", 1)));
    for (int size : {int(MiB) - 200, 500, 4})
        Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 1, std::string(size_t(size), 'a'));
    const QString first = dir.file("new/dir/" + T + "_1_demo.log");
    EXPECT_EQ(readLines(first).size(), 2);
    EXPECT_GT(QFileInfo(first).size(), MiB);
    EXPECT_TRUE(readLines(dir.file("new/dir/" + T + "_2_demo.log")).value(0).endsWith("   [aaaa]"));
}

TEST(Rollover, AppendsPast4GiBAndThenStartsTheNextFile)
{
    TempDir dir;
    const QString first = dir.file(T + "_1_demo.log");
    writeFile(first, {}, 4 * GiB - 100);
    ASSERT_TRUE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path, "demo", 4096)));
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 1, std::string(200, 'a')); // crosses 4 GiB
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 2, std::string("next"));
    QFile f(first);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly) && f.seek(4 * GiB - 100));
    const QByteArray appended = f.readAll();
    EXPECT_TRUE(appended.startsWith("[") && appended.endsWith(QByteArray(200, 'a') + "]\n"));
    EXPECT_EQ(appended.count('\n'), 1);
    EXPECT_TRUE(readLines(dir.file(T + "_2_demo.log")).value(0).endsWith("[next]"));
}

TEST(Opening, UsesAPathWithoutSeparatorAsAPrefix)
{
    TempDir dir;
    ASSERT_TRUE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path + "demo")));
    EXPECT_TRUE(QFileInfo(dir.file("demo")).isDir());
    EXPECT_EQ(LogerTestAccess::fileName(), dir.file("demo" + T + "_1_demo.log"));
}

TEST(Opening, ARegularFileWhereTheDirectoryMustGoFailsEveryTime)
{
    TempDir dir;
    writeFile(dir.file("taken"), "a file, not a directory");
    debugMessages().clear();
    EXPECT_FALSE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path + "taken/")));
    EXPECT_TRUE(debugMessages().contains("mkpath logpath error ,please check it! \"" + dir.path + "taken/\""));
    EXPECT_NE(LogerTestAccess::thread(), pthread_t(0)); // started all the same
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 1, std::string("lost"));
    EXPECT_EQ(debugMessages().last(), "get log instance failed!");
}

TEST(Opening, ADirectoryWhereTheFileMustGoLosesRecordsUntilItIsGone)
{
    TempDir dir;
    const QString blocked = dir.file(T + "_1_demo.log");
    QDir().mkdir(blocked);
    debugMessages().clear();
    EXPECT_FALSE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path)));
    EXPECT_TRUE(debugMessages().last().startsWith("create log file error ,please check it! \"" + blocked + "\" \""));
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 1, std::string("lost"));
    EXPECT_EQ(debugMessages().last(), "get log instance failed!");
    QDir().rmdir(blocked);
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 2, std::string("kept"));
    EXPECT_EQ(debugMessages().last(), "create logfile ok! file is : \"" + blocked + "\"");
    EXPECT_EQ(readLines(blocked).size(), 1);
    EXPECT_TRUE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path))); // a failed start may be retried
}

TEST(Opening, WritesAgainOnceAFailedWriteCanSucceed)
{
    TempDir dir;
    ASSERT_TRUE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path)));
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 1, std::string("before"));
    // The file size limit of the process makes the next write fail for real.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit saved = limit;
    limit.rlim_cur = rlim_t(QFileInfo(LogerTestAccess::fileName()).size());
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 2, std::string("delayed"));
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 3, std::string("after"));
    const QStringList lines = readLines(LogerTestAccess::fileName());
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[1].endsWith("[delayed]") && lines[2].endsWith("[after]"));
}

TEST(Restart, ContinuesTodaysFileInTheNextProcess)
{
    TempDir dir;
    for (int run = 0; run < 2; ++run)
        EXPECT_EQ(runHost({"init-record", dir.path, "demo", "30", "5", "log", "3", "10"}).out,
                  "init:1\nuninit begin...uninit end...");
    EXPECT_EQ(fileNames(dir.path), QStringList{T + "_1_demo.log"});
    EXPECT_EQ(readLines(dir.file(T + "_1_demo.log")).size(), 6);
}

TEST(DateChange, StartsTheNewDayWithId1OrAfterAFullFileWithId2)
{
    if (!haveFaketime())
        GTEST_SKIP() << "libfaketime is not installed";
    const std::pair<QString, QStringList> rows[] = {{"100", {"20291231_1_demo.log", "20300101_1_demo.log"}},
                                                    {"1100000", {"20291231_1_demo.log", "20300101_2_demo.log"}}};
    for (const auto& [firstDayBytes, files] : rows) {
        TempDir dir;
        const Child r =
            runHost({"init-record", dir.path, "demo", "1", "5", "log", "1", firstDayBytes, "next-day", "log", "1", "5"},
                    shiftedClock(secondsUntil("2029-12-31 23:59:55"), 10));
        EXPECT_TRUE(r.out.startsWith("init:1\n")) << r.err.toStdString();
        EXPECT_EQ(fileNames(dir.path), files);
    }
}
