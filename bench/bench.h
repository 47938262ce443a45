// The benchmark's constants, its variants and the line every variant writes,
// shared by the parent (bench.cpp) and the child that runs one variant
// (child.cpp).
#ifndef LOGGER_BENCH_BENCH_H
#define LOGGER_BENCH_BENCH_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace bench
{
// At ~2 µs a record, a floor run lasts ~0.4 s: long enough to even out the
// scheduler, short enough for every variant, thread count and rep.
inline constexpr unsigned long kDefaultRecords = 200000;
// Interleaved reps: a run hit by another process moves the min–max, not the median.
inline constexpr int kDefaultReps = 5;
// Every 8th call is timed for p50/p99: timing each call (two clock reads,
// ~50 ns) would add a few per cent to the cheapest variant, 1 in 8 under 1 %.
inline constexpr unsigned long kSampleEvery = 8;
// A filtered record (~10 ns) is timed 1 call in 64: its p50/p99 show mostly
// the clock reads, its ns/record stays true.
inline constexpr unsigned long kSampleFilteredEvery = 64;
// Filtered records run ten times the records: 200,000 of them last 2 ms,
// short enough for one interruption to move the result by a nanosecond.
inline constexpr unsigned long kFilteredRecordsFactor = 10;
// The short strace run; a run of no records is subtracted, so that start-up
// calls do not count. 1 thread: no lock contention in the counts.
inline constexpr unsigned long kDefaultStraceRecords = 5000;
// A child that hangs (a deadlocked library) ends as a failed run.
inline constexpr unsigned kChildTimeoutSeconds = 600;
// The line of every variant, 104 bytes with a 10-digit thread id:
//   [09:05:03.042] [INFO ] [57  ] [4137887488]  [bench_worker]   [record 00000123 of thread 1 in the bench]
// The record number has a fixed width, so the floor patches it in place.
inline constexpr int kSourceLine = 57;
inline const char* const kFunctionText = "void bench_worker(unsigned int)"; // the logger cuts it to the name
inline const char* const kFunctionName = "bench_worker";
#define BENCH_PRINTF_MESSAGE "record %08lu of thread %u in the bench"
#define BENCH_FMT_MESSAGE "record {:08} of thread {} in the bench"
inline constexpr size_t kRecordDigits = 8;
inline constexpr unsigned long kMaxRecordsPerThread = 99999999;
// A size limit no run reaches; a rollover would still be read back.
inline constexpr unsigned kMegaByteLimit = 4096;
// The writer thread's queue in its row: the size a device would give it.
inline constexpr unsigned kQueueRecords = 65536;
// The stall scenario: one record every 500 µs (a 2 kHz control loop), 20,000
// of them (10 s a run, long enough for many of the neighbour's stalls).
inline constexpr unsigned long kStallPeriodUs = 500, kDefaultStallRecords = 20000;

struct Variant
{
    const char* id;
    const char* label;
    bool filtered; // INFO logged at level WARN: runs with one thread, shown in ns/record
};
inline const Variant kVariants[] = {
    {"floor", "floor: one write(2) of a ready line, no lock", false},
    {"snprintf", "time + snprintf + write, no lock", false},
    {"spdlog", "spdlog, basic_file_sink_mt, flush_on(trace)", false},
    {"logger", "this library, printf form, echo off", false},
    {"logger-echo", "this library, echo on (to /dev/null)", false},
    {"logger-queue", "this library, writer thread, queue of 65536, echo off", false},
    {"spdlog-async", "spdlog async_logger, queue of 65536, block when full", false},
    {"logger-lock-own", "this library as the row \"printf form\", built with its own write lock", false},
    {"logger-lock-std", "this library as the row \"printf form\", built with std::mutex", false},
    {"logger-lock-adaptive", "this library as the row \"printf form\", built with glibc's adaptive mutex", false},
    {"spdlog-filtered", "spdlog, record filtered out by level", true},
    {"logger-filtered", "this library, record filtered out by level", true},
};
inline constexpr size_t kFloor = 0, kVariantCount = sizeof(kVariants) / sizeof(kVariants[0]);
// The variants "logger-lock-<kind>" run in logger_bench_lock_<kind>, this
// program linked to a copy of the library built with LOGGER_WRITE_LOCK=<kind>.
inline const char* const kLockVariantPrefix = "logger-lock-";

// The expected line with its line feed, as the floor writes it and as the
// read-back demands it.
inline std::string ExpectedLine(const std::string& timeOfDay, unsigned tid, unsigned long record, unsigned thread)
{
    char text[256];
    const int n = snprintf(text, sizeof(text), "[%s] [%-5s] [%-4d] [%-5u]  [%s]   [" BENCH_PRINTF_MESSAGE "]\n",
                           timeOfDay.c_str(), "INFO", kSourceLine, tid, kFunctionName, record, thread);
    return std::string(text, static_cast<size_t>(n));
}

// The rollover rows: files filled per run, and the other programs' .log
// files beside them (a directory where logs pile up).
inline constexpr unsigned kRolloverFiles = 6;
inline constexpr unsigned kRolloverCrowd[] = {0, 5000};

// Runs one variant in this process, which it ends; writes "ok <elapsed ns>
// <p50 ns> <p99 ns> <p99.9 ns> <max ns> <involuntary switches>" or "error
// <text>" to resultFd (nothing when -1). periodUs 0: at full speed; else each
// thread logs one record a period.
[[noreturn]] void RunVariant(const std::string& id, unsigned threads, unsigned long records, unsigned long periodUs,
                             const std::string& dir, int resultFd);
// Fills kRolloverFiles files of 1 MiB beside otherFiles other .log files in
// this process, which it ends; writes "ok <rollovers> <median ns> <max ns>"
// of the records that started a new file to resultFd.
[[noreturn]] void RunRollover(unsigned otherFiles, const std::string& dir, int resultFd);

// The parent's tools, shared by the throughput table (bench.cpp) and the
// stall scenario (stall.cpp).
// Runs args in a child with stdin, stdout and stderr on /dev/null; with
// wantResult, it writes its result to a pipe whose descriptor number is
// appended to args (else -1 is). Returns that result, "ok", or what went wrong.
std::string RunChild(std::vector<std::string> args, bool wantResult);
// What the read-back of a run's files found.
struct Tally
{
    unsigned long lines = 0, lost = 0, torn = 0, duplicated = 0;
    std::string Problem() const; // "" when every record is there once in a whole line
};
// Every file of dir read back: each record 0..perThread-1 of each thread must
// be there once, in a line of exactly the expected bytes.
Tally ReadBack(const std::string& dir, unsigned threads, unsigned long perThread);
double Median(std::vector<double> values);
std::string Format(const char* format, double a, double b = 0, double c = 0);
void PrintTable(const std::vector<std::vector<std::string>>& rows); // markdown; the first row heads it
std::string LoadAverage();
// The processor, its cores and the file system of dir (named as parent).
std::string Machine(const std::string& parent, const std::string& dir);

// The stall scenario in dir (see stall.cpp); prints its table or why it was
// skipped. Without the neighbour: the reference. Returns the exit status.
int RunStall(const std::string& self, const std::string& dir, const std::string& machine, int reps,
             unsigned long records, bool withNeighbour);
} // namespace bench

#endif // LOGGER_BENCH_BENCH_H
