// Which file a line goes to: continuing today's file, new ids, rollover by
// size and date, directories that cannot be used, and retention.
#include "support.h"
#include "logger_extras.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimeZone>

#include <sched.h>
#include <sys/mount.h>
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
    QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup); // as the logger makes them
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
        QStringList limits = {}; // handed over before the start
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
        // Kept 5 days by creation time, not by its times set back.
        {"modified 10 days before it was created", {{T + "_3_demo.log", 9, 10 * 24 * 60}}, "30", T + "_3_demo.log"},
        // Disk limits at a restart never take the file about to be continued.
        {"over the total size", {{T1, 3 * MiB, 1}}, "30", T1, {"limits", "0", "2", "0", "-1"}},
        {"short of free space", {{T1, 9, 1}}, "30", T1, {"limits", "0", "0", "2147483647", "-1"}},
    };
    for (const auto& row : rows) {
        TempDir dir;
        for (const File& f : row.files)
            if (f.name.endsWith('/'))
                QDir().mkdir(dir.file(f.name));
            else
                makeFile(dir.file(f.name), f.size, f.minutesOld);
        const QMap<QString, qint64> before = sizes(dir.path);
        const Child r =
            runHost(row.limits + QStringList{"init-record", dir.path, "demo", row.megabytes, "5", "log", "1", "10"});
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
    QFile::setPermissions(dir.file(T1), QFile::ReadOwner | QFile::WriteOwner);
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

TEST(DirectoryMoved, TheNextRecordGoesToTheDirectoryAtThePathWithANote)
{
    // The host's commands after it started in $D/above/logs/ and logged one record; then, a second on,
    // one more. $F in a pattern is the log file's path.
    const QString moved = "\\[WARN \\] .* went to $F there, ", last = "\\[xxxxxx\\]$";
    const struct
    {
        const char* what;
        QStringList steps;
        QString movedTo; // where the first record is then, with this many lines
        int movedLines;
        QStringList lines; // patterns of the lines at the path afterwards
    } rows[] = {
        // clang-format off
        {"moved away", {"mv", "$D/above/logs", "$D/above/old"}, "above/old/", 1, {moved, last}},
        {"moved, and another made in its place", {"mv", "$D/above/logs", "$D/above/old", "mkdir", "$D/above/logs"},
         "above/old/", 1, {moved, last}},
        {"its parent moved, and another made in its place",
         {"mv", "$D/above", "$D/moved", "mkdir", "$D/above", "mkdir", "$D/above/logs"}, "moved/logs/", 1,
         {moved, last}},
        {"deleted with its file", {"remove", "$F", "remove", "$D/above/logs"}, "", 0,
         {"\\[WARN \\] .*\\[1 record\\(s\\) went to the previous file, deleted or replaced since\\]$", last}},
        // Records since the last look went with it; one lost while a file stood at the path.
        {"moved, a file in its place until the next look", {"next-second", "log", "1", "5", "mv", "$D/above/logs",
         "$D/above/old", "touch", "$D/above/logs", "next-second", "log", "1", "4", "remove", "$D/above/logs"},
         "above/old/", 2, {moved + "1 of them since the last look\\]$",
         "\\[ERR  \\] .*\\[1 record\\(s\\) lost before this line: Not a directory\\]$", last}},
        // clang-format on
    };
    for (const auto& row : rows) {
        TempDir dir;
        const QString logs = dir.file("above/logs/");
        QStringList steps = row.steps;
        steps.replaceInStrings("$F", logs + T1).replaceInStrings("$D", dir.path.chopped(1));
        const Child r = runHost(QStringList{"init-record", logs, "demo", "30", "5", "log", "1", "5"} + steps +
                                QStringList{"next-second", "log", "1", "6", "where"});
        EXPECT_TRUE(r.out.startsWith("init:1\n")) << row.what << r.err.toStdString();
        if (!row.movedTo.isEmpty()) {
            EXPECT_EQ(readLines(dir.file(row.movedTo + T1)).size(), row.movedLines) << row.what;
        }
        const QStringList lines = readLines(logs + T1);
        ASSERT_EQ(lines.size(), row.lines.size()) << row.what << '\n' << lines.join('\n').toStdString();
        for (int i = 0; i < lines.size(); ++i) {
            const QString pattern = QString(row.lines[i]).replace("$F", QRegularExpression::escape(logs + T1));
            EXPECT_TRUE(lines[i].contains(QRegularExpression(pattern))) << row.what << ": " << lines[i].toStdString();
        }
        EXPECT_TRUE(r.out.contains("file:" + logs + T1 + "\n")) << row.what << r.out.toStdString();
    }
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
    // Only this user's files named as log files go; 20000103_1_link.log links
    // to x.txt: never removed, and x.txt keeps its mode.
    const QStringList logs = {"20000101_2_demo.log", "20000102_7_other.log"},
                      others = {"20000103_1_link.log", "20000104_3_nobody.log", "OLD.LOG", "a.log", "x.log.1", "x.txt"};
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
        // Modified at the host's now: age is by creation time.
        const timespec touched{time(nullptr) + row.age, 0}, times[2] = {touched, touched};
        for (const QString& name : logs + others)
            if (name != others[0]) {
                writeFile(dir.file(name), "old line\n");
                utimensat(AT_FDCWD, QFile::encodeName(dir.file(name)).constData(), times, 0);
            }
        chown(QFile::encodeName(dir.file(others[1])).constData(), 65534, 65534); // another user's (as root)
        QFile::link("x.txt", dir.file(others[0]));
        const QFile::Permissions mode = QFile::permissions(dir.file("x.txt"));
        QDir().mkdir(dir.file("sub.log"));
        EXPECT_EQ(startAged(dir, row.days, row.age), (row.deleted ? QStringList() : logs) + others)
            << row.days.toStdString() << " days, age " << row.age;
        EXPECT_TRUE(QFileInfo(dir.file("sub.log")).isDir());
        EXPECT_EQ(QFile::permissions(dir.file("x.txt")), mode);
    }
}

namespace
{
// Makes `file` a mount point, seen by this test and its children only: then
// no user, root included, can remove it. False where no mount namespace can
// be had (not root).
bool makeUnremovable(const QString& file)
{
    const QByteArray path = QFile::encodeName(file);
    return privateMounts() && mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) == 0;
}
} // namespace

TEST(Retention, AFileThatCannotBeDeletedDoesNotStopThePassAndKeepsItsMode)
{
    // Both files expired; a, listed first, cannot go, b can.
    const QString a = "20000101_2_a.log", b = "20000101_2_b.log";
    const struct
    {
        const char* what;
        bool asNobody; // the host runs as nobody: a is root's, b nobody's
        mode_t dirMode;
        bool mounted; // a is a mount point
        bool starts;
        QStringList left;
    } rows[] = {
        {"a mount point", false, 0755, true, true, {a}},
        {"sticky, open to all: nobody removes only b, its own", true, 01777, false, true, {a}},
        // Closed to nobody, the host cannot make its own file there: retention ran all the same.
        {"closed to nobody: neither can go, and neither mode changes", true, 0755, false, false, {a, b}},
    };
    int ran = 0;
    for (const auto& row : rows) {
        if (row.asNobody && !nobodyAvailable())
            continue;
        TempDir dir;
        chmod(QFile::encodeName(dir.path).constData(), row.dirMode);
        writeFile(dir.file(a), "root's\n");
        writeFile(dir.file(b), "nobody's\n");
        ASSERT_EQ(row.asNobody ? chown(QFile::encodeName(dir.file(b)).constData(), 65534, 65534) : 0, 0);
        if (row.mounted && !makeUnremovable(dir.file(a)))
            continue;
        const QFile::Permissions mode = QFile::permissions(dir.file(a));
        EXPECT_EQ(startAged(dir, "1", 2 * day, row.asNobody, row.starts), row.left) << row.what;
        for (const QString& name : row.left)
            EXPECT_EQ(QFile::permissions(dir.file(name)), mode) << row.what << ' ' << name.toStdString();
        if (row.mounted)
            umount2(QFile::encodeName(dir.file(a)).constData(), MNT_DETACH);
        ++ran;
    }
    if (ran == 0)
        GTEST_SKIP() << "needs root: for a mount namespace, or to run the host as user nobody through setpriv";
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
