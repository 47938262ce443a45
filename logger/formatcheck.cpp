// Whether a printf format surely prints something: then a record below the
// level need not be formatted at all, and the host sees no difference.
#include "line_p.h"

namespace
{
// Classes of the bytes of a printf conversion, for FormatSurelyPrints.
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

} // namespace

// True when vsnprintf surely gives a non-empty text, without an error and
// without side effects, whatever the arguments: a record below the level
// then need not be formatted at all. That is a format that starts with plain
// text and has no wide characters, no %n, no "*" or positional widths and no
// huge widths. (Only a %s argument of 2 GiB could still make it fail.)
bool LogerDetail::FormatSurelyPrints(const char* pszFmt)
{
    if (pszFmt == nullptr || pszFmt[0] == '\0' || pszFmt[0] == '%')
        return false;
    const unsigned char* const nClass = conversionClasses.nClass;
    int nConversions = 0;
    for (const char* p = strchr(pszFmt, '%'); p != nullptr; p = strchr(p, '%')) {
        ++p;
        if (*p == '%') {
            ++p;
            continue;
        }
        if (++nConversions > 64)
            return false;
        while (nClass[static_cast<unsigned char>(*p)] == cFlag)
            ++p;
        int nDigits = 0;
        for (; (*p >= '0' && *p <= '9'); ++p)
            ++nDigits;
        if (*p == '.')
            for (++p; *p >= '0' && *p <= '9'; ++p)
                ++nDigits;
        if (nDigits > 6)
            return false;
        bool bWide = false;
        for (;; ++p) {
            const unsigned char c = nClass[static_cast<unsigned char>(*p)];
            if (c == cLong)
                bWide = true;
            else if (c != cLength)
                break;
        }
        const unsigned char c = nClass[static_cast<unsigned char>(*p)];
        if (c != cConversion && !(c == cText && !bWide))
            return false;
        ++p;
    }
    return true;
}
