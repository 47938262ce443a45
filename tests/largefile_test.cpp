// Log files and limits past 2 and 4 GiB. On 32-bit targets (armhf) long and
// a plain off_t are 32 bits, so sizes must stay 64-bit all the way. The big
// files are sparse: they take no disk space.
#include "support.h"

#include <gtest/gtest.h>

#include <QFile>

using namespace testing_support;

namespace
{
const qint64 GiB = qint64(1) << 30;
const QString T = today();

// The bytes of a file from `offset` on.
QByteArray tail(const QString& file, qint64 offset)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(offset))
        return "cannot read";
    return f.readAll();
}
} // namespace

TEST(LargeFiles, TodaysFileIsFullOrContinuedBySizesPast2And4GiB)
{
    struct Row
    {
        const char* what;
        qint64 size;
        unsigned megabytes;
        bool continued;
    } rows[] = {
        {"3 GiB, limit 1 MiB", 3 * GiB, 1, false},
        {"3 GiB, limit 4096 MiB", 3 * GiB, 4096, true},
        {"4 GiB less 1 byte, limit 4096 MiB", 4 * GiB - 1, 4096, true},
        {"exactly 4 GiB, limit 4096 MiB", 4 * GiB, 4096, false},
        {"4 GiB and 10 bytes, limit 4096 MiB", 4 * GiB + 10, 4096, false},
        {"4 GiB and 10 bytes, limit 5000 MiB", 4 * GiB + 10, 5000, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TempDir dir;
        writeFile(dir.file(T + "_1_demo.log"), {}, row.size);
        ASSERT_EQ(QFileInfo(dir.file(T + "_1_demo.log")).size(), row.size);
        LogerTestAccess::config().m_strLogPath = dir.path;
        LogerTestAccess::config().m_nMegaByte = row.megabytes;
        LogerTestAccess::maxId() = 0;
        LogerTestAccess::createNewLogName();
        EXPECT_EQ(LogerTestAccess::maxId(), row.continued ? 1u : 2u);
        EXPECT_EQ(LogerTestAccess::continued(),
                  row.continued ? QStringList{dir.file(T + "_1_demo.log")} : QStringList());
    }
}

TEST(LargeFiles, AppendsPast4GiBAndThenStartsTheNextFile)
{
    TempDir dir;
    const QString first = dir.file(T + "_1_demo.log");
    const qint64 start = 4 * GiB - 100;
    writeFile(first, {}, start);
    ASSERT_TRUE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path, "demo", 4096)));
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 1, std::string(200, 'a')); // crosses 4 GiB
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 2, std::string("next"));
    const QByteArray appended = tail(first, start);
    EXPECT_TRUE(appended.startsWith("[")) << appended.left(40).toStdString();
    EXPECT_TRUE(appended.endsWith(QByteArray(200, 'a') + "]\n")) << appended.right(40).toStdString();
    EXPECT_EQ(appended.count('\n'), 1);
    EXPECT_GT(QFileInfo(first).size(), 4 * GiB);
    EXPECT_EQ(fileNames(dir.path), QStringList({T + "_1_demo.log", T + "_2_demo.log"}));
    EXPECT_TRUE(readLines(dir.file(T + "_2_demo.log")).value(0).endsWith("[next]"));
}
