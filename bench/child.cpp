// The child's side: one variant run from 1..n threads, timed, in a process
// of its own.
#include "bench.h"

#include <logger.h>
#include <logger_extras.h>

#include <spdlog/async_logger.h>
#include <spdlog/details/thread_pool.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>

#include <sys/resource.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

namespace bench
{
namespace
{
using Clock = std::chrono::steady_clock;

uint64_t Nanoseconds(Clock::duration d)
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
}

// The thread id as the logger writes it: pthread_self() as unsigned int.
unsigned ThreadIdNumber()
{
    return static_cast<unsigned>(pthread_self());
}

struct Timing
{
    uint64_t elapsedNs = 0, p50Ns = 0, p99Ns = 0, p999Ns = 0, maxNs = 0;
    uint64_t preempted = 0; // the logging threads' involuntary switches: on a busy machine, its share of the waits
};

long InvoluntarySwitches()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nivcsw;
}

// Starts the threads together and times from the first thread's start to the
// last thread's end (the main thread may wake from the barrier last).
// writer.Prepare(t) runs in thread t before the start; writer(t, k) logs one
// record. Every sampleEvery-th call is timed (none when 0). With periodNs,
// each thread logs one record a period, at absolute deadlines, so that a slow
// call is not added to the waits after it.
template <class Writer>
Timing RunThreads(unsigned threads, unsigned long perThread, unsigned long sampleEvery, uint64_t periodNs,
                  Writer& writer)
{
    std::vector<std::vector<uint32_t>> samples(threads);
    std::vector<Clock::time_point> starts(threads), ends(threads);
    std::vector<long> preempted(threads);
    // A barrier, not a spin: its system calls are the same in every run, so
    // the strace counts of a run without records cancel them.
    pthread_barrier_t barrier;
    pthread_barrier_init(&barrier, nullptr, threads + 1);
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            std::vector<uint32_t>& mine = samples[t];
            mine.reserve(sampleEvery != 0 ? perThread / sampleEvery + 1 : 0);
            writer.Prepare(t);
            pthread_barrier_wait(&barrier);
            starts[t] = Clock::now();
            preempted[t] = -InvoluntarySwitches();
            timespec deadline{};
            clock_gettime(CLOCK_MONOTONIC, &deadline);
            for (unsigned long k = 0; k < perThread; ++k) {
                if (periodNs != 0) {
                    deadline.tv_nsec += static_cast<long>(periodNs);
                    deadline.tv_sec += deadline.tv_nsec / 1000000000;
                    deadline.tv_nsec %= 1000000000;
                    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
                    }
                }
                if (sampleEvery == 0 || k % sampleEvery != 0) {
                    writer(t, k);
                    continue;
                }
                const Clock::time_point start = Clock::now();
                writer(t, k);
                mine.push_back(
                    static_cast<uint32_t>(std::min<uint64_t>(Nanoseconds(Clock::now() - start), UINT32_MAX)));
            }
            ends[t] = Clock::now();
            preempted[t] += InvoluntarySwitches();
        });
    }
    pthread_barrier_wait(&barrier);
    for (std::thread& worker : workers)
        worker.join();
    pthread_barrier_destroy(&barrier);
    Timing timing;
    timing.elapsedNs =
        Nanoseconds(*std::max_element(ends.begin(), ends.end()) - *std::min_element(starts.begin(), starts.end()));
    for (const long count : preempted)
        timing.preempted += static_cast<uint64_t>(count);
    std::vector<uint32_t> all;
    for (const std::vector<uint32_t>& mine : samples)
        all.insert(all.end(), mine.begin(), mine.end());
    if (!all.empty()) {
        std::sort(all.begin(), all.end());
        timing.p50Ns = all[all.size() / 2];
        timing.p99Ns = all[std::min(all.size() - 1, all.size() * 99 / 100)];
        timing.p999Ns = all[std::min(all.size() - 1, all.size() * 999 / 1000)];
        timing.maxNs = all.back();
    }
    return timing;
}

// The floor: each thread's ready line, the record number patched in, one
// write(2) per line to a file opened with O_APPEND.
struct FloorWriter
{
    struct alignas(64) Line
    {
        std::string text;
        size_t digitsAt = 0;
    };
    int fd = -1;
    std::string timeOfDay; // taken once
    std::vector<Line> lines;

    void Prepare(unsigned t)
    {
        lines[t].text = ExpectedLine(timeOfDay, ThreadIdNumber(), 0, t);
        lines[t].digitsAt = lines[t].text.find("   [record ") + strlen("   [record ");
    }
    void operator()(unsigned t, unsigned long k)
    {
        Line& line = lines[t];
        for (size_t i = kRecordDigits; i-- > 0; k /= 10)
            line.text[line.digitsAt + i] = static_cast<char>('0' + k % 10);
        const ssize_t written = write(fd, line.text.data(), line.text.size());
        (void)written; // a short or failed write shows in the read-back
    }
};

// What a straightforward formatted write costs: the clock, the local time,
// snprintf of the whole line and one write(2) per record; no lock.
struct SnprintfWriter
{
    int fd = -1;
    void Prepare(unsigned) {}
    void operator()(unsigned t, unsigned long k)
    {
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        struct tm local;
        localtime_r(&now.tv_sec, &local);
        char line[256];
        const int n = snprintf(line, sizeof(line),
                               "[%02d:%02d:%02d.%03ld] [%-5s] [%-4d] [%-5u]  [%s]   [" BENCH_PRINTF_MESSAGE "]\n",
                               local.tm_hour, local.tm_min, local.tm_sec, now.tv_nsec / 1000000, "INFO", kSourceLine,
                               ThreadIdNumber(), kFunctionName, k, t);
        const ssize_t written = write(fd, line, static_cast<size_t>(n));
        (void)written; // a short or failed write shows in the read-back
    }
};

// spdlog's level and thread id in the logger's layout: "INFO " and the
// logger's thread number padded to 5, cached per thread as spdlog's %t is.
// The async logger formats in its worker, so its lines name the worker's
// thread: the same width, and the read-back takes the id from the line.
class LevelFlag : public spdlog::custom_flag_formatter
{
public:
    void format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) override
    {
        static const char* const names[] = {"TRACE", "DEBUG", "INFO ", "WARN ", "ERR  ", "FATAL", "OFF  "};
        dest.append(names[msg.level], names[msg.level] + 5);
    }
    std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<LevelFlag>(); }
};
class ThreadFlag : public spdlog::custom_flag_formatter
{
public:
    void format(const spdlog::details::log_msg&, const std::tm&, spdlog::memory_buf_t& dest) override
    {
        thread_local char text[16];
        thread_local int size = snprintf(text, sizeof(text), "%-5u", ThreadIdNumber());
        dest.append(text, text + size);
    }
    std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<ThreadFlag>(); }
};

struct SpdlogWriter
{
    spdlog::logger* logger = nullptr;
    void Prepare(unsigned) {}
    void operator()(unsigned t, unsigned long k)
    {
        logger->log(spdlog::source_loc{__FILE__, kSourceLine, kFunctionName}, spdlog::level::info, BENCH_FMT_MESSAGE, k,
                    t);
    }
};

struct LoggerWriter
{
    void Prepare(unsigned) {}
    void operator()(unsigned t, unsigned long k)
    {
        Loger::GetLoger().addLogtoList(INFO, __FILE__, kFunctionText, kSourceLine, BENCH_PRINTF_MESSAGE, k, t);
    }
};

// Nothing logged, the call timed all the same: in the stall scenario, what the
// machine's own interruptions add to every row.
struct NothingWriter
{
    void Prepare(unsigned) {}
    void operator()(unsigned, unsigned long) {}
};

} // namespace

void RunVariant(const std::string& id, unsigned threads, unsigned long records, unsigned long periodUs,
                const std::string& dir, int resultFd)
{
    const unsigned long perThread = records / threads;
    alarm(static_cast<unsigned>(kChildTimeoutSeconds + perThread * periodUs / 1000000));
    const bool filtered = id.find("-filtered") != std::string::npos;
    // A filtered record costs less than the two clock reads that time it:
    // sampled rarely, so that its ns/record stays within a nanosecond. A
    // paced run times every call: its longest wait is what it is after.
    const unsigned long sampleEvery = periodUs != 0 ? 1 : filtered ? kSampleFilteredEvery : kSampleEvery;
    const uint64_t periodNs = periodUs * 1000;
    Timing timing;
    std::string error;
    if (id == "nothing") {
        NothingWriter writer;
        timing = RunThreads(threads, perThread, sampleEvery, periodNs, writer);
    } else if (id == "floor") {
        FloorWriter writer;
        writer.fd = open((dir + "/floor.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        const time_t now = time(nullptr);
        struct tm local;
        localtime_r(&now, &local);
        char text[16];
        snprintf(text, sizeof(text), "%02d:%02d:%02d.042", local.tm_hour, local.tm_min, local.tm_sec);
        writer.timeOfDay = text;
        writer.lines.resize(threads);
        if (writer.fd < 0)
            error = std::string("cannot open the floor's file: ") + strerror(errno);
        else
            timing = RunThreads(threads, perThread, sampleEvery, periodNs, writer);
    } else if (id == "snprintf") {
        SnprintfWriter writer;
        writer.fd = open((dir + "/snprintf.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (writer.fd < 0)
            error = std::string("cannot open the file: ") + strerror(errno);
        else
            timing = RunThreads(threads, perThread, sampleEvery, periodNs, writer);
    } else if (id == "spdlog" || id == "spdlog-filtered" || id == "spdlog-async") {
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(dir + "/spdlog.log");
        std::shared_ptr<spdlog::details::thread_pool> pool;
        std::shared_ptr<spdlog::logger> logger;
        if (id == "spdlog-async") {
            // Its own usual form: the worker writes through the file's stdio
            // buffer, many lines a write(2), as the writer thread batches.
            pool = std::make_shared<spdlog::details::thread_pool>(kQueueRecords, 1);
            logger = std::make_shared<spdlog::async_logger>("bench", sink, pool, spdlog::async_overflow_policy::block);
        } else {
            logger = std::make_shared<spdlog::logger>("bench", sink);
            logger->flush_on(spdlog::level::trace);
        }
        auto formatter = std::make_unique<spdlog::pattern_formatter>();
        formatter->add_flag<LevelFlag>('*').add_flag<ThreadFlag>('&').set_pattern(
            "[%H:%M:%S.%e] [%*] [%-4#] [%&]  [%!]   [%v]");
        logger->set_formatter(std::move(formatter));
        logger->set_level(filtered ? spdlog::level::warn : spdlog::level::info);
        SpdlogWriter writer{logger.get()};
        timing = RunThreads(threads, perThread, sampleEvery, periodNs, writer);
        // As for the writer thread: the callers' time is timed; the pool's
        // end writes out what is queued and the flush, for the read-back.
        logger->flush();
        pool.reset();
    } else if (id == "logger" || id == "logger-echo" || id == "logger-filtered" || id == "logger-queue" ||
               id.rfind(kLockVariantPrefix, 0) == 0) {
        LOG_CONFIG_INFO info{};
        info.m_strLogPath = QString::fromLocal8Bit(dir.c_str()) + "/";
        info.m_strLogName = "bench";
        info.m_bIsWriteLog = true;
        info.m_emLogLevel = INFO;
        info.m_nMegaByte = kMegaByteLimit;
        info.m_bIsPrintScreen = id == "logger-echo";
        info.m_nRowLogMaxLen = 1024;
        info.m_nOverDays = 5;
        LOGER_QUEUE queue;
        queue.m_nRecords = id == "logger-queue" ? kQueueRecords : 0;
        SetLogerQueue(queue);
        Loger& logger = Loger::GetLoger();
        if (!logger.InitLogInfo(info)) {
            error = "the logger did not start";
        } else {
            if (filtered)
                logger.SetLogLevel(WARN);
            LoggerWriter writer;
            timing = RunThreads(threads, perThread, sampleEvery, periodNs, writer);
            // The callers' time is timed; what is still queued is written
            // out after, for the read-back.
            logger.unInit();
        }
    } else {
        error = "unknown variant " + id;
    }
    if (resultFd >= 0 && error.empty())
        dprintf(resultFd, "ok %llu %llu %llu %llu %llu %llu\n", static_cast<unsigned long long>(timing.elapsedNs),
                static_cast<unsigned long long>(timing.p50Ns), static_cast<unsigned long long>(timing.p99Ns),
                static_cast<unsigned long long>(timing.p999Ns), static_cast<unsigned long long>(timing.maxNs),
                static_cast<unsigned long long>(timing.preempted));
    else if (resultFd >= 0)
        dprintf(resultFd, "error %s\n", error.c_str());
    // No destructors: every line must already be in the file (all variants
    // flush per line), and the logger's exit messages would go nowhere.
    _exit(error.empty() ? 0 : 1);
}

} // namespace bench
