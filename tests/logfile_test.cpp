// Which file a line goes to: continuing today's file, new ids, rollover by
// size and date, directories that cannot be used, and retention.
#include "support.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimeZone>

#include <sys/resource.h>
#include <sys/stat.h>

#include <future>

using namespace testing_support;

namespace
{
const qint64 MiB = 1024 * 1024, GiB = 1024 * MiB;
const long long day = 86400;
const QString T = today(), T1 = T + "_1_demo.log", T2 = T + "_2_demo.log";

// A file of `size` bytes (sparse) last modified `minutes` ago, created after
// the one made before it: file system clocks are coarse, so it waits until
// the clock is well past that file's last status change.
void makeFile(const QString& file, qint64 size, int minutes)
{
    static QDateTime previous = QDateTime::fromMSecsSinceEpoch(0);
    ASSERT_TRUE(waitUntil([] { return QDateTime::currentDateTime() > previous.addMSecs(20); }));
    writeFile(file, {}, size);
    const timespec when{time(nullptr) - minutes * 60, 0}, times[2] = {when, when};
    ASSERT_EQ(utimensat(AT_FDCWD, QFile::encodeName(file).constData(), times, 0), 0);
    previous = QFileInfo(file).metadataChangeTime();
}

QMap<QString, qint64> sizes(const QString& dir)
{
    QMap<QString, qint64> result;
    for (const QString& name : fileNames(dir))
        result[name] = QFileInfo(dir + name).size();
    return result;
}
} // namespace

TEST(NameSelection, ARecordGoesToTheNewestFileOfTodayBelowTheLimitElseToANewId)
{
    struct File
    {
        QString name; // a trailing "/" makes a directory
        qint64 size;
        int minutesOld; // files are created in this order
    };
    const struct
    {
        const char* what;
        std::vector<File> files;
        const char* megabytes;
        QString grows;
    } rows[] = {
        {"newest below the limit", {{T1, 10 * MiB, 150}, {T2, 200 * 1024, 60}}, "10", T2},
        {"all full", {{T1, 10 * MiB, 150}, {T2, 10 * MiB, 60}}, "10", T + "_3_demo.log"},
        // Sizes and limits past 2 and 4 GiB (sparse files) stay 64-bit on 32-bit targets too.
        {"3 GiB over 1 MiB", {{T1, 3 * GiB, 1}}, "1", T2},
        {"a limit of 4096 MiB", {{T1, MiB, 1}}, "4096", T1},
        {"4 GiB and 10 bytes", {{T1, 4 * GiB + 10, 1}}, "5000", T1},
        {"ids as numbers", {{T2, MiB, 1}, {T + "_10_demo.log", MiB, 1}}, "1", T + "_11_demo.log"},
        {"any program's, suffix in any case, files only",
         {{"old.log/", 0, 0}, {"app.LOG", 9, 5}, {"a.log.1", 9, 1}},
         "30",
         "app.LOG"},
        {"hidden files", {{"." + T + "_7_demo.log", MiB, 1}}, "1", T + "_8_demo.log"},
        {"creation date, not name date", {{"20000101_9_demo.log", MiB, 1}}, "1", T + "_10_demo.log"},
        {"modified last though created first", {{T1, 9, 1}, {T2, 9, 60}}, "30", T1},
        {"modified on another day than created", {{T + "_3_demo.log", 9, 3 * 24 * 60}}, "30", T + "_3_demo.log"},
    };
    for (const auto& row : rows) {
        TempDir dir;
        for (const File& f : row.files)
            if (f.name.endsWith('/'))
                QDir().mkdir(dir.file(f.name));
            else
                makeFile(dir.file(f.name), f.size, f.minutesOld);
        const QMap<QString, qint64> before = sizes(dir.path);
        const Child r = runHost({"init-record", dir.path, "demo", row.megabytes, "5", "log", "1", "10"});
        EXPECT_EQ(r.exitCode, 0) << row.what;
        EXPECT_TRUE(r.out.startsWith("init:1\n")) << row.what;
        QMap<QString, qint64> grown = sizes(dir.path);
        for (auto it = grown.begin(); it != grown.end();)
            it = it.value() > before.value(it.key(), -1) ? ++it : grown.erase(it);
        EXPECT_EQ(grown.keys(), QStringList{row.grows}) << row.what; // appended, never cut
    }
}

TEST(Rollover, ARecordThatFillsTheFileToExactly4GiBIsTheLastInIt)
{
    TempDir dir;
    writeFile(dir.file(T1), {}, 4 * GiB - 1001);
    {
        QFile f(dir.file(T1));
        ASSERT_TRUE(f.open(QIODevice::Append) && f.write("\n") == 1); // it ends with a whole line
    }
    Loger& log = Loger::GetLoger();
    ASSERT_TRUE(log.InitLogInfo(recordConfig(dir.path, "demo", 4096)));
    log.addLogtoList(INFO, "f.cpp", "f", 1, std::string(10, 'a'));
    const qint64 line = QFileInfo(dir.file(T1)).size() - (4 * GiB - 1000); // a line with 10 bytes of text
    ASSERT_GT(line, 10);
    log.addLogtoList(INFO, "f.cpp", "f", 2, std::string(size_t(1000 - line - (line - 10)), 'b'));
    log.addLogtoList(INFO, "f.cpp", "f", 3, std::string("next"));
    EXPECT_EQ(QFileInfo(dir.file(T1)).size(), 4 * GiB);
    EXPECT_EQ(fileNames(dir.path), QStringList({T1, T2}));
    EXPECT_TRUE(readLines(dir.file(T2)).value(0).endsWith("[next]"));
}

TEST(DateChange, StartsTheNewDayWithId1OrAfterAFullFileWithId2)
{
    // The host's clock stands in the last second of a day, then at the first
    // of the next: a record stamped exactly at its first millisecond.
    const struct
    {
        const char *zone, *last, *first, *firstDayBytes;
        QStringList files;
    } rows[] = {
        // Far from UTC: the UTC date does not change at local midnight.
        {"Pacific/Kiritimati", "2029-12-31", "2030-01-01 00", "100", {"20291231_1_d.log", "20300101_1_d.log"}},
        {"Pacific/Kiritimati", "2029-12-31", "2030-01-01 00", "1100000", {"20291231_1_d.log", "20300101_2_d.log"}},
        // Summer time: after the day of 23 hours, after the day of 25, in summer,
        // and a day that begins at 01:00.
        {"Europe/Berlin", "2030-03-31", "2030-04-01 00", "100", {"20300331_1_d.log", "20300401_1_d.log"}},
        {"Europe/Berlin", "2030-10-27", "2030-10-28 00", "100", {"20301027_1_d.log", "20301028_1_d.log"}},
        {"Europe/Berlin", "2030-07-14", "2030-07-15 00", "100", {"20300714_1_d.log", "20300715_1_d.log"}},
        {"America/Santiago", "2030-09-07", "2030-09-08 01", "100", {"20300907_1_d.log", "20300908_1_d.log"}},
    };
    for (const auto& row : rows) {
        TempDir dir, clock;
        writeFile(clock.file("now"), QByteArray(row.last) + " 23:59:59");
        auto host = std::async(std::launch::async, [&] {
            return runHost(
                {"init-record", dir.path, "d", "1", "5", "log", "1", row.firstDayBytes, "next-day", "log", "1", "5"},
                fakeClock({"FAKETIME_TIMESTAMP_FILE=" + clock.file("now"), "FAKETIME_NO_CACHE=1",
                           QString("TZ=") + row.zone}));
        });
        EXPECT_TRUE(waitUntil([&] { return QFileInfo(dir.file(row.files[0])).size() > atoi(row.firstDayBytes); }));
        writeFile(clock.file("now"), QByteArray(row.first) + ":00:00"); // the host waits for a later date
        const Child r = host.get();
        EXPECT_TRUE(r.out.startsWith("init:1\n")) << r.err.toStdString();
        EXPECT_EQ(fileNames(dir.path), row.files) << row.zone << ' ' << row.first;
    }
}

TEST(Opening, AFileOrDirectoryInTheWayFailsTheStartAndLosesRecordsUntilItIsGone)
{
    TempDir dir;
    Loger& log = Loger::GetLoger();
    writeFile(dir.file("taken"), "a file, not a directory");
    EXPECT_FALSE(log.InitLogInfo(recordConfig(dir.file("taken/"))));
    EXPECT_EQ(readLines(dir.file("taken")), QStringList{"a file, not a directory"});
    QDir().mkdir(dir.file(T1));
    EXPECT_FALSE(log.InitLogInfo(recordConfig(dir.path)));
    QDir().rmdir(dir.file(T1));
    ASSERT_TRUE(log.InitLogInfo(recordConfig(dir.path))); // a failed start may be retried
    log.addLogtoList(INFO, "f.cpp", "f", 1, std::string("first"));
    // The file replaced by a directory, seen at the next second's look.
    ASSERT_TRUE(QFile::remove(dir.file(T1)) && QDir().mkdir(dir.file(T1)));
    const time_t now = time(nullptr);
    ASSERT_TRUE(waitUntil([&] { return time(nullptr) != now; }));
    log.addLogtoList(INFO, "f.cpp", "f", 2, std::string("lost"));
    QDir().rmdir(dir.file(T1));
    for (int n = 3; n <= 5; ++n)
        log.addLogtoList(INFO, "f.cpp", "f", n, std::string("kept"));
    // The new file tells of the record that went with the deleted file, then of the loss, once.
    const QStringList lines = readLines(dir.file(T1));
    ASSERT_EQ(lines.size(), 5);
    EXPECT_TRUE(lines[0].contains("] [WARN ] [") && lines[0].contains("]   [1 "));
    EXPECT_TRUE(lines[1].contains("] [ERR  ] [") && lines[1].contains("]   [1 "));
    for (int n = 2; n <= 4; ++n)
        EXPECT_TRUE(lines[n].endsWith("[kept]"));
}

TEST(Opening, AFailedWriteIsToldInTheFileAndLeavesNoPieceOfALine)
{
    TempDir dir;
    ASSERT_TRUE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path)));
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 1, std::string("before"));
    // A file size limit lowered below any line: a new file is started, and
    // the records that no file could take are lost whole.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit saved = limit;
    limit.rlim_cur = 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 2, std::string("too long"));
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 3, std::string("lost"));
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    for (int n = 4; n <= 6; ++n)
        Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", n, std::string("after"));
    EXPECT_EQ(readLines(dir.file(T1)).size(), 1);
    const QStringList lines = readLines(dir.file(today() + "_2_demo.log"));
    ASSERT_EQ(lines.size(), 4); // the loss told once, with its reason
    EXPECT_TRUE(lines[0].contains("] [ERR  ] [") && lines[0].endsWith("]   [2 record(s) lost before this line: " +
                                                                       QString(strerror(EFBIG)) + "]"));
    for (int n = 1; n <= 3; ++n)
        EXPECT_TRUE(lines[n].endsWith("[after]"));
}

TEST(Rollover, UnderAFileSizeLimitANewFileStartsBeforeALineWouldCrossIt)
{
    // SIGXFSZ keeps its default, which would end the host. The limit as the
    // hard one too, and as the soft one below an unlimited hard one.
    for (const char* command : {"fsize", "fsize-soft"}) {
        TempDir dir;
        const Child r = runHost({command, "65536", "init-record", dir.path, "demo", "1", "5", "log", "10000", "50"},
                                {"QT_LOGGING_RULES=logger.debug=false"});
        EXPECT_EQ(r.exitCode, 0) << command << r.err.toStdString();
        int lines = 0;
        for (const QString& name : fileNames(dir.path)) {
            EXPECT_LE(QFileInfo(dir.file(name)).size(), 65536) << name.toStdString();
            lines += readLines(dir.file(name)).size();
        }
        EXPECT_EQ(lines, 10000) << command;
        EXPECT_GE(fileNames(dir.path).size(), 10) << command;
    }
}

namespace
{
// Starts a host on `dir` with the clock `age` seconds ahead; returns the
// files left besides the one it opened.
QStringList startAged(const TempDir& dir, const QString& days, long long age, bool asNobody = false, bool starts = true)
{
    const Child r = runHost({"init-record", dir.path, "demo", "30", days},
                            fakeClock({QString("FAKETIME=+%1s").arg(age)}), {}, asNobody);
    EXPECT_EQ(r.out.startsWith("init:1\n"), starts) << r.err.toStdString();
    return fileNames(dir.path).filter(QRegularExpression("^(?!\\d{8}_1_demo\\.log$)"));
}
} // namespace

TEST(Retention, DeletesLogFilesFromTheDayTheyExpire)
{
    // link.log links to x.txt: never removed, and x.txt keeps its mode.
    const QStringList logs = {".hidden.log", "OLD.LOG", "a.log"}, others = {"link.log", "x.log.1", "x.txt"};
    const struct
    {
        QString days;
        long long age;
        bool deleted;
    } rows[] = {{"7", 7 * day, true},
                {"7", 7 * day - 60, false},
                {"49711", day, false}}; // the period in 32 bits would wrap to 17.5 hours
    for (const auto& row : rows) {
        TempDir dir;
        for (const QString& name : logs + others)
            if (name != "link.log")
                writeFile(dir.file(name), "old line\n");
        QFile::link("x.txt", dir.file("link.log"));
        const QFile::Permissions mode = QFile::permissions(dir.file("x.txt"));
        QDir().mkdir(dir.file("sub.log"));
        EXPECT_EQ(startAged(dir, row.days, row.age), (row.deleted ? QStringList() : logs) + others)
            << row.days.toStdString() << " days, age " << row.age;
        EXPECT_TRUE(QFileInfo(dir.file("sub.log")).isDir());
        EXPECT_EQ(QFile::permissions(dir.file("x.txt")), mode);
    }
}

TEST(Retention, AFileThatCannotBeDeletedDoesNotStopThePassAndKeepsItsMode)
{
    if (runHost({}, {}, {}, true).exitCode != 0)
        GTEST_SKIP() << "the test host cannot be run as user nobody here";
    // The host runs as nobody: a.log is root's, b.log nobody's.
    // Closed to nobody, the host cannot make its own file there: retention ran all the same.
    const std::pair<mode_t, QStringList> rows[] = {
        {01777, {"a.log"}},         // sticky, open to all: nobody removes only b.log
        {0755, {"a.log", "b.log"}}, // closed to nobody: neither can go, and neither mode changes
    };
    for (const auto& [dirMode, left] : rows) {
        TempDir dir;
        chmod(QFile::encodeName(dir.path).constData(), dirMode);
        writeFile(dir.file("a.log"), "root's\n");
        writeFile(dir.file("b.log"), "nobody's\n");
        ASSERT_EQ(chown(QFile::encodeName(dir.file("b.log")).constData(), 65534, 65534), 0);
        const QFile::Permissions mode = QFile::permissions(dir.file("b.log"));
        EXPECT_EQ(startAged(dir, "1", 2 * day, true, dirMode == 01777), left) << dirMode;
        for (const QString& name : left)
            EXPECT_EQ(QFile::permissions(dir.file(name)), mode) << name.toStdString();
    }
}

TEST(Year2038, RecordsLandInTheDaysFileAtTheirTimeOfDayARestartContinuesItRetentionAgesIt)
{
    // Past 2038-01-19, where a 32-bit time_t ends; in a zone far from UTC and
    // in one with summer time.
    for (const char* zone : {"Pacific/Kiritimati", "Europe/Berlin"}) {
        SCOPED_TRACE(zone);
        const TempDir dir;
        const qint64 at = QDateTime(QDate(2038, 6, 1), QTime(10, 0), QTimeZone(zone)).toSecsSinceEpoch();
        const QStringList env =
            fakeClock({"FAKETIME=@2038-06-01 10:00:00", QString("TZ=") + zone, "CLOCK64_AT=" + QString::number(at)});
        // The file's own times come from the real clock: at 2038-06-01 it is
        // this many days old. Kept for a month more, removed for a month less.
        const qint64 age = (at - QDateTime::currentSecsSinceEpoch()) / day;
        const struct
        {
            qint64 days;
            int lines; // in today's file after the start and one record
        } starts[] = {{age + 30, 1}, {age + 30, 2}, {age - 30, 1}};
        for (const auto& start : starts) {
            const Child r =
                runHost({"init-record", dir.path, "demo", "30", QString::number(start.days), "log", "1", "5"}, env);
            EXPECT_TRUE(r.out.startsWith("init:1\n")) << r.err.toStdString();
            EXPECT_EQ(readLines(dir.file("20380601_1_demo.log")).size(), start.lines) << start.days << " days";
        }
        EXPECT_EQ(fileNames(dir.path), QStringList{"20380601_1_demo.log"});
        for (const QString& line : readLines(dir.file("20380601_1_demo.log")))
            EXPECT_TRUE(line.contains(QRegularExpression("^\\[10:00:\\d\\d\\.\\d{3}\\] \\[INFO \\]")))
                << line.toStdString();
    }
}
