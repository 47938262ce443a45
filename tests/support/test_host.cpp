// A tiny host for scenarios that need a process of their own: a fresh
// logger per start, a shifted clock, another user.
//   test_host [capture] [init-record|init-echo|init-off DIR NAME MEGABYTES DAYS]
//             [init-ini FILE] [log COUNT BYTES] [uninit] [next-day] [next-second]
//             [paths] [spin-threads COUNT] [qt-capture] [qlog THREADS COUNT BYTES] [qfatal]
//             [err COUNT BYTES] [limits RETAIN TOTAL_MB FREE_MB SYNC_LEVEL]
//             [days DAYS BYTES PER_HOUR] [remove FILE] [status] [fsize BYTES]
//             [mv FROM TO] [touch FILE] [truncate FILE]
//             [crash-handler] [crash null|abort|overflow|throw]
//             [fork-while-logging THREADS FORKS COUNT] [limit-memory MEGABYTES]
//             [small-stack BYTES] [numbered THREADS COUNT SECONDS]
// Commands run in order; results of start-ups are printed as "init:1"/"init:0".
// init-off starts with writing off and echo on; init-echo with both on.
#include "logger.h"
#include "logger_extras.h"

#include <QDate>
#include <QDateTime>
#include <QFile>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>
#include <atomic>
#include <chrono>
#include <stdexcept>

// The small stack of a device's thread; sanitizers grow every frame, so
// their builds give it more.
#ifndef LOGGER_SMALL_STACK
#define LOGGER_SMALL_STACK 16384
#endif

// Crashes the trace must name: each in a function of its own, never inlined.
int* volatile g_nullPointer = nullptr;
volatile int g_neverDepth = -1;

// Not caught as undefined behaviour first under the sanitizers.
__attribute__((noinline, no_sanitize("null"))) void CrashByNullPointer()
{
    *g_nullPointer = 1;
}

__attribute__((noinline)) void CrashByAbort()
{
    abort();
}

__attribute__((noinline)) int CrashByOverflow(int depth)
{
    volatile char frame[256];
    frame[0] = char(depth);
    if (depth == g_neverDepth)
        return 0;
    return CrashByOverflow(depth + 1) + frame[0];
}

__attribute__((noinline)) void CrashByUncaughtException()
{
    throw std::runtime_error("nobody catches this");
}

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
        } else if (command == "crash-handler") {
            InstallCrashHandler();
        } else if (command == "crash" && i + 1 < argc) {
            const rlimit noCore = {0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
            const std::string kind = argv[++i];
            if (kind == "null")
                CrashByNullPointer();
            else if (kind == "abort")
                CrashByAbort();
            else if (kind == "overflow")
                printf("%d\n", CrashByOverflow(0));
            else if (kind == "throw")
                CrashByUncaughtException();
        } else if (command == "fork-while-logging" && i + 3 < argc) {
            // Threads log without pause while the host forks; each child logs
            // COUNT records "child <fork> <n>" and exits. Prints how many
            // children exited normally.
            static std::atomic<long> logged{0};
            const long threads = atol(argv[i + 1]), forks = atol(argv[i + 2]), count = atol(argv[i + 3]);
            for (long t = 0; t < threads; ++t)
                std::thread([t] {
                    for (long n = 0;; ++n, ++logged)
                        Loger::GetLoger().addLogtoList(INFO, __FILE__, "void spin()", int(t), "spin %ld", n);
                }).detach();
            while (logged < threads * 100) {
            }
            long exited = 0;
            for (long f = 0; f < forks; ++f) {
                const pid_t pid = fork();
                if (pid == 0) {
                    alarm(20); // a child stuck on the lock dies of SIGALRM
                    for (long n = 0; n < count; ++n)
                        Loger::GetLoger().addLogtoList(INFO, __FILE__, "void child()", int(n), "child %ld %ld", f, n);
                    _exit(0);
                }
                int status = 0;
                waitpid(pid, &status, 0);
                exited += WIFEXITED(status) && WEXITSTATUS(status) == 0;
            }
            printf("children:%ld\n", exited);
            i += 3;
        } else if (command == "small-stack" && i + 1 < argc) {
            // A thread with a 16 KiB stack logs BYTES-long messages in the
            // three forms, under a 64 KiB function text.
            static std::string function, text;
            function = "void " + std::string(65536, 'f') + "(int)";
            text.assign(size_t(atol(argv[++i])), 'y');
            pthread_attr_t attr;
            pthread_attr_init(&attr);
            pthread_attr_setstacksize(&attr, LOGGER_SMALL_STACK);
            pthread_t thread;
            const int created = pthread_create(
                &thread, &attr,
                [](void*) -> void* {
                    Loger& l = Loger::GetLoger();
                    l.addLogtoList(INFO, __FILE__, function.c_str(), 1, "%s", text.c_str());
                    l.addLogtoList(INFO, __FILE__, function.c_str(), 2, text);
                    l.addLogtoList(INFO, __FILE__, function.c_str(), 3, QString::fromStdString(text));
                    return nullptr;
                },
                nullptr);
            if (created == 0)
                pthread_join(thread, nullptr);
            printf("small-stack:%d\n", created);
        } else if (command == "limit-memory" && i + 1 < argc) {
            // MEGABYTES more address space than the host uses now.
            long pages = 0;
            if (FILE* statm = fopen("/proc/self/statm", "r")) {
                if (fscanf(statm, "%ld", &pages) != 1)
                    pages = 0;
                fclose(statm);
            }
            const rlim_t bytes = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(atol(argv[++i])) << 20);
            const rlimit limit = {bytes, bytes};
            setrlimit(RLIMIT_AS, &limit);
        } else if (command == "numbered" && i + 3 < argc) {
            // Records "record <n>", n = 0..COUNT-1, from THREADS threads at an
            // even pace over SECONDS: the levels in turn, every 7th over three
            // lines, every 11th with a tab, every 50th longer than 12,000 bytes.
            const long threads = atol(argv[i + 1]), count = atol(argv[i + 2]);
            const auto pace = std::chrono::microseconds(atoll(argv[i + 3]) * 1000000 * threads / count);
            const auto start = std::chrono::steady_clock::now();
            std::vector<std::thread> writers;
            for (long t = 0; t < threads; ++t)
                writers.emplace_back([&logger, t, threads, count, pace, start] {
                    for (long n = t; n < count; n += threads) {
                        std::this_thread::sleep_until(start + pace * (n / threads));
                        std::string text = "record " + std::to_string(n);
                        if (n % 7 == 3)
                            text += "\nsecond line of " + std::to_string(n) + "\nthird line";
                        if (n % 11 == 5)
                            text += "\twith a tab";
                        if (n % 50 == 1)
                            text += " " + std::string(12000, char('a' + n % 26)) + " end";
                        logger.addLogtoList(em_LOG_LEVEL(n % 5), __FILE__, "void numbered()", int(t), text);
                    }
                });
            for (std::thread& writer : writers)
                writer.join();
            i += 3;
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
