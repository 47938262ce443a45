// Log files older than the retention period are deleted at start-up. File
// ages come from a shifted clock in a child process: creation times cannot
// be set.
#include "support.h"

#include <gtest/gtest.h>

#include <QDir>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace
{
const long long day = 86400;
const QStringList candidates = {".hidden.log", "a.log", "OLD.LOG"};
const QStringList others = {"x.log.1", "x.txt"};

void populate(const TempDir& dir)
{
    for (const QString& name : candidates + others)
        writeFile(dir.file(name), "old line\n");
    QDir().mkdir(dir.file("sub.log"));
}

// Starts a host in `dir` with the clock `age` seconds ahead; returns the
// files left, without the one the host opened.
QStringList startAged(const TempDir& dir, const char* days, long long age, int uid = -1, bool* ran = nullptr)
{
    const ChildResult r =
        runHost({"init-record", dir.path().toStdString(), "demo", "30", days}, shiftedClock(age), {}, uid);
    if (ran != nullptr)
        *ran = r.out.rfind("init:", 0) == 0;
    else
        EXPECT_EQ(r.out.substr(0, 7), "init:1\n") << r.err;
    QStringList left = fileNames(dir.path());
    left.erase(std::remove_if(left.begin(), left.end(), [](const QString& n) { return n.endsWith("_1_demo.log"); }),
               left.end());
    return left;
}
} // namespace

TEST(Retention, DeletesLogFilesFromTheDayTheyExpire)
{
    if (!haveFaketime())
        GTEST_SKIP() << "libfaketime is not installed";
    struct Row
    {
        const char* days;
        long long age;
        bool deleted;
    } rows[] = {
        {"7", 7 * day, true},
        {"7", 7 * day - 60, false},
        {"1", day, true},
        {"49711", day, false}, // 49711 days in 32 bits would wrap to 17.5 hours
        {"49711", 49710 * day, false},
    };
    for (const Row& row : rows) {
        TempDir dir;
        populate(dir);
        QStringList expected = (row.deleted ? QStringList() : candidates) + others;
        expected.sort();
        EXPECT_EQ(startAged(dir, row.days, row.age), expected) << row.days << " days, age " << row.age;
        EXPECT_TRUE(QFileInfo(dir.file("sub.log")).isDir());
    }
}

TEST(Retention, AFileThatCannotBeDeletedDoesNotStopThePass)
{
    if (!haveFaketime() || getuid() != 0)
        GTEST_SKIP() << "needs libfaketime and root, to act as another user";
    const int nobody = 65534;
    TempDir dir;
    // Sticky and open to all: a user may change and delete only its own files.
    ASSERT_EQ(chmod(QFile::encodeName(dir.path()).constData(), 01777), 0);
    writeFile(dir.file("a.log"), "root's\n");
    writeFile(dir.file("b.log"), "nobody's\n");
    ASSERT_EQ(chown(QFile::encodeName(dir.file("b.log")).constData(), nobody, nobody), 0);
    bool ran = false;
    const QStringList left = startAged(dir, "1", 2 * day, nobody, &ran);
    if (!ran)
        GTEST_SKIP() << "the build tree cannot be reached as nobody here";
    EXPECT_EQ(left, QStringList{"a.log"});
}
