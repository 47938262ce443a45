// Whether a printf format surely prints something: then a record below the
// level need not be formatted at all, and the host sees no difference.
#include "line_p.h"

#include <link.h>

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

// True when vsnprintf surely gives a non-empty text, without an error and
// without side effects, whatever the arguments: a record below the level
// then need not be formatted at all. That is a format that starts with plain
// text and has no wide characters, no %n, no "*" or positional widths and no
// huge widths. (Only a %s argument of 2 GiB could still make it fail.)
bool FormatSurelyPrints(const char* pszFmt)
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

// Read-only segments of the program and the libraries loaded with it, where
// string literals live: a format there never changes, so what the scan above
// says of it can be remembered by its address. (A library loaded later is not
// listed; its formats are scanned each time.)
struct ReadOnlySegments
{
    uintptr_t nStart[64];
    uintptr_t nEnd[64];
    int nCount = 0;
    ReadOnlySegments()
    {
        dl_iterate_phdr(
            [](dl_phdr_info* info, size_t, void* pData) {
                auto* pSegments = static_cast<ReadOnlySegments*>(pData);
                for (int i = 0; i < info->dlpi_phnum && pSegments->nCount < 64; ++i) {
                    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
                    if (ph.p_type != PT_LOAD || (ph.p_flags & PF_W) != 0)
                        continue;
                    pSegments->nStart[pSegments->nCount] = info->dlpi_addr + ph.p_vaddr;
                    pSegments->nEnd[pSegments->nCount++] = info->dlpi_addr + ph.p_vaddr + ph.p_memsz;
                }
                return 0;
            },
            this);
    }
    bool Holds(const void* p) const
    {
        const uintptr_t n = reinterpret_cast<uintptr_t>(p);
        for (int i = 0; i < nCount; ++i)
            if (n >= nStart[i] && n < nEnd[i])
                return true;
        return false;
    }
};

} // namespace

bool LogerDetail::IsInReadOnlyMemory(const void* p)
{
    static const ReadOnlySegments* const pReadOnly = new ReadOnlySegments; // kept for the process's life
    return p != nullptr && pReadOnly->Holds(p);
}

// FormatSurelyPrints, remembered per thread for formats that never change.
bool LogerDetail::FilteredFormatNeedsNothing(const char* pszFmt)
{
    struct Verdict
    {
        const char* pszFmt;
        bool bSurelyPrints;
    };
    thread_local Verdict t_verdicts[256] = {};
    const uintptr_t nKey = reinterpret_cast<uintptr_t>(pszFmt);
    Verdict& verdict = t_verdicts[(nKey ^ (nKey >> 8)) & 255];
    if (verdict.pszFmt == pszFmt && pszFmt != nullptr)
        return verdict.bSurelyPrints;
    const bool bSurelyPrints = FormatSurelyPrints(pszFmt);
    if (IsInReadOnlyMemory(pszFmt))
        verdict = {pszFmt, bSurelyPrints};
    return bSurelyPrints;
}
