// The way to the log directory, one directory at a time, each checked before
// anything is looked up in it.
#include "dirwalk_p.h"
#include "messages_p.h"

#include <QDir>
#include <QFile>

#include <endian.h>
#include <grp.h>
#include <pwd.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace
{
// Symbolic links followed on the way to a directory before giving up.
const int nMaxLinks = 40;

// The process's root directory: after a chroot() without a chdir() the
// current directory lies outside it, so nothing is reached through "..".
int OpenRoot()
{
    return open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// The access ACL as the kernel hands it out in "system.posix_acl_access":
// a version word, then entries of tag, permissions and id, little-endian.
const char szAclName[] = "system.posix_acl_access";
const uint16_t nAclUser = 0x02, nAclGroup = 0x08, nAclMask = 0x10;
const uint32_t nAclVersion = 2;

// Reads the access ACL of an open file or directory into acl (empty: none).
// An O_PATH handle cannot be read on older kernels: the directory is then
// opened for reading through it.
bool ReadAccessAcl(int nFd, std::vector<char>& acl)
{
    acl.clear();
    int nReadFd = nFd;
    ssize_t nSize = fgetxattr(nReadFd, szAclName, nullptr, 0);
    if (nSize < 0 && errno == EBADF) {
        nReadFd = openat(nFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (nReadFd < 0)
            return false;
        nSize = fgetxattr(nReadFd, szAclName, nullptr, 0);
    }
    for (int nTry = 0; nSize > 0 && nTry < 3; ++nTry) { // it may grow meanwhile
        acl.resize(static_cast<size_t>(nSize));
        nSize = fgetxattr(nReadFd, szAclName, acl.data(), acl.size());
        if (nSize >= 0) {
            acl.resize(static_cast<size_t>(nSize));
            break;
        }
        if (errno == ERANGE)
            nSize = fgetxattr(nReadFd, szAclName, nullptr, 0);
    }
    const int nError = errno;
    if (nReadFd != nFd)
        close(nReadFd);
    if (nSize < 0 && nError != ENODATA && nError != ENOTSUP) {
        errno = nError;
        return false;
    }
    if (nSize <= 0)
        acl.clear();
    return true;
}
// A user's name, empty where none is known (inside a chroot, say).
QString UserName(uid_t nUid)
{
    struct passwd pw, *pFound = nullptr;
    std::vector<char> buffer(4096);
    if (getpwuid_r(nUid, &pw, buffer.data(), buffer.size(), &pFound) == 0 && pFound != nullptr)
        return QString::fromLocal8Bit(pw.pw_name);
    return QString();
}
// "name (uid N)", or "uid N".
QString UserText(uid_t nUid)
{
    const QString strName = UserName(nUid);
    return strName.isEmpty() ? QString("uid %1").arg(nUid) : QString("%1 (uid %2)").arg(strName).arg(nUid);
}
// Who may own what the logger trusts: this process's user, or root.
QString NeededOwnerText()
{
    return geteuid() == 0 ? QString("root") : UserText(geteuid()) + " or root";
}
// The user as chown takes it: the name where there is one.
QString ChownUser(uid_t nUid)
{
    const QString strName = UserName(nUid);
    return strName.isEmpty() ? QString::number(nUid) : strName;
}
QString GroupText(gid_t nGid)
{
    struct group gr, *pFound = nullptr;
    std::vector<char> buffer(4096);
    if (getgrgid_r(nGid, &gr, buffer.data(), buffer.size(), &pFound) == 0 && pFound != nullptr)
        return QString("%1 (gid %2)").arg(QString::fromLocal8Bit(gr.gr_name)).arg(nGid);
    return QString("gid %1").arg(nGid);
}
// A path as the shell takes it, in single quotes.
QString ShellQuoted(const QByteArray& path)
{
    QString strPath = QFile::decodeName(path.size() > 1 && path.endsWith('/') ? path.chopped(1) : path);
    return "'" + strPath.replace("'", "'\\''") + "'";
}
QString ModeText(mode_t nMode)
{
    return QString("mode %1").arg(nMode & 07777, 4, 8, QChar('0'));
}
} // namespace

namespace LogerDetail
{
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

int AclGrantsOthers(int nFd, unsigned int nPerms)
{
    std::vector<char> acl;
    if (!ReadAccessAcl(nFd, acl))
        return -1;
    if (acl.size() < 4)
        return 0;
    uint32_t nVersion = 0;
    memcpy(&nVersion, acl.data(), 4);
    if (le32toh(nVersion) != nAclVersion || (acl.size() - 4) % 8 != 0)
        return -1;
    // The mask bounds what named users and groups get.
    unsigned int nMask = 7;
    for (size_t nAt = 4; nAt < acl.size(); nAt += 8) {
        uint16_t nTag = 0, nPerm = 0;
        memcpy(&nTag, acl.data() + nAt, 2);
        memcpy(&nPerm, acl.data() + nAt + 2, 2);
        if (le16toh(nTag) == nAclMask)
            nMask = le16toh(nPerm);
    }
    for (size_t nAt = 4; nAt < acl.size(); nAt += 8) {
        uint16_t nTag = 0, nPerm = 0;
        uint32_t nId = 0;
        memcpy(&nTag, acl.data() + nAt, 2);
        memcpy(&nPerm, acl.data() + nAt + 2, 2);
        memcpy(&nId, acl.data() + nAt + 4, 4);
        nTag = le16toh(nTag);
        nId = le32toh(nId);
        if ((le16toh(nPerm) & nMask & nPerms) == 0)
            continue;
        if ((nTag == nAclUser && nId != geteuid() && nId != 0) || (nTag == nAclGroup && !IsOwnGroup(nId)))
            return 1;
    }
    return 0;
}

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
        return Fail(at, errno, ErrnoText(errno));
    const char* pszWhy = LogerDetail::UntrustedDirectoryReason(st);
    // With an ACL the group bits show its mask: a named user or group may
    // write. Refused like a directory writable by all.
    bool bAcl = false;
    if (pszWhy == nullptr && (st.st_mode & S_IWGRP) != 0 && (st.st_mode & S_ISVTX) == 0) {
        const int nGrants = AclGrantsOthers(nFd, 2);
        bAcl = nGrants != 0;
        if (nGrants != 0)
            pszWhy = nGrants > 0 ? "writable by another user or group through an ACL, and not sticky"
                                 : "its ACL cannot be read";
    }
    if (pszWhy == nullptr)
        return true;
    // What was found, what is needed, and the one command that makes it so.
    const QString strPath = ShellQuoted(at);
    QString strReason = QString::fromLatin1(pszWhy) + ": ";
    if (st.st_uid != geteuid() && st.st_uid != 0)
        strReason += QString("%1, where %2 is needed; to use it: chown %3 %4")
                         .arg(UserText(st.st_uid), NeededOwnerText(), ChownUser(geteuid()), strPath);
    else if (bAcl)
        strReason += QString("%1, its group bits the ACL's mask; to use it: setfacl -b %2")
                      .arg(ModeText(st.st_mode), strPath);
    else if ((st.st_mode & S_IWOTH) != 0)
        strReason += QString("%1; to use it: chmod o-w %2").arg(ModeText(st.st_mode), strPath);
    else
        strReason += QString("%1, group %2; to use it: chmod g-w %3")
                      .arg(ModeText(st.st_mode), GroupText(st.st_gid), strPath);
    return Fail(at, EACCES, strReason);
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
            return Fail(at, errno, ErrnoText(errno));
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
                return Fail(here, errno, ErrnoText(errno));
            if (!m_bMake) {
                bMissing = true;
                return true;
            }
            if (mkdirat(nFd, part.constData(), 0750) != 0 && errno != EEXIST)
                return Fail(here, errno, ErrnoText(errno));
            if (fstatat(nFd, part.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                return Fail(here, errno, ErrnoText(errno));
        }
        if (S_ISLNK(st.st_mode)) {
            if (st.st_uid != 0 && st.st_uid != geteuid())
                return Fail(here, EACCES,
                            QString("a symbolic link made by another user: %1, where %2 is needed; "
                                    "to use it: chown -h %3 %4")
                                .arg(UserText(st.st_uid), NeededOwnerText(), ChownUser(geteuid()),
                                     ShellQuoted(here)));
            if (nDepth >= nMaxLinks)
                return Fail(here, ELOOP, ErrnoText(ELOOP));
            // On the heap: this may run inside a record, on a small stack.
            std::vector<char> target(4096);
            const ssize_t nTarget = readlinkat(nFd, part.constData(), target.data(), target.size() - 1);
            if (nTarget <= 0)
                return Fail(here, errno, ErrnoText(errno));
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
                return Fail(here, errno, ErrnoText(errno));
            close(nFd);
            nFd = nNext;
            if (!Trusted(nFd, here))
                return false;
        } else if (!m_bMake) {
            // Something else where a directory should be: told as a missing
            // directory that cannot be made.
            bMissing = true;
            return true;
        } else {
            return Fail(here, ENOTDIR, ErrnoText(ENOTDIR));
        }
        at = here + '/';
    }
    return true;
}

} // namespace LogerDetail
