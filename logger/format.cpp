// One record becomes the bytes of one line:
// "[time] [LEVEL] [line] [tid  ]  [function]   [message]".
// Built once, as UTF-8, without QString for ordinary text; text that Qt would
// change on its way (invalid UTF-8, a leading byte order mark, "%n" escapes
// that the chained QString::arg calls would fill) takes the QString road, so
// the bytes are always those of the QString chain.
#include "crash_p.h"
#include "line_p.h"

#include <QTextStream>

#include <cerrno>

namespace
{
const char* const szLevelFields[] = {"DEBUG", "INFO ", "WARN ", "ERR  ", "FATAL"}; // padded to 5
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

bool IsPlainText(const char* p, size_t n)
{
    return IsAscii(p, n) || IsPlainUtf8(reinterpret_cast<const unsigned char*>(p), n);
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

// Unsigned decimal, left-aligned and padded with blanks to nWidth.
char* PutPadded(char* p, unsigned int n, int nWidth)
{
    char szDigits[12];
    char* const pEnd = szDigits + sizeof(szDigits);
    const char* const pStart = PutDigits<10>(pEnd, n, "0123456789");
    const int nDigits = static_cast<int>(pEnd - pStart);
    memcpy(p, pStart, static_cast<size_t>(nDigits));
    p += nDigits;
    for (int i = nDigits; i < nWidth; ++i)
        *p++ = ' ';
    return p;
}

// The thread id field, kept per thread: the same id comes again and again.
char* PutThreadId(char* p, unsigned int nThreadId)
{
    thread_local struct
    {
        unsigned int nId;
        unsigned char nLength; // 0: nothing kept yet
        char szField[16];
    } t_field = {};
    if (t_field.nLength == 0 || t_field.nId != nThreadId) {
        t_field.nId = nThreadId;
        t_field.nLength = static_cast<unsigned char>(PutPadded(t_field.szField, nThreadId, 5) - t_field.szField);
    }
    memcpy(p, t_field.szField, t_field.nLength);
    return p + t_field.nLength;
}

char* PutText(char* p, const char* pText, size_t nText)
{
    memcpy(p, pText, nText);
    return p + nText;
}

// Whether every conversion of a format is one that FormatMessage does itself.
bool IsSimpleFormat(const char* pszFmt)
{
    for (const char* p = strchr(pszFmt, '%'); p != nullptr; p = strchr(p, '%')) {
        ++p;
        if (*p == '%') {
            ++p;
            continue;
        }
        bool bZero = false;
        for (; *p == '-' || *p == '0'; ++p)
            bZero = bZero || *p == '0';
        // A width of up to four digits; "*" and a precision are left to vsnprintf.
        for (int nDigits = 0; *p >= '0' && *p <= '9'; ++p)
            if (++nDigits > 4)
                return false;
        int nLength = 0;
        if (*p == 'z') {
            nLength = 1;
            ++p;
        } else {
            for (; *p == 'l' && nLength < 2; ++p)
                ++nLength;
        }
        const char c = *p++;
        if (c == 's' || c == 'c') {
            if (nLength != 0 || bZero)
                return false;
        } else if (c != 'd' && c != 'i' && c != 'u' && c != 'x' && c != 'X') {
            return false;
        }
    }
    return true;
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

} // namespace LogerDetail

namespace
{
// Where the function name lies in a function text, and whether it may take
// the plain road (no "%", text Qt keeps unchanged).
struct FunctionCut
{
    const char* pText;
    size_t nText; // as handed in
    size_t nBegin, nCount;
    bool bPlain;
};

FunctionCut CutOf(const char* pModule, size_t nModule)
{
    FunctionCut cut{pModule, nModule, 0, strnlen(pModule, nModule), false};
    size_t nBegin = 0, nCount = 0;
    if (LogerDetail::FindFunctionName(pModule, cut.nCount, nBegin, nCount)) {
        cut.nBegin = nBegin;
        cut.nCount = nCount > 255 ? 255 : nCount; // what the fixed 256-byte name buffer holds
    }
    cut.bPlain =
        memchr(pModule + cut.nBegin, '%', cut.nCount) == nullptr && IsPlainText(pModule + cut.nBegin, cut.nCount);
    return cut;
}

// The same text comes with every record of a call site: its cut is kept per
// thread, by the address of the literal (__PRETTY_FUNCTION__ never changes).
const FunctionCut& CutFunction(const char* pModule, size_t nModule)
{
    thread_local FunctionCut t_cuts[64] = {};
    const uintptr_t nKey = reinterpret_cast<uintptr_t>(pModule);
    FunctionCut& slot = t_cuts[(nKey ^ (nKey >> 6)) & 63];
    if (slot.pText == pModule && slot.nText == nModule)
        return slot;
    thread_local FunctionCut t_once;
    FunctionCut& target = LogerDetail::IsInReadOnlyMemory(pModule) ? slot : t_once;
    target = CutOf(pModule, nModule);
    return target;
}
} // namespace

namespace LogerDetail
{
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

void FormatRecord(RecordBytes& out, const char* szTime, int nLevel, unsigned int nLineNo, unsigned int nThreadId,
                  const char* pModule, size_t nModule, const char* pMsg, size_t nMsg)
{
    out.bytes.Clear();
    const size_t nTime = strlen(szTime);
    const size_t nKept = nTime < sizeof(out.szTime) ? nTime : sizeof(out.szTime) - 1;
    memcpy(out.szTime, szTime, nKept);
    out.szTime[nKept] = '\0';
    out.nThreadId = nThreadId;

    // Texts end at their first NUL, as C strings do.
    nMsg = strnlen(pMsg, nMsg);
    const FunctionCut& cut = CutFunction(pModule, nModule);
    const char* const pFunc = pModule + cut.nBegin;
    const size_t nFunc = cut.nCount;

    // A leading line feed becomes a blank and an empty line before; a
    // trailing one (looked at after that) is dropped for an empty line after.
    out.bEmptyFirst = pMsg[0] == '\n';
    out.bEmptyLast = nMsg > 1 && pMsg[nMsg - 1] == '\n';
    if (out.bEmptyLast)
        --nMsg;
    if (out.bEmptyFirst) {
        out.bytes.Append("\n", 1);
        if (nMsg == 1) { // nothing but line feeds: the empty line alone
            out.nLineBegin = out.nLineLength = 0;
            out.bEmptyLast = false;
            return;
        }
    }

    out.nLineBegin = out.bytes.Size();
    const bool bPlain =
        memchr(szTime, '%', nTime) == nullptr && cut.bPlain && IsAscii(szTime, nTime) && IsPlainText(pMsg, nMsg);
    if (bPlain) {
        char* const pStart = out.bytes.Reserve(nTime + nFunc + nMsg + 64);
        char* p = pStart;
        *p++ = '[';
        p = PutText(p, szTime, nTime);
        p = PutText(p, "] [", 3);
        p = PutText(p, szLevelFields[nLevel], 5);
        p = PutText(p, "] [", 3);
        p = PutPadded(p, nLineNo, 4);
        p = PutText(p, "] [", 3);
        p = PutThreadId(p, nThreadId);
        p = PutText(p, "]  [", 4);
        p = PutText(p, pFunc, nFunc);
        p = PutText(p, "]   [", 5);
        if (out.bEmptyFirst) {
            *p++ = ' ';
            p = PutText(p, pMsg + 1, nMsg - 1);
        } else {
            p = PutText(p, pMsg, nMsg);
        }
        *p++ = ']';
        out.bytes.Commit(static_cast<size_t>(p - pStart));
    } else {
        std::string strMsg(pMsg, nMsg);
        if (out.bEmptyFirst)
            strMsg[0] = ' ';
        AppendByQString(out.bytes, szTime, nLevel, nLineNo, nThreadId, pFunc, nFunc, strMsg.data(), strMsg.size());
    }
    out.nLineLength = out.bytes.Size() - out.nLineBegin;
    out.bytes.Append("\n\n", out.bEmptyLast ? 2 : 1);
}

int FormatMessage(char* pBuffer, size_t nSize, const char* pszFmt, va_list args)
{
    if (nSize == 0 || !IsSimpleFormat(pszFmt))
        return vsnprintf(pBuffer, nSize, pszFmt, args);
    size_t nOut = 0; // the whole length, as vsnprintf counts it past the cut
    const auto put = [&](const char* p, size_t n) {
        if (nOut < nSize - 1)
            memcpy(pBuffer + nOut, p, n < nSize - 1 - nOut ? n : nSize - 1 - nOut);
        nOut += n;
    };
    for (const char* p = pszFmt; *p != '\0';) {
        const char* pPercent = strchr(p, '%');
        if (pPercent == nullptr) {
            put(p, strlen(p));
            break;
        }
        put(p, static_cast<size_t>(pPercent - p));
        p = pPercent + 1;
        bool bLeft = false, bZero = false;
        for (; *p == '-' || *p == '0'; ++p)
            (*p == '-' ? bLeft : bZero) = true;
        size_t nWidth = 0;
        for (; *p >= '0' && *p <= '9'; ++p)
            nWidth = nWidth * 10 + static_cast<size_t>(*p - '0');
        // The text of one conversion, padded to the width: blanks on the left,
        // or on the right with "-"; zeros after the sign with "0".
        const auto putField = [&](const char* pText, size_t nText, bool bNumber) {
            static const char szBlanks[] = "                                ";
            static const char szZeros[] = "00000000000000000000000000000000";
            size_t nPad = nText < nWidth ? nWidth - nText : 0;
            const bool bZeros = bZero && !bLeft && bNumber;
            if (bZeros && nText > 0 && *pText == '-') {
                put(pText++, 1);
                --nText;
            }
            if (!bLeft)
                for (; nPad > 0; nPad -= nPad < 32 ? nPad : 32)
                    put(bZeros ? szZeros : szBlanks, nPad < 32 ? nPad : 32);
            put(pText, nText);
            for (; nPad > 0; nPad -= nPad < 32 ? nPad : 32)
                put(szBlanks, nPad < 32 ? nPad : 32);
        };
        int nLength = 0;
        bool bSize = false;
        if (*p == 'z') {
            bSize = true;
            ++p;
        }
        for (; *p == 'l'; ++p)
            ++nLength;
        const char c = *p++;
        char szNumber[24];
        char* const pEnd = szNumber + sizeof(szNumber);
        if (c == '%') {
            put("%", 1);
        } else if (c == 's') {
            const char* psz = va_arg(args, const char*);
            if (psz == nullptr)
                psz = "(null)";
            putField(psz, strlen(psz), false);
        } else if (c == 'c') {
            const char ch = static_cast<char>(va_arg(args, int));
            putField(&ch, 1, false);
        } else if (c == 'd' || c == 'i') {
            const long long n = bSize          ? static_cast<long long>(va_arg(args, ssize_t))
                                : nLength == 2 ? va_arg(args, long long)
                                : nLength == 1 ? static_cast<long long>(va_arg(args, long))
                                               : static_cast<long long>(va_arg(args, int));
            const unsigned long long u =
                n < 0 ? 0ull - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
            char* pStart = PutDigits<10>(pEnd, u, "0123456789");
            if (n < 0)
                *--pStart = '-';
            putField(pStart, static_cast<size_t>(pEnd - pStart), true);
        } else {
            const unsigned long long u = bSize          ? static_cast<unsigned long long>(va_arg(args, size_t))
                                         : nLength == 2 ? va_arg(args, unsigned long long)
                                         : nLength == 1 ? static_cast<unsigned long long>(va_arg(args, unsigned long))
                                                        : static_cast<unsigned long long>(va_arg(args, unsigned int));
            const char* const pStart = c == 'u'   ? PutDigits<10>(pEnd, u, "0123456789")
                                       : c == 'x' ? PutDigits<16>(pEnd, u, "0123456789abcdef")
                                                  : PutDigits<16>(pEnd, u, "0123456789ABCDEF");
            putField(pStart, static_cast<size_t>(pEnd - pStart), true);
        }
    }
    pBuffer[nOut < nSize - 1 ? nOut : nSize - 1] = '\0';
    if (nOut > 2147483647u) {
        errno = EOVERFLOW;
        return -1;
    }
    return static_cast<int>(nOut);
}

time_t StampTimeOfDay(char szTime[16])
{
    // The date and time of day change once a second: broken down once per
    // second and thread, the milliseconds come from each reading.
    thread_local time_t tCachedSecond = -1;
    thread_local char szCachedHms[32] = {}; // room for any value localtime_r may give
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != tCachedSecond) {
        struct tm tmVar;
        localtime_r(&now.tv_sec, &tmVar);
        NoteUtcOffset(tmVar.tm_gmtoff);
        char* p = PutDecimal(szCachedHms, tmVar.tm_hour, 2);
        *p++ = ':';
        p = PutDecimal(p, tmVar.tm_min, 2);
        *p++ = ':';
        PutDecimal(p, tmVar.tm_sec, 2);
        tCachedSecond = now.tv_sec;
    }
    memcpy(szTime, szCachedHms, 8);
    szTime[8] = '.';
    const unsigned int nMillis = static_cast<unsigned int>(now.tv_nsec / 1000000);
    szTime[9] = static_cast<char>('0' + nMillis / 100);
    szTime[10] = static_cast<char>('0' + nMillis / 10 % 10);
    szTime[11] = static_cast<char>('0' + nMillis % 10);
    szTime[12] = '\0';
    return now.tv_sec;
}
} // namespace LogerDetail
