// One record per input, written by the started logger; the bytes it adds to
// the log file must be the line built here from the input by the format's
// rules, through QString (invalid UTF-8 as U+FFFD, "%n" escapes as arg fills
// them). Input: the function text, a NUL, then the message (which may hold
// more NULs).
#include "logger.h"

#include <QDate>
#include <QDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{
QString logDir;
const qint64 maxFileBytes = 64 << 20; // the file is emptied past this, to spare the disk

// The newest log file: the name starts with the date.
QString currentLogFile()
{
    const QStringList names = QDir(logDir).entryList({"*.log"}, QDir::Files, QDir::Name);
    return names.isEmpty() ? QString() : logDir + names.last();
}

QByteArray readFrom(const QString& file, qint64 offset)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(offset))
        return {};
    return f.readAll();
}

// The name between the last blank before the first "(" and that "(",
// at most 255 bytes; without "(" the whole text.
std::string functionName(const std::string& text)
{
    const size_t paren = text.find('(');
    if (paren == std::string::npos)
        return text;
    const size_t blank = paren == 0 ? std::string::npos : text.rfind(' ', paren - 1);
    const size_t begin = blank == std::string::npos ? 0 : blank + 1;
    return text.substr(begin, paren - begin).substr(0, 255);
}

QByteArray expectedOutput(const std::string& function, std::string message, const QByteArray& time)
{
    message = message.substr(0, message.find('\0')); // the message ends at its first NUL
    if (message.empty())
        return {};
    const bool emptyBefore = message[0] == '\n';
    if (emptyBefore)
        message[0] = ' ';
    const bool emptyAfter = message.back() == '\n';
    if (emptyAfter)
        message.pop_back();
    QByteArray out = emptyBefore ? "\n" : "";
    if (emptyBefore && message.size() == 1)
        return out;
    // Filled as the chained QString::arg calls fill it: a "%n" in the function
    // name takes the message when it is the lowest escape left.
    const std::string name = functionName(function);
    out += QString("[%1] [%2] [%3] [%4]  [%5]   [%6]")
               .arg(QString::fromUtf8(time), 0, ' ')
               .arg("INFO", -5, ' ')
               .arg("1", -4, ' ')
               .arg(QString::number(unsigned(pthread_self())), -5, ' ')
               .arg(QString::fromUtf8(name.data(), int(name.size())), 0, ' ')
               .arg(QString::fromUtf8(message.data(), int(message.size())), 0, ' ')
               .toUtf8() +
           "\n";
    if (emptyAfter)
        out += "\n";
    return out;
}

bool isTimeOfDay(const QByteArray& text)
{
    static const char shape[] = "00:00:00.000";
    if (text.size() != 12)
        return false;
    for (int i = 0; i < 12; ++i)
        if ((shape[i] == '0') != (text[i] >= '0' && text[i] <= '9') || (shape[i] != '0' && text[i] != shape[i]))
            return false;
    return true;
}

void removeLogDir()
{
    QDir(logDir).removeRecursively();
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QByteArray pattern = QFile::encodeName(QDir::tempPath() + "/logger-fuzz-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) {
        perror("mkdtemp");
        exit(1);
    }
    logDir = QFile::decodeName(pattern) + "/";
    atexit(removeLogDir);
    LOG_CONFIG_INFO info{};
    info.m_strLogPath = logDir;
    info.m_strLogName = "fuzz";
    info.m_bIsWriteLog = true;
    info.m_emLogLevel = DEBUG;
    info.m_nMegaByte = 1u << 20; // never full: one file
    info.m_bIsPrintScreen = false;
    info.m_nRowLogMaxLen = 1024;
    info.m_nOverDays = 5;
    if (!Loger::GetLoger().InitLogInfo(info)) {
        fprintf(stderr, "line_fuzzer: the logger did not start in %s\n", pattern.constData());
        exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t nul = input.find('\0');
    if (nul == std::string::npos)
        return 0;
    const std::string function = input.substr(0, nul), message = input.substr(nul + 1);

    QString file = currentLogFile();
    if (QFileInfo(file).size() > maxFileBytes && truncate(QFile::encodeName(file).constData(), 0) != 0)
        abort();
    const QDate day = QDate::currentDate();
    const qint64 offset = QFileInfo(file).size();
    Loger::GetLoger().addLogtoList(INFO, "fuzz.cpp", function.c_str(), 1, message);
    if (QDate::currentDate() != day || currentLogFile() != file)
        return 0; // a new day has begun a new file

    const QByteArray written = readFrom(file, offset);
    const int timeAt = written.indexOf('[');
    const QByteArray time = timeAt < 0 ? QByteArray() : written.mid(timeAt + 1, 12);
    const QByteArray expected = expectedOutput(function, message, time);
    if (written != expected || (!expected.isEmpty() && expected != "\n" && !isTimeOfDay(time))) {
        fprintf(stderr, "line_fuzzer: the file got\n%s\ninstead of\n%s\n",
                written.toPercentEncoding(" []:.").constData(), expected.toPercentEncoding(" []:.").constData());
        abort();
    }
    return 0;
}
