// Log files older than the retention period are deleted at start-up. Ages
// come from a clock shifted in a host process: creation times cannot be set.
#include "support.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace
{
const long long day = 86400;

// Starts a host in `dir` with the clock `age` seconds ahead; returns the
// files left besides the one the host opened, or {"not run"}.
QStringList startAged(const TempDir& dir, const QString& days, long long age, bool asNobody = false)
{
    const Child r = runHost({"init-record", dir.path, "demo", "30", days}, shiftedClock(age), {}, asNobody);
    if (!r.out.startsWith("init:")) // a failed start has passed retention already
        return {"not run"};
    return fileNames(dir.path).filter(QRegularExpression("^(?!\\d{8}_1_demo\\.log$)"));
}
} // namespace

TEST(Retention, DeletesLogFilesFromTheDayTheyExpire)
{
    if (!haveFaketime())
        GTEST_SKIP() << "libfaketime is not installed";
    // link.log is a link to x.txt: never removed, and x.txt keeps its mode.
    const QStringList logs = {".hidden.log", "OLD.LOG", "a.log"}, others = {"link.log", "x.log.1", "x.txt"};
    const struct
    {
        QString days;
        long long age;
        bool deleted;
    } rows[] = {{"7", 7 * day, true},
                {"7", 7 * day - 60, false},
                {"1", day, true},
                {"49711", day, false}, // the period in 32 bits would wrap to 17.5 hours
                {"49711", 49710 * day, false}};
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

TEST(Retention, AFileThatCannotBeDeletedDoesNotStopThePass)
{
    if (!haveFaketime() || getuid() != 0)
        GTEST_SKIP() << "needs libfaketime, and root to act as another user";
    // The host runs as nobody: a.log is root's, b.log nobody's. Files left
    // keep their mode, also one whose mode could be changed but that could
    // not be removed.
    const std::pair<mode_t, QStringList> rows[] = {
        {01777, {"a.log"}},         // sticky, open to all: nobody removes only b.log
        {0755, {"a.log", "b.log"}}, // closed to nobody: b.log's mode may change, it cannot go
    };
    for (const auto& [dirMode, left] : rows) {
        TempDir dir;
        chmod(QFile::encodeName(dir.path).constData(), dirMode);
        writeFile(dir.file("a.log"), "root's\n");
        writeFile(dir.file("b.log"), "nobody's\n");
        ASSERT_EQ(chown(QFile::encodeName(dir.file("b.log")).constData(), 65534, 65534), 0);
        const QFile::Permissions mode = QFile::permissions(dir.file("b.log"));
        const QStringList found = startAged(dir, "1", 2 * day, true);
        if (found == QStringList{"not run"})
            GTEST_SKIP() << "the host cannot be reached as user nobody here";
        EXPECT_EQ(found, left) << dirMode;
        for (const QString& name : found)
            EXPECT_EQ(QFile::permissions(dir.file(name)), mode) << name.toStdString();
    }
}
