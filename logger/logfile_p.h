// One open log file: its descriptor, identity and size, the process's file
// size limit it is written under, the one write(2) per record with the
// cut-back of a line cut short, and the once-a-second look at its name.
// Which file to open, and when, is the log directory's (logdir_p.h).
#ifndef LOGGER_LOGFILE_P_H
#define LOGGER_LOGFILE_P_H

#include <QByteArray>
#include <QString>

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace LogerDetail
{
// Writes all bytes with write(2): a short write is completed and EINTR
// retried, so a line goes out in one call unless the disk refuses part of
// it. Returns 0 or errno; nWritten tells how much reached the file.
// Async-signal-safe, for the crash trace as for records.
int WriteAll(int nFd, const char* p, size_t n, size_t& nWritten);

// Installs the library's handler of SIGXFSZ when the default is in force: it
// ends the process as the default does, but for a write to a log file, which
// then fails with EFBIG (the file size limit may be lowered at any time).
void HoldBackFileSizeSignal();

// Why an open file may not be written to, or nullptr: it must be a regular
// file of the effective user with one link that no other user or group may
// write or read, by its mode or an ACL.
const char* UnfitFileReason(int nFd, struct stat& st);
// The same rule as far as a look at the name tells it (no ACL read): a file
// that may be continued, if it passes UnfitFileReason once opened.
bool MayContinue(const struct statx& stx);

// Non-zero while the thread writes to a log file: SIGXFSZ then fails the
// write instead of ending the process.
extern __thread int t_nWritingLog __attribute__((tls_model("initial-exec")));

class LogFile
{
public:
    LogFile() = default;
    ~LogFile() { Close(); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Takes over nFd, opened at name in the directory nDirFd (which stays
    // the caller's) and reached as strPath, when UnfitFileReason finds it fit;
    // else closes it and returns the reason. Reads the file size limit.
    const char* Adopt(int nFd, int nDirFd, const QByteArray& name, const QString& strPath);
    void Close();

    bool IsOpen() const { return m_nFd >= 0; }
    int Fd() const { return m_nFd; }
    // Its path as configured.
    const QString& Path() const { return m_strPath; }
    // Its size at opening plus the bytes written since, confirmed at the
    // name once a second.
    qint64 Size() const { return m_nSize; }
    // The size the file itself has now (other writers may have added to it).
    void TakeSizeFromFile();
    // Whether st is this open file.
    bool IsFile(const struct stat& st) const { return m_nFd >= 0 && st.st_dev == m_nDev && st.st_ino == m_nIno; }

    // The process's file size limit it is written under; -1: none.
    qint64 SizeLimit() const { return m_nSizeLimit; }
    // Reads the limit again (the host, or prlimit from another process, may
    // have changed it); true when it changed.
    bool ReadSizeLimit();
    // Whether nRoom more bytes after nSize stay under the size limit.
    bool Fits(qint64 nSize, size_t nRoom) const
    {
        return m_nSizeLimit < 0 || nSize + static_cast<qint64>(nRoom) <= m_nSizeLimit;
    }
    bool Fits(size_t nRoom) const { return Fits(m_nSize, nRoom); }

    // The file ends without a line feed (a line cut short by a full disk or
    // a crash): the next line begins with one.
    bool EndsInsideALine() const { return m_bOpenLine; }
    void NoteLineEnded() { m_bOpenLine = false; }

    // True once in each second tNow: time to look at the name.
    bool IsLookDue(time_t tNow)
    {
        if (tNow == m_tChecked)
            return false;
        m_tChecked = tNow;
        return true;
    }
    // Whether the name was looked at in the second tNow already.
    bool LookedAtIn(time_t tNow) const { return tNow == m_tChecked; }
    // Whether the name still leads to this file (else it was deleted, moved
    // or replaced); takes its size there.
    bool StillAtName();

    // One attempt at writing the bytes; a line cut short is cut off again
    // where nobody else has written since, so the file never keeps a piece
    // of a line. Returns 0 or errno. Inline: every record passes through it.
    int Write(const char* pBytes, size_t nBytes, size_t* pKept = nullptr);

private:
    static int WriteAllUnderLimit(int nFd, const char* p, size_t n, size_t& nWritten);
    static bool CutBack(int nFd, qint64 nSize, size_t nWritten);

    // What every record reads and writes, first.
    int m_nFd = -1;
    bool m_bOpenLine = false;
    qint64 m_nSize = 0;
    qint64 m_nSizeLimit = -1;
    time_t m_tChecked = -1; // second of the last look at the name
    // Who it is and where.
    dev_t m_nDev = 0;
    ino_t m_nIno = 0;
    int m_nDirFd = -1; // the directory holding it, not owned
    QByteArray m_name; // its name there
    QString m_strPath;
};

__attribute__((always_inline)) inline int LogFile::Write(const char* pBytes, size_t nBytes, size_t* pKept)
{
    size_t nWritten = 0;
    ++t_nWritingLog;
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    const int nError = m_nSizeLimit < 0 ? WriteAll(m_nFd, pBytes, nBytes, nWritten)
                                        : WriteAllUnderLimit(m_nFd, pBytes, nBytes, nWritten);
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    --t_nWritingLog;
    if (nError != 0 && nWritten > 0 && CutBack(m_nFd, m_nSize, nWritten))
        nWritten = 0;
    else if (nError != 0 && nWritten > 0)
        m_bOpenLine = pBytes[nWritten - 1] != '\n';
    m_nSize += static_cast<qint64>(nWritten);
    if (pKept != nullptr)
        *pKept = nWritten;
    return nError;
}
} // namespace LogerDetail

#endif // LOGGER_LOGFILE_P_H
