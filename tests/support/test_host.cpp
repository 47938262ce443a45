// A tiny host for scenarios that need a process of their own: a fresh
// logger per start, a shifted clock, another user.
//   test_host [capture] [init-record|init-echo|init-off DIR NAME MEGABYTES DAYS]
//             [init-ini FILE] [log COUNT BYTES] [uninit] [next-day] [next-second]
//             [paths] [start-error] [qt-capture] [qlog THREADS COUNT BYTES] [qfatal]
//             [err COUNT BYTES] [limits RETAIN TOTAL_MB FREE_MB SYNC_LEVEL]
//             [days DAYS BYTES PER_HOUR] [remove FILE] [status] [limits-in-force] [fsize BYTES]
//             [mv FROM TO] [touch FILE] [truncate FILE]
//             [crash-handler] [crash null|abort|overflow|throw]
//             [fork-while-logging THREADS FORKS COUNT] [limit-memory MEGABYTES]
//             [small-stack BYTES] [mkdir DIR] [chroot DIR] [fill FILE] [where]
//             [fsize-soft BYTES|+BYTES|-1] [cancel-while-logging THREADS]
//             [log-in-handler SIGNALS] [init-twice DIR DIR] [host-handler default|return]
//             [touch-guard] [load-blocking PLUGIN] [rt-waiter ROUNDS]
//             [crash bus|ill|kill]
//             [numbered THREADS COUNT SECONDS]
//             [queue RECORDS wait|drop] [queue-status] [stall-echo] [release-at DEPTH] [release]
//             [err-on-disk COUNT] [exit-while-logging THREADS] [exit-in-echo COUNT]
// Commands run in order; results of start-ups are printed as "init:1"/"init:0".
// init-off starts with writing off and echo on; init-echo with both on.
#include "logger.h"
#include "logger_extras.h"

#include <QDate>
#include <QDateTime>
#include <QFile>

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
#include <functional>
#include <map>
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

__attribute__((noinline)) void CrashByBusError()
{
    // A page of a file that ends before it.
    FILE* file = tmpfile();
    const volatile char* page =
        static_cast<const char*>(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, file != nullptr ? fileno(file) : -1, 0));
    printf("%d\n", page != MAP_FAILED ? page[0] : 0);
}

__attribute__((noinline)) void CrashByIllegalInstruction()
{
    __builtin_trap();
}

__attribute__((noinline)) void CrashByKill()
{
    printf("pid:%d\n", int(getpid()));
    fflush(stdout);
    kill(getpid(), SIGFPE);
    printf("not reached\n");
}

// Set by the constructor of the plugin that never finishes loading.
extern "C" {
volatile int g_nPluginConstructing = 0;
}

// A host's own handler of SIGSEGV, SIGBUS and SIGFPE, as garbage collectors and JIT
// runtimes have: it says what it saw, makes its guard page writable and
// returns; a fault of another kind it leaves to the default (or, "return",
// returns without curing it).
volatile char* g_guardPage = nullptr;
bool g_hostHandlerRestoresDefault = true;

void HostHandler(int signal, siginfo_t* info, void*)
{
    char text[96];
    const int length = snprintf(text, sizeof(text), "host handler: %d code %d address 0x%lx\n", signal, info->si_code,
                                static_cast<unsigned long>(reinterpret_cast<uintptr_t>(info->si_addr)));
    if (write(STDERR_FILENO, text, size_t(length)) < 0)
        return;
    if (g_guardPage != nullptr && info->si_addr == g_guardPage)
        mprotect(const_cast<char*>(g_guardPage), size_t(sysconf(_SC_PAGESIZE)), PROT_READ | PROT_WRITE);
    else if (g_hostHandlerRestoresDefault)
        ::signal(signal, SIG_DFL);
}

// Reads of the monotonic clock (waiting awake for the write lock does them)
// by a thread while it counts them. The clock functions found next are
// looked up at start: dlsym waits for the loader's lock, which a thread
// loading a plugin may hold for good.
thread_local bool t_countClockReads = false;
std::atomic<long> g_clockReads{0};

template <typename Function> Function* Next(const char* name)
{
    static Function* const next = reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
    return next;
}

extern "C" int clock_gettime(clockid_t id, timespec* time)
{
    if (t_countClockReads && id == CLOCK_MONOTONIC)
        ++g_clockReads;
    return Next<int(clockid_t, timespec*)>("clock_gettime")(id, time);
}
const bool g_clockFound = Next<int(clockid_t, timespec*)>("clock_gettime") != nullptr;

#if defined(__arm__) || defined(__i386__)
// The name that 32-bit code built with 64-bit time calls.
extern "C" int __clock_gettime64(clockid_t id, void* time)
{
    if (t_countClockReads && id == CLOCK_MONOTONIC)
        ++g_clockReads;
    return Next<int(clockid_t, void*)>("__clock_gettime64")(id, time);
}
const bool g_clock64Found = Next<int(clockid_t, void*)>("__clock_gettime64") != nullptr;
#endif

std::atomic<bool> g_stalled{false};

// Waits until done() holds, for at most `seconds`.
bool waitUntil(const std::function<bool()>& done, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done())
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    return true;
}

// The echo of a record waits while g_stalled holds, as a write to a stalled disk would.
void StallingEcho(QtMsgType, const QMessageLogContext&, const QString& text)
{
    if (text.startsWith("\"["))
        waitUntil([] { return !g_stalled; }, 20);
    fprintf(stderr, "%s\n", qUtf8Printable(text));
}

int main(int argc, char** argv)
{
    Loger& logger = Loger::GetLoger();
    const QDate started = QDate::currentDate();
    for (int i = 1; i < argc; ++i) {
        const std::string command = argv[i];
        // A command's arguments are a[1] to a[n].
        // clang-format off
        static const std::map<std::string, int> arity = {
            {"init-record", 4}, {"init-echo", 4}, {"init-off", 4}, {"init-ini", 1}, {"log", 2}, {"mv", 2},
            {"mkdir", 1}, {"chroot", 1}, {"fill", 1}, {"touch", 1}, {"truncate", 1}, {"qlog", 3},
            {"err", 2}, {"limits", 4}, {"days", 3}, {"fsize", 1}, {"remove", 1}, {"queue", 2}, {"release-at", 1},
            {"exit-in-echo", 1}, {"err-on-disk", 1}, {"exit-while-logging", 1}, {"crash", 1}, {"fork-while-logging", 3},
            {"small-stack", 1}, {"limit-memory", 1}, {"fsize-soft", 1}, {"cancel-while-logging", 1},
            {"log-in-handler", 1}, {"init-twice", 2}, {"host-handler", 1}, {"load-blocking", 1}, {"rt-waiter", 1},
            {"numbered", 3}};
        // clang-format on
        const auto known = arity.find(command);
        const int argCount = known != arity.end() ? known->second : 0;
        if (i + argCount >= argc) {
            fprintf(stderr, "test_host: %s takes %d arguments\n", argv[i], argCount);
            return 2;
        }
        char** const a = argv + i;
        i += argCount;
        if (command == "capture") {
            // What hosts do: every Qt debug message goes into the log.
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
                Loger::GetLoger().addLogtoList(INFO, __FILE__, "void capture()", 1, "captured %s",
                                               qUtf8Printable(text));
            });
        } else if (command == "init-record" || command == "init-echo" || command == "init-off") {
            const unsigned megabytes = unsigned(atol(a[3])), days = unsigned(atol(a[4]));
            const QString dir = QString::fromLocal8Bit(a[1]), name = QString::fromLocal8Bit(a[2]);
            const LOG_CONFIG_INFO info{dir,  name, command != "init-off", DEBUG, megabytes, command != "init-record",
                                       1024, days};
            printf("init:%d\n", logger.InitLogInfo(info) ? 1 : 0);
        } else if (command == "init-ini") {
            printf("init:%d\n", logger.InitLogInfo(QString::fromLocal8Bit(a[1])) ? 1 : 0);
        } else if (command == "log") {
            // The three forms in turn: std::string, printf, QString.
            const std::string text(size_t(atol(a[2])), 'x');
            for (long n = 0; n < atol(a[1]); ++n)
                if (n % 3 == 0)
                    logger.addLogtoList(INFO, __FILE__, "int main(int, char**)", int(n), text);
                else if (n % 3 == 1)
                    logger.addLogtoList(INFO, __FILE__, "int main(int, char**)", int(n), "%s", text.c_str());
                else
                    logger.addLogtoList(INFO, __FILE__, "int main(int, char**)", int(n), QString::fromStdString(text));
        } else if (command == "uninit") {
            logger.unInit();
        } else if (command == "next-second") {
            // The logger looks at its file's path once a second, by the clock
            // records are stamped with: time() lags it by up to a tick.
            timespec now, later;
            clock_gettime(CLOCK_REALTIME, &now);
            do
                clock_gettime(CLOCK_REALTIME, &later);
            while (later.tv_sec == now.tv_sec);
        } else if (command == "mv") {
            rename(a[1], a[2]);
        } else if (command == "mkdir") {
            mkdir(a[1], 0755);
        } else if (command == "chroot") {
            // Shut in without a chdir, as some hosts do; the zone read first.
            tzset();
            printf("chroot:%d\n", chroot(a[1]) == 0 ? 1 : 0);
        } else if (command == "fill") {
            // Another program fills the disk.
            const int fd = open(a[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
            static const char block[4096] = {};
            while (fd >= 0 && write(fd, block, sizeof(block)) > 0) {
            }
            close(fd);
        } else if (command == "where") {
            printf("file:%s\n", GetLogerStatus().m_strFilePath.toLocal8Bit().constData());
        } else if (command == "touch") {
            QFile(QString::fromLocal8Bit(a[1])).open(QIODevice::WriteOnly);
        } else if (command == "truncate") {
            QFile::resize(QString::fromLocal8Bit(a[1]), 0);
        } else if (command == "next-day") {
            // Waits for a date after the one the host started on, reading the
            // clock only: timed waits may not follow a shifted clock.
            while (QDate::currentDate() <= started) {
            }
        } else if (command == "qt-capture") {
            CaptureQtMessages();
        } else if (command == "qlog") {
            // Qt messages of every kind but fatal, "q <thread> <n> xxx...", from threads.
            const long count = atol(a[2]);
            const std::string pad(size_t(atol(a[3])), 'x');
            std::vector<std::thread> threads;
            for (long t = 0; t < atol(a[1]); ++t)
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
        } else if (command == "qfatal") {
            qFatal("q fatal"); // ends the process
        } else if (command == "err") {
            const std::string text(size_t(atol(a[2])), 'e');
            for (long n = 0; n < atol(a[1]); ++n)
                logger.addLogtoList(ERR, __FILE__, "int main(int, char**)", int(n), text);
        } else if (command == "limits") {
            LOGER_LIMITS limits;
            limits.m_bRetainWhileRunning = atoi(a[1]) != 0;
            limits.m_nMaxTotalSizeMB = unsigned(atol(a[2]));
            limits.m_nMinFreeSpaceMB = unsigned(atol(a[3]));
            limits.m_nSyncLevel = atoi(a[4]);
            SetLogerLimits(limits);
        } else if (command == "days") {
            // Records of BYTES, PER_HOUR of them in each hour of the clock,
            // until the date is DAYS days on, one more then; prints that date.
            const QDate end = QDate::currentDate().addDays(atol(a[1]));
            const std::string text(size_t(atol(a[2])), 'd');
            int hour = -1;
            while (QDate::currentDate() < end) {
                const QDateTime now = QDateTime::currentDateTime();
                if (now.time().hour() == hour)
                    continue;
                hour = now.time().hour();
                for (long n = 0; n < atol(a[3]); ++n)
                    logger.addLogtoList(INFO, __FILE__, "int main(int, char**)", hour, text);
            }
            logger.addLogtoList(INFO, __FILE__, "int main(int, char**)", 0, text); // one on the last day
            printf("date:%s\n", qPrintable(QDate::currentDate().toString("yyyyMMdd")));
        } else if (command == "fsize") {
            // The process's file size limit, as a device's guard sets it.
            const rlimit limit{rlim_t(atoll(a[1])), rlim_t(atoll(a[1]))};
            setrlimit(RLIMIT_FSIZE, &limit);
        } else if (command == "remove") {
            remove(a[1]); // a file or an empty directory
        } else if (command == "queue") {
            // The writer thread for the next start: RECORDS, wait or drop.
            LOGER_QUEUE queue;
            queue.m_nRecords = unsigned(atol(a[1]));
            queue.m_bDropWhenFull = std::string(a[2]) == "drop";
            SetLogerQueue(queue);
        } else if (command == "queue-status") {
            const LOGER_QUEUE_STATUS status = GetLogerQueueStatus();
            printf("queue:%u depth:%llu high:%llu dropped:%llu waited:%d\n", status.m_nCapacity, status.m_nDepth,
                   status.m_nHighWater, status.m_nDropped, status.m_nWaitedNanoseconds > 0 ? 1 : 0);
        } else if (command == "stall-echo") {
            // The echo of records stalls (as a write would on a stalled disk)
            // until "release" or the queue reaches DEPTH ("release-at").
            g_stalled = true;
            qInstallMessageHandler(StallingEcho);
        } else if (command == "exit-in-echo") {
            // Logs COUNT records, all but the first while the writer thread is
            // in the echo of the first; there, once they are queued, the
            // host's message handler ends the process.
            static long count = 0;
            static std::atomic<bool> inEcho{false};
            count = atol(a[1]);
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
                if (text.startsWith("\"[")) {
                    inEcho = true;
                    waitUntil([] { return GetLogerQueueStatus().m_nDepth >= (unsigned long long)count; }, 10);
                    exit(0);
                }
            });
            for (long n = 0; n < count; ++n) {
                logger.addLogtoList(INFO, __FILE__, "int main(int, char**)", int(n), "exit %ld", n);
                if (n == 0)
                    waitUntil([] { return inEcho.load(); }, 10);
            }
            waitUntil([] { return false; }, 20);
        } else if (command == "release-at") {
            const unsigned long long depth = strtoull(a[1], nullptr, 10);
            std::thread([depth] {
                waitUntil([depth] { return GetLogerQueueStatus().m_nDepth >= depth; }, 20);
                g_stalled = false;
            }).detach();
        } else if (command == "release") {
            // Then waits until the queue is empty (when there is one).
            g_stalled = false;
            waitUntil([] { return GetLogerQueueStatus().m_nDepth == 0; }, 20);
        } else if (command == "err-on-disk") {
            // ERR records, each looked for in the file as soon as its call returns.
            long found = 0;
            for (long n = 0; n < atol(a[1]); ++n) {
                const std::string text = "synced " + std::to_string(n);
                logger.addLogtoList(ERR, __FILE__, "int main(int, char**)", int(n), text);
                QFile file(GetLogerStatus().m_strFilePath);
                found += file.open(QIODevice::ReadOnly) && file.readAll().contains(("[" + text + "]\n").c_str());
            }
            printf("on-disk:%ld\n", found);
        } else if (command == "exit-while-logging") {
            // Threads log "t<thread> n<n>" without pause; once each has
            // returned from 200 records, the host exits while they go on.
            // At the exit, before the logger's end: with a queue, the echo
            // of records stalls until the queue is full and for 200 ms more;
            // then the host prints how many each thread had returned from.
            static std::atomic<long> returned[16];
            static long threads = 0;
            threads = std::min(atol(a[1]), 16L);
            qInstallMessageHandler(StallingEcho);
            for (long t = 0; t < threads; ++t)
                std::thread([t] {
                    for (long n = 0;; ++n) {
                        Loger::GetLoger().addLogtoList(INFO, __FILE__, "void spin()", int(t), "t%ld n%ld", t, n);
                        returned[t] = n + 1;
                    }
                }).detach();
            waitUntil(
                [] {
                    for (long t = 0; t < threads; ++t)
                        if (returned[t] < 200)
                            return false;
                    return true;
                },
                20);
            atexit([] {
                const unsigned int capacity = GetLogerQueueStatus().m_nCapacity;
                if (capacity > 0) {
                    g_stalled = true;
                    waitUntil([capacity] { return GetLogerQueueStatus().m_nDepth >= capacity; }, 10);
                    std::thread([] {
                        std::this_thread::sleep_for(std::chrono::milliseconds(200));
                        g_stalled = false;
                    }).detach();
                }
                printf("returned:");
                for (long t = 0; t < threads; ++t)
                    printf(" %ld", returned[t].load());
                printf("\n");
                fflush(stdout);
            });
            exit(0);
        } else if (command == "status") {
            const LOGER_STATUS status = GetLogerStatus();
            printf("written:%llu lost:%llu errno:%d logbytes:%lld\n", status.m_nRecordsWritten, status.m_nRecordsLost,
                   status.m_nLastErrno, static_cast<long long>(status.m_nLogBytes));
        } else if (command == "start-error") {
            int error = 0;
            const QString reason = GetLogerStartError(&error);
            printf("start-error:%d:%s\n", error, qUtf8Printable(reason));
        } else if (command == "limits-in-force") {
            const LOGER_LIMITS limits = GetLogerStatus().m_limits;
            const LOGER_QUEUE_STATUS queue = GetLogerQueueStatus();
            printf("limits:%d,%u,%u,%d,%u,%s\n", limits.m_bRetainWhileRunning ? 1 : 0, limits.m_nMaxTotalSizeMB,
                   limits.m_nMinFreeSpaceMB, limits.m_nSyncLevel, queue.m_nCapacity,
                   queue.m_bDropWhenFull ? "drop" : "wait");
        } else if (command == "crash-handler") {
            InstallCrashHandler();
        } else if (command == "crash") {
            const rlimit noCore = {0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
            const std::string kind = a[1];
            if (kind == "null")
                CrashByNullPointer();
            else if (kind == "abort")
                CrashByAbort();
            else if (kind == "overflow")
                printf("%d\n", CrashByOverflow(0));
            else if (kind == "throw")
                CrashByUncaughtException();
            else if (kind == "bus")
                CrashByBusError();
            else if (kind == "ill")
                CrashByIllegalInstruction();
            else if (kind == "kill")
                CrashByKill();
        } else if (command == "fork-while-logging") {
            // Threads log without pause while the host forks; each child logs
            // COUNT records "child <fork> <n>" and exits. Prints how many
            // children exited normally. The forks begin once every thread is
            // past its first 100 records: its first allocates (its state, its
            // call site), and a thread inside the allocator at a fork leaves
            // the child waiting for the allocator's lock forever unless the
            // allocator is fork-safe (glibc's is; GCC 12's ASan and TSan are not).
            static std::atomic<long> warm{0};
            const long threads = atol(a[1]), forks = atol(a[2]), count = atol(a[3]);
            for (long t = 0; t < threads; ++t)
                std::thread([t] {
                    for (long n = 0;; ++n) {
                        Loger::GetLoger().addLogtoList(INFO, __FILE__, "void spin()", int(t), "spin %ld", n);
                        if (n == 100)
                            ++warm;
                    }
                }).detach();
            while (warm < threads) {
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
        } else if (command == "small-stack") {
            // A thread with a 16 KiB stack logs BYTES-long messages in the
            // three forms, under a 64 KiB function text.
            static std::string function, text;
            function = "void " + std::string(65536, 'f') + "(int)";
            text.assign(size_t(atol(a[1])), 'y');
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
        } else if (command == "limit-memory") {
            // MEGABYTES more address space than the host uses now.
            long pages = 0;
            if (FILE* statm = fopen("/proc/self/statm", "r")) {
                if (fscanf(statm, "%ld", &pages) != 1)
                    pages = 0;
                fclose(statm);
            }
            const rlim_t bytes = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(atol(a[1])) << 20);
            const rlimit limit = {bytes, bytes};
            setrlimit(RLIMIT_AS, &limit);
        } else if (command == "fsize-soft") {
            // The soft file size limit alone, below the hard one; -1: none;
            // +BYTES: that much above the log file's size.
            rlimit limit{};
            getrlimit(RLIMIT_FSIZE, &limit);
            const char* const value = a[1];
            const long long bytes = atoll(value) + (value[0] == '+' ? GetLogerStatus().m_nFileSize : 0);
            limit.rlim_cur = bytes < 0 ? RLIM_INFINITY : rlim_t(bytes);
            setrlimit(RLIMIT_FSIZE, &limit);
        } else if (command == "cancel-while-logging") {
            // Threads log in both forms until each is cancelled (as
            // QThread::terminate does); prints how many ended cancelled.
            static std::atomic<long> logged{0};
            std::vector<pthread_t> threads(size_t(atol(a[1])));
            for (pthread_t& thread : threads)
                pthread_create(
                    &thread, nullptr,
                    [](void*) -> void* {
                        for (long n = 0;; ++n, ++logged) {
                            if (n % 2 == 0)
                                Loger::GetLoger().addLogtoList(INFO, __FILE__, "void worker()", 1, "cancel %ld", n);
                            else
                                Loger::GetLoger().addLogtoList(INFO, __FILE__, "void worker()", 2,
                                                               "cancel " + std::to_string(n));
                            pthread_testcancel();
                        }
                    },
                    nullptr);
            while (logged < long(threads.size()) * 200) {
            }
            for (pthread_t thread : threads)
                pthread_cancel(thread);
            long cancelled = 0;
            for (pthread_t thread : threads) {
                void* result = nullptr;
                pthread_join(thread, &result);
                cancelled += result == PTHREAD_CANCELED;
            }
            printf("cancelled:%ld\n", cancelled);
        } else if (command == "log-in-handler") {
            // A thread logs without pause; a handler of SIGUSR1 on it logs
            // too, wherever the signal finds it, SIGNALS times. Prints how
            // many handlers returned; "stuck" when one did not within 10 s.
            static std::atomic<long> handled{0};
            static std::atomic<bool> stop{false};
            struct sigaction action = {};
            action.sa_handler = [](int) {
                Loger::GetLoger().addLogtoList(INFO, __FILE__, "void handler()", 1, "from the handler");
                ++handled;
            };
            sigaction(SIGUSR1, &action, nullptr);
            std::thread busy([] {
                for (long n = 0; !stop; ++n)
                    Loger::GetLoger().addLogtoList(INFO, __FILE__, "void busy()", 1, "busy %ld", n);
            });
            const long count = atol(a[1]);
            for (long n = 0; n < count; ++n) {
                pthread_kill(busy.native_handle(), SIGUSR1);
                if (!waitUntil([n] { return handled > n; }, 10)) {
                    printf("handled:%ld stuck\n", handled.load());
                    fflush(stdout);
                    _exit(3);
                }
            }
            stop = true;
            busy.join();
            printf("handled:%ld\n", handled.load());
        } else if (command == "init-twice") {
            // Two threads start the logger at once, on two directories;
            // prints how many starts succeeded.
            static std::atomic<int> ready{0}, starts{0};
            const auto start = [](const char* dir) {
                ++ready;
                while (ready < 2) {
                }
                const LOG_CONFIG_INFO info{QString::fromLocal8Bit(dir), "demo", true, DEBUG, 30, false, 1024, 5};
                starts += Loger::GetLoger().InitLogInfo(info) ? 1 : 0;
            };
            std::thread first(start, a[1]), second(start, a[2]);
            first.join();
            second.join();
            printf("starts:%d\n", starts.load());
        } else if (command == "host-handler") {
            g_hostHandlerRestoresDefault = std::string(a[1]) == "default";
            struct sigaction action = {};
            action.sa_sigaction = HostHandler;
            action.sa_flags = SA_SIGINFO;
            sigaction(SIGSEGV, &action, nullptr);
            sigaction(SIGBUS, &action, nullptr);
            sigaction(SIGFPE, &action, nullptr);
        } else if (command == "touch-guard") {
            // Writes to a page the host's handler makes writable on the fault.
            void* page = mmap(nullptr, size_t(sysconf(_SC_PAGESIZE)), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            g_guardPage = page != MAP_FAILED ? static_cast<char*>(page) : nullptr;
            if (g_guardPage != nullptr)
                g_guardPage[0] = 'g';
            printf("guard:%c\n", g_guardPage != nullptr ? g_guardPage[0] : '-');
        } else if (command == "load-blocking") {
            // Another thread loads a plugin whose constructor never returns:
            // it holds the loader's lock from then on. A trace that waits for
            // that lock ends of SIGALRM.
            const std::string path = a[1];
            std::thread([path] { dlopen(path.c_str(), RTLD_NOW); }).detach();
            if (!waitUntil([] { return g_nPluginConstructing != 0; }, 10))
                printf("load-blocking: not loading\n");
            alarm(20);
        } else if (command == "rt-waiter") {
            // On one CPU, a thread writes long lines without pause while this
            // one, real-time, logs a short record every 200 us: it takes the
            // CPU from the writer wherever that is, often with the write lock
            // held. Prints how often it slept beyond its pauses, and how often
            // it read the monotonic clock while logging.
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(sched_getcpu(), &one);
            sched_setaffinity(0, sizeof(one), &one);
            static std::atomic<bool> stop{false};
            std::thread writer([] {
                while (!stop)
                    Loger::GetLoger().addLogtoList(INFO, __FILE__, "void writer()", 1, std::string(65536, 'w'));
            });
            const sched_param realTime{1}, normal{0};
            const long rounds = atol(a[1]);
            rusage before{}, after{};
            getrusage(RUSAGE_THREAD, &before);
            const bool available = pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime) == 0;
            for (long n = 0; available && n < rounds; ++n) {
                const timespec pause{0, 200000};
                nanosleep(&pause, nullptr);
                t_countClockReads = true;
                logger.addLogtoList(INFO, __FILE__, "void waiter()", 1, "waiter %ld", n);
                t_countClockReads = false;
            }
            getrusage(RUSAGE_THREAD, &after);
            pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
            stop = true;
            writer.join();
            if (available)
                printf("rt-waiter slept:%ld reads:%ld\n", after.ru_nvcsw - before.ru_nvcsw - rounds,
                       g_clockReads.load());
            else
                printf("rt-waiter:unavailable\n");
        } else if (command == "numbered") {
            // Records "record <n>", n = 0..COUNT-1, from THREADS threads at an
            // even pace over SECONDS: the levels in turn, every 7th over three
            // lines, every 11th with a tab, every 50th longer than 12,000 bytes.
            const long threads = atol(a[1]), count = atol(a[2]);
            const auto pace = std::chrono::microseconds(atoll(a[3]) * 1000000 * threads / count);
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
