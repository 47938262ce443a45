// A host program that logs: starts the logger from an INI file, logs from
// several threads in all three forms, changes the level, stops, and shows
// the end of its log file.
//   demo_host [INI file [steps per worker]]
#include <logger/logger.h>        // Loger, LOG_CONFIG_INFO
#include <logger/logger_extras.h> // LOGER_DEBUG()...LOGER_FATAL(), CaptureQtMessages(), GetLogerVersion()

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

static void worker(int id, int steps)
{
    for (int step = 1; step <= steps; ++step)
        LOGER_INFO("worker %d: step %d of %d", id, step, steps);             // printf form, checked by -Wformat
    LOGER_DEBUG(std::string("worker ") + std::to_string(id) + " is done");   // std::string
    LOGER_INFO(QString::fromUtf8("Grüße von Arbeiter %1 — 日志 ✓").arg(id)); // QString, any text
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString ini = argc > 1 ? QString::fromLocal8Bit(argv[1]) : app.applicationDirPath() + "/demo.ini";
    const int steps = argc > 2 ? atoi(argv[2]) : 3;

    Loger& logger = Loger::GetLoger();
    if (!logger.InitLogInfo(ini)) {
        fprintf(stderr, "demo_host: the logger did not start from %s\n", qUtf8Printable(ini));
        return 1;
    }
    LOGER_INFO("demo host started, pid %d, logger %s", int(getpid()), GetLogerVersion());
    CaptureQtMessages(); // the host's own qDebug()...qFatal() go in too
    qInfo("Qt messages land in the log file as well");

    std::vector<std::thread> workers;
    for (int id = 1; id <= 4; ++id)
        workers.emplace_back(worker, id, steps);
    for (std::thread& t : workers)
        t.join();
    LOGER_INFO("workers finished:\n  4 workers\n  %d steps each", steps); // one record over three lines

    logger.SetLogLevel(LOGER_LEVEL_WARN);             // from now on only WARN, ERR and FATAL
    LOGER_INFO("not written: %s", "below the level"); // nor are its arguments evaluated
    LOGER_WARN("written: %s", "at the level");
    LOGER_ERR("written: %s", "above the level");
    logger.SetLogLevel(LOGER_LEVEL_DEBUG);

    const QString logDir = logger.GetSaveLogPathFileName();
    LOGER_INFO("dumps would go to %s", qUtf8Printable(logger.GetSaveDumpPathFileName()));
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

    // How logging is doing, as a device would report it.
    const LOGER_STATUS status = GetLogerStatus();
    printf("status:        %llu records written, %llu lost (last errno %d); this log takes %lld bytes, "
           "%lld bytes free\n",
           status.m_nRecordsWritten, status.m_nRecordsLost, status.m_nLastErrno,
           static_cast<long long>(status.m_nLogBytes), static_cast<long long>(status.m_nFreeBytes));
    return 0;
}
