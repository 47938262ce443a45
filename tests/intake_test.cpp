// Records handed in from application threads become lines in the file.
#include "support.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <thread>

using namespace testing_support;

namespace
{
struct Started
{
    TempDir dir;
    Loger& log = Loger::GetLoger();
    explicit Started(bool echo = false)
    {
        LOG_CONFIG_INFO info = recordConfig(dir.path);
        info.m_bIsPrintScreen = echo;
        EXPECT_TRUE(log.InitLogInfo(info));
        debugMessages().clear();
    }
    QStringList lines() const { return readLines(LogerTestAccess::fileName()); }
};
const QString anyTime = "\\[\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\]";
} // namespace

TEST(Intake, WritesEveryFieldAndEchoesTheQuotedLine)
{
    Started s(true);
    s.log.addLogtoList(WARN, "main.cpp", "bool Loger::SetLogLevel(em_LOG_LEVEL)", 57, "disk %s", "full");
    const QString tid = QString::number(unsigned(pthread_self())).leftJustified(5);
    ASSERT_EQ(s.lines().size(), 1);
    EXPECT_TRUE(QRegularExpression("^" + anyTime + " \\[WARN \\] \\[57  \\] \\[" + tid +
                                   "\\]  \\[Loger::SetLogLevel\\]   \\[disk full\\]$")
                    .match(s.lines()[0])
                    .hasMatch())
        << s.lines()[0].toStdString();
    EXPECT_EQ(debugMessages(), QStringList{'"' + s.lines()[0] + '"'});
}

TEST(Intake, CutsTheBareFunctionName)
{
    const std::pair<std::string, std::string> rows[] = {
        {"bool Loger::SetLogLevel(em_LOG_LEVEL)", "Loger::SetLogLevel"},
        {"main", "main"},
        {"(int)", ""},
        {"int f (int)", ""},
        {"const char* Loger::getClsFnName(const string&)", "Loger::getClsFnName"},
        {"void f(a (b))", "f"}};
    for (const auto& [text, name] : rows) {
        size_t begin = 0, count = 0;
        const bool cut = LogerDetail::FindFunctionName(text.c_str(), text.size(), begin, count);
        EXPECT_EQ(cut ? text.substr(begin, count) : text, name) << text;
    }
}

TEST(Intake, TurnsEdgeLineFeedsIntoEmptyLines)
{
    Started s;
    const struct
    {
        std::string message;
        QStringList ends; // the ends of the lines added; "" is an empty line
        int echoed;       // echo is off: only the empty lines are echoed
    } rows[] = {{"abc\n", {"   [abc]", ""}, 1},
                {"\nabc", {"", "   [ abc]"}, 1},
                {"\n", {""}, 1},
                {"\n\n", {""}, 1},
                {"a\nb", {"   [a", "b]"}, 0},
                {"", {}, 0},
                {std::string("ab\0c", 4), {"[ab]"}, 0}};
    for (const auto& row : rows) {
        const int before = s.lines().size(), echoedBefore = debugMessages().size();
        s.log.addLogtoList(INFO, "f.cpp", "f", 1, row.message);
        const QStringList added = s.lines().mid(before);
        ASSERT_EQ(added.size(), row.ends.size()) << row.message;
        for (int i = 0; i < added.size(); ++i)
            EXPECT_TRUE(row.ends[i].isEmpty() ? added[i].isEmpty() : added[i].endsWith(row.ends[i])) << row.message;
        EXPECT_EQ(debugMessages().size() - echoedBefore, row.echoed) << row.message;
    }
}

TEST(Intake, FiltersByLevelAndRefusesLevelsOutOfRange)
{
    Started s;
    ASSERT_TRUE(s.log.SetLogLevel(WARN));
    const std::pair<int, const char*> rows[] = {{DEBUG, nullptr}, {INFO, nullptr},    {WARN, "[WARN ]"},
                                                {ERR, "[ERR  ]"}, {FATAL, "[FATAL]"}, {5, nullptr},
                                                {-1, nullptr}};
    for (const auto& [level, field] : rows) {
        const int before = s.lines().size();
        s.log.addLogtoList(em_LOG_LEVEL(level), "f.cpp", "f", 1, std::string("m"));
        EXPECT_EQ(s.lines().size() - before, field ? 1 : 0) << level;
        if (field) {
            EXPECT_TRUE(s.lines().last().contains(field));
        }
    }
}

TEST(Intake, CutsPrintfTextAt2048BytesAndReportsUnusableText)
{
    Started s;
    const std::string big(3000, 'y'), empty; // a format known only at run time
    const std::string out = capturedStdout([&] {
        s.log.addLogtoList(INFO, "f.cpp", "f", 1, "%s", big.c_str());
        s.log.addLogtoList(INFO, "f.cpp", "f", 2, "ab%ccd", 0);
        s.log.addLogtoList(INFO, "f.cpp", "f", 3, empty.c_str());
        s.log.addLogtoList(INFO, "f.cpp", "f", 4, "%s", "");
        s.log.addLogtoList(INFO, "f.cpp", "f", 5, "%lc", wint_t(0x4e2d)); // not representable in the C locale
        s.log.addLogtoList(INFO, nullptr, nullptr, -1, "null names");
        s.log.addLogtoList(INFO, "f.cpp", "f", 6, QString::fromUtf8("Grüße, 日志"));
        s.log.addLogtoList(INFO, "f.cpp", ("void " + std::string(300, 'n') + "()").c_str(), 7, "long name");
    });
    EXPECT_EQ(out, "error m_szTmpFmt is empty!error m_szTmpFmt is empty!vsnprintf error,ret:-1");
    const QStringList lines = s.lines();
    ASSERT_EQ(lines.size(), 5);
    EXPECT_TRUE(lines[0].endsWith("[" + QString(2048, 'y') + "]"));
    EXPECT_TRUE(lines[1].endsWith("   [ab]"));
    EXPECT_TRUE(lines[2].contains("] [4294967295] [") && lines[2].endsWith("  []   [null names]"));
    EXPECT_TRUE(lines[3].endsWith(QString::fromUtf8("[Grüße, 日志]")));
    EXPECT_TRUE(lines[4].endsWith("  [" + QString(255, 'n') + "]   [long name]"));
}

TEST(Intake, SwitchedOffDropsEverythingBeforeLookingAtIt)
{
    TempDir dir;
    LOG_CONFIG_INFO info = recordConfig(dir.path);
    info.m_bIsWriteLog = false;
    ASSERT_TRUE(Loger::GetLoger().InitLogInfo(info));
    const std::string empty;
    EXPECT_EQ(capturedStdout([&] { Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 1, empty.c_str()); }), "");
    Loger::GetLoger().addLogtoList(INFO, "f.cpp", "f", 1, QString("text"));
    EXPECT_TRUE(readLines(LogerTestAccess::fileName()).isEmpty());
}

TEST(Intake, EightThreadsWriteEveryLineWholeAndInOrder)
{
    Started s;
    const int threads = 8, perThread = 2000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int n = 0; n < perThread; ++n)
                s.log.addLogtoList(INFO, "f.cpp", "void worker()", n, "t%d n%d %s", t, n, "payload payload");
        });
    for (auto& w : workers)
        w.join();
    const QRegularExpression layout("^" + anyTime +
                                    " \\[INFO \\] \\[\\d+ *\\] \\[\\d+ *\\]  \\[worker\\]   "
                                    "\\[t(\\d) n(\\d+) payload payload\\]$");
    std::vector<int> next(threads, 0);
    const QStringList lines = s.lines();
    ASSERT_EQ(lines.size(), threads * perThread);
    for (const QString& line : lines) {
        const auto m = layout.match(line);
        ASSERT_TRUE(m.hasMatch()) << line.toStdString();
        EXPECT_EQ(m.captured(2).toInt(), next[m.captured(1).toInt()]++);
    }
}
