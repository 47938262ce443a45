// The crash trace: a host that installed it and dies leaves the reason and
// the stack at the end of its log, and dies of the same signal as without it.
// Then faults that crashed, aborted or hung a host, each as a host meets it.
#include "support.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QTime>

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

using namespace testing_support;

namespace
{
struct CrashCase
{
    const char* name;
    const char* kind;             // the test host's crash
    int signal;                   // what the host must die of
    const char* reason;           // the FATAL record's message before its thread, as a pattern; PID: the host's
    const char* function;         // a frame of the trace must name it
    const char* hostSaw;          // with a SIGSEGV handler of the host's installed before: what it must see
    const char* caller = nullptr; // a frame after the function's must name it
    int maxScanned = 64;          // frames marked "scanned" (32-bit ARM) at most
};

// clang-format off
const CrashCase crashCases[] = {
    {"null", "null", SIGSEGV, "SIGSEGV at address 0x0", "CrashByNullPointer", nullptr},
    {"abort", "abort", SIGABRT, "SIGABRT sent by process \\d+", "CrashByAbort", nullptr},
    {"overflow", "overflow", SIGSEGV, "SIGSEGV at address 0x[0-9a-f]+", "CrashByOverflow", nullptr},
    {"throw", "throw", SIGABRT, "uncaught exception std::runtime_error: nobody catches this",
     "CrashByUncaughtException", nullptr},
    {"bus", "bus", SIGBUS, "SIGBUS at address 0x[0-9a-f]+", "CrashByBusError", nullptr},
    {"ill", "ill", SIGILL, "SIGILL at address 0x[0-9a-f]+", "CrashByIllegalInstruction", nullptr},
    {"kill", "kill", SIGFPE, "SIGFPE sent by process PID", "CrashByKill", nullptr},
    // The host's handler sees the fault first, as it came, and gives it up to the default.
    {"nullAfterHostHandler", "null", SIGSEGV, "SIGSEGV at address 0x0", "CrashByNullPointer",
     "host handler: 11 code 1 address 0x0"},
    // The way back to main, without words that only look like return addresses.
    {"nullToMain", "null", SIGSEGV, "SIGSEGV at address 0x0", "CrashByNullPointer", nullptr, "main", 8},
    {"throwToMain", "throw", SIGABRT, "uncaught exception std::runtime_error: nobody catches this",
     "CrashByUncaughtException", nullptr, "main", 16},
};
// clang-format on

void PrintTo(const CrashCase& c, std::ostream* out)
{
    *out << c.name;
}

QString asanLeavesSignals()
{
    return "ASAN_OPTIONS=" + qEnvironmentVariable("ASAN_OPTIONS") +
           ":handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:allow_user_segv_handler=1";
}

class CrashTrace : public testing::TestWithParam<CrashCase>
{
};

TEST_P(CrashTrace, LogEndsWithTheReasonAndTheStack)
{
    const CrashCase& c = GetParam();
    const TempDir dir;
    // Under AddressSanitizer the host's handlers, not the sanitizer's, take the signals.
    const QStringList setup = c.hostSaw != nullptr ? QStringList{"host-handler", "default"} : QStringList{};
    const Child child = runHost(setup + QStringList{"init-record", dir.path, "crash", "30", "5", "crash-handler", "log",
                                                    "1", "5", "crash", c.kind},
                                {asanLeavesSignals()});
    EXPECT_EQ(child.termSignal, c.signal) << child.err.toStdString();
    if (c.hostSaw != nullptr) {
        EXPECT_TRUE(child.err.contains(c.hostSaw)) << child.err.toStdString();
    }

    const QStringList lines = readLines(dir.file(today() + "_1_crash.log"));
    ASSERT_GE(lines.size(), 3) << lines.join('\n').toStdString();
    // The host's own record, then the trace and nothing else.
    const QString prefix =
        "^\\[(\\d\\d:\\d\\d:\\d\\d\\.\\d{3})\\] \\[FATAL\\] \\[0   \\] \\[\\d+ *\\]  \\[crash\\]   \\[";
    EXPECT_TRUE(lines[0].contains("[xxxxx]")) << lines.join('\n').toStdString();
    const QString pid =
        QRegularExpression("^pid:(\\d+)$", QRegularExpression::MultilineOption).match(child.out).captured(1);
    const QRegularExpressionMatch record =
        QRegularExpression(prefix + QString(c.reason).replace("PID", pid) + " in thread \\d+ \\(task \\d+\\)\\]$")
            .match(lines[1]);
    ASSERT_TRUE(record.hasMatch()) << lines.join('\n').toStdString();
    int named = -1, caller = -1, scanned = 0;
    for (int i = 2; i < lines.size(); ++i) {
        EXPECT_TRUE(lines[i].contains(QRegularExpression(prefix + "#" + QString::number(i - 2) + " 0x[0-9a-f]+ ")))
            << lines[i].toStdString();
        // ICU's data lies in an executable segment: never a frame.
        EXPECT_FALSE(lines[i].contains("libicudata")) << lines[i].toStdString();
        named = named < 0 && lines[i].contains(c.function) ? i : named;
        if (named >= 0 && caller < 0 && c.caller != nullptr && i > named &&
            lines[i].contains(QRegularExpression(QString(" _?") + c.caller + "\\+0x")))
            caller = i;
        scanned += lines[i].endsWith(" scanned]") ? 1 : 0;
    }
    EXPECT_GE(named, 0) << lines.join('\n').toStdString();
    EXPECT_TRUE(c.caller == nullptr || caller > named) << lines.join('\n').toStdString();
    EXPECT_LE(scanned, c.maxScanned) << lines.join('\n').toStdString();
    // The local time of day, as the host's record has it.
    const QTime before = QTime::fromString(lines[0].mid(1, 12), "hh:mm:ss.zzz");
    const QTime at = QTime::fromString(record.captured(1), "hh:mm:ss.zzz");
    EXPECT_LE((before.msecsTo(at) + 86400000) % 86400000, 20000)
        << lines[0].toStdString() << " / " << lines[1].toStdString();
    // And on stderr.
    EXPECT_TRUE(child.err.contains(lines[1])) << child.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Crash, CrashTrace, testing::ValuesIn(crashCases),
                         [](const testing::TestParamInfo<CrashCase>& param) { return std::string(param.param.name); });

// Faults that crashed, aborted or hung a host. Each row is a scenario of the
// test host ("DIR/" is the directory of its log), or, with `plugins`, of a
// host that does not link the logger and loads it with a plugin.
struct HostFault
{
    const char* name;
    QStringList args;
    int signal; // what the host must die of; 0: it ends by itself, with 0
    // What else it must show: its output and its log lines, files in the order of their ids.
    std::function<void(const Child&, const QStringList& lines, const QString& dir)> check;
    bool plugins = false;
};

const QString fatal = "\\] \\[FATAL\\] \\[0   \\] \\[\\d+ *\\]  \\[crash\\]   \\[";

const HostFault hostFaults[] = {
    {"PluginUnloadedAndAnotherLoadedAtItsAddress",
     {"DIR/", LOGGER_LIBRARY, LOGGER_PLUGIN_A, LOGGER_PLUGIN_B},
     0,
     [](const Child& r, const QStringList& lines, const QString&) {
         ASSERT_EQ(lines.size(), 2);
         EXPECT_TRUE(lines[0].endsWith("  [PluginA]   [text is the value]")) << lines[0].toStdString();
         EXPECT_TRUE(lines[1].endsWith("  [PluginB]   [42 is the value]")) << lines[1].toStdString();
         if (r.out.contains("started:1 same-address:0") && !QString(LOGGER_TEST_EMULATOR).isEmpty())
             GTEST_SKIP() << "qemu-user maps B elsewhere: B's texts never lie where A's were";
         EXPECT_TRUE(r.out.contains("started:1 same-address:1")) << r.out.toStdString();
     },
     true},
    {"ThreadsCancelledWhileTheyLog",
     {"init-record", "DIR/", "demo", "30", "5", "cancel-while-logging", "4", "log", "1", "5"},
     0,
     [](const Child& r, const QStringList& lines, const QString&) {
         EXPECT_EQ(printed(r, "cancelled"), 4);
         EXPECT_TRUE(lines.last().endsWith("  [main]   [xxxxx]")); // nobody left holding the lock
     }},
    {"CrashWhileAnotherThreadHoldsTheLoadersLock",
     {"init-record", "DIR/", "demo", "30", "5", "crash-handler", "load-blocking", LOGGER_BLOCKING_PLUGIN, "crash",
      "null"},
     SIGSEGV,
     [](const Child&, const QStringList& lines, const QString&) {
         EXPECT_EQ(lines.filter(QRegularExpression(fatal + "SIGSEGV at address 0x0 ")).size(), 1);
         EXPECT_EQ(lines.filter(QRegularExpression(fatal + "#\\d+ .*CrashByNullPointer")).size(), 1);
     }},
    {"CrashNearTheFileSizeLimit", // room for the trace's first line, not for its second
     {"init-record", "DIR/", "demo", "30", "5", "crash-handler", "log", "3", "5", "fsize-soft", "+150", "crash",
      "null"},
     SIGSEGV,
     [](const Child& r, const QStringList& lines, const QString&) {
         EXPECT_TRUE(r.err.contains(QRegularExpression(fatal + "#1 "))) << r.err.toStdString();
         ASSERT_EQ(lines.size(), 4);
         EXPECT_TRUE(lines[3].contains(QRegularExpression(fatal + "SIGSEGV at address 0x0 ")));
     }},
    {"FileSizeLimitLoweredAfterTheStart",
     {"init-record", "DIR/", "demo", "30", "5", "log", "100", "50", "fsize-soft", "2048", "log", "100", "50", "status"},
     0,
     [](const Child& r, const QStringList& lines, const QString& dir) {
         EXPECT_EQ(lines.filter(QRegularExpression("  \\[main\\]   \\[x{50}\\]$")).size(), 200);
         EXPECT_EQ(printed(r, "lost"), 0);
         for (const QString& name : fileNames(dir).filter(QRegularExpression("^\\d{8}_([2-9]|\\d\\d+)_")))
             EXPECT_LE(QFileInfo(dir + name).size(), 2048) << name.toStdString();
     }},
    {"FileSizeLimitLoweredBelowALine",
     {"init-record", "DIR/", "demo", "30",         "5",  "log", "2", "5", "fsize-soft", "100",
      "log",         "3",    "200",  "fsize-soft", "-1", "log", "1", "5", "status",     "where"},
     0,
     [](const Child& r, const QStringList& lines, const QString& dir) {
         ASSERT_EQ(lines.size(), 4);
         EXPECT_TRUE(lines[2].endsWith("]   [3 record(s) lost before this line: " + QString(strerror(EFBIG)) + "]"));
         // The loss is told in a new file; the status counts both files, the records written and lost, and why.
         const QStringList files = fileNames(dir);
         ASSERT_EQ(files.size(), 2);
         EXPECT_EQ(readLines(dir + files[1]).size(), 2);
         EXPECT_TRUE(r.out.endsWith("file:" + dir + files[1])) << r.out.toStdString();
         EXPECT_EQ(printed(r, "written"), 3);
         EXPECT_EQ(printed(r, "lost"), 3);
         EXPECT_EQ(printed(r, "errno"), EFBIG);
         EXPECT_EQ(printed(r, "logbytes"), QFileInfo(dir + files[0]).size() + QFileInfo(dir + files[1]).size());
     }},
    {"HostHandlerThatRecoversFromAGuardPage",
     {"host-handler", "return", "init-record", "DIR/", "demo", "30", "5", "crash-handler", "touch-guard", "crash",
      "null"},
     SIGSEGV,
     [](const Child& r, const QStringList& lines, const QString&) {
         EXPECT_TRUE(r.out.contains("guard:g")) << r.err.toStdString();
         // As the faults came; the second, not cured, is traced.
         EXPECT_TRUE(r.err.contains(QRegularExpression("^host handler: 11 code 2 address 0x[1-9a-f][0-9a-f]*$",
                                                       QRegularExpression::MultilineOption)))
             << r.err.toStdString();
         EXPECT_TRUE(r.err.contains("host handler: 11 code 1 address 0x0")) << r.err.toStdString();
         EXPECT_EQ(lines.filter(QRegularExpression(fatal + "SIGSEGV at address 0x0 ")).size(), 1);
     }},
    {"SignalHandlerLogsOnTheThreadHoldingTheLock",
     {"init-record", "DIR/", "demo", "30", "5", "log-in-handler", "300", "log", "1", "5", "status"},
     0,
     [](const Child& r, const QStringList& lines, const QString&) {
         EXPECT_EQ(printed(r, "handled"), 300);
         const long long told = lostTold(lines, EDEADLK);
         EXPECT_EQ(lines.filter("  [handler]   [from the handler]").size() + told, 300);
         EXPECT_EQ(printed(r, "lost"), told);
     }},
    {"RealTimeWaiterOnOneCpu",
     {"init-record", "DIR/", "demo", "30", "5", "rt-waiter", "300"},
     0,
     [](const Child& r, const QStringList&, const QString&) {
         if (r.out.contains("rt-waiter:unavailable"))
             GTEST_SKIP() << "no real-time scheduling here (needs root or CAP_SYS_NICE)";
         EXPECT_GT(printed(r, "slept"), 0) << r.out.toStdString(); // it met the lock taken
         EXPECT_EQ(printed(r, "reads"), 0) << r.out.toStdString(); // and never waited awake
     }},
    {"TwoStartsAtOnce",
     {"init-twice", "DIR/a/", "DIR/b/"},
     0,
     [](const Child& r, const QStringList&, const QString&) { EXPECT_EQ(printed(r, "starts"), 1); }},
};

void PrintTo(const HostFault& f, std::ostream* out)
{
    *out << f.name;
}

class CrashesAndHangs : public testing::TestWithParam<HostFault>
{
};

TEST_P(CrashesAndHangs, HostEndsAsWithoutTheLoggerAndItsLogStaysWhole)
{
    const HostFault& f = GetParam();
#if defined(__SANITIZE_ADDRESS__)
    if (std::string(f.name) == "ThreadsCancelledWhileTheyLog")
        GTEST_SKIP() << "AddressSanitizer leaves the frames a cancellation unwinds poisoned, and reports its own "
                        "sigaltstack call at the thread's end";
#endif
    const TempDir dir;
    // The logger's own reports off: a lowered file size limit holds for the
    // host's stderr too, a file here.
    const Child r =
        runCommand(hostCommand(inDir(f.args, dir.path), {"QT_LOGGING_RULES=logger.debug=false", asanLeavesSignals()},
                               f.plugins ? LOGGER_PLUGIN_HOST : LOGGER_TEST_HOST));
    EXPECT_EQ(r.termSignal, f.signal) << r.err.toStdString();
    if (f.signal == 0) {
        EXPECT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
    }
    for (const QString& name : QDir(dir.path).entryList({"*.log"}, QDir::Files)) {
        QFile file(dir.file(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        EXPECT_TRUE(bytes.isEmpty() || bytes.endsWith('\n')) << name.toStdString() << " ends inside a line";
    }
    const QStringList lines = logLines(dir.path);
    for (const QString& line : lines)
        ASSERT_TRUE(wholeLine.match(line).hasMatch()) << line.toStdString();
    f.check(r, lines, dir.path);
}

INSTANTIATE_TEST_SUITE_P(Host, CrashesAndHangs, testing::ValuesIn(hostFaults),
                         [](const testing::TestParamInfo<HostFault>& param) { return std::string(param.param.name); });
} // namespace

// With the writer thread stalled (in its echo), the crash trace writes what
// is queued before itself; when the host's handler returns from a signal it
// was sent, the writer goes on without writing those again.
TEST(CrashTrace, QueuedRecordsAreWrittenBeforeTheTraceAndOnlyThere)
{
    const struct
    {
        QStringList before, crash;
        int signal;
        const char* reason;
    } rows[] = {
        {{}, {"crash", "null"}, SIGSEGV, "SIGSEGV at address 0x0 "},
        {{"host-handler", "return"}, {"crash", "kill", "release", "log", "1", "5"}, 0, "SIGFPE sent by process "}};
    for (const auto& row : rows) {
        const TempDir dir;
        const Child child = runHost(row.before +
                                        QStringList{"queue", "2048", "wait", "stall-echo", "init-echo", dir.path,
                                                    "crash", "30", "5", "crash-handler", "log", "1000", "10"} +
                                        row.crash,
                                    {asanLeavesSignals()});
        EXPECT_EQ(child.termSignal, row.signal) << child.err.toStdString();
        const QStringList lines = readLines(dir.file(today() + "_1_crash.log"));
        const int trace = int(lines.indexOf(QRegularExpression(".*\\[FATAL\\].*" + QString(row.reason) + ".*")));
        ASSERT_GE(trace, 0) << lines.join('\n').toStdString();
        EXPECT_EQ(lines.mid(0, trace).filter("  [main]   [xxxxxxxxxx]").size(), 1000);
        EXPECT_EQ(trace, 1000);
        EXPECT_EQ(lines.filter("  [main]   [xxxxxxxxxx]").size(), 1000) << row.reason;
        EXPECT_EQ(lines.filter("  [main]   [xxxxx]").size(), row.signal == 0 ? 1 : 0) << row.reason;
    }
}
