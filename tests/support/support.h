// Helpers shared by the tests: temporary directories, reading log files,
// capturing the Qt debug stream and stdout, and running the test host.
#pragma once

#include <QString>
#include <QStringList>

#include <map>
#include <string>
#include <vector>

#include <ostream>

// Readable QStrings in test failures.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* out)
{
    *out << '{' << list.join("|").toStdString() << '}';
}

namespace testing_support
{
// A fresh directory under the system temporary directory, removed at the end.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // The directory with a trailing "/".
    QString path() const { return path_; }
    QString file(const QString& name) const { return path_ + name; }

private:
    QString path_;
};

// The lines of a text file, without line ends; an empty list when missing.
QStringList readLines(const QString& file);
// Names of the regular files in a directory, sorted.
QStringList fileNames(const QString& dir);
void writeFile(const QString& file, const QByteArray& content);
// A file of exactly `size` bytes.
void writeSizedFile(const QString& file, qint64 size);

// Today's local date as YYYYMMDD.
QString today();

// Collects every message of the Qt debug stream while it lives.
class DebugCapture
{
public:
    DebugCapture();
    ~DebugCapture();
    const QStringList& messages() const;
    bool contains(const QString& text) const;
    int indexOf(const QString& startOfMessage) const;
};

// Redirects stdout into a pipe while it lives; text() flushes and reads.
class StdoutCapture
{
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string text();

private:
    int saved_ = -1;
    int readEnd_ = -1;
    std::string collected_;
};

struct ChildResult
{
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the test host with the given arguments and extra environment, in
// `workDir`, as user `uid` when not negative; waits at most `timeoutSeconds`.
// Exit code 127: the host could not be started.
ChildResult runHost(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {},
                    const QString& workDir = QString(), int uid = -1, int timeoutSeconds = 30);

// Environment that shifts the clock of a child by `offsetSeconds`, running
// `speed` times faster; empty when libfaketime is not available.
std::map<std::string, std::string> shiftedClock(long long offsetSeconds, int speed = 1);
bool haveFaketime();

// The seconds from now until the given local time.
long long secondsUntil(const QString& localDateTime);
} // namespace testing_support
