// A rollover's cost: in a process of its own, the logger fills 1 MiB files in
// a directory that also holds other programs' .log files, and every record is
// timed. One thread, so a record's time is the time it holds the lock; the
// records that start a new file are the slowest ones by far.
#include "bench.h"

#include <logger.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace bench
{
void RunRollover(unsigned otherFiles, const std::string& dir, int resultFd)
{
    namespace fs = std::filesystem;
    for (unsigned i = 0; i < otherFiles; ++i)
        close(open((dir + "/other_" + std::to_string(i) + ".log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0640));
    Loger& logger = Loger::GetLoger();
    if (!logger.InitLogInfo(
            LOG_CONFIG_INFO{QString::fromStdString(dir + "/"), "bench", true, DEBUG, 1, false, 1024, 5}))
        _exit(1);
    // About ten thousand lines fill a file of 1 MiB.
    const unsigned long records = kRolloverFiles * 11000;
    std::vector<uint64_t> ns(records);
    for (unsigned long k = 0; k < records; ++k) {
        const auto start = std::chrono::steady_clock::now();
        logger.addLogtoList(INFO, __FILE__, kFunctionText, kSourceLine, BENCH_PRINTF_MESSAGE, k, 0u);
        ns[k] = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count());
    }
    size_t files = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir))
        files += entry.path().filename().string().find("_bench.log") != std::string::npos ? 1 : 0;
    // The slowest records, one per rollover.
    const size_t rollovers = files > 1 ? files - 1 : 1;
    std::sort(ns.begin(), ns.end(), std::greater<uint64_t>());
    const std::string result = "ok " + std::to_string(rollovers) + " " + std::to_string(ns[rollovers / 2]) + " " +
                               std::to_string(ns[0]) + "\n";
    if (write(resultFd, result.data(), result.size()) < 0)
        _exit(1);
    _exit(0);
}
} // namespace bench
