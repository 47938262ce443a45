// A host program that logs: starts the logger from an INI file, logs from
// several threads in all three forms, changes the level, stops, and shows
// the end of its log file.
#include <logger.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

// One macro gives every record its source file, function and line.
#define LOG(level, ...) Loger::GetLoger().addLogtoList(level, __FILE__, __PRETTY_FUNCTION__, __LINE__, __VA_ARGS__)

static void worker(int id)
{
    for (int step = 1; step <= 3; ++step)
        LOG(INFO, "worker %d: step %d of 3", id, step);                     // printf style
    LOG(DEBUG, std::string("worker ") + std::to_string(id) + " is done");   // std::string
    LOG(INFO, QString::fromUtf8("Grüße von Arbeiter %1 — 日志 ✓").arg(id)); // QString, any text
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString ini = argc > 1 ? QString::fromLocal8Bit(argv[1]) : app.applicationDirPath() + "/demo.ini";

    Loger& logger = Loger::GetLoger();
    if (!logger.InitLogInfo(ini)) {
        fprintf(stderr, "demo_host: the logger did not start from %s\n", qUtf8Printable(ini));
        return 1;
    }
    LOG(INFO, "demo host started, pid %d", int(getpid()));

    std::vector<std::thread> workers;
    for (int id = 1; id <= 4; ++id)
        workers.emplace_back(worker, id);
    for (std::thread& t : workers)
        t.join();

    logger.SetLogLevel(WARN); // from now on only WARN, ERR and FATAL
    LOG(INFO, "not written: below the level");
    LOG(ERR, "written: %s", "at or above the level");
    logger.SetLogLevel(DEBUG);

    const QString logDir = logger.GetSaveLogPathFileName();
    LOG(INFO, "dumps would go to %s", qUtf8Printable(logger.GetSaveDumpPathFileName()));
    logger.unInit();

    // The newest log file, and its last lines.
    const QFileInfoList files = QDir(logDir).entryInfoList({"*.log"}, QDir::Files, QDir::Time);
    if (files.isEmpty())
        return 1;
    const QString file = files.first().absoluteFilePath();
    QFile f(file);
    f.open(QIODevice::ReadOnly);
    const QList<QByteArray> lines = f.readAll().trimmed().split('\n');
    printf("\n\nlog directory: %s\nlog file:      %s\nlast lines:\n", qUtf8Printable(QDir(logDir).absolutePath()),
           qUtf8Printable(file));
    for (int i = qMax(0, lines.size() - 9); i < lines.size(); ++i)
        printf("  %s\n", lines[i].constData());
    return 0;
}
