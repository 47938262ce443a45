#include "support.h"
#include "test_paths.h"

#include <QDate>
#include <QProcess>

#include <unistd.h>

#include <mutex>
#include <stdexcept>

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
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.start(command.takeFirst(), command);
    process.waitForFinished(30000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
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
