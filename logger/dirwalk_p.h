// The way to the log directory: trusted only when nobody else could have
// changed it.
#ifndef LOGGER_DIRWALK_P_H
#define LOGGER_DIRWALK_P_H

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

namespace LogerDetail
{
// Why a directory may not hold log files, or nullptr when it may: it is
// owned by the effective user or root, writable by all only when sticky, and
// group-writable only for group root or a group of this process.
const char* UntrustedDirectoryReason(const struct stat& st);

// Whether a group is root's or one of this process's.
bool IsOwnGroup(gid_t nGid);

// Whether the access ACL of an open file or directory grants any of nPerms
// (4 read, 2 write) to a named user other than the effective one and root,
// or to a named group not of this process: 1 yes, 0 no (or no ACL), -1 when
// it cannot be read.
int AclGrantsOthers(int nFd, unsigned int nPerms);

// The path made absolute against the current directory.
QByteArray AbsolutePath(const QString& strPath);

// Opens a path one directory at a time from "/", checking each directory
// before anything is looked up in it. A symbolic link on the way is followed
// only when root or the effective user made it; missing directories are made
// (0750) only when asked, never through a link.
class TrustedWalk
{
public:
    TrustedWalk() = default;
    ~TrustedWalk();
    TrustedWalk(const TrustedWalk&) = delete;
    TrustedWalk& operator=(const TrustedWalk&) = delete;
    // False when a directory on the way may not be used (failedAt, strWhy);
    // true with bMissing when the path ends in directories not made yet.
    bool Run(const QByteArray& absolutePath, bool bMake);

    int nDirFd = -1;    // the directory at the end of the path (O_PATH)
    int nParentFd = -1; // the one its last part was looked up in
    bool bMissing = false;
    QByteArray failedAt; // the directory that may not be used
    QString strWhy;
    int nErrno = 0;

private:
    bool Fail(const QByteArray& at, int nError, const QString& strReason);
    bool Trusted(int nFd, const QByteArray& at);
    bool Step(int& nFd, const QByteArray& path, int nDepth, int* pParentFd);

    bool m_bMake = false;
};
} // namespace LogerDetail

#endif // LOGGER_DIRWALK_P_H
