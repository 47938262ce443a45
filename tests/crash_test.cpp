// The crash trace: a host that installed it and dies leaves the reason and
// the stack at the end of its log, and dies of the same signal as without it.
#include "support.h"

#include <QRegularExpression>
#include <QTime>

using namespace testing_support;

namespace
{
struct CrashCase
{
    const char* kind;     // the test host's crash
    int signal;           // what the host must die of
    const char* reason;   // the FATAL record's message, as a pattern
    const char* function; // a frame of the trace must name it
};

const CrashCase crashCases[] = {
    {"null", SIGSEGV, "SIGSEGV at address 0x0 in thread \\d+ \\(task \\d+\\)", "CrashByNullPointer"},
    {"abort", SIGABRT, "SIGABRT sent by process \\d+ in thread \\d+ \\(task \\d+\\)", "CrashByAbort"},
    {"overflow", SIGSEGV, "SIGSEGV at address 0x[0-9a-f]+ in thread \\d+ \\(task \\d+\\)", "CrashByOverflow"},
    {"throw", SIGABRT, "uncaught exception std::runtime_error: nobody catches this in thread \\d+ \\(task \\d+\\)",
     "CrashByUncaughtException"},
};

void PrintTo(const CrashCase& c, std::ostream* out)
{
    *out << c.kind;
}

class CrashTrace : public testing::TestWithParam<CrashCase>
{
};

TEST_P(CrashTrace, LogEndsWithTheReasonAndTheStack)
{
    const CrashCase& c = GetParam();
    const TempDir dir;
    // Under AddressSanitizer the host's handler, not the sanitizer's, takes SIGSEGV.
    const Child child =
        runHost({"init-record", dir.path, "crash", "30", "5", "crash-handler", "log", "1", "5", "crash", c.kind},
                {"ASAN_OPTIONS=" + qEnvironmentVariable("ASAN_OPTIONS") + ":handle_segv=0:allow_user_segv_handler=1"});
    EXPECT_EQ(child.termSignal, c.signal) << child.err.toStdString();

    const QStringList lines = readLines(dir.file(today() + "_1_crash.log"));
    ASSERT_GE(lines.size(), 3) << lines.join('\n').toStdString();
    // The host's own record, then the trace and nothing else.
    const QString prefix =
        "^\\[(\\d\\d:\\d\\d:\\d\\d\\.\\d{3})\\] \\[FATAL\\] \\[0   \\] \\[\\d+ *\\]  \\[crash\\]   \\[";
    EXPECT_TRUE(lines[0].contains("[xxxxx]")) << lines.join('\n').toStdString();
    const QRegularExpressionMatch record = QRegularExpression(prefix + c.reason + "\\]$").match(lines[1]);
    ASSERT_TRUE(record.hasMatch()) << lines.join('\n').toStdString();
    bool named = false;
    for (int i = 2; i < lines.size(); ++i) {
        EXPECT_TRUE(lines[i].contains(QRegularExpression(prefix + "#" + QString::number(i - 2) + " 0x[0-9a-f]+ ")))
            << lines[i].toStdString();
        named = named || lines[i].contains(c.function);
    }
    EXPECT_TRUE(named) << lines.join('\n').toStdString();
    // The local time of day, as the host's record has it.
    const QTime before = QTime::fromString(lines[0].mid(1, 12), "hh:mm:ss.zzz");
    const QTime at = QTime::fromString(record.captured(1), "hh:mm:ss.zzz");
    EXPECT_LE((before.msecsTo(at) + 86400000) % 86400000, 20000)
        << lines[0].toStdString() << " / " << lines[1].toStdString();
    // And on stderr.
    EXPECT_TRUE(child.err.contains(lines[1])) << child.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Crash, CrashTrace, testing::ValuesIn(crashCases),
                         [](const testing::TestParamInfo<CrashCase>& param) { return std::string(param.param.kind); });
} // namespace
