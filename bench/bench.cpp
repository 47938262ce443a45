// The benchmark: every variant logs the same line from 1, 2 and 4 threads,
// each run in a fresh child process with an empty directory of its own; the
// parent reads the files back, checks that every record is there once in a
// whole line, and prints ratios to the floor as a markdown table. Options:
// --help; how to read the table: the README's "Benchmark".
#include "bench.h"

#include <sys/prctl.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace bench
{
std::string RunChild(std::vector<std::string> args, bool wantResult)
{
    int fds[2] = {-1, -1};
    if (wantResult && pipe2(fds, O_CLOEXEC) != 0)
        return "error pipe: " + std::string(strerror(errno));
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        for (int fd = 0; fd <= 2; ++fd)
            dup2(null, fd);
        // None outlives the parent, however it ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        args.push_back(wantResult ? std::to_string(dup(fds[1])) : "-1"); // dup clears O_CLOEXEC
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    std::string result;
    if (wantResult) {
        close(fds[1]);
        char buffer[256];
        ssize_t n;
        while ((n = read(fds[0], buffer, sizeof(buffer))) > 0 || (n < 0 && errno == EINTR))
            result.append(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
        close(fds[0]);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status))
        return "error killed by signal " + std::to_string(WTERMSIG(status)) +
               (WTERMSIG(status) == SIGALRM ? " (timed out)" : "");
    if (WEXITSTATUS(status) != 0)
        return result.empty() ? "error exit " + std::to_string(WEXITSTATUS(status)) : result;
    return wantResult ? result : "ok";
}

// The time of day and thread id are taken from the line itself; a line
// that is not the expected one with them is torn.
Tally ReadBack(const std::string& dir, unsigned threads, unsigned long perThread)
{
    Tally tally;
    unsigned long &lines = tally.lines, &torn = tally.torn, &duplicated = tally.duplicated;
    std::vector<std::vector<bool>> seen(threads, std::vector<bool>(perThread, false));
    std::vector<fs::path> files{fs::directory_iterator{dir}, fs::directory_iterator{}};
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        for (std::string line; std::getline(in, line); ++lines) {
            char time[16] = "";
            unsigned tid = 0, thread = 0;
            unsigned long record = 0;
            const size_t message = line.find("   [record ");
            const bool parsed = !in.eof() && message != std::string::npos &&
                                sscanf(line.c_str(), "[%12[0-9:.]] [INFO ] [%*d ] [%u", time, &tid) == 2 &&
                                sscanf(line.c_str() + message, "   [record %lu of thread %u", &record, &thread) == 2;
            line += '\n';
            if (!parsed || thread >= threads || record >= perThread ||
                ExpectedLine(time, tid, record, thread) != line || strlen(time) != 12 || time[2] != ':' ||
                time[5] != ':' || time[8] != '.') {
                ++torn;
            } else if (seen[thread][record]) {
                ++duplicated;
            } else {
                seen[thread][record] = true;
            }
        }
    }
    for (const std::vector<bool>& mine : seen)
        tally.lost += static_cast<unsigned long>(std::count(mine.begin(), mine.end(), false));
    return tally;
}

std::string Tally::Problem() const
{
    std::string problem;
    for (const auto& [count, what] : {std::pair{lost, " lost"}, {torn, " torn"}, {duplicated, " duplicated"}})
        if (count != 0)
            problem += (problem.empty() ? "" : ", ") + std::to_string(count) + what;
    return problem;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string Format(const char* format, double a, double b, double c)
{
    char text[96];
    snprintf(text, sizeof(text), format, a, b, c);
    return text;
}

void PrintTable(const std::vector<std::vector<std::string>>& rows)
{
    for (size_t r = 0; r < rows.size(); ++r) {
        std::string line = "|", rule = "|";
        for (const std::string& cell : rows[r]) {
            line += " " + cell + " |";
            rule += "---|";
        }
        printf("%s\n%s", line.c_str(), r == 0 ? (rule + "\n").c_str() : "");
    }
}

std::string LoadAverage()
{
    std::ifstream loadavg("/proc/loadavg");
    std::string load;
    loadavg >> load;
    return load;
}

std::string Machine(const std::string& parent, const std::string& dir)
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line, model = "?";
    while (model == "?" && std::getline(cpuinfo, line))
        if (line.rfind("model name", 0) == 0)
            model = line.substr(line.find(':') + 2);
    struct statfs info
    {
    };
    statfs(dir.c_str(), &info);
    const char* fsName = info.f_type == 0x01021994 ? "tmpfs" : info.f_type == 0xEF53 ? "ext4" : "not tmpfs";
    return model + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores; files in " + parent + " (" + fsName +
           ")";
}
} // namespace bench

using namespace bench;

namespace
{
std::string g_self; // this program's path, also for exec under strace

// The program that runs a variant: this one, or for a lock's variant the
// copy of it linked to the library built with that lock.
std::string ProgramFor(const Variant& variant)
{
    const std::string id = variant.id;
    if (id.rfind(kLockVariantPrefix, 0) != 0)
        return g_self;
    return (fs::path(g_self).parent_path() / ("logger_bench_lock_" + id.substr(strlen(kLockVariantPrefix)))).string();
}

// Whether the variant's program was built (the lock rows need LOGGER_BENCH_LOCKS).
bool IsBuilt(const Variant& variant)
{
#ifdef BENCH_LOCK_ROWS
    const bool lockRows = true;
#else
    const bool lockRows = false;
#endif
    return lockRows || std::string(variant.id).rfind(kLockVariantPrefix, 0) != 0;
}

struct Options
{
    unsigned long records = kDefaultRecords, straceRecords = kDefaultStraceRecords, stallRecords = kDefaultStallRecords;
    int reps = kDefaultReps;
    bool stall = false, neighbour = true;
    std::vector<unsigned> threads = {1, 2, 4};
    std::string parent, dir;
};

struct Outcome
{
    std::string problem; // empty when the run is good
    double nsPerRecord = 0, p50Ns = 0, p99Ns = 0, bytesPerLine = 0;
};

Outcome TimedRun(const Options& options, const Variant& variant, unsigned threads, int rep)
{
    const std::string dir = options.dir + "/" + variant.id + "-" + std::to_string(threads) + "-" + std::to_string(rep);
    fs::create_directory(dir);
    const unsigned long records =
        variant.filtered ? std::min(options.records * kFilteredRecordsFactor, kMaxRecordsPerThread) : options.records;
    const unsigned long perThread = records / threads;
    const std::string result =
        RunChild({ProgramFor(variant), "--child", variant.id, std::to_string(threads), std::to_string(records), "0", dir}, true);
    Outcome outcome;
    unsigned long long elapsed = 0, p50 = 0, p99 = 0;
    if (sscanf(result.c_str(), "ok %llu %llu %llu", &elapsed, &p50, &p99) != 3) {
        outcome.problem = result.empty() ? "no result" : result.substr(0, result.find('\n'));
    } else {
        const Tally tally = ReadBack(dir, threads, perThread);
        if (!variant.filtered)
            outcome.problem = tally.Problem();
        else if (tally.lines != 0)
            outcome.problem = std::to_string(tally.lines) + " lines written";
        outcome.nsPerRecord = static_cast<double>(elapsed) / static_cast<double>(perThread * threads);
        outcome.p50Ns = static_cast<double>(p50);
        outcome.p99Ns = static_cast<double>(p99);
        uint64_t bytes = 0;
        for (const fs::directory_entry& file : fs::directory_iterator(dir))
            bytes += file.file_size();
        outcome.bytesPerLine = static_cast<double>(bytes) / static_cast<double>(perThread * threads);
    }
    fs::remove_all(dir);
    return outcome;
}

// "N: name n, ..." system calls per record, one thread: a run of
// straceRecords minus a run of none, both under `strace -f -c`. Empty with a
// notice when strace cannot run.
std::string StraceCell(const Options& options, const Variant& variant, std::string& notice)
{
    std::map<std::string, double> perRecord;
    for (const unsigned long records : {options.straceRecords, 0UL}) {
        const std::string dir = options.dir + "/strace", out = options.dir + "/strace.txt";
        fs::create_directory(dir);
        const std::string result = RunChild(
            {"strace", "-f", "-c", "-o", out, ProgramFor(variant), "--child", variant.id, "1", std::to_string(records), "0", dir},
            false);
        fs::remove_all(dir);
        std::ifstream file(out);
        bool any = false;
        for (std::string line; std::getline(file, line);) {
            // "% time  seconds  usecs/call  calls  [errors]  syscall"
            std::istringstream fields(line);
            const std::vector<std::string> words{std::istream_iterator<std::string>(fields), {}};
            if (words.size() >= 5 && words.back() != "total" &&
                words[3].find_first_not_of("0123456789") == std::string::npos) {
                perRecord[words.back()] +=
                    std::stod(words[3]) * (records != 0 ? 1 : -1) / double(options.straceRecords);
                any = true;
            }
        }
        fs::remove(out);
        if (result != "ok" || !any) {
            notice = "strace did not run (" + result + "): system calls per record skipped";
            return "–";
        }
    }
    // Three decimals below 0.1: a queue's writes (a few per thousand
    // records) must show, not round to 0.00.
    auto number = [](double count) { return Format(count < 0.1 && count > -0.1 ? "%.3f" : "%.2f", count); };
    double total = 0;
    std::vector<std::pair<double, std::string>> named;
    for (const auto& [name, count] : perRecord) {
        total += count;
        if (count >= 0.0005 || count <= -0.0005)
            named.push_back({-count, name});
    }
    std::sort(named.begin(), named.end());
    std::string cell = number(total);
    for (const auto& [count, name] : named)
        cell += (cell.find(':') == std::string::npos ? ": " : ", ") + name + " " + number(-count);
    return cell;
}

bool ParseOptions(int argc, char** argv, Options& options)
{
    const char* tmp = getenv("TMPDIR");
    options.parent = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            if (arg == "--stall") {
                options.stall = true;
                continue;
            }
            if (arg == "--no-neighbour") {
                options.neighbour = false;
                continue;
            }
            if (++i == argc)
                return false;
            const std::string value = argv[i];
            if (arg == "--records")
                options.records = std::stoul(value);
            else if (arg == "--reps")
                options.reps = std::stoi(value);
            else if (arg == "--dir")
                options.parent = value;
            else if (arg == "--strace-records")
                options.straceRecords = std::stoul(value);
            else if (arg == "--stall-records")
                options.stallRecords = std::stoul(value);
            else if (arg == "--threads") {
                options.threads.clear();
                std::istringstream list(value);
                for (std::string item; std::getline(list, item, ',');)
                    options.threads.push_back(static_cast<unsigned>(std::stoul(item)));
            } else
                return false;
        }
    } catch (const std::exception&) {
        return false;
    }
    const auto [low, high] = std::minmax_element(options.threads.begin(), options.threads.end());
    return options.reps >= 1 && options.stallRecords >= 1 && options.stallRecords <= kMaxRecordsPerThread &&
           !options.threads.empty() && *low >= 1 && options.records >= *high &&
           options.records / *low <= kMaxRecordsPerThread;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && strcmp(argv[1], "--rollover") == 0)
        RunRollover(static_cast<unsigned>(std::stoul(argv[2])), argv[3], std::stoi(argv[4]));
    if (argc == 8 && strcmp(argv[1], "--child") == 0)
        RunVariant(argv[2], static_cast<unsigned>(std::stoul(argv[3])), std::stoul(argv[4]), std::stoul(argv[5]),
                   argv[6], std::stoi(argv[7]));
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        fprintf(stderr,
                "usage: logger_bench [--records N] [--reps R] [--threads 1,2,4] [--dir DIR] [--strace-records S]\n"
                "       logger_bench --stall [--stall-records N] [--no-neighbour] [--reps R] [--dir DIR]\n"
                "  --records N         records per run, shared by its threads (default %lu, at most %lu a thread)\n"
                "  --reps R            interleaved repetitions (default %d)\n"
                "  --threads LIST      thread counts (default 1,2,4); filtered records run with the first\n"
                "  --dir DIR           where the runs write (default $TMPDIR or /tmp)\n"
                "  --strace-records S  records of the strace run per variant; 0 skips it (default %lu)\n"
                "  --stall             instead of the table: one record every %lu µs while a neighbour streams\n"
                "                      a large file to DIR's file system, with a small page cache (root only:\n"
                "                      it sets vm.dirty_bytes, and restores it)\n"
                "  --stall-records N   records per stall run (default %lu)\n"
                "  --no-neighbour      the stall scenario without the neighbour: the reference\n",
                kDefaultRecords, kMaxRecordsPerThread, kDefaultReps, kDefaultStraceRecords, kStallPeriodUs,
                kDefaultStallRecords);
        return 2;
    }
    g_self = fs::read_symlink("/proc/self/exe");
    options.dir = options.parent + "/logger-bench-XXXXXX";
    if (mkdtemp(&options.dir[0]) == nullptr) {
        fprintf(stderr, "logger_bench: cannot make a directory in %s: %s\n", options.parent.c_str(), strerror(errno));
        return 1;
    }
    const std::string machine = Machine(options.parent, options.dir), loadAtStart = LoadAverage();
    if (options.stall) {
        const int status =
            RunStall(g_self, options.dir, machine, options.reps, options.stallRecords, options.neighbour);
        fs::remove_all(options.dir);
        fflush(stdout);
        _exit(status); // as below: no exit messages of the logger after the table
    }

    // Each rep runs every variant once per thread count, in an order rotated by the rep.
    std::map<std::pair<size_t, unsigned>, std::vector<Outcome>> results; // (variant, threads) -> reps
    for (int rep = 0; rep < options.reps; ++rep) {
        fprintf(stderr, "logger_bench: rep %d of %d\n", rep + 1, options.reps);
        for (const unsigned threads : options.threads) {
            std::vector<size_t> order;
            for (size_t v = 0; v < kVariantCount; ++v)
                if ((!kVariants[v].filtered || threads == options.threads.front()) && IsBuilt(kVariants[v]))
                    order.push_back(v);
            std::rotate(order.begin(), order.begin() + rep % static_cast<int>(order.size()), order.end());
            for (const size_t v : order)
                results[{v, threads}].push_back(TimedRun(options, kVariants[v], threads, rep));
        }
    }
    std::string notice;
    if (options.straceRecords == 0)
        notice = "System calls per record: skipped (--strace-records 0).";
    else if (system("command -v strace >/dev/null 2>&1") != 0)
        notice = "strace not found: system calls per record skipped.";
    std::vector<std::string> syscalls(kVariantCount, "–");
    for (size_t v = 0; v < kVariantCount && notice.empty(); ++v)
        if (IsBuilt(kVariants[v]))
            syscalls[v] = StraceCell(options, kVariants[v], notice);
    std::string rollover = "Rollover, lock held by the record that starts a new file (median / max of " +
                           std::to_string(kRolloverFiles - 1) + "):";
    for (const unsigned crowd : kRolloverCrowd) {
        const std::string dir = options.dir + "/rollover" + std::to_string(crowd);
        fs::create_directory(dir);
        const std::string result = RunChild({g_self, "--rollover", std::to_string(crowd), dir}, true);
        unsigned long long count = 0, median = 0, most = 0;
        rollover += " " + std::to_string(crowd) + " other .log files: " +
                    (sscanf(result.c_str(), "ok %llu %llu %llu", &count, &median, &most) == 3
                         ? Format("%.2f / %.2f ms;", static_cast<double>(median) / 1e6, static_cast<double>(most) / 1e6)
                         : "failed (" + result.substr(0, result.find('\n')) + ");");
    }
    fs::remove_all(options.dir);

    // The first failed rep of a cell stands in place of its number.
    bool allGood = true;
    auto failure = [&](const std::vector<Outcome>& runs) {
        for (size_t rep = 0; rep < runs.size(); ++rep)
            if (!runs[rep].problem.empty()) {
                allGood = false;
                return "**FAILED** (rep " + std::to_string(rep + 1) + ": " + runs[rep].problem + ")";
            }
        return std::string();
    };
    std::vector<std::vector<std::string>> ratios{{"variant", "bytes/line"}}, perCall{{"variant"}};
    for (const unsigned threads : options.threads) {
        ratios[0].push_back(std::to_string(threads) + (threads == 1 ? " thread" : " threads"));
        perCall[0].push_back(ratios[0].back());
    }
    ratios[0].push_back("system calls/record (1 thread)");
    for (size_t v = 0; v < kVariantCount; ++v) {
        if (!IsBuilt(kVariants[v]))
            continue;
        std::vector<std::string> ratioRow{kVariants[v].label, "–"}, perCallRow{kVariants[v].label};
        std::vector<double> bytes;
        for (const unsigned threads : options.threads) {
            const auto found = results.find({v, threads});
            if (found == results.end()) {
                ratioRow.push_back("–");
                perCallRow.push_back("–");
                continue;
            }
            const std::vector<Outcome>& runs = found->second;
            const std::vector<Outcome>& floors = results[{kFloor, threads}];
            std::vector<double> values, nsPerRecord, p50, p99;
            for (size_t rep = 0; rep < runs.size(); ++rep) {
                if (v == kFloor || kVariants[v].filtered)
                    values.push_back(runs[rep].nsPerRecord);
                else if (floors[rep].problem.empty())
                    values.push_back(runs[rep].nsPerRecord / floors[rep].nsPerRecord);
                nsPerRecord.push_back(runs[rep].nsPerRecord / 1000);
                p50.push_back(runs[rep].p50Ns / 1000);
                p99.push_back(runs[rep].p99Ns / 1000);
                if (runs[rep].problem.empty())
                    bytes.push_back(runs[rep].bytesPerLine);
            }
            const auto [low, high] = std::minmax_element(values.begin(), values.end());
            std::string cell = failure(runs);
            perCallRow.push_back(
                !cell.empty() ? cell : Format("%.2f; %.2f / %.2f", Median(nsPerRecord), Median(p50), Median(p99)));
            if (!cell.empty()) {
                // the failure stands in place of a number
            } else if (values.empty())
                cell = "no floor";
            else if (v == kFloor)
                cell = Format("1.00 (%.2f µs)", Median(values) / 1000);
            else if (kVariants[v].filtered)
                cell = Format("%.1f ns (%.1f–%.1f)", Median(values), *low, *high);
            else
                cell = Format("%.2f (%.2f–%.2f)", Median(values), *low, *high);
            ratioRow.push_back(cell);
        }
        if (!kVariants[v].filtered && !bytes.empty())
            ratioRow[1] = Format("%.1f", Median(bytes));
        ratioRow.push_back(syscalls[v]);
        ratios.push_back(ratioRow);
        perCall.push_back(perCallRow);
    }
    printf("%s; load average %s at the start, %s at the end; %d reps (interleaved) of %lu records per run.\n\n",
           machine.c_str(), loadAtStart.c_str(), LoadAverage().c_str(), options.reps, options.records);
    printf("Ratio of ns/record to the floor of the same rep and thread count, median (min–max) over the reps; "
           "filtered records in ns/record.\n\n");
    PrintTable(ratios);
    printf("\nPer call, median over the reps: µs/record; p50 / p99 in µs of every %luth call (filtered: every "
           "%luth, mostly the two clock reads that time it).\n\n",
           kSampleEvery, kSampleFilteredEvery);
    PrintTable(perCall);
    printf("\n%s\n", rollover.c_str());
    if (!notice.empty())
        printf("\n%s\n", notice.c_str());
    if (!std::all_of(std::begin(kVariants), std::end(kVariants), IsBuilt))
        printf("\nThe rows of each write lock were not built (configure with -DLOGGER_BENCH_LOCKS=ON).\n");
    if (!allGood)
        printf("\nSome runs lost, tore or duplicated lines, or failed: their numbers are not shown.\n");
    // The logger's destructor prints to stdout at exit; the table ends here.
    fflush(stdout);
    _exit(allGood ? 0 : 1);
}
