// A tiny host for scenarios that need a process of their own: a fresh
// logger per start, a shifted clock, another user.
//   test_host [capture] [init-record|init-echo|init-off DIR NAME MEGABYTES DAYS]
//             [init-ini FILE] [log COUNT BYTES] [uninit] [next-day] [next-second]
//             [paths] [spin-threads COUNT] [qt-capture] [qlog THREADS COUNT BYTES] [qfatal]
//             [err COUNT BYTES] [limits RETAIN TOTAL_MB FREE_MB SYNC_LEVEL]
//             [days DAYS BYTES PER_HOUR] [remove FILE] [status] [fsize BYTES]
//             [mv FROM TO] [touch FILE] [truncate FILE]
// Commands run in order; results of start-ups are printed as "init:1"/"init:0".
// init-off starts with writing off and echo on; init-echo with both on.
#include "logger.h"
#include "logger_extras.h"

#include <QDate>
#include <QDateTime>
#include <QFile>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>
#include <atomic>

int main(int argc, char** argv)
{
    Loger& logger = Loger::GetLoger();
    const QDate started = QDate::currentDate();
    for (int i = 1; i < argc; ++i) {
        const std::string command = argv[i];
        if (command == "capture") {
            // What hosts do: every Qt debug message goes into the log.
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
                Loger::GetLoger().addLogtoList(INFO, __FILE__, "void capture()", 1, "captured %s",
                                               qUtf8Printable(text));
            });
        } else if ((command == "init-record" || command == "init-echo" || command == "init-off") && i + 4 < argc) {
            const unsigned megabytes = unsigned(atol(argv[i + 3])), days = unsigned(atol(argv[i + 4]));
            const QString dir = QString::fromLocal8Bit(argv[i + 1]), name = QString::fromLocal8Bit(argv[i + 2]);
            const LOG_CONFIG_INFO info{dir,  name, command != "init-off", DEBUG, megabytes, command != "init-record",
                                       1024, days};
            printf("init:%d\n", logger.InitLogInfo(info) ? 1 : 0);
            i += 4;
        } else if (command == "init-ini" && i + 1 < argc) {
            printf("init:%d\n", logger.InitLogInfo(QString::fromLocal8Bit(argv[i + 1])) ? 1 : 0);
            i += 1;
        } else if (command == "log" && i + 2 < argc) {
            // The three forms in turn: std::string, printf, QString.
            const std::string text(size_t(atol(argv[i + 2])), 'x');
            for (long n = 0; n < atol(argv[i + 1]); ++n)
                if (n % 3 == 0)
                    logger.addLogtoList(INFO, __FILE__, "int main(int, char**)", int(n), text);
                else if (n % 3 == 1)
                    logger.addLogtoList(INFO, __FILE__, "int main(int, char**)", int(n), "%s", text.c_str());
                else
                    logger.addLogtoList(INFO, __FILE__, "int main(int, char**)", int(n), QString::fromStdString(text));
            i += 2;
        } else if (command == "uninit") {
            logger.unInit();
        } else if (command == "next-second") {
            // The logger looks at its file's path once a second.
            for (const time_t now = time(nullptr); time(nullptr) == now;) {
            }
        } else if (command == "mv" && i + 2 < argc) {
            rename(argv[i + 1], argv[i + 2]);
            i += 2;
        } else if (command == "touch" && i + 1 < argc) {
            QFile(QString::fromLocal8Bit(argv[i + 1])).open(QIODevice::WriteOnly);
            i += 1;
        } else if (command == "truncate" && i + 1 < argc) {
            QFile::resize(QString::fromLocal8Bit(argv[i + 1]), 0);
            i += 1;
        } else if (command == "next-day") {
            // Waits for a date after the one the host started on, reading the
            // clock only: timed waits may not follow a shifted clock.
            while (QDate::currentDate() <= started) {
            }
        } else if (command == "qt-capture") {
            CaptureQtMessages();
        } else if (command == "qlog" && i + 3 < argc) {
            // Qt messages of every kind but fatal, "q <thread> <n> xxx...", from threads.
            const long count = atol(argv[i + 2]);
            const std::string pad(size_t(atol(argv[i + 3])), 'x');
            std::vector<std::thread> threads;
            for (long t = 0; t < atol(argv[i + 1]); ++t)
                threads.emplace_back([t, count, &pad] {
                    for (long n = 0; n < count; ++n) {
                        if (n % 4 == 0)
                            qDebug("q %ld %ld %s", t, n, pad.c_str());
                        else if (n % 4 == 1)
                            qInfo("q %ld %ld %s", t, n, pad.c_str());
                        else if (n % 4 == 2)
                            qWarning("q %ld %ld %s", t, n, pad.c_str());
                        else
                            qCritical("q %ld %ld %s", t, n, pad.c_str());
                    }
                });
            for (std::thread& thread : threads)
                thread.join();
            i += 3;
        } else if (command == "qfatal") {
            qFatal("q fatal"); // ends the process
        } else if (command == "spin-threads" && i + 1 < argc) {
            // Threads that log until the process exits under them, once each
            // has written a few hundred records.
            static std::atomic<long> written{0};
            const long threads = atol(argv[i + 1]);
            for (long t = 0; t < threads; ++t)
                std::thread([t] {
                    for (long n = 0;; ++n, ++written)
                        Loger::GetLoger().addLogtoList(INFO, __FILE__, "void spin()", int(t), "spin %ld", n);
                }).detach();
            while (written < threads * 300) {
            }
            i += 1;
        } else if (command == "err" && i + 2 < argc) {
            const std::string text(size_t(atol(argv[i + 2])), 'e');
            for (long n = 0; n < atol(argv[i + 1]); ++n)
                logger.addLogtoList(ERR, __FILE__, "int main(int, char**)", int(n), text);
            i += 2;
        } else if (command == "limits" && i + 4 < argc) {
            LOGER_LIMITS limits;
            limits.m_bRetainWhileRunning = atoi(argv[i + 1]) != 0;
            limits.m_nMaxTotalSizeMB = unsigned(atol(argv[i + 2]));
            limits.m_nMinFreeSpaceMB = unsigned(atol(argv[i + 3]));
            limits.m_nSyncLevel = atoi(argv[i + 4]);
            SetLogerLimits(limits);
            i += 4;
        } else if (command == "days" && i + 3 < argc) {
            // Records of BYTES, PER_HOUR of them in each hour of the clock,
            // until the date is DAYS days on, one more then; prints that date.
            const QDate end = QDate::currentDate().addDays(atol(argv[i + 1]));
            const std::string text(size_t(atol(argv[i + 2])), 'd');
            int hour = -1;
            while (QDate::currentDate() < end) {
                const QDateTime now = QDateTime::currentDateTime();
                if (now.time().hour() == hour)
                    continue;
                hour = now.time().hour();
                for (long n = 0; n < atol(argv[i + 3]); ++n)
                    logger.addLogtoList(INFO, __FILE__, "int main(int, char**)", hour, text);
            }
            logger.addLogtoList(INFO, __FILE__, "int main(int, char**)", 0, text); // one on the last day
            printf("date:%s\n", qPrintable(QDate::currentDate().toString("yyyyMMdd")));
            i += 3;
        } else if (command == "fsize" && i + 1 < argc) {
            // The process's file size limit, as a device's guard sets it.
            const rlimit limit{rlim_t(atoll(argv[i + 1])), rlim_t(atoll(argv[i + 1]))};
            setrlimit(RLIMIT_FSIZE, &limit);
            i += 1;
        } else if (command == "remove" && i + 1 < argc) {
            unlink(argv[i + 1]);
            i += 1;
        } else if (command == "status") {
            const LOGER_STATUS status = GetLogerStatus();
            printf("written:%llu lost:%llu errno:%d logbytes:%lld\n", status.m_nRecordsWritten, status.m_nRecordsLost,
                   status.m_nLastErrno, static_cast<long long>(status.m_nLogBytes));
        } else if (command == "paths") {
            printf("log:%s\ndump:%s\n", qUtf8Printable(logger.GetSaveLogPathFileName()),
                   qUtf8Printable(logger.GetSaveDumpPathFileName()));
        } else {
            fprintf(stderr, "test_host: bad command %s\n", argv[i]);
            return 2;
        }
        fflush(stdout);
    }
    return 0;
}
