// The printf engine of messages: a scanner turns a format into a plan once,
// an executor runs the plan for each record's arguments, byte for byte as
// glibc's vsnprintf, several times faster. Formats the plan does not cover
// go to vsnprintf itself.
#ifndef LOGGER_PRINTF_P_H
#define LOGGER_PRINTF_P_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace LogerDetail
{
// One stretch of a printf format: literal text, then at most one conversion.
struct FormatPiece
{
    uint16_t nTextBegin, nTextLength; // within the format
    char cConversion;                 // d i u x X s c, or 0 for none
    uint8_t nLength;                  // 0: int, 1: long, 2: long long, 3: size_t
    bool bLeft, bZero;                // the flags "-" and "0"
    uint16_t nWidth;
};

struct FormatPlan
{
    static const int kMostPieces = 16;
    const char* pszFmt;
    bool bSurelyPrints; // a record below the level may be dropped unformatted
    bool bOurs;         // pieces hold every conversion, else vsnprintf formats it
    bool bAscii;        // ASCII whatever the arguments, and without a NUL
    size_t nMostLength; // the longest text it can give; SIZE_MAX with a %s
    int nPieces;
    FormatPiece pieces[kMostPieces];
};

// The plan of a format. The executor does the common conversions itself (%d
// %i %u %x %X with an l, ll or z length, %s, %c, %%; the flags - and 0 and a
// width of up to four digits, no precision); for any other format bOurs is
// false. bSurelyPrints tells that vsnprintf surely gives a non-empty text for
// the format, without an error or side effects, whatever the arguments.
void ScanFormat(const char* pszFmt, FormatPlan& plan);

// vsnprintf by a plan: what vsnprintf would write into pBuffer and return.
// Bounded by nSize, or straight through when the longest text fits.
int RunPlan(char* pBuffer, size_t nSize, const FormatPlan& plan, va_list args);

// vsnprintf through the engine: ScanFormat, then RunPlan.
int FormatMessage(char* pBuffer, size_t nSize, const char* pszFmt, va_list args);
} // namespace LogerDetail

#endif // LOGGER_PRINTF_P_H
