// What the tests share: temporary directories, reading and listing files, a
// deadline wait, and the test host run as a child process.
#pragma once

#include "logger.h"
#include "test_paths.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

// Qt strings and lists as text in failure messages.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* out)
{
    *out << '{' << list.join('|').toStdString() << '}';
}

namespace testing_support
{
// A fresh directory, its path ending in "/", removed with everything in it.
struct TempDir
{
    QTemporaryDir dir{QDir::tempPath() + "/logger-test-XXXXXX"};
    QString path = dir.isValid() ? dir.path() + "/" : throw std::runtime_error("no temporary directory");
    QString file(const QString& name) const { return path + name; }
};

// The lines of a UTF-8 text file without their line ends; none when it is missing.
inline QStringList readLines(const QString& file)
{
    QFile f(file);
    f.open(QIODevice::ReadOnly);
    const QString text = QString::fromUtf8(f.readAll());
    return text.isEmpty() ? QStringList() : text.chopped(text.endsWith('\n') ? 1 : 0).split('\n');
}

// The regular files of a directory, hidden ones too, sorted by name.
inline QStringList fileNames(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

// Writes `content`, then extends (sparsely) or cuts the file to `size` when given.
inline void writeFile(const QString& file, const QByteArray& content, qint64 size = -1)
{
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size() || (size >= 0 && !f.resize(size)))
        throw std::runtime_error("cannot write " + file.toStdString());
}

// Every line of the ".log" files in `dir`, files in the order of their ids.
inline QStringList logLines(const QString& dir)
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

// A whole line of the log: time, level, line number, thread, function, message.
inline const QRegularExpression wholeLine(
    "^\\[\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\] \\[[A-Z ]{5}\\] \\[\\d+ *\\] \\[\\d+ *\\]  \\[[^]]*\\]   \\[.*\\]$");

// The records the notes among `lines` tell as lost for the reason `error`.
inline long long lostTold(const QStringList& lines, int error)
{
    const QRegularExpression note("\\[(\\d+) record\\(s\\) lost before this line: " +
                                  QRegularExpression::escape(strerror(error)) + "\\]$");
    long long told = 0;
    for (const QString& line : lines)
        told += note.match(line).captured(1).toLongLong();
    return told;
}

// Today's local date as log file names begin with it: YYYYMMDD.
inline QString today()
{
    return QDate::currentDate().toString("yyyyMMdd");
}

// A record configuration as a host fills it: writing on, level DEBUG, echo off.
inline LOG_CONFIG_INFO recordConfig(const QString& dir, const QString& name = "demo", unsigned megabytes = 30)
{
    return LOG_CONFIG_INFO{dir, name, true, DEBUG, megabytes, false, 1024, 5};
}

// Polls `done` until it holds (true) or `seconds` have passed (false).
inline bool waitUntil(const std::function<bool()>& done, int seconds = 10)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Waits for the next second of the clock records are stamped with, at which
// the logger looks at its file's path again. (time() lags that clock by up
// to a tick after each second begins: it can still show the second of a look.)
inline bool waitForNextSecond()
{
    const auto second = [] {
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        return now.tv_sec;
    };
    const time_t now = second();
    return waitUntil([&] { return second() != now; });
}

struct Child
{
    int exitCode; // -1 when killed
    QString out, err;
    int termSignal; // the signal that ended it, 0 when it exited
};

// Runs `command` in `workDir` (the current directory when empty), optionally
// as user nobody; kills it after 30 s.
inline Child runCommand(QStringList command, const QString& workDir = {}, bool asNobody = false)
{
    if (asNobody)
        command = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} + command;
    std::vector<QByteArray> words;
    for (const QString& word : command)
        words.push_back(QFile::encodeName(word));
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const TempDir io;
    const QByteArray out = QFile::encodeName(io.file("out")), err = QFile::encodeName(io.file("err")),
                     dir = QFile::encodeName(workDir);
    // fork and exec, not QProcess: under qemu-arm, Qt's clone(CLONE_PIDFD)
    // fails unnoticed and QProcess then signals pid -1, i.e. every process.
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open(out.constData(), O_WRONLY | O_CREAT, 0600), STDOUT_FILENO);
        dup2(open(err.constData(), O_WRONLY | O_CREAT, 0600), STDERR_FILENO);
        if (dir.isEmpty() || chdir(dir.constData()) == 0)
            execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (!waitUntil([&] { return waitpid(pid, &status, WNOHANG) != 0; }, 30)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readLines(io.file("out")).join('\n'),
            readLines(io.file("err")).join('\n'), WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

// Mounts seen by this process and its children only, from the first call on;
// false where no mount namespace can be had (not root).
inline bool privateMounts()
{
    static const bool made =
        unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return made;
}

// The test host with `args` (natively, or through qemu-arm in a cross build),
// with extra "NAME=value" entries in its environment; or another program of
// the tests.
inline QStringList hostCommand(const QStringList& args, const QStringList& env = {},
                               const QString& program = LOGGER_TEST_HOST)
{
    QStringList command = QString(LOGGER_TEST_EMULATOR).split(';', Qt::SkipEmptyParts);
    if (command.isEmpty())
        return command << "env" << env << program << args;
    const QString loader = command.takeLast(); // the emulator's list ends with the guest's loader
    for (const QString& entry : env)
        command << "-E" << entry;
    return command << loader << program << args;
}

// Runs the test host with `args` in `workDir`, optionally as user nobody.
inline Child runHost(const QStringList& args, const QStringList& env = {}, const QString& workDir = {},
                     bool asNobody = false)
{
    return runCommand(hostCommand(args, env), workDir, asNobody);
}

// Whether the test host can run as user nobody: as root, through setpriv,
// with a build tree that user can reach (a checkout in a folder closed to
// others is not).
inline bool nobodyAvailable()
{
    static const bool available = geteuid() == 0 && runHost({}, {}, {}, true).exitCode == 0;
    return available;
}

// `args` with a leading "DIR/" of each word replaced by `dir`.
inline QStringList inDir(QStringList args, const QString& dir)
{
    return args.replaceInStrings(QRegularExpression("^DIR/"), dir);
}

// A number the host printed as "key:value".
inline long long printed(const Child& r, const QString& key)
{
    const QRegularExpressionMatch m = QRegularExpression(key + ":(-?\\d+)").match(r.out);
    EXPECT_TRUE(m.hasMatch()) << key.toStdString() << " in " << r.out.toStdString();
    return m.captured(1).toLongLong();
}

// Environment for the host's clock under libfaketime, given by its variables:
// "FAKETIME=+7d" shifts it; with "FAKETIME_TIMESTAMP_FILE=path" and
// "FAKETIME_NO_CACHE=1" it stands at the local time written in that file.
// The shim after it moves the 64-bit clock calls of 32-bit targets along.
inline QStringList fakeClock(const QStringList& settings)
{
    if (!QFile::exists(LOGGER_FAKETIME_LIB))
        ADD_FAILURE() << "libfaketime is not installed";
    return QStringList{QString("LD_PRELOAD=") + LOGGER_FAKETIME_LIB + ":" + LOGGER_CLOCK64_SHIM,
                       "FAKETIME_DONT_FAKE_MONOTONIC=1"} +
           settings;
}
} // namespace testing_support
