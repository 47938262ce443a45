// Records handed in from application threads become lines in the file.
#include "support.h"
#include "writelock_p.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

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

TEST(Intake, ShowsEachFieldForTheThreeIntakeForms)
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
    // The printf form's line feeds at the ends, and its text taken as UTF-8 (a bad byte as U+FFFD),
    // in the arguments and in the format's own text.
    log.addLogtoList(DEBUG, "f.cpp", "f", 13, "\nline %d\n", 13);
    log.addLogtoList(DEBUG, "f.cpp", "f", 14, "%s|%s",
                     "Gr\xc3\xbc\xc3\x9f"
                     "e",
                     "\xff");
    log.addLogtoList(DEBUG, "f.cpp", "f", 15, "\xe9 %d|%c", 15, '\xe9');
    // A format in a buffer of the host's, rebuilt between records.
    char format[16] = "name %d";
    log.addLogtoList(DEBUG, "f.cpp", "f", 16, format, 16);
    strcpy(format, "name %s");
    log.addLogtoList(DEBUG, "f.cpp", "f", 17, format, "abc");
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
                                  after("DEBUG", "14", "f", QString::fromUtf8("Grüße|\xef\xbf\xbd")),
                                  after("DEBUG", "15", "f", QString::fromUtf8("\xef\xbf\xbd 15|\xef\xbf\xbd")),
                                  after("DEBUG", "16", "f", "name 16"),
                                  after("DEBUG", "17", "f", "name abc")};
    EXPECT_EQ(fileNames(dir.path + "new/dir/"), QStringList{today() + "_1_demo.log"});
    for (const char* made : {"new", "new/dir"}) { // one level at a time, closed to other users
        struct stat st = {};
        EXPECT_EQ(stat(QFile::encodeName(dir.path + made).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0750u) << made; // the umask of the tests is 022
    }
    QFile file(dir.path + "new/dir/" + today() + "_1_demo.log");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    EXPECT_EQ(QString::fromUtf8(bytes).toUtf8(), bytes); // UTF-8 throughout: no byte written raw
    const QStringList lines = readLines(file.fileName());
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

namespace
{
// How the kernel shows a thread of this process: 'S' while it sleeps.
char threadState(pid_t tid)
{
    QFile stat(QString("/proc/self/task/%1/stat").arg(tid));
    const QByteArray text = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
    const int end = text.lastIndexOf(')');
    return end > 0 && end + 2 < text.size() ? text[end + 2] : '?';
}

long long nanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
// Waits awake, for microseconds; gives up after 10 s.
template <typename Done> void spinUntil(const Done& done)
{
    for (const long long end = nanoseconds() + 10000000000; !done() && nanoseconds() < end;) {
    }
}
} // namespace

// Every way in is tried while the lock is held. Asleep: each holder stays
// inside until every other thread that wants the lock sleeps on it. Awake:
// the holder lets go 2 or 10 µs after the other began to try, which takes it
// while waiting awake (at two free looks in a row, or at the first free
// moment), and the old holder tries again at once.
TEST(WriteLock, AdmitsOneHolderAtATime)
{
    if (threadState(gettid()) != 'R')
        GTEST_SKIP() << "no /proc/self/task here";
    LogerDetail::WriteLock lock;
    const int threads = 4, rounds = 3, awakeRounds = 400;
    std::atomic<pid_t> waiting[threads] = {}; // a thread's id while it waits for the lock
    std::atomic<int> inside{0}, overlaps{0}, entered{0};
    std::atomic<long long> askedAt[2] = {}; // when each of two threads began to try; 0 while not
    const auto holdUntilOthersSleep = [&](int self) {
        overlaps += inside++ > 0;
        EXPECT_TRUE(waitUntil([&] {
            for (int t = 0; t < threads; ++t)
                if (t != self && waiting[t] != 0 && threadState(waiting[t]) != 'S')
                    return overlaps > 0;
            return true;
        }));
        --inside;
    };
    const auto takeTurns = [&](int self) {
        for (int round = self; round < awakeRounds && overlaps == 0; round += 2) {
            spinUntil([&] { return entered == round || overlaps > 0; });
            askedAt[self] = nanoseconds();
            std::lock_guard<LogerDetail::WriteLock> hold(lock);
            askedAt[self] = 0;
            overlaps += inside++ > 0;
            ++entered;
            const long long delay = round % 4 < 2 ? 2000 : 10000;
            if (round + 1 < awakeRounds)
                spinUntil([&] {
                    const long long at = askedAt[1 - self];
                    return (at != 0 && nanoseconds() - at >= delay) || overlaps > 0;
                });
            --inside;
        }
    };
    lock.lock();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int round = 0; round < rounds; ++round) {
                waiting[t] = gettid();
                std::lock_guard<LogerDetail::WriteLock> hold(lock);
                waiting[t] = 0;
                holdUntilOthersSleep(t);
            }
        });
    EXPECT_TRUE(
        waitUntil([&] { return std::all_of(waiting, waiting + threads, [](const auto& w) { return w != 0; }); }));
    holdUntilOthersSleep(-1);
    lock.unlock();
    for (std::thread& w : workers)
        w.join();
    std::thread other(takeTurns, 1);
    takeTurns(0);
    other.join();
    EXPECT_EQ(overlaps, 0);
}
