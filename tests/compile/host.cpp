// A host built once per row of CMakeLists.txt beside it, each with other macros
// or headers around the logger's. It logs through the call-site macros and
// checks what reached its file; exit status 0 when all is as expected.
#if defined(HOST_SYSLOG_FIRST)
#include <syslog.h>
#elif defined(HOST_CURSES_FIRST)
#include <curses.h>
#elif defined(HOST_OWN_LOGGER_H)
#include "logger.h" // the host's own
#endif

#include <logger/logger.h>
#include <logger/logger_extras.h>

#if defined(HOST_SYSLOG_AFTER)
#include <syslog.h>
#elif defined(HOST_CURSES_AFTER)
#include <curses.h>
#endif

#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

static int failures = 0;
static void expect(bool ok, const std::string& what)
{
    if (!ok) {
        fprintf(stderr, "host: %s\n", what.c_str());
        ++failures;
    }
}

static int evaluations = 0;
static int evaluated()
{
    return ++evaluations;
}

int main()
{
#if defined(HOST_OWN_LOGGER_H)
    expect(HOST_OWN_LOGGER_H_SEEN == 1 && HostLogger().nRecords == 0, "the host's own logger.h is not used");
#endif
    expect(std::string(GetLogerVersion()) == HOST_PROJECT_VERSION &&
               LOGGER_VERSION_STR == std::string(HOST_PROJECT_VERSION) &&
               LOGGER_VERSION == LOGGER_VERSION_CHECK(LOGGER_VERSION_MAJOR, LOGGER_VERSION_MINOR, LOGGER_VERSION_PATCH),
           std::string("version ") + GetLogerVersion() + ", headers " + LOGGER_VERSION_STR);

    char dir[] = "/tmp/logger-host-XXXXXX";
    if (!mkdtemp(dir))
        return 2;
    LOG_CONFIG_INFO info; // every field left out holds the logger's default
    info.m_strLogPath = QString::fromLocal8Bit(dir) + "/";
    info.m_strLogName = "host";
    info.m_bIsPrintScreen = false;
    expect(Loger::GetLoger().InitLogInfo(info), "the logger did not start");

    // What each line must hold after its time: level and line, then its end.
    std::vector<std::pair<std::string, std::string>> expected;
    auto expect_line = [&](const char* level, int line, const char* message) {
        const std::string number = std::to_string(line);
        expected.emplace_back(std::string("] [") + level + "] [" + number +
                                  std::string(number.size() < 4 ? 4 - number.size() : 0, ' ') + "] [",
                              std::string("[main]   [") + message + "]");
    };
    // clang-format off
    LOGER_DEBUG("printf %d", evaluated());        expect_line("DEBUG", __LINE__, "printf 1");
    LOGER_INFO(std::string("std::string"));       expect_line("INFO ", __LINE__, "std::string");
    LOGER_WARN(QString::fromUtf8("QString ✓"));   expect_line("WARN ", __LINE__, "QString ✓");
    LOGER_ERR("%s", "err");                       expect_line("ERR  ", __LINE__, "err");
    LOGER_FATAL("fatal");                         expect_line("FATAL", __LINE__, "fatal");
    const std::string runTime = "100% sure %s%s%s %n";
    LOGER_INFO(runTime.c_str());                  expect_line("INFO ", __LINE__, "100% sure %s%s%s %n");
    LOGER_WARN("50%% done");                      expect_line("WARN ", __LINE__, "50%% done");
    // clang-format on
    Loger::GetLoger().SetLogLevel(LOGER_LEVEL_FATAL);
    LOGER_ERR("filtered %d", evaluated());
    LOGER_DEBUG(std::to_string(evaluated()));
#if defined(HOST_BAD_FORMAT)
    LOGER_ERR("%d", "not a number");
#endif
    expect(evaluations == 1, "a filtered record evaluated its arguments");

    QByteArray text;
    for (const QFileInfo& file : QDir(dir).entryInfoList({"*.log"}, QDir::Files, QDir::Name)) {
        QFile f(file.absoluteFilePath());
        f.open(QIODevice::ReadOnly);
        text += f.readAll();
    }
    const QList<QByteArray> lines = text.split('\n');
    expect(lines.size() == 8 && lines.last().isEmpty(), "7 lines expected, read:\n" + text.toStdString());
    for (int i = 0; i < 7 && i < lines.size() - 1; ++i) {
        const std::string line = lines[i].toStdString();
        const std::string& head = expected[size_t(i)].first;
        const std::string& end = expected[size_t(i)].second;
        expect(line.compare(13, head.size(), head) == 0 && line.size() > end.size() &&
                   line.compare(line.size() - end.size(), end.size(), end) == 0,
               "line " + std::to_string(i + 1) + " is " + line);
    }
    QDir(dir).removeRecursively();
    return failures == 0 ? 0 : 1;
}
