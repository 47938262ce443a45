// The bytes of one line: function name, message formatting, the time of day
// and the line layout "[time] [LEVEL] [line] [tid  ]  [function]   [message]".
// Pure functions, apart from the per-thread cache of the second.
#ifndef LOGGER_LINE_P_H
#define LOGGER_LINE_P_H

#include "logger.h"

#include <pthread.h>
#include <sys/time.h>

#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <memory>

namespace LogerDetail
{
// The function name written in a line: the text between the last blank
// before the first "(" and that "(". False when the text holds no "(" (the
// whole text is then used as it is).
bool FindFunctionName(const char* pText, size_t nText, size_t& nBegin, size_t& nCount);

// A growing byte buffer that lives on the stack for ordinary lines and moves
// to the heap only past that.
class LineBuffer
{
public:
    LineBuffer() = default;
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;
    // Room for nMore bytes at End(); Commit(n) then keeps n of them.
    char* Reserve(size_t nMore)
    {
        if (m_nSize + nMore > m_nCapacity)
            Grow(m_nSize + nMore);
        return m_pData + m_nSize;
    }
    void Commit(size_t n) { m_nSize += n; }
    void Append(const char* p, size_t n)
    {
        memcpy(Reserve(n), p, n);
        m_nSize += n;
    }
    void Clear() { m_nSize = 0; }
    char* End() { return m_pData + m_nSize; }
    const char* Data() const { return m_pData; }
    size_t Size() const { return m_nSize; }

private:
    void Grow(size_t nNeeded);
    char m_szInline[3072];
    char* m_pData = m_szInline;
    size_t m_nSize = 0;
    size_t m_nCapacity = sizeof(m_szInline);
    std::unique_ptr<char[]> m_heap;
};

// The bytes one record puts into the file, and what it echoes.
struct RecordBytes
{
    LineBuffer bytes;         // every physical line, each ending in "\n"
    size_t nLineBegin = 0;    // the record's line within bytes, without its
    size_t nLineLength = 0;   // line end; length 0 when only an empty line is written
    bool bEmptyFirst = false; // an empty line before (the message began with a line feed)
    bool bEmptyLast = false;  // an empty line after (it ended with one)
    char szTime[16] = {};     // the time text, for a line of the logger's own
    unsigned int nThreadId = 0;
    int nLevel = 0;
    unsigned int nLineNo = 0;
};

struct SiteText;
struct FormatPlan;

// The pieces of FormatRecord, for a message formatted in place: BeginLine
// lays out the line up to its message, with room for nRoom bytes of it, and
// returns where it goes; FinishLine completes the line around nMsg bytes
// written there (not empty, without NUL). bMsgAscii and bTimePlain tell what
// is known of the texts, which are checked otherwise. out.nThreadId is set
// by the caller.
char* BeginLine(RecordBytes& out, const char* szTime, size_t nTime, const SiteText& site, const char* pTid, size_t nTid,
                size_t nRoom);
void FinishLine(RecordBytes& out, const char* szTime, size_t nMsg, bool bMsgAscii, bool bTimePlain,
                const SiteText& site);
// FinishLine for the usual message: ASCII, without a line feed at either
// end, and a time and a function name written as they are.
inline void CloseLine(RecordBytes& out, size_t nMsg)
{
    char* const pLine = out.bytes.End();
    const size_t nLine = out.nLineBegin + nMsg;
    pLine[nLine] = ']';
    pLine[nLine + 1] = '\n';
    out.bEmptyFirst = out.bEmptyLast = false;
    out.nLineBegin = 0;
    out.nLineLength = nLine + 1;
    out.bytes.Commit(nLine + 2);
}
// Both, around a message that is not empty and without NUL.
void FormatRecordAt(RecordBytes& out, const char* szTime, size_t nTime, bool bTimePlain, const SiteText& site,
                    const char* pTid, size_t nTid, const char* pMsg, size_t nMsg);

// Builds the bytes of one record whose level lies in DEBUG..FATAL. Time,
// function text and message are read up to their first NUL; the message must
// not be empty there. The result equals what a chain of QString::arg calls on
// "[%1] [%2] [%3] [%4]  [%5]   [%6]" written as UTF-8 gives, byte for byte.
void FormatRecord(RecordBytes& out, const char* szTime, int nLevel, unsigned int nLineNo,
                                unsigned int nThreadId, const char* pModule, size_t nModule, const char* pMsg,
                                size_t nMsg);

// vsnprintf, with the common conversions (%d %i %u %x %X with an l, ll or z
// length, %s, %c, %%; the flags - and 0 and a width, no precision) done here, byte for
// byte as glibc does them and several times faster; any other format goes to
// vsnprintf itself. Returns what vsnprintf returns.
int FormatMessage(char* pBuffer, size_t nSize, const char* pszFmt, va_list args);

// FormatMessage by a plan made already.
int FormatByPlan(char* pBuffer, size_t nSize, const FormatPlan& plan, va_list args);

// True when vsnprintf surely gives a non-empty text for the format, without
// an error or side effects, whatever the arguments.
bool FormatSurelyPrints(const char* pszFmt);

// Well-formed UTF-8 that Qt keeps unchanged.
bool IsPlainText(const char* p, size_t n);

// Unsigned decimal, left-aligned and padded with blanks to nWidth.
char* PutPadded(char* p, unsigned int n, int nWidth);

// The hours, minutes and seconds of the current second of one thread.
struct TimeOfDayCache
{
    time_t tSecond = -1;
    char szHms[32] = {}; // room for any value localtime_r may give
};
// The local time of day "HH:MM:SS.mmm" of one clock reading, the second
// taken from the cache when it is the same; returns the reading's seconds.
time_t StampTimeOfDay(TimeOfDayCache& cache, char szTime[16]);

// Writes n in decimal with at least nWidth characters, zero-filled like
// "%0*d"; returns the end.
inline char* PutDecimal(char* p, int n, int nWidth)
{
    char szDigits[12];
    int nDigits = 0;
    unsigned int u = n < 0 ? 0u - static_cast<unsigned int>(n) : static_cast<unsigned int>(n);
    do {
        szDigits[nDigits++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (n < 0) {
        *p++ = '-';
        --nWidth;
    }
    for (int i = nDigits; i < nWidth; ++i)
        *p++ = '0';
    while (nDigits > 0)
        *p++ = szDigits[--nDigits];
    return p;
}
} // namespace LogerDetail

#endif // LOGGER_LINE_P_H
