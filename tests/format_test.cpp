// Pure rules of a line and of file names, without the process-wide logger.
#include "logger_p.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <sstream>

namespace
{
// The expected line, built independently of the formatter under test.
std::string expectedLine(const std::string& time, const std::string& level, unsigned line, unsigned tid,
                         const std::string& function, const std::string& message)
{
    std::ostringstream out;
    out << '[' << time << "] [" << std::left << std::setw(5) << level << "] [" << std::setw(4) << line << "] ["
        << std::setw(5) << tid << "]  [" << function << "]   [" << message << ']';
    return out.str();
}

std::string format(const std::string& time, const char* level, unsigned line, unsigned tid, const std::string& fn,
                   const std::string& message)
{
    QString out = "stale text that must go";
    LogerDetail::FormatLogLine(out, time.c_str(), level, QString::number(line), QString::number(tid), fn.c_str(),
                               message.c_str(), message.size());
    return out.toStdString();
}
} // namespace

TEST(LineFormat, MatchesTheLayoutForEveryFieldWidth)
{
    struct Row
    {
        const char* level;
        unsigned line;
        unsigned tid;
        std::string message;
    } rows[] = {
        {"WARN", 57, 812, "disk full"},
        {"ERR", 7, 1, "short fields are padded"},
        {"DEBUG", 12345, 4294967295u, "long fields are written whole"},
        {"FATAL", 0, 12345, "température €"},
        {"INFO", 1, 2, "100% [brackets] %1 %2"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.message);
        EXPECT_EQ(format("09:05:03.042", row.level, row.line, row.tid, "Loger::SetLogLevel", row.message),
                  expectedLine("09:05:03.042", row.level, row.line, row.tid, "Loger::SetLogLevel", row.message));
    }
    EXPECT_EQ(format("09:05:03.042", "WARN", 57, 812, "Loger::SetLogLevel", "disk full"),
              "[09:05:03.042] [WARN ] [57  ] [812  ]  [Loger::SetLogLevel]   [disk full]");
}

TEST(LineFormat, CutsTheBareFunctionName)
{
    struct Row
    {
        std::string text;
        std::string name;
    } rows[] = {
        {"bool Loger::SetLogLevel(em_LOG_LEVEL)", "Loger::SetLogLevel"},
        {"main", "main"},
        {"(int)", ""},
        {"int f (int)", ""},
        {"const char* Loger::getClsFnName(const string&)", "Loger::getClsFnName"},
        {"ns::Widget::run()", "ns::Widget::run"},
        {"void f(a (b))", "f"},
    };
    for (const Row& row : rows) {
        size_t begin = 0, count = 0;
        const bool cut = LogerDetail::FindFunctionName(row.text, begin, count);
        EXPECT_EQ(cut ? row.text.substr(begin, count) : row.text, row.name) << row.text;
        EXPECT_EQ(cut, row.text.find('(') != std::string::npos) << row.text;
    }
}

TEST(LineFormat, TurnsEdgeLineFeedsIntoEmptyLines)
{
    struct Row
    {
        std::string message;
        std::string adjusted;
        bool first;
        bool last;
    } rows[] = {
        {"abc", "abc", false, false},      {"abc\n", "abc", false, true},  {"\nabc", " abc", true, false},
        {"\n", " ", true, false},          {"\n\n", " ", true, true},      {"a\nb", "a\nb", false, false},
        {"\nab\n", " ab", true, true},     {"\r\n", "\r", false, true},
    };
    for (const Row& row : rows) {
        std::string text = row.message;
        size_t length = text.size();
        bool first = false, last = false;
        LogerDetail::AdjustLineFeeds(&text[0], length, first, last);
        EXPECT_EQ(text.substr(0, length), row.adjusted);
        EXPECT_EQ(first, row.first);
        EXPECT_EQ(last, row.last);
    }
}

TEST(FileName, ReadsTheIdFromTheSecondField)
{
    struct Row
    {
        const char* name;
        bool hasField;
        uint64_t id;
    } rows[] = {
        {"20261204_1_demo.log", true, 1},     {"20261204_12_my_app.log", true, 12},
        {"20261204_x_demo.log", true, 0},     {".20261204_7_demo.log", true, 7},
        {"app.log", false, 0},                {"20261204__demo.log", true, 0},
        {"20261204_18446744073709551615_a.log", true, 0},
        {"20261204_9223372036854775807_a.log", true, 9223372036854775807ull},
    };
    for (const Row& row : rows) {
        bool hasField = false;
        EXPECT_EQ(LogerDetail::LogIdFromFileName(row.name, hasField), row.id) << row.name;
        EXPECT_EQ(hasField, row.hasField) << row.name;
    }
}

TEST(FileName, JoinsDirectoryDateIdAndName)
{
    EXPECT_EQ(LogerDetail::LogFileName("/var/log/demo/", "20261204", 1, "demo"), "/var/log/demo/20261204_1_demo.log");
    EXPECT_EQ(LogerDetail::LogFileName("/var/log/demo/", "20261204", 12, "demo"), "/var/log/demo/20261204_12_demo.log");
    EXPECT_EQ(LogerDetail::LogFileName("/var/log/demo", "20261204", 1, "demo"), "/var/log/demo20261204_1_demo.log");
    EXPECT_EQ(LogerDetail::LogFileName("/l/", "20261204", 1, "demo.log"), "/l/20261204_1_demo.log.log");
    EXPECT_EQ(LogerDetail::LogFileName("/l/", "20261204", 5000000000ull, "my_app"), "/l/20261204_5000000000_my_app.log");
}
