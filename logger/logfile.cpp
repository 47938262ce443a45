// One open log file and the one write(2) per record.
#include "logfile_p.h"

#include "dirwalk_p.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace
{
// SIGXFSZ while the default disposition is in force: the process ends of it,
// as by default, unless the thread was writing to a log file. Then the write
// fails with EFBIG instead and a new file is started under the lowered limit.
void OnFileSizeSignal(int nSignal)
{
    if (LogerDetail::t_nWritingLog != 0)
        return;
    const int nSavedErrno = errno;
    signal(nSignal, SIG_DFL);
    raise(nSignal); // delivered once this handler returns: it is blocked until then
    errno = nSavedErrno;
}

// The process's file size limit now; -1: none.
qint64 FileSizeLimit()
{
    rlimit limit;
    return getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
               ? static_cast<qint64>(limit.rlim_cur)
               : -1;
}

// Whether a file that already holds bytes ends without a line feed.
bool LastLineIsOpen(int nDirFd, const QByteArray& name, qint64 nSize)
{
    if (nSize <= 0)
        return false;
    const int nFd = openat(nDirFd, name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (nFd < 0)
        return false;
    char c = '\n';
    const bool bRead = pread(nFd, &c, 1, static_cast<off_t>(nSize - 1)) == 1;
    close(nFd);
    return bRead && c != '\n';
}

// A continued file is one nobody but this user and group may write, and
// nobody but them read: mode 0640 or narrower, as files are made.
const mode_t nForeignBits = S_IWGRP | S_IWOTH | S_IROTH;
} // namespace

namespace LogerDetail
{
__thread int t_nWritingLog __attribute__((tls_model("initial-exec"))) = 0;

int WriteAll(int nFd, const char* p, size_t n, size_t& nWritten)
{
    nWritten = 0;
    while (nWritten < n) {
        const ssize_t nRet = write(nFd, p + nWritten, n - nWritten);
        if (nRet > 0)
            nWritten += static_cast<size_t>(nRet);
        else if (nRet < 0 && errno == EINTR)
            continue;
        else
            return nRet < 0 ? errno : EIO;
    }
    return 0;
}

void HoldBackFileSizeSignal()
{
    struct sigaction now = {};
    if (sigaction(SIGXFSZ, nullptr, &now) != 0 || (now.sa_flags & SA_SIGINFO) != 0 || now.sa_handler != SIG_DFL)
        return; // the host's own choice stands
    struct sigaction action = {};
    action.sa_handler = OnFileSizeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGXFSZ, &action, nullptr);
}

const char* UnfitFileReason(int nFd, struct stat& st)
{
    if (fstat(nFd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1)
        return "not a regular file of this user with one link";
    if ((st.st_mode & nForeignBits) != 0)
        return "other users may read or write it";
    if ((st.st_mode & S_IRWXG) != 0 && AclGrantsOthers(nFd, 6) != 0)
        return "an ACL lets other users read or write it";
    return nullptr;
}

bool MayContinue(const struct statx& stx)
{
    return stx.stx_uid == geteuid() && stx.stx_nlink == 1 && (stx.stx_mode & nForeignBits) == 0;
}

const char* LogFile::Adopt(int nFd, int nDirFd, const QByteArray& name, const QString& strPath)
{
    struct stat st;
    if (const char* pszWhy = UnfitFileReason(nFd, st)) {
        close(nFd);
        return pszWhy;
    }
    m_nFd = nFd;
    m_nDirFd = nDirFd;
    m_name = name;
    m_strPath = strPath;
    m_nSize = st.st_size;
    m_nDev = st.st_dev;
    m_nIno = st.st_ino;
    m_tChecked = time(nullptr);
    m_nSizeLimit = FileSizeLimit();
    m_bOpenLine = LastLineIsOpen(nDirFd, name, m_nSize);
    return nullptr;
}

void LogFile::Close()
{
    if (m_nFd >= 0)
        close(m_nFd);
    m_nFd = -1;
}

void LogFile::TakeSizeFromFile()
{
    struct stat st;
    if (fstat(m_nFd, &st) == 0)
        m_nSize = st.st_size;
}

bool LogFile::ReadSizeLimit()
{
    const qint64 nLimit = FileSizeLimit();
    if (nLimit == m_nSizeLimit)
        return false;
    m_nSizeLimit = nLimit;
    return true;
}

bool LogFile::StillAtName()
{
    struct stat st;
    if (fstatat(m_nDirFd, m_name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != m_nDev ||
        st.st_ino != m_nIno)
        return false;
    m_nSize = st.st_size;
    return true;
}

// Under a file size limit a write that crosses it would raise SIGXFSZ, whose
// default ends the process: it is held back for this thread and dropped, and
// the write fails with EFBIG instead. Out of line: its signal sets are large
// for a small stack.
__attribute__((noinline)) int LogFile::WriteAllUnderLimit(int nFd, const char* p, size_t n, size_t& nWritten)
{
    sigset_t xfsz, previous;
    sigemptyset(&xfsz);
    sigaddset(&xfsz, SIGXFSZ);
    pthread_sigmask(SIG_BLOCK, &xfsz, &previous);
    const int nError = WriteAll(nFd, p, n, nWritten);
    if (nError == EFBIG && !sigismember(&previous, SIGXFSZ)) {
        const timespec noWait = {0, 0};
        sigtimedwait(&xfsz, nullptr, &noWait);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return nError;
}

// Cuts the file back to nSize when the nWritten bytes after it are the last
// in it (nobody else has written since); true when done.
__attribute__((noinline)) bool LogFile::CutBack(int nFd, qint64 nSize, size_t nWritten)
{
    struct stat st;
    return fstat(nFd, &st) == 0 && st.st_size == nSize + static_cast<qint64>(nWritten) &&
           ftruncate(nFd, static_cast<off_t>(nSize)) == 0;
}
} // namespace LogerDetail
