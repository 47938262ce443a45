// The stall scenario: the kernel gets a device's small page cache
// (vm.dirty_bytes 8 MiB, vm.dirty_background_bytes 4 MiB) while a neighbour
// process streams a large file to the file system of the logs, and one host
// thread logs a record every 500 µs, each call timed. Rows: this library's
// caller as today, the caller with the writer thread's queue, and spdlog's
// async logger. Only root may change the settings. They are restored on every
// way out of this process that still runs its code: the end, an error,
// exit(), a fatal signal; SIGKILL alone leaves them, and stderr says how to
// restore them by hand.
#include "bench.h"

#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <thread>

namespace bench
{
namespace
{
namespace fs = std::filesystem;

// The neighbour rewrites a file of 1 GiB in chunks of 1 MiB, far more than
// may be dirty: it writes at the disk's pace, throttled by the kernel.
constexpr off_t kNeighbourFileBytes = off_t{1} << 30;
constexpr size_t kNeighbourChunkBytes = size_t{1} << 20;
// Time for the neighbour's dirty pages to reach the limit before a run.
constexpr auto kNeighbourHeadStart = std::chrono::seconds(1);
const char* const kDirtyBytes = "8388608";           // 8 MiB
const char* const kDirtyBackgroundBytes = "4194304"; // 4 MiB
// The targets the queue is built for, shown beside its numbers (not asserted).
constexpr double kTargetP999Us = 20, kTargetLongestUs = 1000;

struct StallRow
{
    const char* id; // a variant of child.cpp, run paced
    const char* label;
    bool logs; // its files are read back
};
constexpr StallRow kRows[] = {
    {"nothing", "nothing logged: the timing alone (the machine's own interruptions)", false},
    {"logger", "caller today: this library, no queue", true},
    {"logger-queue", "caller with queue: QueueRecords=65536, WhenQueueFull=wait", true},
    {"spdlog-async", "spdlog async_logger, queue of 65536, block when full", true},
};
constexpr size_t kRowCount = sizeof(kRows) / sizeof(kRows[0]), kQueueRow = 2;

// The kernel's settings as found, in pairs of bytes and ratio: writing the
// bytes zeroes the ratio and writing the ratio zeroes the bytes, so the one
// in use (the bytes when not 0) is the one written back.
struct Setting
{
    const char* name;
    char saved[32];
    size_t length;
};
Setting g_settings[] = {{"dirty_bytes", "", 0},
                        {"dirty_ratio", "", 0},
                        {"dirty_background_bytes", "", 0},
                        {"dirty_background_ratio", "", 0}};
char g_paths[4][64];
volatile sig_atomic_t g_changed = 0;
const int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT, SIGSEGV, SIGBUS};

// Async-signal-safe: the signal handler writes through it too.
bool WriteSetting(const char* path, const char* value, size_t length)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = write(fd, value, length) == static_cast<ssize_t>(length);
    return close(fd) == 0 && written;
}

const Setting& InUse(size_t pair, size_t* index)
{
    *index = strcmp(g_settings[pair].saved, "0") != 0 ? pair : pair + 1;
    return g_settings[*index];
}

// Idempotent and async-signal-safe: the end, atexit and the signal handler call it.
void Restore()
{
    if (g_changed == 0)
        return;
    g_changed = 0;
    for (size_t pair = 0; pair < 4; pair += 2) {
        size_t index = 0;
        const Setting& setting = InUse(pair, &index);
        WriteSetting(g_paths[index], setting.saved, setting.length);
    }
}

void OnFatalSignal(int signalNumber)
{
    Restore();
    signal(signalNumber, SIG_DFL);
    raise(signalNumber); // delivered when the handler returns: the usual end
}

std::string Current(size_t index)
{
    std::ifstream in(g_paths[index]);
    std::string value;
    in >> value;
    return value;
}

// Saves the four settings and arms the restore; "" or what went wrong.
std::string SaveAndArm()
{
    for (size_t i = 0; i < 4; ++i) {
        snprintf(g_paths[i], sizeof(g_paths[i]), "/proc/sys/vm/%s", g_settings[i].name);
        const std::string value = Current(i);
        if (value.empty() || value.size() >= sizeof(g_settings[i].saved))
            return std::string("cannot read ") + g_paths[i];
        memcpy(g_settings[i].saved, value.c_str(), value.size() + 1);
        g_settings[i].length = value.size();
    }
    static const bool registered = atexit(Restore) == 0;
    (void)registered;
    for (const int signalNumber : kFatalSignals)
        signal(signalNumber, OnFatalSignal);
    return "";
}

// "vm.dirty_ratio=20 vm.dirty_background_ratio=10": the settings in use as found.
std::string SavedText()
{
    std::string text;
    for (size_t pair = 0; pair < 4; pair += 2) {
        size_t index = 0;
        const Setting& setting = InUse(pair, &index);
        text += std::string(text.empty() ? "" : " ") + "vm." + setting.name + "=" + setting.saved;
    }
    return text;
}

// Forked, not run anew: it only writes. Its file is unlinked at once, so it is
// never left behind, however the scenario ends; its pages go to the disk all
// the same while it is open.
pid_t StartNeighbour(const std::string& dir, std::atomic<uint64_t>* written)
{
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    for (const int signalNumber : kFatalSignals)
        signal(signalNumber, SIG_DFL); // the parent restores the settings, not this child
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(0);
    const std::string path = dir + "/neighbour";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    unlink(path.c_str());
    const std::string chunk(kNeighbourChunkBytes, 'n');
    for (off_t at = 0; fd >= 0; at = (at + static_cast<off_t>(chunk.size())) % kNeighbourFileBytes) {
        const ssize_t n = pwrite(fd, chunk.data(), chunk.size(), at);
        if (n <= 0)
            break;
        written->fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
    }
    _exit(1);
}

struct StallOutcome
{
    std::string failure; // the child's error; its numbers are then missing
    double p50Us = 0, p99Us = 0, p999Us = 0, longestUs = 0, preempted = 0;
    Tally tally;
};

StallOutcome StallRun(const std::string& self, const std::string& dir, const StallRow& row, unsigned long records,
                      int rep)
{
    const std::string runDir = dir + "/stall-" + row.id + "-" + std::to_string(rep);
    fs::create_directory(runDir);
    const std::string result =
        RunChild({self, "--child", row.id, "1", std::to_string(records), std::to_string(kStallPeriodUs), runDir}, true);
    StallOutcome outcome;
    unsigned long long elapsed = 0, p50 = 0, p99 = 0, p999 = 0, longest = 0, preempted = 0;
    if (sscanf(result.c_str(), "ok %llu %llu %llu %llu %llu %llu", &elapsed, &p50, &p99, &p999, &longest, &preempted) !=
        6) {
        outcome.failure = result.empty() ? "no result" : result.substr(0, result.find('\n'));
    } else {
        if (row.logs)
            outcome.tally = ReadBack(runDir, 1, records);
        outcome.p50Us = static_cast<double>(p50) / 1000;
        outcome.p99Us = static_cast<double>(p99) / 1000;
        outcome.p999Us = static_cast<double>(p999) / 1000;
        outcome.longestUs = static_cast<double>(longest) / 1000;
        outcome.preempted = static_cast<double>(preempted);
    }
    fs::remove_all(runDir);
    return outcome;
}

std::string Spread(const std::vector<double>& values)
{
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return Format("%.1f (%.1f–%.1f)", Median(values), *low, *high);
}
} // namespace

int RunStall(const std::string& self, const std::string& dir, const std::string& machine, int reps,
             unsigned long records, bool withNeighbour)
{
    if (geteuid() != 0) {
        printf("Stall scenario skipped: it sets vm.dirty_bytes and vm.dirty_background_bytes, which only root may "
               "change (running as uid %u).\n",
               static_cast<unsigned>(geteuid()));
        return 0;
    }
    struct statvfs space
    {
    };
    if (withNeighbour && statvfs(dir.c_str(), &space) == 0 &&
        static_cast<double>(space.f_bavail) * static_cast<double>(space.f_frsize) < 2.0 * kNeighbourFileBytes) {
        printf("Stall scenario skipped: the neighbour's file of %lld MiB needs twice that free in %s.\n",
               static_cast<long long>(kNeighbourFileBytes >> 20), dir.c_str());
        return 0;
    }
    const std::string saveError = SaveAndArm();
    if (!saveError.empty()) {
        fprintf(stderr, "logger_bench: %s\n", saveError.c_str());
        return 1;
    }
    const std::string loadAtStart = LoadAverage(), saved = SavedText();
    fprintf(stderr,
            "logger_bench: vm.dirty_bytes=%s vm.dirty_background_bytes=%s for the stall scenario; they are put back "
            "at its end (if this program is killed with SIGKILL: sysctl %s)\n",
            kDirtyBytes, kDirtyBackgroundBytes, saved.c_str());
    g_changed = 1; // before the first write: a signal from here on restores
    if (!WriteSetting(g_paths[0], kDirtyBytes, strlen(kDirtyBytes)) ||
        !WriteSetting(g_paths[2], kDirtyBackgroundBytes, strlen(kDirtyBackgroundBytes))) {
        fprintf(stderr, "logger_bench: cannot set the dirty limits: %s\n", strerror(errno));
        Restore();
        return 1;
    }

    // The neighbour's count of bytes, in memory it shares with this process.
    void* shared =
        mmap(nullptr, sizeof(std::atomic<uint64_t>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    auto* written = shared != MAP_FAILED ? new (shared) std::atomic<uint64_t>(0) : nullptr;
    const pid_t neighbour = !withNeighbour ? 0 : written != nullptr ? StartNeighbour(dir, written) : -1;
    std::vector<std::vector<StallOutcome>> outcomes(kRowCount);
    const auto start = std::chrono::steady_clock::now();
    if (neighbour >= 0) {
        std::this_thread::sleep_for(kNeighbourHeadStart);
        // Each rep runs every row once, in an order rotated by the rep.
        for (int rep = 0; rep < reps; ++rep) {
            fprintf(stderr, "logger_bench: stall rep %d of %d\n", rep + 1, reps);
            for (size_t i = 0; i < kRowCount; ++i) {
                const size_t r = (i + static_cast<size_t>(rep)) % kRowCount;
                outcomes[r].push_back(StallRun(self, dir, kRows[r], records, rep));
            }
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int neighbourStatus = 0;
    std::string neighbourNote;
    if (neighbour < 0)
        neighbourNote = "The neighbour did not start: nothing was run.";
    else if (neighbour == 0)
        neighbourNote = ""; // none was asked for
    else if (waitpid(neighbour, &neighbourStatus, WNOHANG) == neighbour)
        neighbourNote = "The neighbour stopped early (a full disk?): the numbers are not all under the stall.";
    else if (kill(neighbour, SIGKILL) == 0)
        waitpid(neighbour, &neighbourStatus, 0);
    const double megabytesPerSecond = written != nullptr ? static_cast<double>(written->load()) / 1e6 / seconds : 0;
    Restore();
    std::string restored = "restored";
    for (size_t i = 0; i < 4; ++i)
        if (Current(i) != g_settings[i].saved)
            restored = "NOT restored: vm." + std::string(g_settings[i].name) + " is " + Current(i) + ", was " +
                       g_settings[i].saved;

    printf("%s; load average %s at the start, %s at the end.\n\n", machine.c_str(), loadAtStart.c_str(),
           LoadAverage().c_str());
    const std::string meanwhile =
        withNeighbour
            ? Format("meanwhile a neighbour process rewrote a %.0f MiB file in the same file system at %.0f MB/s",
                     static_cast<double>(kNeighbourFileBytes >> 20), megabytesPerSecond)
            : "no neighbour (--no-neighbour): the reference without the stall";
    printf("Stall: one host thread logs a record every %lu µs (absolute deadlines), %lu records a run, every call "
           "timed; %d reps (interleaved); vm.dirty_bytes 8 MiB and vm.dirty_background_bytes 4 MiB (%s after: %s); "
           "%s.\n\n",
           kStallPeriodUs, records, reps, restored.c_str(), saved.c_str(), meanwhile.c_str());
    bool allGood = neighbourNote.empty() && restored == "restored";
    std::vector<std::vector<std::string>> table{
        {"row", "p50 µs", "p99 µs", "p99.9 µs", "longest µs", "lost / duplicated / torn (all reps)", "preempted"}};
    std::vector<double> queueP999, queueLongest;
    unsigned long queueMissing = 0;
    for (size_t r = 0; r < kRowCount; ++r) {
        std::vector<double> p50, p99, p999, longest, preempted;
        Tally sum;
        std::string failure;
        for (size_t rep = 0; rep < outcomes[r].size(); ++rep) {
            const StallOutcome& outcome = outcomes[r][rep];
            if (!outcome.failure.empty()) {
                failure = "**FAILED** (rep " + std::to_string(rep + 1) + ": " + outcome.failure + ")";
                break;
            }
            p50.push_back(outcome.p50Us);
            p99.push_back(outcome.p99Us);
            p999.push_back(outcome.p999Us);
            longest.push_back(outcome.longestUs);
            preempted.push_back(outcome.preempted);
            sum.lost += outcome.tally.lost;
            sum.duplicated += outcome.tally.duplicated;
            sum.torn += outcome.tally.torn;
        }
        if (failure.empty() && !p50.empty()) {
            const std::string counts =
                std::to_string(sum.lost) + " / " + std::to_string(sum.duplicated) + " / " + std::to_string(sum.torn);
            table.push_back({kRows[r].label, Format("%.1f", Median(p50)), Format("%.1f", Median(p99)), Spread(p999),
                             Spread(longest), kRows[r].logs ? counts : "–", Format("%.0f", Median(preempted))});
        } else {
            table.push_back({kRows[r].label, failure.empty() ? "not run" : failure, "", "", "", "", ""});
        }
        allGood = allGood && failure.empty() && !p50.empty() && sum.Problem().empty();
        if (r == kQueueRow) {
            queueP999 = p999;
            queueLongest = longest;
            queueMissing = sum.lost + sum.duplicated + sum.torn;
        }
    }
    printf("p50 and p99: median over the reps; p99.9 and longest: median (min–max) over the reps; each rep's "
           "files read back; preempted: the host thread's involuntary context switches in a run, median (on a busy "
           "machine, waits for a core, not for the file).\n\n");
    PrintTable(table);
    if (!queueP999.empty()) {
        const double p999 = Median(queueP999), longest = Median(queueLongest);
        printf("\nThe queue's targets: p99.9 ≤ %.0f µs (%.1f: %s), longest ≤ %.0f µs (%.1f: %s), none lost or "
               "duplicated (%lu: %s).\n",
               kTargetP999Us, p999, p999 <= kTargetP999Us ? "met" : "MISSED", kTargetLongestUs, longest,
               longest <= kTargetLongestUs ? "met" : "MISSED", queueMissing, queueMissing == 0 ? "met" : "MISSED");
    }
    if (!neighbourNote.empty())
        printf("\n%s\n", neighbourNote.c_str());
    if (!allGood)
        printf("\nSome runs failed or lost, tore or duplicated lines, or the settings were not restored.\n");
    fflush(stdout);
    return allGood ? 0 : 1;
}
} // namespace bench
