// Digits, padding and short copies written into a buffer: the one set of them
// that lines, messages, the clock and the crash trace use. Inline, without a
// lock or an allocation, so a signal handler may use them too.
#ifndef LOGGER_DIGITS_P_H
#define LOGGER_DIGITS_P_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace LogerDetail
{
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

// CopyBytes; returns the end.
inline char* PutText(char* p, const char* pText, size_t nText)
{
    CopyBytes(p, pText, nText);
    return p + nText;
}

// n bytes c; returns the end. memset, without a call for the few bytes a
// field is mostly padded with: up to 8 bytes are stored as one word, so 8
// bytes of room must follow p whatever n is.
inline char* Fill(char* p, char c, size_t n)
{
    if (n > 8) {
        memset(p, c, n);
    } else {
        const uint64_t nWord = 0x0101010101010101ull * static_cast<unsigned char>(c);
        memcpy(p, &nWord, 8);
    }
    return p + n;
}

// Digits of n, written backwards from pEnd; returns the start. The base is a
// constant and values that fit take 32-bit steps: a 32-bit ARM has no 64-bit
// division.
template <unsigned nBase> inline char* PutDigits(char* pEnd, unsigned long long n, const char* pszDigits)
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
inline char* PutDecimalDigits(char* pEnd, unsigned long long n)
{
    static constexpr char szPairs[] = "00010203040506070809101112131415161718192021222324"
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

// Unsigned decimal, left-aligned and padded with blanks to nWidth (as the
// number fields of a line); returns the end.
inline char* PutPadded(char* p, unsigned long long n, size_t nWidth)
{
    char szDigits[24];
    char* const pEnd = szDigits + sizeof(szDigits);
    const char* const pStart = PutDecimalDigits(pEnd, n);
    const size_t nDigits = static_cast<size_t>(pEnd - pStart);
    memcpy(p, pStart, nDigits);
    p += nDigits;
    for (size_t i = nDigits; i < nWidth; ++i)
        *p++ = ' ';
    return p;
}

// Writes n in decimal with at least nWidth characters, zero-filled like
// "%0*d"; returns the end.
inline char* PutDecimal(char* p, int n, int nWidth)
{
    char szDigits[12];
    char* const pEnd = szDigits + sizeof(szDigits);
    const unsigned int u = n < 0 ? 0u - static_cast<unsigned int>(n) : static_cast<unsigned int>(n);
    const char* const pStart = PutDecimalDigits(pEnd, u);
    const int nDigits = static_cast<int>(pEnd - pStart);
    if (n < 0) {
        *p++ = '-';
        --nWidth;
    }
    for (int i = nDigits; i < nWidth; ++i)
        *p++ = '0';
    memcpy(p, pStart, static_cast<size_t>(nDigits));
    return p + nDigits;
}
} // namespace LogerDetail

#endif // LOGGER_DIGITS_P_H
