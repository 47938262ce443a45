// What hosts meet in the field: exit while threads log, a message handler that
// logs, deleted files, links and FIFOs in the way, processes sharing a file,
// and many threads across rollovers.
#include "support.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include "logger_extras.h"

#include <sys/stat.h>

#include <cstring>

using namespace testing_support;

namespace
{
const QString T1 = today() + "_1_demo.log", T2 = today() + "_2_demo.log";

// The columns of the table below, named where they stand.
struct Records
{
    int count; // how many match the pattern in the log files, each once; -1: not counted
};
struct Echoed
{
    int lines; // on the terminal; -1: not counted
};
enum class Files
{
    one,
    several,
    either
};
} // namespace

// Its rows in four shards, each a test of its own: under emulation the
// whole table takes longer than one test's time.
class HostScenarioRows : public testing::TestWithParam<int>
{
};

TEST_P(HostScenarioRows, EndsCleanlyWithWholeLinesAndEveryRecordOnce)
{
    const QString own = "  \\[main\\]   \\[(x+)\\]$", qt = "\\[(\\w+) *\\] .*  \\[main\\]   \\[q (\\d+ (\\d+)) x*\\]$";
    const QString T1 = "DIR/" + ::T1;
    const struct
    {
        const char* what;
        QStringList args; // "DIR/" stands for the directory
        QString records;  // a pattern of the host's records; for Qt messages, its group names each
        Records expected;
        Files files;
        Echoed echoed;
    } rows[] = {
        // clang-format off
        {"a handler of the host's that logs, echo on",
         {"capture", "init-echo", "DIR/", "demo", "1", "5", "log", "300", "20"},
         "  \\[main\\]   \\[(x{20})\\]$", Records{300}, Files::one, Echoed{-1}},
        {"a handler of the host's across rollovers",
         {"capture", "init-record", "DIR/", "demo", "1", "5", "log", "3000", "1000"},
         own, Records{3000}, Files::several, Echoed{-1}},
        {"writing off", {"init-off", "DIR/", "demo", "1", "5", "log", "3", "10"},
         own, Records{0}, Files::one, Echoed{0}},
        {"rollover after the stop", {"init-record", "DIR/", "demo", "1", "5", "uninit", "log", "3000", "1000"},
         own, Records{3000}, Files::several, Echoed{0}},
        {"moved away and a new file at the path", {"init-record", "DIR/", "demo", "30", "5", "log", "3", "10",
         "mv", T1, T1 + ".1", "touch", T1, "next-second", "log", "5", "10"},
         own, Records{5}, Files::either, Echoed{0}},
        {"moved away", {"init-echo", "DIR/", "demo", "30", "5", "log", "3", "10",
         "mv", T1, "DIR/old", "next-second", "log", "5", "10"},
         own, Records{5}, Files::either, Echoed{8}},
        {"truncated", {"init-record", "DIR/", "demo", "1", "5", "log", "900", "1000",
         "truncate", T1, "next-second", "log", "500", "1000"},
         own, Records{500}, Files::one, Echoed{0}},
        {"Qt capture, echo on",
         {"init-echo", "DIR/", "demo", "1", "5", "qt-capture", "log", "50", "1", "qlog", "1", "300", "0"},
         qt, Records{300}, Files::one, Echoed{350}},
        {"Qt capture across rollovers, called twice", // the second call does nothing
         {"init-record", "DIR/", "demo", "1", "5", "qt-capture", "qt-capture", "qlog", "1", "3000", "1000"},
         qt, Records{3000}, Files::several, Echoed{0}},
        {"Qt capture from four threads, echo on",
         {"init-echo", "DIR/", "demo", "1", "5", "qt-capture", "qlog", "4", "300", "0"},
         qt, Records{1200}, Files::one, Echoed{1200}},
        {"the queue across rollovers, a handler of the host's that logs",
         {"queue", "64", "wait", "capture", "init-record", "DIR/", "demo", "1", "5", "log", "3000", "1000"},
         own, Records{3000}, Files::several, Echoed{-1}},
        {"the queue full of long lines, echo on, the callers wait for room", {"queue", "16", "wait", "stall-echo",
         "init-echo", "DIR/", "demo", "30", "5", "release-at", "16", "log", "100", "300"},
         "  \\[main\\]   \\[(x{300})\\]$", Records{100}, Files::one, Echoed{100}},
        {"exit() from the echo on the writer thread, records queued",
         {"queue", "256", "wait", "init-echo", "DIR/", "demo", "30", "5", "exit-in-echo", "100"},
         "  \\[main\\]   \\[(exit \\d+)\\]$", Records{100}, Files::one, Echoed{0}},
        {"a thread with a 16 KiB stack logs 1 MiB lines under a 64 KiB function text",
         {"init-record", "DIR/", "demo", "30", "5", "small-stack", "1048576"},
         "  \\[f{255}\\]   \\[yyy", Records{3}, Files::one, Echoed{-1}},
        // clang-format on
    };
    const QStringList levels = {"DEBUG", "INFO", "WARN", "ERR"}; // of qDebug, qInfo, qWarning, qCritical
    int index = 0;
    for (const auto& row : rows) {
        if (index++ % 4 != GetParam())
            continue;
        TempDir dir;
        const Child r = runHost(inDir(row.args, dir.path));
        EXPECT_EQ(r.exitCode, 0) << row.what << ": " << r.err.toStdString();
        const QStringList lines = logLines(dir.path);
        QSet<QString> distinct;
        int found = 0;
        for (const QString& line : lines) {
            ASSERT_TRUE(wholeLine.match(line).hasMatch()) << row.what << ": " << line.toStdString();
            const auto m = QRegularExpression(row.records).match(line);
            if (m.hasMatch()) {
                ++found;
                distinct.insert(row.records == qt ? m.captured(2) : QString::number(found));
                if (row.records == qt) {
                    EXPECT_EQ(m.captured(1), levels[m.captured(3).toInt() % 4]) << row.what;
                }
            }
        }
        const QStringList err = r.err.split('\n');
        if (row.records == qt) { // the logger's own echo is never captured again; every message is handed on
            EXPECT_TRUE(lines.filter(QRegularExpression("   \\[\"\\[")).isEmpty()) << row.what;
            EXPECT_EQ(err.filter(QRegularExpression("^q \\d+ \\d+ ")).size(), row.expected.count) << row.what;
        }
        if (row.echoed.lines >= 0) {
            EXPECT_EQ(err.filter(QRegularExpression("^\"\\[")).size(), row.echoed.lines) << row.what;
        }
        if (row.expected.count >= 0) {
            EXPECT_EQ(found, row.expected.count) << row.what;
            EXPECT_EQ(distinct.size(), row.expected.count) << row.what;
        }
        if (row.files != Files::either) {
            EXPECT_EQ(QDir(dir.path).entryList({"*.log"}).size() > 1, row.files == Files::several) << row.what;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shard, HostScenarioRows, testing::Range(0, 4));

TEST(HostScenario, QFatalIsWrittenAtFatalBeforeItEndsTheProcess)
{
    TempDir dir;
    EXPECT_NE(runHost({"init-record", dir.path, "demo", "1", "5", "qt-capture", "qfatal"}, {}, dir.path).exitCode, 0);
    EXPECT_TRUE(
        readLines(dir.file(T1)).value(0).contains(QRegularExpression("\\[FATAL\\] .*  \\[main\\]   \\[q fatal\\]$")));
}

TEST(HostScenario, ChildrenForkedWhileFourThreadsLogLogNormally)
{
    for (const QStringList& before : {QStringList{}, QStringList{"queue", "64", "wait"}}) { // the parent's queue too
        const TempDir dir;
        const Child r =
            runHost(before + QStringList{"init-record", dir.path, "demo", "1", "5", "fork-while-logging", "4", "3", "1000"});
        EXPECT_TRUE(r.out.contains("children:3")) << r.out.toStdString() << r.err.toStdString();
        QSet<QString> records;
        for (const QString& line : logLines(dir.path).filter("[child]")) {
            ASSERT_TRUE(wholeLine.match(line).hasMatch()) << line.toStdString();
            const auto m = QRegularExpression("  \\[child\\]   \\[child (\\d+ \\d+)\\]$").match(line);
            if (m.hasMatch())
                records.insert(m.captured(1));
        }
        EXPECT_EQ(records.size(), 3000) << before.join(' ').toStdString();
    }
}

TEST(HostScenario, ExitWhileFourThreadsLogLosesNoRecordThatReturned)
{
    // With a queue larger than the writer takes at once, and its echo stalled
    // at the exit until the queue is full: most of it waits to be written.
    for (const QStringList& before : {QStringList{"init-record"}, QStringList{"queue", "4096", "wait", "init-echo"}}) {
        const TempDir dir;
        const Child r = runHost(before + QStringList{dir.path, "demo", "1", "5", "exit-while-logging", "4"});
        ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
        const QStringList returned = r.out.section("returned: ", 1).section('\n', 0, 0).split(' ');
        ASSERT_EQ(returned.size(), 4) << r.out.toStdString();
        std::vector<long> next(4, 0); // each thread's records from n0 on, in order, none missing
        for (const QString& line : logLines(dir.path)) {
            ASSERT_TRUE(wholeLine.match(line).hasMatch()) << line.toStdString();
            const auto m = QRegularExpression("  \\[spin\\]   \\[t(\\d) n(\\d+)\\]$").match(line);
            if (m.hasMatch()) {
                ASSERT_EQ(m.captured(2).toLong(), next[size_t(m.captured(1).toInt())]++) << line.toStdString();
            }
        }
        for (size_t t = 0; t < 4; ++t)
            EXPECT_GE(next[t], returned[int(t)].toLong()) << "thread " << t << " " << before.join(' ').toStdString();
    }
}

// The writer thread: the same bytes as the callers write, what it drops told
// exactly, a record at the sync level on the disk when its call returns.
TEST(Queue, WritesTheBytesTheCallersWouldHaveWritten)
{
    if (runCommand({"setarch", "-R", "true"}).exitCode != 0)
        GTEST_SKIP() << "setarch -R is not available";
    // The clock stands still and the addresses (the thread's id) are the same in both runs.
    QString files[2];
    for (int queued = 0; queued < 2; ++queued) {
        const TempDir dir;
        const Child r = runCommand(
            QStringList{"setarch", "-R"} +
            hostCommand({"queue", queued ? "64" : "0", "wait", "init-record", dir.path, "demo", "1", "5", "log", "3000",
                         "1000", "log", "30", "600", "err", "5", "10", "log", "1000", "1000"},
                        fakeClock({"FAKETIME=2026-12-04 10:00:00"})));
        ASSERT_TRUE(r.out.startsWith("init:1")) << r.err.toStdString();
        for (const QString& name : QDir(dir.path).entryList({"*.log"}, QDir::Files, QDir::Name))
        {
            QFile file(dir.file(name));
            file.open(QIODevice::ReadOnly);
            files[queued] += name + "\n" + QString::fromUtf8(file.readAll());
        }
    }
    EXPECT_GT(files[0].count("_demo.log\n"), 2);
    EXPECT_TRUE(files[0] == files[1]);
}

TEST(Queue, AFullQueueDropsAndTellsExactlyHowManyOrItsCallersWaitAndLoseNone)
{
    // The writer stalls in the echo of a record while 100 are made; with
    // drop, one more after it resumed tells of those dropped before it.
    const struct
    {
        QStringList args;
        bool drops;
    } rows[] = {
        {{"queue", "16", "drop", "stall-echo", "init-echo", "DIR/", "demo", "30", "5", "log", "100", "10", "release",
          "log", "1", "10"},
         true},
        {{"queue", "16", "wait", "stall-echo", "init-echo", "DIR/", "demo", "30", "5", "release-at", "16", "log", "100",
          "10"},
         false},
    };
    for (const auto& row : rows) {
        const TempDir dir;
        const Child r = runHost(inDir(row.args, dir.path) + QStringList{"uninit", "queue-status", "status"});
        ASSERT_TRUE(r.out.startsWith("init:1")) << r.err.toStdString();
        const QStringList lines = logLines(dir.path);
        const long long told = lostTold(lines, ENOBUFS);
        EXPECT_EQ(told > 0, row.drops) << r.out.toStdString();
        EXPECT_EQ(lines.filter("  [main]   [xxxxxxxxxx]").size() + told, row.drops ? 101 : 100);
        EXPECT_EQ(printed(r, "dropped"), told);
        EXPECT_EQ(printed(r, "lost"), told);
        EXPECT_EQ(printed(r, "high"), 16);
        EXPECT_EQ(printed(r, "waited"), row.drops ? 0 : 1);
    }
}

TEST(Queue, AnErrAtTheSyncLevelIsInTheFileWhenItsCallReturns)
{
    const TempDir dir;
    // The writer stalls in the echo of the first record until two more wait.
    const Child r = runHost({"queue", "16", "wait", "stall-echo", "limits", "0", "0", "0", "3", "init-echo", dir.path,
                             "demo", "30", "5", "log", "1", "10", "release-at", "2", "err-on-disk", "5"});
    EXPECT_TRUE(r.out.contains("on-disk:5\n")) << r.out.toStdString() << r.err.toStdString();
}

TEST(Queue, ARunCutByALoweredLimitThatCannotBeCutBackIsNeverWrittenTwice)
{
    // Today's file is append-only (no cut-back), and the size limit is lowered
    // unseen, early in a second: the writer's next run of lines crosses it.
    // The file is large, so that the limit does not stop the host's stderr.
    const TempDir dir;
    writeFile(dir.file(T1), QByteArray(100000, 'o') + "\n");
    QFile::setPermissions(dir.file(T1), QFile::ReadOwner | QFile::WriteOwner);
    if (runCommand({"chattr", "+a", dir.file(T1)}).exitCode != 0)
        GTEST_SKIP() << "chattr +a needs root and a file system that keeps the attribute";
    const Child r = runHost({"queue", "64", "wait", "stall-echo", "init-echo", dir.path, "demo", "30", "5",
                             "next-second", "log", "1", "100", "fsize-soft", "+5000", "release-at", "63", "log", "64",
                             "100", "release", "status"});
    runCommand({"chattr", "-a", dir.file(T1)});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    QSet<QString> lineNumbers;
    int records = 0;
    for (const QString& line : logLines(dir.path)) {
        const auto m = QRegularExpression("\\] \\[(\\d+) *\\] \\[\\d+ *\\]  \\[main\\]   \\[x{100}\\]$").match(line);
        records += m.hasMatch();
        lineNumbers << m.captured(1);
    }
    EXPECT_EQ(records, 65); // the first record's line number, 0, comes again in the 64
    EXPECT_EQ(lineNumbers.size() - 1, 64);
    EXPECT_GE(QDir(dir.path).entryList({"*.log"}).size(), 2);
}

TEST(HostScenario, NeverWritesThroughWhatIsNotARegularFile)
{
    const struct
    {
        const char* what;
        std::function<void(const TempDir&)> plant;
        QString file;      // where the host's records go; what sits at T1 is passed over
        QStringList lines; // of that file afterwards, "*" for a record of the host
    } rows[] = {
        {"a link to another file",
         [](const TempDir& d) { QFile::link(d.file("target"), d.file(T1)); },
         T2,
         {"*", "*", "*"}},
        {"a FIFO",
         [](const TempDir& d) { mkfifo(QFile::encodeName(d.file(T1)).constData(), 0666); },
         T2,
         {"*", "*", "*"}},
        {"a file that ends inside a line",
         [](const TempDir& d) {
             writeFile(d.file(T1), "cut");
             QFile::setPermissions(d.file(T1), QFile::ReadOwner | QFile::WriteOwner);
         },
         T1,
         {"cut", "*", "*", "*"}},
    };
    for (const auto& row : rows) {
        TempDir dir;
        writeFile(dir.file("target"), "kept\n");
        row.plant(dir);
        const Child r = runHost({"init-record", dir.path, "demo", "30", "5", "log", "3", "20"});
        EXPECT_EQ(r.exitCode, 0) << row.what; // ended by itself, never stuck
        EXPECT_TRUE(r.out.startsWith("init:1")) << row.what;
        EXPECT_EQ(readLines(dir.file("target")), QStringList{"kept"}) << row.what;
        const QStringList lines = readLines(dir.file(row.file));
        ASSERT_EQ(lines.size(), row.lines.size()) << row.what;
        for (int i = 0; i < lines.size(); ++i) { // the cut line ended once, no empty line after
            if (row.lines[i] == "*")
                EXPECT_TRUE(wholeLine.match(lines[i]).hasMatch()) << row.what;
            else
                EXPECT_EQ(lines[i], row.lines[i]) << row.what;
        }
    }
}

TEST(Reliability, TwoProcessesNeverTearEachOthersLongLines)
{
    TempDir dir;
    ASSERT_TRUE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path, "demo", 100)));
    const pid_t child = fork(); // both write to the one file
    const std::string text(40000, child == 0 ? 'c' : 'p');
    for (int n = 0; n < 300; ++n)
        Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", n, text);
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    const QStringList lines = readLines(dir.file(T1));
    ASSERT_EQ(lines.size(), 600);
    for (const QString& line : lines)
        EXPECT_TRUE(line.endsWith("[" + QString(40000, 'c') + "]") || line.endsWith("[" + QString(40000, 'p') + "]"));
}

TEST(Reliability, BytesOfAnotherWriterCountTowardsTheLimit)
{
    TempDir dir;
    const std::string text(1000, 'p');
    ASSERT_TRUE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path, "demo", 1)));
    for (int n = 0; n < 600; ++n)
        Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", n, text);
    // Another process continues the file and fills it; its bytes count here too.
    EXPECT_TRUE(runHost({"init-record", dir.path, "demo", "1", "5", "log", "600", "1000"}).out.startsWith("init:1"));
    ASSERT_TRUE(waitForNextSecond());
    for (int n = 0; n < 600; ++n)
        Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", n, text);
    EXPECT_EQ(logLines(dir.path).size(), 1800);
    for (const QString& name : QDir(dir.path).entryList({"*.log"}))
        EXPECT_LT(QFileInfo(dir.file(name)).size(), 1024 * 1024 + 1100) << name.toStdString();
}

// Without and with the writer thread's queue of that many records.
class EightThreads : public testing::TestWithParam<unsigned int>
{
};

TEST_P(EightThreads, AcrossRolloversWriteEveryRecordOnceWholeAndInOrder)
{
    TempDir dir;
    LOGER_QUEUE queue;
    queue.m_nRecords = GetParam();
    SetLogerQueue(queue);
    ASSERT_TRUE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path, "demo", 1)));
    const int threads = 8, perThread = LOGGER_STRESS_RECORDS;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([t, perThread] {
            for (int n = 0; n < perThread; ++n)
                Loger::GetLoger().addLogtoList(INFO, "f.cpp", "void worker()", n, "t%d n%d %s", t, n, "payload");
        });
    for (auto& w : workers)
        w.join();
    Loger::GetLoger().unInit(); // what is queued is written
    const QRegularExpression layout("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] \\[INFO \\] \\[\\d+ *\\] \\[\\d+ *\\]  "
                                    "\\[worker\\]   \\[t(\\d) n(\\d+) payload\\]$");
    std::vector<int> next(threads, 0);
    const QStringList lines = logLines(dir.path);
    for (const QString& line : lines) {
        const auto m = layout.match(line);
        ASSERT_TRUE(m.hasMatch()) << line.toStdString();
        ASSERT_EQ(m.captured(2).toInt(), next[size_t(m.captured(1).toInt())]++);
    }
    EXPECT_EQ(lines.size(), threads * perThread);
    EXPECT_GT(QDir(dir.path).entryList({"*.log"}).size(), 2);
}

INSTANTIATE_TEST_SUITE_P(Queue, EightThreads, testing::Values(0u, 64u));

TEST(Reliability, ARecordWithoutMemoryIsLostAndCountedNotThrown)
{
    if (!QString(LOGGER_TEST_EMULATOR).isEmpty())
        GTEST_SKIP() << "qemu-user does not apply RLIMIT_AS";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators do not throw std::bad_alloc";
#endif
    // 200 MB of text fit in the host's 300 MB more, its copy in a line does not.
    const TempDir dir;
    const Child r = runHost(
        {"init-record", dir.path, "demo", "30", "5", "limit-memory", "300", "log", "1", "200000000", "log", "1", "5"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QStringList lines = readLines(dir.file(T1));
    ASSERT_EQ(lines.size(), 2) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines[0].contains(QRegularExpression("^\\[[0-9:.]+\\] \\[ERR  \\].*\\[1 record")))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].endsWith("  [main]   [xxxxx]")) << lines[1].toStdString();
}
