// Records handed in from application threads become lines in the file.
#include "support.h"
#include "writelock_p.h"

#include <chrono>
#include <mutex>
#include <thread>

#include <QRegularExpression>
#include <QTime>

using namespace testing_support;

namespace
{
QStringList echoed; // the Qt debug messages since the handler was installed

// A line after its time field, built independently of the library.
QString after(const char* level, const QString& lineNo, const QString& function, const QString& message)
{
    static const QString tid = QString::number(unsigned(pthread_self())).leftJustified(5);
    return QString(" [%1] [%2] [%3]  [%4]   [%5]")
        .arg(QString(level).leftJustified(5), lineNo.leftJustified(4), tid, function, message);
}
} // namespace

TEST(Line, ShowsEachFieldForTheThreeIntakeForms)
{
    TempDir dir;
    Loger& log = Loger::GetLoger();
    LOG_CONFIG_INFO info = recordConfig(dir.path + "new/dir/");
    info.m_bIsPrintScreen = true;
    ASSERT_TRUE(log.InitLogInfo(info));
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) { echoed << text; });
    log.addLogtoList(DEBUG, "f.cpp", "f", 9, std::string("earlier"));
    // Stamped early in a later second, where a millisecond field of two digits shows.
    const int earlier = QTime::currentTime().second();
    ASSERT_TRUE(
        waitUntil([earlier] { return QTime::currentTime().second() != earlier && QTime::currentTime().msec() < 50; }));
    const QTime before = QTime::currentTime();
    log.addLogtoList(WARN, "main.cpp", "bool Loger::SetLogLevel(em_LOG_LEVEL)", 57, "disk %s", "full");
    const QTime later = QTime::currentTime();
    log.addLogtoList(ERR, "main.cpp", "main", 12345, std::string("std::string"));
    log.addLogtoList(INFO, nullptr, nullptr, -1, QString::fromUtf8("Grüße, 日志"));
    log.addLogtoList(FATAL, "f.cpp", "void f(a (b))", 1, "%s", std::string(3000, 'y').c_str());
    log.addLogtoList(DEBUG, "f.cpp", ("void " + std::string(300, 'n') + "()").c_str(), 2, std::string("ends\n"));
    log.addLogtoList(DEBUG, "f.cpp", "int f (int)", 3, QString("\nstarts"));
    log.addLogtoList(DEBUG, "f.cpp", "f", 4, "ab%ccd", 0);
    log.addLogtoList(DEBUG, "f.cpp", "f", 5, std::string("ab\0cd", 5));
    log.addLogtoList(DEBUG, "f.cpp", "f", 6, std::string("\n"));
    const char* const noText = nullptr;
    log.addLogtoList(DEBUG, "f.cpp", "f", 7, noText);
    log.addLogtoList(DEBUG, "f.cpp", "f", 8, std::string());
    // A function text in a buffer of the host's that changes between records.
    char function[32] = "void one()";
    log.addLogtoList(DEBUG, "f.cpp", function, 10, std::string("one"));
    strcpy(function, "int Twelve::two(int)");
    log.addLogtoList(DEBUG, "f.cpp", function, 11, std::string("two"));
    // The printf form's line feeds at the ends, and its text taken as UTF-8 (a bad byte as U+FFFD).
    log.addLogtoList(DEBUG, "f.cpp", "f", 13, "\nline %d\n", 13);
    log.addLogtoList(DEBUG, "f.cpp", "f", 14, "%s|%s",
                     "Gr\xc3\xbc\xc3\x9f"
                     "e",
                     "\xff");
    const QStringList expected = {after("DEBUG", "9", "f", "earlier"),
                                  after("WARN", "57", "Loger::SetLogLevel", "disk full"),
                                  after("ERR", "12345", "main", "std::string"),
                                  after("INFO", "4294967295", "", QString::fromUtf8("Grüße, 日志")),
                                  after("FATAL", "1", "f", QString(2048, 'y')),
                                  after("DEBUG", "2", QString(255, 'n'), "ends"),
                                  "",
                                  "",
                                  after("DEBUG", "3", "", " starts"),
                                  after("DEBUG", "4", "f", "ab"),
                                  after("DEBUG", "5", "f", "ab"),
                                  "",
                                  after("DEBUG", "10", "one", "one"),
                                  after("DEBUG", "11", "Twelve::two", "two"),
                                  "",
                                  after("DEBUG", "13", "f", " line 13"),
                                  "",
                                  after("DEBUG", "14", "f", QString::fromUtf8("Grüße|\xef\xbf\xbd"))};
    EXPECT_EQ(fileNames(dir.path + "new/dir/"), QStringList{today() + "_1_demo.log"});
    const QStringList lines = readLines(dir.path + "new/dir/" + today() + "_1_demo.log");
    ASSERT_EQ(lines.size(), expected.size());
    for (int i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].mid(expected[i].isEmpty() ? 0 : 14), expected[i]);
    const QTime stamp = QTime::fromString(lines[1].mid(1, 12), "hh:mm:ss.zzz");
    EXPECT_TRUE(lines[1].startsWith('[') && stamp >= before && stamp <= later) << lines[1].toStdString();
    EXPECT_EQ(echoed.value(1), '"' + lines[1] + '"');
}

TEST(Level, FiltersRecordsAndRefusesValuesOutsideDebugToFatal)
{
    TempDir dir;
    Loger& log = Loger::GetLoger();
    ASSERT_TRUE(log.InitLogInfo(recordConfig(dir.path)));
    const QStringList names = {"DEBUG", "INFO", "WARN", "ERR", "FATAL"};
    const QString refused = "ERROR_LEVEL_RANGE-[%1]";
    QStringList expected;
    for (int value : {5, -1}) {
        EXPECT_FALSE(log.SetLogLevel(em_LOG_LEVEL(value)));
        expected << after("DEBUG", "487", "Loger::SetLogLevel", refused.arg(value));
    }
    EXPECT_EQ(log.GetLogLevel(), DEBUG);
    ASSERT_TRUE(log.SetLogLevel(INFO)); // refusals from many threads at once, not written
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&log] {
            for (int n = 0; n < 20000; ++n)
                log.SetLogLevel(em_LOG_LEVEL(99));
        });
    for (std::thread& t : threads)
        t.join();
    for (em_LOG_LEVEL level : {WARN, FATAL, DEBUG}) {
        EXPECT_TRUE(log.SetLogLevel(level));
        EXPECT_EQ(log.GetLogLevel(), level);
        EXPECT_FALSE(log.SetLogLevel(em_LOG_LEVEL(9))); // its record is written only at DEBUG
        if (level == DEBUG)
            expected << after("DEBUG", "487", "Loger::SetLogLevel", refused.arg(9));
        for (int record = -1; record <= 5; ++record) {
            log.addLogtoList(em_LOG_LEVEL(record), "f.cpp", "f", 1, std::string("record"));
            if (record >= level && record <= FATAL)
                expected << after(qPrintable(names[record]), "1", "f", "record");
        }
    }
    QStringList lines = readLines(dir.file(today() + "_1_demo.log"));
    for (QString& line : lines)
        line.remove(0, 14);
    EXPECT_EQ(lines, expected);
}

// Holders now and then stay long enough that waiters give up waiting awake
// and sleep: both ways in must let one holder in at a time.
TEST(Threads, WriteLockAdmitsOneHolderAtATime)
{
    LogerDetail::WriteLock lock;
    long counter = 0; // guarded by nothing but the lock
    const int threads = 4, rounds = 20000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                std::lock_guard<LogerDetail::WriteLock> hold(lock);
                const long seen = counter;
                if (i % 2000 == 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                counter = seen + 1;
            }
        });
    for (std::thread& w : workers)
        w.join();
    EXPECT_EQ(counter, long{threads} * rounds);
}

TEST(Threads, EightThreadsWriteEveryLineWholeAndInOrder)
{
    TempDir dir;
    Loger& log = Loger::GetLoger();
    ASSERT_TRUE(log.InitLogInfo(recordConfig(dir.path)));
    const int threads = 8, perThread = 1000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int n = 0; n < perThread; ++n)
                log.addLogtoList(INFO, "f.cpp", "void worker()", n, "t%d n%d %s", t, n, "payload payload");
        });
    for (auto& w : workers)
        w.join();
    const QRegularExpression layout("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\] \\[INFO \\] \\[\\d+ *\\] \\[\\d+ *\\]  "
                                    "\\[worker\\]   \\[t(\\d) n(\\d+) payload payload\\]$");
    std::vector<int> next(threads, 0);
    const QStringList lines = readLines(dir.file(today() + "_1_demo.log"));
    ASSERT_EQ(lines.size(), threads * perThread);
    for (const QString& line : lines) {
        const auto m = layout.match(line);
        ASSERT_TRUE(m.hasMatch()) << line.toStdString();
        EXPECT_EQ(m.captured(2).toInt(), next[m.captured(1).toInt()]++);
    }
}
