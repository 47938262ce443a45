#include "support.h"
#include "test_paths.h"

#include <QDate>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace testing_support
{
TempDir::TempDir()
{
    QByteArray pattern = QFile::encodeName(QDir::tempPath() + "/logger-test-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path = QFile::decodeName(pattern) + "/";
}

QStringList readLines(const QString& file)
{
    QFile f(file);
    f.open(QIODevice::ReadOnly);
    const QString text = QString::fromUtf8(f.readAll());
    return text.isEmpty() ? QStringList() : text.chopped(text.endsWith('\n') ? 1 : 0).split('\n');
}

QStringList fileNames(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

void writeFile(const QString& file, const QByteArray& content, qint64 size)
{
    QFile f(file);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size() || (size >= 0 && !f.resize(size)))
        throw std::runtime_error("cannot write " + file.toStdString());
}

QString today()
{
    return QDate::currentDate().toString("yyyyMMdd");
}

QStringList& debugMessages()
{
    static QStringList messages;
    static std::once_flag installed;
    std::call_once(installed, [] {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) { messages << text; });
    });
    return messages;
}

std::string capturedStdout(const std::function<void()>& action)
{
    fflush(stdout);
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    const int saved = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);
    action();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, size_t(n));
    close(fds[0]);
    return text;
}

LOG_CONFIG_INFO recordConfig(const QString& dir, const QString& name, unsigned megabytes)
{
    return LOG_CONFIG_INFO{dir, name, true, DEBUG, megabytes, false, 1024, 5};
}

Child runHost(const QStringList& args, const QStringList& env, const QString& workDir, bool asNobody)
{
    // The environment is given to the host alone, through env(1) or, in a
    // cross build, as "-E NAME=value" options of the emulator.
    QStringList command = QString(LOGGER_TEST_EMULATOR).split(';', Qt::SkipEmptyParts);
    if (command.isEmpty())
        command << "env" << env;
    else
        for (const QString& entry : env)
            command << "-E" << entry;
    command << LOGGER_TEST_HOST << args;
    if (asNobody)
        command = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"} + command;

    // fork and exec, not QProcess: under qemu-arm, Qt's clone(CLONE_PIDFD)
    // fails unnoticed and QProcess then signals pid -1, i.e. every process.
    std::vector<QByteArray> words;
    for (const QString& word : command)
        words.push_back(QFile::encodeName(word));
    std::vector<char*> argv;
    for (QByteArray& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const QByteArray dir = QFile::encodeName(workDir);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (!dir.isEmpty() && chdir(dir.constData()) != 0)
            _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    QByteArray text[2];
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((fds[0].fd >= 0 || fds[1].fd >= 0) && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds, 2, 100) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                text[i].append(buffer, int(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    for (const pollfd& fd : fds)
        if (fd.fd >= 0)
            close(fd.fd);
    if (fds[0].fd >= 0 || fds[1].fd >= 0)
        kill(pid, SIGKILL); // timed out
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, QString::fromUtf8(text[0]), QString::fromUtf8(text[1])};
}

bool haveFaketime()
{
    return QFile::exists(LOGGER_FAKETIME_LIB);
}

QStringList shiftedClock(long long offset, int speed)
{
    const QString shift = QString("%1%2s x%3").arg(offset >= 0 ? "+" : "").arg(offset).arg(speed);
    return {QString("LD_PRELOAD=") + LOGGER_FAKETIME_LIB, "FAKETIME=" + shift, "FAKETIME_DONT_RESET=1"};
}

long long secondsUntil(const char* localDateTime)
{
    return QDateTime::currentDateTime().secsTo(QDateTime::fromString(localDateTime, "yyyy-MM-dd hh:mm:ss"));
}
} // namespace testing_support
