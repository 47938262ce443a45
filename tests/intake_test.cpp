// Records handed in from application threads become lines in the file.
#include "access.h"
#include "support.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <atomic>
#include <thread>

using namespace testing_support;

namespace
{
struct Started
{
    TempDir dir;
    Loger& log = Loger::GetLoger();
    explicit Started(bool echo = false, unsigned megabytes = 30)
    {
        EXPECT_TRUE(log.InitLogInfo(recordConfig(dir.path(), "demo", megabytes, echo)));
    }
    QString file() const { return LogerTestAccess::fileName(); }
    QStringList lines() const { return readLines(file()); }
};

QString paddedThreadId()
{
    return QString::number(unsigned(pthread_self())).leftJustified(5, ' ');
}
} // namespace

TEST(Intake, WritesEveryFieldAndEchoesTheQuotedLine)
{
    Started s(true);
    DebugCapture debug;
    s.log.addLogtoList(WARN, "main.cpp", "bool Loger::SetLogLevel(em_LOG_LEVEL)", 57, "disk %s", "full");
    const QStringList lines = s.lines();
    ASSERT_EQ(lines.size(), 1);
    const QRegularExpression layout(
        "^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\] \\[WARN \\] \\[57  \\] \\[" + QRegularExpression::escape(paddedThreadId()) +
        "\\]  \\[Loger::SetLogLevel\\]   \\[disk full\\]$");
    EXPECT_TRUE(layout.match(lines[0]).hasMatch()) << lines[0].toStdString();
    EXPECT_EQ(debug.messages(), QStringList{'"' + lines[0] + '"'});
}

TEST(Intake, EdgeLineFeedsBecomeEmptyLines)
{
    Started s;
    DebugCapture debug;
    struct Row
    {
        std::string message;
        QStringList added; // "L:<text>" is a log line ending in [text]
        int debugMessages; // echo is off: only empty lines are echoed
    } rows[] = {
        {"abc\n", {"L:abc", ""}, 1},      {"\nabc", {"", "L: abc"}, 1}, {"\n", {""}, 1},
        {"\n\n", {""}, 1},                {"a\nb", {"L:a", "b]"}, 0},  {"", {}, 0},
        {std::string("ab\0cd", 5), {"L:ab"}, 0},
    };
    int before = 0;
    for (const Row& row : rows) {
        const int messagesBefore = debug.messages().size();
        s.log.addLogtoList(INFO, "f.cpp", "f", 1, row.message);
        const QStringList lines = s.lines();
        ASSERT_EQ(lines.size() - before, row.added.size()) << row.message;
        for (int i = 0; i < row.added.size(); ++i) {
            const QString& want = row.added[i];
            const QString& got = lines[before + i];
            if (want.startsWith("L:"))
                EXPECT_TRUE(got.endsWith("]   [" + want.mid(2) + (want.mid(2) == "a" ? "" : "]"))) << got.toStdString();
            else
                EXPECT_EQ(got, want);
        }
        EXPECT_EQ(debug.messages().size() - messagesBefore, row.debugMessages) << row.message;
        before = lines.size();
    }
}

TEST(Intake, FiltersByLevelAndRefusesLevelsOutOfRange)
{
    Started s;
    ASSERT_TRUE(s.log.SetLogLevel(WARN));
    const struct
    {
        int level;
        bool written;
    } rows[] = {{DEBUG, false}, {INFO, false}, {WARN, true}, {ERR, true}, {FATAL, true}, {5, false}, {-1, false}};
    for (const auto& row : rows) {
        const int before = s.lines().size();
        s.log.addLogtoList(em_LOG_LEVEL(row.level), "f.cpp", "f", 1, std::string("m"));
        EXPECT_EQ(s.lines().size() - before, row.written ? 1 : 0) << row.level;
    }
    EXPECT_TRUE(s.lines().last().contains("[FATAL]"));
    EXPECT_TRUE(s.lines().at(1).contains("[ERR  ]"));
}

TEST(Intake, PrintfFormCutsAt2048BytesAndReportsUnusableText)
{
    Started s;
    const std::string big(3000, 'y');
    const std::string empty; // a format known only at run time
    StdoutCapture out;
    s.log.addLogtoList(INFO, "f.cpp", "f", 1, "%s", big.c_str());
    s.log.addLogtoList(INFO, "f.cpp", "f", 2, "ab%ccd", 0);
    s.log.addLogtoList(INFO, "f.cpp", "f", 3, empty.c_str());
    s.log.addLogtoList(INFO, "f.cpp", "f", 4, "%s", "");
    s.log.addLogtoList(INFO, "f.cpp", "f", 5, "%lc", wint_t(0x4e2d)); // not representable in the C locale
    s.log.addLogtoList(INFO, nullptr, nullptr, -1, "null names");
    EXPECT_EQ(out.text(), "error m_szTmpFmt is empty!error m_szTmpFmt is empty!vsnprintf error,ret:-1");
    const QStringList lines = s.lines();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].endsWith("[" + QString(2048, 'y') + "]"));
    EXPECT_TRUE(lines[1].endsWith("   [ab]"));
    EXPECT_TRUE(lines[2].contains("] [4294967295] [") && lines[2].endsWith("  []   [null names]"));
}

TEST(Intake, SwitchedOffDropsEverythingBeforeLookingAtIt)
{
    TempDir dir;
    LOG_CONFIG_INFO info = recordConfig(dir.path());
    info.m_bIsWriteLog = false;
    ASSERT_TRUE(Loger::GetLoger().InitLogInfo(info));
    StdoutCapture out;
    DebugCapture debug;
    const std::string empty;
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 1, empty.c_str());
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 1, "text");
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 1, QString("text"));
    EXPECT_EQ(out.text(), "");
    EXPECT_TRUE(debug.messages().isEmpty());
    EXPECT_TRUE(readLines(LogerTestAccess::fileName()).isEmpty());
}

TEST(Intake, QStringArrivesAsUtf8)
{
    Started s;
    s.log.addLogtoList(INFO, "f.cpp", "f", 1, QString::fromUtf8("Grüße, 日志 ✓"));
    s.log.addLogtoList(INFO, "f.cpp", "f", 1, QString());
    QFile file(s.file());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    EXPECT_TRUE(bytes.endsWith("[Gr\xc3\xbc\xc3\x9f" "e, \xe6\x97\xa5\xe5\xbf\x97 \xe2\x9c\x93]\n"));
    EXPECT_EQ(bytes.count('\n'), 1);
}

TEST(Intake, EightThreadsWriteEveryLineWholeAndInOrder)
{
    Started s;
    const int threads = 8, perThread = 2000;
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            while (!go) {
            }
            for (int n = 0; n < perThread; ++n)
                s.log.addLogtoList(INFO, "f.cpp", "void worker()", n, "t%d n%d %s", t, n, "payload payload payload");
        });
    go = true;
    for (auto& w : workers)
        w.join();
    const QRegularExpression line("^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] \\[INFO \\] \\[\\d+ *\\] \\[\\d+ *\\]  "
                                  "\\[worker\\]   \\[t(\\d) n(\\d+) payload payload payload\\]$");
    std::vector<int> next(threads, 0);
    const QStringList lines = s.lines();
    ASSERT_EQ(lines.size(), threads * perThread);
    for (const QString& l : lines) {
        const auto m = line.match(l);
        ASSERT_TRUE(m.hasMatch()) << l.toStdString();
        const int t = m.captured(1).toInt();
        EXPECT_EQ(m.captured(2).toInt(), next[t]++) << "thread " << t;
    }
}
