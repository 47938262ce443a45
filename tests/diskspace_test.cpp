// A device that never restarts: old files go by name date, by total size and
// for free space, a full disk is told without leaving a piece of a line, and
// records at a chosen level reach the disk at once.
#include "support.h"

#include <QDate>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <sched.h>
#include <sys/mount.h>

using namespace testing_support;

namespace
{
const qint64 MiB = 1024 * 1024;

QString iniFile(const TempDir& dir, const QString& keys)
{
    writeFile(dir.file("demo.ini"), ("[CommConfig]\nOverDays=3\n[LogConfig]\nLogName=demo\nLogPath=" + dir.path +
                                     "\nIsPrintScreen=false\n" + keys)
                                        .toUtf8());
    return dir.file("demo.ini");
}

qint64 totalSize(const QString& dir)
{
    qint64 total = 0;
    for (const QString& name : fileNames(dir))
        total += QFileInfo(dir + name).size();
    return total;
}

// A tmpfs of `size` at `dir`, seen by this test process and its children
// only; false where no mount namespace can be had (not root).
bool mountSmallDisk(const QString& dir, const char* size)
{
    return privateMounts() && mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0, size) == 0;
}
} // namespace

TEST(DiskSpace, RetainWhileRunningKeepsTheLastDaysByTheirNames)
{
    // 30 days of about 3 MiB each, four days a second.
    TempDir dir;
    const Child r =
        runHost({"init-ini", iniFile(dir, "OneLogMaxSizeMB=1\nRetainWhileRunning=true\n"), "days", "30", "1000", "128"},
                fakeClock({"FAKETIME=+0 x345600"}));
    ASSERT_TRUE(r.out.startsWith("init:1\n")) << r.err.toStdString();
    const QDate end = QDate::fromString(QString::number(printed(r, "date")), "yyyyMMdd");
    QSet<QString> dates;
    for (const QString& name : fileNames(dir.file("log/")))
        dates << name.left(8);
    EXPECT_EQ(dates, QSet<QString>({end.toString("yyyyMMdd"), end.addDays(-1).toString("yyyyMMdd"),
                                    end.addDays(-2).toString("yyyyMMdd"), end.addDays(-3).toString("yyyyMMdd")}));
}

TEST(DiskSpace, MaxTotalSizeKeepsTheNewestFilesWithinIt)
{
    TempDir dir;
    // An own file of two days before the host's today, by name and creation, with a higher id than
    // today's get: it goes first. Another program's file stays.
    writeFile(dir.file(today() + "_999_demo.log"), {}, MiB);
    writeFile(dir.file("notes.log"), "not this log's\n");
    const QString hostToday = QDate::currentDate().addDays(2).toString("yyyyMMdd");
    const Child r = runHost(
        {"limits", "0", "5", "0", "-1", "init-record", dir.path, "demo", "1", "5", "log", "20000", "1000", "status"},
        fakeClock({"FAKETIME=+2d"}));
    ASSERT_TRUE(r.out.startsWith("init:1\n")) << r.err.toStdString();
    EXPECT_EQ(printed(r, "written"), 20000);
    EXPECT_EQ(printed(r, "lost"), 0);
    const QStringList files = fileNames(dir.path).filter(QRegularExpression("^" + hostToday + "_\\d+_demo\\.log$"));
    EXPECT_EQ(fileNames(dir.path), QStringList(files) << "notes.log");
    const qint64 own = totalSize(dir.path) - QFileInfo(dir.file("notes.log")).size();
    EXPECT_EQ(printed(r, "logbytes"), own); // every file of this log, the current one too
    EXPECT_LE(own, 6 * MiB + 2000);         // 5 MiB, and the file being written
    EXPECT_GE(own, 4 * MiB);
    // The newest ids are the ones left.
    int newest = 0;
    for (const QString& name : files)
        newest = std::max(newest, name.section('_', 1, 1).toInt());
    for (const QString& name : files)
        EXPECT_GT(name.section('_', 1, 1).toInt(), newest - files.size()) << name.toStdString();
}

TEST(DiskSpace, ASmallDiskWithFreeSpaceKeptNeverLosesARecord)
{
    TempDir dir;
    QDir().mkdir(dir.file("log"));
    if (!mountSmallDisk(dir.file("log"), "size=4m"))
        GTEST_SKIP() << "no mount namespace here";
    // Ten times the disk's size.
    const Child r =
        runHost({"init-ini", iniFile(dir, "OneLogMaxSizeMB=1\nMinFreeSpaceMB=1\n"), "log", "40000", "1000", "status"});
    ASSERT_TRUE(r.out.startsWith("init:1\n")) << r.err.toStdString();
    EXPECT_EQ(printed(r, "written"), 40000);
    EXPECT_EQ(printed(r, "lost"), 0);
}

TEST(DiskSpace, AFullDiskThatTheLimitsDoNotAskToFreeLosesRecordsNotHistory)
{
    const struct
    {
        const char* what;
        const char* keys;
        QStringList steps; // after the start; $L is the log directory
        long long lost;    // -1: some
    } rows[] = {
        {"another program fills the disk, free space kept",
         "MinFreeSpaceMB=1\n",
         {"fill", "$L/filler", "log", "200", "100", "remove", "$L/filler"},
         200},
        {"the disk fills below the total allowed", "MaxTotalSizeMB=100\n", {"log", "3000", "1000"}, -1},
    };
    for (const auto& row : rows) {
        TempDir dir;
        QDir().mkdir(dir.file("log"));
        if (!mountSmallDisk(dir.file("log"), "size=2m"))
            GTEST_SKIP() << "no mount namespace here";
        QStringList history; // this log's own older files, 20 days of them
        for (int day = 1; day <= 20; ++day) {
            history << QString("200001%1_1_demo.log").arg(day, 2, 10, QChar('0'));
            writeFile(dir.file("log/" + history.last()), QByteArray(1000, 'h') + "\n");
        }
        QStringList steps = row.steps;
        steps.replaceInStrings("$L", dir.file("log"));
        const Child r =
            runHost(QStringList{"init-ini", iniFile(dir, row.keys)} + steps + QStringList{"log", "1", "5", "status"});
        ASSERT_TRUE(r.out.startsWith("init:1\n")) << r.err.toStdString();
        EXPECT_EQ(fileNames(dir.file("log")).mid(0, 20), history) << row.what;
        const long long lost = printed(r, "lost");
        if (row.lost >= 0) {
            EXPECT_EQ(lost, row.lost) << row.what;
        }
        EXPECT_GT(lost, 0) << row.what;
        umount(QFile::encodeName(dir.file("log")).constData());
    }
}

TEST(DiskSpace, AFullDiskWithoutLimitsTellsTheLossAndLeavesNoPieceOfALine)
{
    TempDir dir;
    QDir().mkdir(dir.file("log"));
    if (!mountSmallDisk(dir.file("log"), "size=2m"))
        GTEST_SKIP() << "no mount namespace here";
    writeFile(dir.file("log/filler"), QByteArray(512 * 1024, 'f'));
    const Child r = runHost({"init-record", dir.file("log/"), "demo", "30", "5", "log", "3000", "1000", "status",
                             "remove", dir.file("log/filler"), "log", "1", "5"});
    ASSERT_TRUE(r.out.startsWith("init:1\n")) << r.err.toStdString();
    const long long lost = printed(r, "lost");
    EXPECT_GT(lost, 0);
    const QStringList lines = readLines(dir.file("log/" + today() + "_1_demo.log"));
    ASSERT_GE(lines.size(), 2);
    for (const QString& line : lines) // one time stamp each: no piece of a line glued to the next
        ASSERT_TRUE(line.endsWith(']') &&
                    line.count(QRegularExpression("\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] \\[")) == 1)
            << "a piece of a line: " << line.left(40).toStdString();
    EXPECT_TRUE(lines[lines.size() - 2].endsWith(
        QString("]   [%1 record(s) lost before this line: No space left on device]").arg(lost)));
    EXPECT_EQ(printed(r, "errno"), ENOSPC);
    EXPECT_TRUE(lines.last().endsWith("[xxxxx]"));
}

TEST(DiskSpace, SyncLevelSyncsEachRecordAtOrAboveIt)
{
    if (runCommand({"strace", "-V"}).exitCode != 0)
        GTEST_SKIP() << "strace is not installed";
    for (const QString queue : {"", "QueueRecords=64\n"}) { // the writer thread syncs them too
        TempDir dir;
        const Child r =
            runCommand(QStringList{"strace", "-f", "-c", "-e", "trace=fdatasync", "-o", dir.file("trace")} +
                       // LeakSanitizer cannot run under a tracer.
                       hostCommand({"init-ini", iniFile(dir, "SyncLevel=ERR\n" + queue), "log", "7", "5", "err", "3", "5"},
                                   {"ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0"}));
        ASSERT_TRUE(r.out.startsWith("init:1\n")) << r.err.toStdString();
        const QStringList rows = readLines(dir.file("trace")).filter(QRegularExpression("\\sfdatasync$"));
        ASSERT_EQ(rows.size(), 1) << readLines(dir.file("trace")).join('\n').toStdString();
        EXPECT_EQ(rows[0].simplified().section(' ', 3, 3), "3") << queue.toStdString();
    }
}
