// The bytes of one line: the function name and the line layout
// "[time] [LEVEL] [line] [tid  ]  [function]   [message]". Pure functions.
#ifndef LOGGER_LINE_P_H
#define LOGGER_LINE_P_H

#include "digits_p.h"
#include "logger.h"

#include <pthread.h>
#include <sys/time.h>

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

// Well-formed UTF-8 that Qt keeps unchanged.
bool IsPlainText(const char* p, size_t n);
} // namespace LogerDetail

#endif // LOGGER_LINE_P_H
