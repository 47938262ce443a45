// One record becomes the bytes of one line:
// "[time] [LEVEL] [line] [tid  ]  [function]   [message]".
// Built once, as UTF-8, without QString for ordinary text; text that Qt would
// change on its way (invalid UTF-8, a leading byte order mark, "%n" escapes
// that the chained QString::arg calls would fill) takes the QString road, so
// the bytes are always those of the QString chain.
#include "callsite_p.h"
#include "crash_p.h"
#include "line_p.h"

#include <QTextStream>

#include <cerrno>

namespace
{
const char* const szLevelNames[] = {"DEBUG", "INFO", "WARN", "ERR", "FATAL"};

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

// Digits of n, written backwards from pEnd; returns the start. The base is a
// constant and values that fit take 32-bit steps: a 32-bit ARM has no 64-bit
// division.
template <unsigned nBase> char* PutDigits(char* pEnd, unsigned long long n, const char* pszDigits)
{
    for (; n > 0xFFFFFFFFull; n /= nBase)
        *--pEnd = pszDigits[n % nBase];
    unsigned int u = static_cast<unsigned int>(n);
    do {
        *--pEnd = pszDigits[u % nBase];
        u /= nBase;
    } while (u != 0);
    return pEnd;
}

// Decimal digits as PutDigits<10>, two at a time.
char* PutDecimalDigits(char* pEnd, unsigned long long n)
{
    static const char szPairs[] = "00010203040506070809101112131415161718192021222324"
                                  "25262728293031323334353637383940414243444546474849"
                                  "50515253545556575859606162636465666768697071727374"
                                  "75767778798081828384858687888990919293949596979899";
    for (; n > 0xFFFFFFFFull; n /= 10)
        *--pEnd = static_cast<char>('0' + n % 10);
    unsigned int u = static_cast<unsigned int>(n);
    for (; u >= 100; u /= 100) {
        pEnd -= 2;
        memcpy(pEnd, szPairs + 2 * (u % 100), 2);
    }
    if (u >= 10) {
        pEnd -= 2;
        memcpy(pEnd, szPairs + 2 * u, 2);
    } else {
        *--pEnd = static_cast<char>('0' + u);
    }
    return pEnd;
}

// memcpy, without a call for the short texts most fields of a line are: the
// first and the last word of them, overlapping.
template <typename Word> inline void CopyEnds(char* pDst, const char* pSrc, size_t n)
{
    Word first, last;
    memcpy(&first, pSrc, sizeof(Word));
    memcpy(&last, pSrc + n - sizeof(Word), sizeof(Word));
    memcpy(pDst, &first, sizeof(Word));
    memcpy(pDst + n - sizeof(Word), &last, sizeof(Word));
}
struct Word16
{
    uint64_t n[2];
};
inline void CopyBytes(char* pDst, const char* pSrc, size_t n)
{
    if (n >= 16) {
        if (n > 32)
            memcpy(pDst, pSrc, n);
        else
            CopyEnds<Word16>(pDst, pSrc, n);
    } else if (n >= 8) {
        CopyEnds<uint64_t>(pDst, pSrc, n);
    } else if (n >= 4) {
        CopyEnds<uint32_t>(pDst, pSrc, n);
    } else if (n > 0) { // 1 to 3 bytes
        pDst[0] = pSrc[0];
        pDst[n / 2] = pSrc[n / 2];
        pDst[n - 1] = pSrc[n - 1];
    }
}

char* PutText(char* p, const char* pText, size_t nText)
{
    CopyBytes(p, pText, nText);
    return p + nText;
}

// The line by the chain of QString::arg calls, for text that Qt changes.
void AppendByQString(LogerDetail::LineBuffer& out, const char* szTime, int nLevel, unsigned int nLineNo,
                     unsigned int nThreadId, const char* pFunc, size_t nFunc, const char* pMsg, size_t nMsg)
{
    const QString strLine = QString("[%1] [%2] [%3] [%4]  [%5]   [%6]")
                                .arg(QString::fromUtf8(szTime), 0, QLatin1Char(' '))
                                .arg(QString::fromLatin1(szLevelNames[nLevel]), -5, QLatin1Char(' '))
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

char* PutPadded(char* p, unsigned int n, int nWidth)
{
    char szDigits[12];
    char* const pEnd = szDigits + sizeof(szDigits);
    const char* const pStart = PutDecimalDigits(pEnd, n);
    const int nDigits = static_cast<int>(pEnd - pStart);
    memcpy(p, pStart, static_cast<size_t>(nDigits));
    p += nDigits;
    for (int i = nDigits; i < nWidth; ++i)
        *p++ = ' ';
    return p;
}

namespace
{
// memset, without a call for the few bytes a field is mostly padded with:
// up to 8 bytes are stored as one word, which the plan leaves room for.
char* Fill(char* p, char c, size_t n)
{
    if (n > 8) {
        memset(p, c, n);
    } else {
        const uint64_t nWord = 0x0101010101010101ull * static_cast<unsigned char>(c);
        memcpy(p, &nWord, 8);
    }
    return p + n;
}

// A number's or character's field, padded as the piece says.
char* PutField(char* p, const char* pText, size_t nText, const FormatPiece& piece, bool bNumber)
{
    const size_t nPad = nText < piece.nWidth ? piece.nWidth - nText : 0;
    if (piece.bLeft)
        return Fill(PutText(p, pText, nText), ' ', nPad);
    if (piece.bZero && bNumber) {
        if (*pText == '-') {
            *p++ = '-';
            ++pText;
            --nText;
        }
        return PutText(Fill(p, '0', nPad), pText, nText);
    }
    return PutText(Fill(p, ' ', nPad), pText, nText);
}

// The text of one conversion's argument, before padding: in szNumber for a
// number or a character, else the string itself.
struct FieldText
{
    const char* pText;
    size_t nText;
    bool bNumber;
};
inline FieldText ConvertArgument(const FormatPiece& piece, va_list* pArgs, char (&szNumber)[24])
{
    char* const pEnd = szNumber + sizeof(szNumber);
    const char c = piece.cConversion;
    if (c == 's') {
        const char* psz = va_arg(*pArgs, const char*);
        if (psz == nullptr)
            psz = "(null)";
        return {psz, strlen(psz), false};
    }
    if (c == 'c') {
        szNumber[0] = static_cast<char>(va_arg(*pArgs, int));
        return {szNumber, 1, false};
    }
    if (c == 'd' || c == 'i') {
        const long long n = piece.nLength == 3   ? static_cast<long long>(va_arg(*pArgs, ssize_t))
                            : piece.nLength == 2 ? va_arg(*pArgs, long long)
                            : piece.nLength == 1 ? static_cast<long long>(va_arg(*pArgs, long))
                                                 : static_cast<long long>(va_arg(*pArgs, int));
        const unsigned long long u =
            n < 0 ? 0ull - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
        char* pStart = PutDecimalDigits(pEnd, u);
        if (n < 0)
            *--pStart = '-';
        return {pStart, static_cast<size_t>(pEnd - pStart), true};
    }
    const unsigned long long u = piece.nLength == 3   ? static_cast<unsigned long long>(va_arg(*pArgs, size_t))
                                 : piece.nLength == 2 ? va_arg(*pArgs, unsigned long long)
                                 : piece.nLength == 1 ? static_cast<unsigned long long>(va_arg(*pArgs, unsigned long))
                                                      : static_cast<unsigned long long>(va_arg(*pArgs, unsigned int));
    const char* const pStart = c == 'u'   ? PutDecimalDigits(pEnd, u)
                               : c == 'x' ? PutDigits<16>(pEnd, u, "0123456789abcdef")
                                          : PutDigits<16>(pEnd, u, "0123456789ABCDEF");
    return {pStart, static_cast<size_t>(pEnd - pStart), true};
}

// FormatByPlan for a text that surely fits the buffer: no cut to watch for.
int FormatFitting(char* pBuffer, const FormatPlan& plan, va_list args)
{
    va_list own; // a va_list parameter may be a pointer already: passed on by the address of a copy
    va_copy(own, args);
    char* p = pBuffer;
    for (int i = 0; i < plan.nPieces; ++i) {
        const FormatPiece& piece = plan.pieces[i];
        p = PutText(p, plan.pszFmt + piece.nTextBegin, piece.nTextLength);
        if (piece.cConversion == 0)
            continue;
        char szNumber[24];
        const FieldText field = ConvertArgument(piece, &own, szNumber);
        p = PutField(p, field.pText, field.nText, piece, field.bNumber);
    }
    va_end(own);
    *p = '\0';
    return static_cast<int>(p - pBuffer);
}
} // namespace

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

int FormatMessage(char* pBuffer, size_t nSize, const char* pszFmt, va_list args)
{
    FormatPlan scratch;
    return FormatByPlan(pBuffer, nSize, PlanOf(pszFmt, scratch), args);
}

int FormatByPlan(char* pBuffer, size_t nSize, const FormatPlan& plan, va_list args)
{
    if (nSize == 0 || !plan.bOurs)
        return vsnprintf(pBuffer, nSize, plan.pszFmt, args);
    if (plan.nMostLength < nSize)
        return FormatFitting(pBuffer, plan, args);
    size_t nOut = 0; // the whole length, as vsnprintf counts it past the cut
    va_list own;
    va_copy(own, args);
    const auto put = [&](const char* p, size_t n) {
        if (nOut < nSize - 1)
            CopyBytes(pBuffer + nOut, p, n < nSize - 1 - nOut ? n : nSize - 1 - nOut);
        nOut += n;
    };
    for (int i = 0; i < plan.nPieces; ++i) {
        const FormatPiece& piece = plan.pieces[i];
        put(plan.pszFmt + piece.nTextBegin, piece.nTextLength);
        const char c = piece.cConversion;
        if (c == 0)
            continue;
        // The text of one conversion, padded to the width: blanks on the left,
        // or on the right with "-"; zeros after the sign with "0".
        const auto putField = [&](const char* pText, size_t nText, bool bNumber) {
            static const char szBlanks[] = "                                ";
            static const char szZeros[] = "00000000000000000000000000000000";
            size_t nPad = nText < piece.nWidth ? piece.nWidth - nText : 0;
            const bool bZeros = piece.bZero && !piece.bLeft && bNumber;
            if (bZeros && nText > 0 && *pText == '-') {
                put(pText++, 1);
                --nText;
            }
            if (!piece.bLeft)
                for (; nPad > 0; nPad -= nPad < 32 ? nPad : 32)
                    put(bZeros ? szZeros : szBlanks, nPad < 32 ? nPad : 32);
            put(pText, nText);
            for (; nPad > 0; nPad -= nPad < 32 ? nPad : 32)
                put(szBlanks, nPad < 32 ? nPad : 32);
        };
        char szNumber[24];
        const FieldText field = ConvertArgument(piece, &own, szNumber);
        putField(field.pText, field.nText, field.bNumber);
    }
    va_end(own);
    pBuffer[nOut < nSize - 1 ? nOut : nSize - 1] = '\0';
    if (nOut > 2147483647u) {
        errno = EOVERFLOW;
        return -1;
    }
    return static_cast<int>(nOut);
}

time_t StampTimeOfDay(TimeOfDayCache& cache, char szTime[16])
{
    // The date and time of day change once a second: broken down once per
    // second and thread, the milliseconds come from each reading.
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != cache.tSecond) {
        struct tm tmVar;
        localtime_r(&now.tv_sec, &tmVar);
        NoteUtcOffset(tmVar.tm_gmtoff);
        char* p = PutDecimal(cache.szHms, tmVar.tm_hour, 2);
        *p++ = ':';
        p = PutDecimal(p, tmVar.tm_min, 2);
        *p++ = ':';
        PutDecimal(p, tmVar.tm_sec, 2);
        cache.tSecond = now.tv_sec;
    }
    memcpy(szTime, cache.szHms, 8);
    szTime[8] = '.';
    const unsigned int nMillis = static_cast<unsigned int>(now.tv_nsec / 1000000);
    szTime[9] = static_cast<char>('0' + nMillis / 100);
    szTime[10] = static_cast<char>('0' + nMillis / 10 % 10);
    szTime[11] = static_cast<char>('0' + nMillis % 10);
    szTime[12] = '\0';
    return now.tv_sec;
}
} // namespace LogerDetail
