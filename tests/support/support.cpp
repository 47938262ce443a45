#include "support.h"
#include "test_paths.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTextStream>
#include <QtGlobal>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

extern char** environ;

namespace testing_support
{
TempDir::TempDir()
{
    QByteArray pattern = QDir::tempPath().toLocal8Bit() + "/logger-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = QString::fromLocal8Bit(pattern) + "/";
}

TempDir::~TempDir()
{
    QDir(path_).removeRecursively();
}

QStringList readLines(const QString& file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QString text = QString::fromUtf8(f.readAll());
    if (text.endsWith('\n'))
        text.chop(1);
    return text.isEmpty() ? QStringList() : text.split('\n');
}

QStringList fileNames(const QString& dir)
{
    QStringList names = QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    names.sort();
    return names;
}

void writeFile(const QString& file, const QByteArray& content)
{
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(content) != content.size())
        throw std::runtime_error("cannot write " + file.toStdString());
}

void writeSizedFile(const QString& file, qint64 size)
{
    writeFile(file, QByteArray());
    if (truncate(QFile::encodeName(file).constData(), size) != 0)
        throw std::runtime_error("cannot size " + file.toStdString());
}

QString today()
{
    return QDate::currentDate().toString("yyyyMMdd");
}

namespace
{
std::mutex captureMutex;
QStringList captured;
QtMessageHandler previousHandler = nullptr;

void collect(QtMsgType, const QMessageLogContext&, const QString& message)
{
    std::lock_guard<std::mutex> lock(captureMutex);
    captured << message;
}
} // namespace

DebugCapture::DebugCapture()
{
    captured.clear();
    previousHandler = qInstallMessageHandler(collect);
}

DebugCapture::~DebugCapture()
{
    qInstallMessageHandler(previousHandler);
}

const QStringList& DebugCapture::messages() const
{
    return captured;
}

bool DebugCapture::contains(const QString& text) const
{
    return captured.contains(text);
}

int DebugCapture::indexOf(const QString& startOfMessage) const
{
    for (int i = 0; i < captured.size(); ++i)
        if (captured.at(i).startsWith(startOfMessage))
            return i;
    return -1;
}

StdoutCapture::StdoutCapture()
{
    fflush(stdout);
    int fds[2];
    if (pipe2(fds, O_NONBLOCK) != 0)
        throw std::runtime_error("pipe failed");
    saved_ = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    readEnd_ = fds[0];
}

StdoutCapture::~StdoutCapture()
{
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    close(readEnd_);
}

std::string StdoutCapture::text()
{
    fflush(stdout);
    char buffer[4096];
    ssize_t n;
    while ((n = read(readEnd_, buffer, sizeof buffer)) > 0)
        collected_.append(buffer, size_t(n));
    return collected_;
}

namespace
{
// Splits a ";"-separated CMake list.
std::vector<std::string> splitList(const std::string& list)
{
    std::vector<std::string> items;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos)
            end = list.size();
        if (end > start)
            items.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

void drain(int fd, std::string& into, bool& open)
{
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0)
        into.append(buffer, size_t(n));
    else if (n == 0)
        open = false;
}
} // namespace

ChildResult runHost(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                    const QString& workDir, int uid, int timeoutSeconds)
{
    // Under a cross build the host runs through the emulator, which takes the
    // extra environment as "-E name=value" options.
    std::vector<std::string> argv = splitList(LOGGER_TEST_EMULATOR);
    const bool emulated = !argv.empty();
    if (emulated)
        for (const auto& [name, value] : env) {
            argv.push_back("-E");
            argv.push_back(name + "=" + value);
        }
    argv.push_back(LOGGER_TEST_HOST);
    argv.insert(argv.end(), args.begin(), args.end());

    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0)
        throw std::runtime_error("pipe failed");
    const std::string dir = workDir.toStdString();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        close(outPipe[0]);
        close(errPipe[0]);
        if (!dir.empty() && chdir(dir.c_str()) != 0)
            _exit(126);
        if (uid >= 0 && (setgid(gid_t(uid)) != 0 || setuid(uid_t(uid)) != 0))
            _exit(126);
        if (!emulated)
            for (const auto& [name, value] : env)
                setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> cargs;
        for (auto& a : argv)
            cargs.push_back(const_cast<char*>(a.c_str()));
        cargs.push_back(nullptr);
        execv(cargs[0], cargs.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    ChildResult result;
    bool outOpen = true, errOpen = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while ((outOpen || errOpen) && std::chrono::steady_clock::now() < deadline) {
        pollfd fds[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0}, {errOpen ? errPipe[0] : -1, POLLIN, 0}};
        if (poll(fds, 2, 200) <= 0)
            continue;
        if (fds[0].revents)
            drain(outPipe[0], result.out, outOpen);
        if (fds[1].revents)
            drain(errPipe[0], result.err, errOpen);
    }
    if (outOpen || errOpen)
        kill(pid, SIGKILL);
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool haveFaketime()
{
    return QFile::exists(LOGGER_FAKETIME_LIB);
}

std::map<std::string, std::string> shiftedClock(long long offsetSeconds, int speed)
{
    std::string spec = (offsetSeconds >= 0 ? "+" : "") + std::to_string(offsetSeconds) + "s";
    if (speed != 1)
        spec += " x" + std::to_string(speed);
    return {{"LD_PRELOAD", LOGGER_FAKETIME_LIB}, {"FAKETIME", spec}, {"FAKETIME_DONT_RESET", "1"}};
}

long long secondsUntil(const QString& localDateTime)
{
    const QDateTime target = QDateTime::fromString(localDateTime, "yyyy-MM-dd hh:mm:ss");
    return QDateTime::currentDateTime().secsTo(target);
}
} // namespace testing_support
