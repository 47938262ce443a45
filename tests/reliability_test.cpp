// What hosts meet in the field: exit while threads log, a message handler that
// logs, deleted files, links and FIFOs in the way, processes sharing a file,
// and many threads across rollovers.
#include "support.h"

#include <QRegularExpression>

#include <sys/stat.h>

using namespace testing_support;

namespace
{
const QString T1 = today() + "_1_demo.log";
const QRegularExpression wholeLine("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] \\[[A-Z ]{5}\\] \\[\\d+ *\\] \\[\\d+ *\\]  \\[[^]]*\\]   \\[.*\\]$");

// Every line of every log file in `dir`, files in the order of their ids.
QStringList allLines(const QString& dir)
{
    QStringList files = QDir(dir).entryList({"*.log"}, QDir::Files);
    std::sort(files.begin(), files.end(), [](const QString& a, const QString& b) {
        return a.section('_', 1, 1).toInt() < b.section('_', 1, 1).toInt();
    });
    QStringList lines;
    for (const QString& file : files)
        lines += readLines(dir + file);
    return lines;
}
} // namespace

TEST(HostScenario, EndsCleanlyWithWholeLines)
{
    const struct
    {
        const char* what;
        QStringList args; // after "<init> DIR demo"
        QString init;
        int records; // the host's own records (its text is x's); -1: not counted
        int files;   // more than one file: 1, one: 0, either: -1
    } rows[] = {
        {"exit while four threads log", {"1", "5", "spin-threads", "4"}, "init-record", -1, -1},
        {"a handler that logs, echo on", {"1", "5", "log", "300", "20"}, "init-echo", 300, 0},
        {"a handler that logs, across rollovers", {"1", "5", "log", "3000", "1000"}, "init-record", 3000, 1},
    };
    for (const auto& row : rows)
        for (int run = 0; run < 3; ++run) {
            TempDir dir;
            const Child r = runHost(QStringList{"capture", row.init, dir.path, "demo"} + row.args);
            EXPECT_EQ(r.exitCode, 0) << row.what << ": " << r.err.toStdString();
            const QStringList lines = allLines(dir.path);
            for (const QString& line : lines) {
                ASSERT_TRUE(wholeLine.match(line).hasMatch()) << row.what << ": " << line.toStdString();
            }
            if (row.records >= 0) {
                EXPECT_EQ(lines.filter(QRegularExpression("  \\[main\\]   \\[x+\\]$")).size(), row.records) << row.what;
            }
            if (row.files >= 0) {
                EXPECT_EQ(QDir(dir.path).entryList({"*.log"}).size() > 1, row.files == 1) << row.what;
            }
        }
}

TEST(HostScenario, NeverWritesThroughWhatIsNotARegularFile)
{
    const struct
    {
        const char* what;
        std::function<void(const TempDir&)> plant;
        bool starts;
        QStringList lines; // of T1 afterwards, "*" for a record of the host
    } rows[] = {
        {"a link to another file", [](const TempDir& d) { QFile::link(d.file("target"), d.file(T1)); }, false, {}},
        {"a FIFO", [](const TempDir& d) { mkfifo(QFile::encodeName(d.file(T1)).constData(), 0666); }, false, {}},
        {"a file that ends inside a line", [](const TempDir& d) { writeFile(d.file(T1), "cut"); }, true,
         {"cut", "*"}},
    };
    for (const auto& row : rows) {
        TempDir dir;
        writeFile(dir.file("target"), "kept\n");
        row.plant(dir);
        const Child r = runHost({"init-record", dir.path, "demo", "30", "5", "log", "1", "20"});
        EXPECT_EQ(r.out.startsWith("init:1"), row.starts) << row.what;
        EXPECT_EQ(readLines(dir.file("target")), QStringList{"kept"}) << row.what;
        if (row.starts) {
            const QStringList lines = readLines(dir.file(T1));
            ASSERT_EQ(lines.size(), row.lines.size()) << row.what;
            EXPECT_EQ(lines[0], row.lines[0]);
            EXPECT_TRUE(wholeLine.match(lines[1]).hasMatch()) << row.what;
        }
    }
}

TEST(Reliability, ADeletedFileIsMadeAgain)
{
    TempDir dir;
    Loger& log = Loger::GetLoger();
    ASSERT_TRUE(log.InitLogInfo(recordConfig(dir.path + "logs/")));
    log.addLogtoList(INFO, "f.cpp", "f", 1, std::string("first"));
    ASSERT_TRUE(QDir(dir.file("logs")).removeRecursively());
    int n = 0;
    EXPECT_TRUE(waitUntil([&] {
        log.addLogtoList(INFO, "f.cpp", "f", ++n, std::string("again"));
        return QFile::exists(dir.file("logs/" + T1));
    }));
    log.addLogtoList(INFO, "f.cpp", "f", 0, std::string("last"));
    EXPECT_TRUE(readLines(dir.file("logs/" + T1)).last().endsWith("[last]"));
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

TEST(Stress, EightThreadsAcrossRolloversEveryRecordOnceWholeInOrder)
{
    TempDir dir;
    ASSERT_TRUE(Loger::GetLoger().InitLogInfo(recordConfig(dir.path, "demo", 1)));
    const int threads = 8, perThread = LOGGER_STRESS_RECORDS;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([t, perThread] {
            for (int n = 0; n < perThread; ++n)
                Loger::GetLoger().addLogtoList(INFO, "f.cpp", "void worker()", n, "t%d n%d payload", t, n);
        });
    for (auto& w : workers)
        w.join();
    const QRegularExpression layout("^\\[.{12}\\] \\[INFO \\] \\[\\d+ *\\] \\[\\d+ *\\]  \\[worker\\]   \\[t(\\d) n(\\d+) payload\\]$");
    std::vector<int> next(threads, 0);
    const QStringList lines = allLines(dir.path);
    for (const QString& line : lines) {
        const auto m = layout.match(line);
        ASSERT_TRUE(m.hasMatch()) << line.toStdString();
        ASSERT_EQ(m.captured(2).toInt(), next[size_t(m.captured(1).toInt())]++);
    }
    EXPECT_EQ(lines.size(), threads * perThread);
    EXPECT_GT(QDir(dir.path).entryList({"*.log"}).size(), 2);
}
