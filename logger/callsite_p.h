// What stays the same from one record of a call site to the next, worked out
// once: how its printf format is made, and the fixed fields of its line. Kept
// for the process's life when the texts are string literals, whose addresses
// then name them for good; other texts are worked out each time.
#ifndef LOGGER_CALLSITE_P_H
#define LOGGER_CALLSITE_P_H

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
    int nPieces;
    FormatPiece pieces[kMostPieces];
};

// The plan of a format (never null); built in scratch when it is not kept.
const FormatPlan& PlanOf(const char* pszFmt, FormatPlan& scratch);

// The fields of a line between its time and its message, but for the thread
// id: "] [INFO ] [487 ] [" and "]  [name]   [".
struct SiteText
{
    const char* pModule;
    size_t nModule;
    int nLevel;
    unsigned int nLineNo;
    const char* pFunc; // the function name, within pModule
    size_t nFunc;
    bool bPlain; // the name goes into the line as it is: no "%", text Qt keeps
    uint16_t nBefore, nAfter;
    char szText[48 + 256];
};

// The text of a call site, for a level within DEBUG..FATAL; built in scratch
// when it is not kept.
const SiteText& SiteOf(const char* pModule, size_t nModule, int nLevel, unsigned int nLineNo, SiteText& scratch);
} // namespace LogerDetail

#endif // LOGGER_CALLSITE_P_H
