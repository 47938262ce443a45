#include "support.h"
#include "test_paths.h"

#include <QDate>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>
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
    const TempDir io; // the host's stdout and stderr
    const QByteArray dir = QFile::encodeName(workDir), outName = QFile::encodeName(io.file("out")),
                     errName = QFile::encodeName(io.file("err"));
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open(outName.constData(), O_WRONLY | O_CREAT, 0600), STDOUT_FILENO);
        dup2(open(errName.constData(), O_WRONLY | O_CREAT, 0600), STDERR_FILENO);
        if (!dir.isEmpty() && chdir(dir.constData()) != 0)
            _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (pid > 0 && waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    QFile out(io.file("out")), err(io.file("err"));
    out.open(QIODevice::ReadOnly);
    err.open(QIODevice::ReadOnly);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, QString::fromUtf8(out.readAll()),
            QString::fromUtf8(err.readAll())};
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
