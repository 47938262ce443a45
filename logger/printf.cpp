// The printf engine: one scanner reads a format as glibc does and makes its
// plan; one executor runs a plan, straight into a buffer the text surely fits
// or counting and cutting as vsnprintf does.
#include "printf_p.h"

#include "digits_p.h"

#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{
using LogerDetail::FormatPiece;
using LogerDetail::FormatPlan;

// Classes of the bytes of a printf conversion.
enum : unsigned char
{
    cOther,
    cFlag,       // - + blank # 0 ' I
    cDigit,      // 1-9 (0 is a flag before the width)
    cLength,     // h L q j z Z t
    cLong,       // l
    cConversion, // d i o u x X f F e E g G a A p m
    cText        // c s: wide with l
};
struct ConversionClasses
{
    unsigned char nClass[256] = {};
    constexpr ConversionClasses()
    {
        for (const char* p = "-+ #0'I"; *p != '\0'; ++p)
            nClass[static_cast<unsigned char>(*p)] = cFlag;
        for (char c = '1'; c <= '9'; ++c)
            nClass[static_cast<unsigned char>(c)] = cDigit;
        for (const char* p = "hLqjzZt"; *p != '\0'; ++p)
            nClass[static_cast<unsigned char>(*p)] = cLength;
        nClass[static_cast<unsigned char>('l')] = cLong;
        for (const char* p = "diouxXfFeEgGaApm"; *p != '\0'; ++p)
            nClass[static_cast<unsigned char>(*p)] = cConversion;
        nClass[static_cast<unsigned char>('c')] = nClass[static_cast<unsigned char>('s')] = cText;
    }
};
constexpr ConversionClasses conversionClasses;

inline unsigned char ClassOf(char c)
{
    return conversionClasses.nClass[static_cast<unsigned char>(c)];
}

// The plan being made: pieces, and what is known of the text they give.
class PlanMaker
{
public:
    explicit PlanMaker(FormatPlan& plan) : m_plan(plan) {}
    // Adds literal text and a conversion; false when the plan is full.
    bool Add(const char* pBegin, const char* pEnd, FormatPiece piece)
    {
        if (m_plan.nPieces == FormatPlan::kMostPieces)
            return false;
        piece.nTextBegin = static_cast<uint16_t>(pBegin - m_plan.pszFmt);
        piece.nTextLength = static_cast<uint16_t>(pEnd - pBegin);
        for (const char* p = pBegin; p != pEnd; ++p)
            m_bAscii = m_bAscii && static_cast<unsigned char>(*p) < 0x80;
        m_plan.pieces[m_plan.nPieces++] = piece;
        // A number has at most 20 digits and a sign, and a %s no bound; 8
        // bytes more for the word a short padding is stored with.
        const char c = piece.cConversion;
        if (c == 's' || c == 'c')
            m_bAscii = false;
        const size_t nMostField = c == 's' ? SIZE_MAX : c == 'c' ? 1 : c != 0 ? 21 : 0;
        if (nMostField == SIZE_MAX || m_nMostLength == SIZE_MAX)
            m_nMostLength = SIZE_MAX;
        else if (c == 0)
            m_nMostLength += piece.nTextLength;
        else
            m_nMostLength += piece.nTextLength + (nMostField > piece.nWidth ? nMostField : piece.nWidth) + 8;
        return true;
    }
    bool IsAscii() const { return m_bAscii; }
    size_t MostLength() const { return m_nMostLength; }

private:
    FormatPlan& m_plan;
    bool m_bAscii = true;
    size_t m_nMostLength = 0;
};

// One conversion as glibc reads it: flags, width, precision, length, then
// the conversion character.
struct ConversionParts
{
    bool bOtherFlag = false; // a flag other than "-" and "0"
    int nWidthDigits = 0;
    bool bPrecision = false;
    int nPrecisionDigits = 0;
    int nLongs = 0, nSizes = 0, nOtherLengths = 0; // "l", "z" and the rest
    char cConversion = 0;
};

// Reads the conversion after a "%" (not "%%") into parts and piece; returns
// where it ends, at its conversion character.
const char* ReadConversion(const char* p, ConversionParts& parts, FormatPiece& piece)
{
    for (; ClassOf(*p) == cFlag; ++p) {
        if (*p == '-')
            piece.bLeft = true;
        else if (*p == '0')
            piece.bZero = true;
        else
            parts.bOtherFlag = true;
    }
    for (; *p >= '0' && *p <= '9'; ++p)
        if (++parts.nWidthDigits <= 4)
            piece.nWidth = static_cast<uint16_t>(piece.nWidth * 10 + (*p - '0'));
    parts.bPrecision = *p == '.';
    if (parts.bPrecision)
        for (++p; *p >= '0' && *p <= '9'; ++p)
            ++parts.nPrecisionDigits;
    for (;; ++p) {
        const unsigned char c = ClassOf(*p);
        if (c == cLong)
            ++parts.nLongs;
        else if (c == cLength)
            ++(*p == 'z' ? parts.nSizes : parts.nOtherLengths);
        else
            break;
    }
    parts.cConversion = *p;
    return p;
}

// vsnprintf surely gives a non-empty text, without an error and without
// side effects, whatever the arguments, for a format that starts with plain
// text and has no wide characters, no %n, no "*" or positional widths and no
// huge widths. (Only a %s argument of 2 GiB could still make it fail.)
bool SurelyPrints(const ConversionParts& parts)
{
    const unsigned char c = ClassOf(parts.cConversion);
    return parts.nWidthDigits + parts.nPrecisionDigits <= 6 && (c == cConversion || (c == cText && parts.nLongs == 0));
}

// The executor does it: the flags "-" and "0", a width of up to four digits
// (no "*", no precision), no length or l, ll or z on a number.
bool IsOurs(const ConversionParts& parts, FormatPiece& piece)
{
    if (parts.bOtherFlag || parts.nWidthDigits > 4 || parts.bPrecision || parts.nOtherLengths > 0)
        return false;
    if (parts.nSizes == 1 && parts.nLongs == 0)
        piece.nLength = 3;
    else if (parts.nSizes == 0 && parts.nLongs <= 2)
        piece.nLength = static_cast<uint8_t>(parts.nLongs);
    else
        return false;
    const char c = parts.cConversion;
    piece.cConversion = c;
    if (c == 's' || c == 'c')
        return piece.nLength == 0 && !piece.bZero;
    return c == 'd' || c == 'i' || c == 'u' || c == 'x' || c == 'X';
}

// Where the executor puts the text: straight into a buffer that the longest
// text fits, with 8 bytes of room after each padding.
class Fitting
{
public:
    explicit Fitting(char* pBuffer) : m_pBuffer(pBuffer), m_p(pBuffer) {}
    void Put(const char* p, size_t n) { m_p = LogerDetail::PutText(m_p, p, n); }
    void Put(char c) { *m_p++ = c; }
    void Pad(char c, size_t n) { m_p = LogerDetail::Fill(m_p, c, n); }
    int Finish()
    {
        *m_p = '\0';
        return static_cast<int>(m_p - m_pBuffer);
    }

private:
    char* const m_pBuffer;
    char* m_p;
};

// Or into nSize bytes, counting the whole length as vsnprintf does past the cut.
class Bounded
{
public:
    Bounded(char* pBuffer, size_t nSize) : m_pBuffer(pBuffer), m_nRoom(nSize - 1) {}
    void Put(const char* p, size_t n)
    {
        if (m_nOut < m_nRoom)
            LogerDetail::CopyBytes(m_pBuffer + m_nOut, p, n < m_nRoom - m_nOut ? n : m_nRoom - m_nOut);
        m_nOut += n;
    }
    void Put(char c) { Put(&c, 1); }
    void Pad(char c, size_t n)
    {
        static const char szBlanks[] = "                                ";
        static const char szZeros[] = "00000000000000000000000000000000";
        for (; n > 0; n -= n < 32 ? n : 32)
            Put(c == '0' ? szZeros : szBlanks, n < 32 ? n : 32);
    }
    int Finish()
    {
        m_pBuffer[m_nOut < m_nRoom ? m_nOut : m_nRoom] = '\0';
        if (m_nOut > 2147483647u) {
            errno = EOVERFLOW;
            return -1;
        }
        return static_cast<int>(m_nOut);
    }

private:
    char* const m_pBuffer;
    const size_t m_nRoom;
    size_t m_nOut = 0;
};

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
    using LogerDetail::PutDecimalDigits;
    using LogerDetail::PutDigits;
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

// A field padded to the piece's width: blanks on the left, or on the right
// with "-"; zeros after the sign with "0".
template <typename Out> inline void PutField(Out& out, const FieldText& field, const FormatPiece& piece)
{
    const char* pText = field.pText;
    size_t nText = field.nText;
    const size_t nPad = nText < piece.nWidth ? piece.nWidth - nText : 0;
    if (piece.bLeft) {
        out.Put(pText, nText);
        out.Pad(' ', nPad);
        return;
    }
    if (piece.bZero && field.bNumber) {
        if (*pText == '-') {
            out.Put('-');
            ++pText;
            --nText;
        }
        out.Pad('0', nPad);
    } else {
        out.Pad(' ', nPad);
    }
    out.Put(pText, nText);
}

// The executor.
template <typename Out> int Run(Out out, const FormatPlan& plan, va_list args)
{
    va_list own; // a va_list parameter may be a pointer already: passed on by the address of a copy
    va_copy(own, args);
    for (int i = 0; i < plan.nPieces; ++i) {
        const FormatPiece& piece = plan.pieces[i];
        out.Put(plan.pszFmt + piece.nTextBegin, piece.nTextLength);
        if (piece.cConversion == 0)
            continue;
        char szNumber[24];
        PutField(out, ConvertArgument(piece, &own, szNumber), piece);
    }
    va_end(own);
    return out.Finish();
}
} // namespace

namespace LogerDetail
{
void ScanFormat(const char* pszFmt, FormatPlan& plan)
{
    plan.pszFmt = pszFmt;
    // Plain text first: never empty.
    plan.bSurelyPrints = pszFmt[0] != '\0' && pszFmt[0] != '%';
    plan.bOurs = strlen(pszFmt) <= 0xFFFF;
    plan.bAscii = false;
    plan.nMostLength = SIZE_MAX;
    plan.nPieces = 0;
    PlanMaker maker(plan);
    int nConversions = 0;
    const char* pText = pszFmt;
    for (const char* p = strchr(pszFmt, '%'); p != nullptr; p = strchr(p, '%')) {
        FormatPiece piece = {};
        if (p[1] == '%') { // the text up to and with the first "%"
            plan.bOurs = plan.bOurs && maker.Add(pText, p + 1, piece);
            pText = p += 2;
            continue;
        }
        const char* const pPercent = p;
        ConversionParts parts;
        p = ReadConversion(p + 1, parts, piece);
        // What fails here is none of the executor's either (which takes
        // fewer conversions): nothing more to learn of the format.
        if (++nConversions > 64 || !SurelyPrints(parts)) {
            plan.bSurelyPrints = plan.bOurs = false;
            break;
        }
        ++p;
        plan.bOurs = plan.bOurs && IsOurs(parts, piece) && maker.Add(pText, pPercent, piece);
        pText = p;
    }
    if (plan.bOurs && *pText != '\0')
        plan.bOurs = maker.Add(pText, pText + strlen(pText), {});
    if (plan.bOurs) {
        plan.bAscii = maker.IsAscii();
        plan.nMostLength = maker.MostLength();
    }
}

int RunPlan(char* pBuffer, size_t nSize, const FormatPlan& plan, va_list args)
{
    if (nSize == 0 || !plan.bOurs)
        return vsnprintf(pBuffer, nSize, plan.pszFmt, args);
    if (plan.nMostLength < nSize)
        return Run(Fitting(pBuffer), plan, args);
    return Run(Bounded(pBuffer, nSize), plan, args);
}

int FormatMessage(char* pBuffer, size_t nSize, const char* pszFmt, va_list args)
{
    FormatPlan plan;
    ScanFormat(pszFmt, plan);
    return RunPlan(pBuffer, nSize, plan, args);
}
} // namespace LogerDetail
