// Each input is an INI file that a fresh logger starts from, in a child
// process of its own (ini_child). A child that crashes, fails a sanitizer
// check or has not ended within the time limit is a finding.
// The logger's code runs in the child, so the fuzzer sees no coverage from
// it: it mutates the seeds and the dictionary (ini.dict) blindly.
#include <QByteArray>
#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace
{
const auto timeLimit = std::chrono::seconds(10);
QString workDir;

void removeWorkDir()
{
    QDir(workDir).removeRecursively();
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    QByteArray pattern = QFile::encodeName(QDir::tempPath() + "/logger-fuzz-ini-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) {
        perror("mkdtemp");
        exit(1);
    }
    workDir = QFile::decodeName(pattern);
    atexit(removeWorkDir);
    // For the children only (this process has read its options already):
    // LeakSanitizer needs /proc, which a child shuts itself away from.
    const char* options = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (QByteArray(options ? options : "") + ":detect_leaks=0").constData(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString dir = workDir + "/run";
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    QFile ini(dir + "/logger.ini");
    if (!ini.open(QIODevice::WriteOnly) || ini.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
        abort();
    ini.close();

    const QByteArray child = LOGGER_INI_CHILD, childDir = QFile::encodeName(dir),
                     childErr = QFile::encodeName(workDir + "/child.err");
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        if (dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO) < 0 ||
            dup2(open(childErr.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO) < 0)
            _exit(126);
        execl(child.constData(), child.constData(), childDir.constData(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeLimit;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            fprintf(stderr, "ini_fuzzer: the child has not ended after %lld s\n",
                    static_cast<long long>(timeLimit.count()));
            abort();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        fprintf(stderr, "ini_fuzzer: the child cannot shut itself into its directory (chroot needs root)\n");
        exit(1);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        QFile err(QFile::decodeName(childErr));
        err.open(QIODevice::ReadOnly);
        fprintf(stderr, "%s\nini_fuzzer: the child ended with %s %d\n", err.readAll().constData(),
                WIFEXITED(status) ? "exit code" : "signal", WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
        abort();
    }
    return 0;
}
