// The way to the log directory, one directory at a time, each checked before
// anything is looked up in it.
#include "dirwalk_p.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace
{
// Symbolic links followed on the way to a directory before giving up.
const int nMaxLinks = 40;

bool IsOwnGroup(gid_t nGid)
{
    if (nGid == 0 || nGid == getegid())
        return true;
    const int nCount = getgroups(0, nullptr);
    if (nCount <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<size_t>(nCount));
    const int nGot = getgroups(nCount, groups.data());
    return nGot > 0 && std::find(groups.begin(), groups.begin() + nGot, nGid) != groups.begin() + nGot;
}

// The root directory, reached by ".." from the current one: an emulator that
// maps absolute paths into a sysroot (qemu-user's -L) cannot send it there.
int OpenRoot()
{
    int nFd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    for (int nLevel = 0; nFd >= 0 && nLevel < 4096; ++nLevel) {
        const int nUp = openat(nFd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        struct stat here, up;
        if (nUp < 0 || fstat(nFd, &here) != 0 || fstat(nUp, &up) != 0) {
            if (nUp >= 0)
                close(nUp);
            break;
        }
        if (here.st_dev == up.st_dev && here.st_ino == up.st_ino) {
            close(nUp);
            return nFd;
        }
        close(nFd);
        nFd = nUp;
    }
    if (nFd >= 0)
        close(nFd);
    return open("/", O_PATH | O_DIRECTORY | O_CLOEXEC); // the current directory is gone
}
} // namespace

namespace LogerDetail
{
const char* UntrustedDirectoryReason(const struct stat& st)
{
    if (st.st_uid != geteuid() && st.st_uid != 0)
        return "owned by another user";
    if ((st.st_mode & S_IWOTH) != 0 && (st.st_mode & S_ISVTX) == 0)
        return "writable by all users and not sticky";
    if ((st.st_mode & S_IWGRP) != 0 && !IsOwnGroup(st.st_gid))
        return "writable by a group this process is not in";
    return nullptr;
}

QByteArray AbsolutePath(const QString& strPath)
{
    const QByteArray path = QFile::encodeName(strPath);
    return path.startsWith('/') ? path : QFile::encodeName(QDir::currentPath()) + '/' + path;
}

TrustedWalk::~TrustedWalk()
{
    if (nDirFd >= 0)
        close(nDirFd);
    if (nParentFd >= 0)
        close(nParentFd);
}

bool TrustedWalk::Run(const QByteArray& absolutePath, bool bMake)
{
    m_bMake = bMake;
    nDirFd = -1;
    return Step(nDirFd, absolutePath, 0, &nParentFd);
}

bool TrustedWalk::Fail(const QByteArray& at, int nError, const QString& strReason)
{
    failedAt = at;
    nErrno = nError;
    strWhy = strReason;
    return false;
}
bool TrustedWalk::Trusted(int nFd, const QByteArray& at)
{
    struct stat st;
    if (fstat(nFd, &st) != 0)
        return Fail(at, errno, QString::fromLocal8Bit(strerror(errno)));
    const char* pszWhy = LogerDetail::UntrustedDirectoryReason(st);
    return pszWhy == nullptr || Fail(at, EACCES, QString::fromLatin1(pszWhy));
}
// Walks `path` from the directory nFd (replaced as it goes).
bool TrustedWalk::Step(int& nFd, const QByteArray& path, int nDepth, int* pParentFd)
{
    QByteArray at;
    if (path.startsWith('/') || nFd < 0) {
        if (nFd >= 0)
            close(nFd);
        nFd = OpenRoot();
        at = "/";
        if (nFd < 0)
            return Fail(at, errno, QString::fromLocal8Bit(strerror(errno)));
        if (!Trusted(nFd, at))
            return false;
    }
    QList<QByteArray> parts = path.split('/');
    parts.removeAll(QByteArray());
    parts.removeAll(QByteArray("."));
    for (int k = 0; k < parts.size(); ++k) {
        const QByteArray& part = parts.at(k);
        const QByteArray here = at + part;
        if (k == parts.size() - 1 && pParentFd != nullptr)
            *pParentFd = fcntl(nFd, F_DUPFD_CLOEXEC, 0);
        struct stat st;
        if (fstatat(nFd, part.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return Fail(here, errno, QString::fromLocal8Bit(strerror(errno)));
            if (!m_bMake) {
                bMissing = true;
                return true;
            }
            if (mkdirat(nFd, part.constData(), 0750) != 0 && errno != EEXIST)
                return Fail(here, errno, QString::fromLocal8Bit(strerror(errno)));
            if (fstatat(nFd, part.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                return Fail(here, errno, QString::fromLocal8Bit(strerror(errno)));
        }
        if (S_ISLNK(st.st_mode)) {
            if (st.st_uid != 0 && st.st_uid != geteuid())
                return Fail(here, EACCES, QStringLiteral("a symbolic link made by another user"));
            if (nDepth >= nMaxLinks)
                return Fail(here, ELOOP, QString::fromLocal8Bit(strerror(ELOOP)));
            // On the heap: this may run inside a record, on a small stack.
            std::vector<char> target(4096);
            const ssize_t nTarget = readlinkat(nFd, part.constData(), target.data(), target.size() - 1);
            if (nTarget <= 0)
                return Fail(here, errno, QString::fromLocal8Bit(strerror(errno)));
            // The target must exist: nothing is made through a link.
            const bool bMake = m_bMake;
            m_bMake = false;
            const bool bOk = Step(nFd, QByteArray(target.data(), static_cast<int>(nTarget)), nDepth + 1, nullptr);
            m_bMake = bMake;
            if (!bOk)
                return false;
            if (bMissing) {
                bMissing = false;
                return Fail(here, ENOENT, QStringLiteral("a symbolic link to a missing directory"));
            }
        } else if (S_ISDIR(st.st_mode)) {
            const int nNext = openat(nFd, part.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (nNext < 0)
                return Fail(here, errno, QString::fromLocal8Bit(strerror(errno)));
            close(nFd);
            nFd = nNext;
            if (!Trusted(nFd, here))
                return false;
        } else {
            return Fail(here, ENOTDIR, QString::fromLocal8Bit(strerror(ENOTDIR)));
        }
        at = here + '/';
    }
    return true;
}

} // namespace LogerDetail
