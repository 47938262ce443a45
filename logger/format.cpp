// One record becomes the bytes of one line:
// "[time] [LEVEL] [line] [tid  ]  [function]   [message]".
// Built once, as UTF-8, without QString for ordinary text; text that Qt would
// change on its way (invalid UTF-8, a leading byte order mark, "%n" escapes
// that the chained QString::arg calls would fill) takes the QString road, so
// the bytes are always those of the QString chain.
#include "callsite_p.h"
#include "levels_p.h"
#include "line_p.h"

#include <QString>

namespace
{
// Well-formed UTF-8 that QString::fromUtf8 keeps unchanged: no overlong
// forms, no surrogates, nothing above U+10FFFF, no byte order mark at the
// start (fromUtf8 drops it).
bool IsPlainUtf8(const unsigned char* p, size_t n)
{
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF)
        return false;
    size_t i = 0;
    while (i < n) {
        const unsigned c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t nTail = 0;
        unsigned nLow = 0x80, nHigh = 0xBF; // range of the byte after the lead
        if (c >= 0xC2 && c <= 0xDF) {
            nTail = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            nTail = 2;
            if (c == 0xE0)
                nLow = 0xA0;
            else if (c == 0xED)
                nHigh = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            nTail = 3;
            if (c == 0xF0)
                nLow = 0x90;
            else if (c == 0xF4)
                nHigh = 0x8F;
        } else {
            return false;
        }
        if (n - i <= nTail || p[i + 1] < nLow || p[i + 1] > nHigh)
            return false;
        for (size_t k = 2; k <= nTail; ++k)
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
        i += nTail + 1;
    }
    return true;
}

bool IsAscii(const char* p, size_t n)
{
    // Eight bytes at a time: no byte has its top bit set.
    uint64_t nOr = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t nWord;
        memcpy(&nWord, p + i, 8);
        nOr |= nWord;
    }
    for (; i < n; ++i)
        nOr |= static_cast<unsigned char>(p[i]);
    return (nOr & 0x8080808080808080ull) == 0;
}

// The line by the chain of QString::arg calls, for text that Qt changes.
void AppendByQString(LogerDetail::LineBuffer& out, const char* szTime, int nLevel, unsigned int nLineNo,
                     unsigned int nThreadId, const char* pFunc, size_t nFunc, const char* pMsg, size_t nMsg)
{
    const QString strLine = QString("[%1] [%2] [%3] [%4]  [%5]   [%6]")
                                .arg(QString::fromUtf8(szTime), 0, QLatin1Char(' '))
                                .arg(QString::fromLatin1(LogerDetail::szLevelNames[nLevel]), -5, QLatin1Char(' '))
                                .arg(QString::number(nLineNo, 10), -4, QLatin1Char(' '))
                                .arg(QString::number(nThreadId, 10), -5, QLatin1Char(' '))
                                .arg(QString::fromUtf8(pFunc, static_cast<int>(nFunc)), 0, QLatin1Char(' '))
                                .arg(QString::fromUtf8(pMsg, static_cast<int>(nMsg)), 0, QLatin1Char(' '));
    const QByteArray utf8 = strLine.toUtf8();
    out.Append(utf8.constData(), static_cast<size_t>(utf8.size()));
}
} // namespace

namespace LogerDetail
{
bool FindFunctionName(const char* pText, size_t nText, size_t& nBegin, size_t& nCount)
{
    const char* pParen = static_cast<const char*>(memchr(pText, '(', nText));
    if (pParen == nullptr)
        return false;
    const size_t nIndex1 = static_cast<size_t>(pParen - pText);
    size_t nIndex2 = nIndex1;
    while (nIndex2 > 0 && pText[nIndex2 - 1] != ' ')
        --nIndex2;
    // No blank before the "(": the whole text before it is the name.
    nBegin = nIndex2;
    nCount = nIndex1 - nBegin;
    return true;
}

bool IsPlainText(const char* p, size_t n)
{
    return IsAscii(p, n) || IsPlainUtf8(reinterpret_cast<const unsigned char*>(p), n);
}

void LineBuffer::Grow(size_t nNeeded)
{
    size_t nCapacity = m_nCapacity * 2;
    while (nCapacity < nNeeded)
        nCapacity *= 2;
    std::unique_ptr<char[]> heap(new char[nCapacity]);
    memcpy(heap.get(), m_pData, m_nSize);
    m_heap = std::move(heap);
    m_pData = m_heap.get();
    m_nCapacity = nCapacity;
}

char* BeginLine(RecordBytes& out, const char* szTime, size_t nTime, const SiteText& site, const char* pTid, size_t nTid,
                size_t nRoom)
{
    out.bytes.Clear();
    const size_t nKept = nTime < sizeof(out.szTime) ? nTime : sizeof(out.szTime) - 1;
    CopyBytes(out.szTime, szTime, nKept);
    out.szTime[nKept] = '\0';
    out.nLevel = site.nLevel;
    out.nLineNo = site.nLineNo;
    // Room behind for "]", two line ends and the empty line that a leading
    // line feed puts in front.
    char* const pStart = out.bytes.Reserve(1 + nTime + site.nBefore + nTid + site.nFunc + 9 + nRoom + 4);
    char* p = pStart;
    *p++ = '[';
    p = PutText(p, szTime, nTime);
    p = PutText(p, site.szText, site.nBefore);
    p = PutText(p, pTid, nTid);
    if (site.nAfter > 0) {
        p = PutText(p, site.szText + site.nBefore, site.nAfter);
    } else {
        p = PutText(p, "]  [", 4);
        p = PutText(p, site.pFunc, site.nFunc);
        p = PutText(p, "]   [", 5);
    }
    out.nLineBegin = static_cast<size_t>(p - pStart); // for now: where the message begins
    return p;
}

void FinishLine(RecordBytes& out, const char* szTime, size_t nMsg, bool bMsgAscii, bool bTimePlain,
                const SiteText& site)
{
    // BeginLine left the bytes uncommitted.
    char* const pStart = out.bytes.End();
    char* const pMsg = pStart + out.nLineBegin;
    // A leading line feed becomes a blank and an empty line before; a
    // trailing one (looked at after that) is dropped for an empty line after.
    out.bEmptyFirst = pMsg[0] == '\n';
    out.bEmptyLast = nMsg > 1 && pMsg[nMsg - 1] == '\n';
    if (out.bEmptyLast)
        --nMsg;
    if (out.bEmptyFirst && nMsg == 1) { // nothing but line feeds: the empty line alone
        out.bytes.Append("\n", 1);
        out.nLineBegin = out.nLineLength = 0;
        out.bEmptyLast = false;
        return;
    }
    if (out.bEmptyFirst)
        pMsg[0] = ' ';
    if (bTimePlain && site.bPlain && (bMsgAscii || IsPlainText(pMsg, nMsg))) {
        const size_t nLine = out.nLineBegin + nMsg;
        pStart[nLine] = ']';
        if (out.bEmptyFirst) {
            memmove(pStart + 1, pStart, nLine + 1);
            pStart[0] = '\n';
        }
        out.nLineBegin = out.bEmptyFirst ? 1 : 0;
        out.bytes.Commit(out.nLineBegin + nLine + 1);
    } else {
        const std::string strMsg(pMsg, nMsg);
        if (out.bEmptyFirst)
            out.bytes.Append("\n", 1);
        out.nLineBegin = out.bytes.Size();
        AppendByQString(out.bytes, szTime, out.nLevel, out.nLineNo, out.nThreadId, site.pFunc, site.nFunc,
                        strMsg.data(), strMsg.size());
    }
    out.nLineLength = out.bytes.Size() - out.nLineBegin;
    out.bytes.Append("\n\n", out.bEmptyLast ? 2 : 1);
}

void FormatRecordAt(RecordBytes& out, const char* szTime, size_t nTime, bool bTimePlain, const SiteText& site,
                    const char* pTid, size_t nTid, const char* pMsg, size_t nMsg)
{
    char* const p = BeginLine(out, szTime, nTime, site, pTid, nTid, nMsg);
    memcpy(p, pMsg, nMsg);
    FinishLine(out, szTime, nMsg, false, bTimePlain, site);
}

void FormatRecord(RecordBytes& out, const char* szTime, int nLevel, unsigned int nLineNo, unsigned int nThreadId,
                  const char* pModule, size_t nModule, const char* pMsg, size_t nMsg)
{
    SiteText scratch;
    const SiteText& site = SiteOf(pModule, nModule, nLevel, nLineNo, scratch);
    char szTid[16];
    const size_t nTid = static_cast<size_t>(PutPadded(szTid, nThreadId, 5) - szTid);
    out.nThreadId = nThreadId;
    const size_t nTime = strlen(szTime);
    const bool bTimePlain = memchr(szTime, '%', nTime) == nullptr && IsAscii(szTime, nTime);
    FormatRecordAt(out, szTime, nTime, bTimePlain, site, szTid, nTid, pMsg, strnlen(pMsg, nMsg));
}

} // namespace LogerDetail
