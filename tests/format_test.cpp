// Pure rules of a line and of file names, without the process-wide logger.
#include "support.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <sstream>

TEST(LineFormat, PadsFieldsAndWritesLongOnesWhole)
{
    struct Row
    {
        const char* level;
        unsigned line, tid;
        std::string message;
    } rows[] = {{"WARN", 57, 812, "disk full"}, {"ERR", 7, 1, "short"}, {"DEBUG", 12345, 4294967295u, "long"},
                {"FATAL", 0, 12345, "température €"}, {"INFO", 1, 2, "100% %1 %2 [x]"}};
    for (const Row& row : rows) {
        std::ostringstream expected; // built apart from the formatter under test
        expected << "[09:05:03.042] [" << std::left << std::setw(5) << row.level << "] [" << std::setw(4) << row.line
                 << "] [" << std::setw(5) << row.tid << "]  [Loger::SetLogLevel]   [" << row.message << ']';
        QString line = "stale text";
        LogerDetail::FormatLogLine(line, "09:05:03.042", row.level, QString::number(row.line),
                                   QString::number(row.tid), "Loger::SetLogLevel", row.message.c_str(),
                                   row.message.size());
        EXPECT_EQ(line.toStdString(), expected.str());
    }
}

TEST(LineFormat, CutsTheBareFunctionName)
{
    const std::pair<std::string, std::string> rows[] = {
        {"bool Loger::SetLogLevel(em_LOG_LEVEL)", "Loger::SetLogLevel"}, {"main", "main"}, {"(int)", ""},
        {"int f (int)", ""}, {"const char* Loger::getClsFnName(const string&)", "Loger::getClsFnName"},
        {"void f(a (b))", "f"}};
    for (const auto& [text, name] : rows) {
        size_t begin = 0, count = 0;
        const bool cut = LogerDetail::FindFunctionName(text, begin, count);
        EXPECT_EQ(cut ? text.substr(begin, count) : text, name) << text;
    }
}

TEST(FileName, ReadsTheIdFromTheSecondField)
{
    const struct
    {
        const char* name;
        bool hasField;
        uint64_t id;
    } rows[] = {{"20261204_1_demo.log", true, 1}, {"20261204_12_my_app.log", true, 12},
                {"20261204_x_demo.log", true, 0}, {".20261204_7_demo.log", true, 7},
                {"app.log", false, 0}, {"20261204_99999999999999999999_a.log", true, 0},
                {"20261204_9223372036854775807_a.log", true, 9223372036854775807ull}};
    for (const auto& row : rows) {
        bool hasField = false;
        EXPECT_EQ(LogerDetail::LogIdFromFileName(row.name, hasField), row.id) << row.name;
        EXPECT_EQ(hasField, row.hasField) << row.name;
    }
}
