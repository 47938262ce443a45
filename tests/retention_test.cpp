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
    if (!r.out.startsWith("init:1\n"))
        return {"not run"};
    return fileNames(dir.path).filter(QRegularExpression("^(?!\\d{8}_1_demo\\.log$)"));
}
} // namespace

TEST(Retention, DeletesLogFilesFromTheDayTheyExpire)
{
    if (!haveFaketime())
        GTEST_SKIP() << "libfaketime is not installed";
    const QStringList logs = {".hidden.log", "OLD.LOG", "a.log"}, others = {"x.log.1", "x.txt"};
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
            writeFile(dir.file(name), "old line\n");
        QDir().mkdir(dir.file("sub.log"));
        EXPECT_EQ(startAged(dir, row.days, row.age), (row.deleted ? QStringList() : logs) + others)
            << row.days.toStdString() << " days, age " << row.age;
        EXPECT_TRUE(QFileInfo(dir.file("sub.log")).isDir());
    }
}

TEST(Retention, AFileThatCannotBeDeletedDoesNotStopThePass)
{
    if (!haveFaketime() || getuid() != 0)
        GTEST_SKIP() << "needs libfaketime, and root to act as another user";
    TempDir dir;
    // Sticky and open to all: nobody may change and delete only its own files.
    chmod(QFile::encodeName(dir.path).constData(), 01777);
    writeFile(dir.file("a.log"), "root's\n");
    writeFile(dir.file("b.log"), "nobody's\n");
    ASSERT_EQ(chown(QFile::encodeName(dir.file("b.log")).constData(), 65534, 65534), 0);
    const QStringList left = startAged(dir, "1", 2 * day, true);
    if (left == QStringList{"not run"})
        GTEST_SKIP() << "the host cannot be reached as user nobody here";
    EXPECT_EQ(left, QStringList{"a.log"});
}
