// Symbol look-up for the crash trace. dladdr takes the loader's lock, which a
// crash while another thread loads a library would wait for forever; so the
// object comes from _dl_find_object (made for unwinders and signal handlers)
// and its dynamic symbols are read in place, matched as dladdr does.
#include "crashsymbols_p.h"

#include <elf.h>
#include <link.h>

#include <cerrno>
#include <cstddef>

namespace
{
// The program's name as it was started (NoteProgramForSymbols).
const char* g_pszProgram = "";

#if defined(DLFO_STRUCT_HAS_EH_DBASE)
// An address of the dynamic section: glibc relocates most of them in place,
// not those of a read-only section.
uintptr_t Relocated(uintptr_t n, const link_map* pMap, const dl_find_object& object)
{
    const bool bInside = n >= reinterpret_cast<uintptr_t>(object.dlfo_map_start) &&
                         n < reinterpret_cast<uintptr_t>(object.dlfo_map_end);
    return bInside ? n : n + pMap->l_addr;
}

// Where a symbol's code or data begins: a Thumb function's value has its
// lowest bit set, its first instruction lies one byte before.
uintptr_t SymbolStart(const ElfW(Sym)& sym)
{
#if defined(__arm__)
    if ((sym.st_info & 0xf) == STT_FUNC)
        return sym.st_value & ~uintptr_t(1);
#endif
    return sym.st_value;
}

// The number of dynamic symbols, from either hash table.
size_t SymbolCount(const uint32_t* pHash, const uint32_t* pGnuHash)
{
    if (pHash != nullptr)
        return pHash[1];
    if (pGnuHash == nullptr)
        return 0;
    const uint32_t nBuckets = pGnuHash[0], nFirst = pGnuHash[1], nBloom = pGnuHash[2];
    const uint32_t* const pBuckets =
        reinterpret_cast<const uint32_t*>(reinterpret_cast<const ElfW(Addr)*>(pGnuHash + 4) + nBloom);
    uint32_t nLast = 0;
    for (uint32_t i = 0; i < nBuckets; ++i)
        nLast = pBuckets[i] > nLast ? pBuckets[i] : nLast;
    if (nLast < nFirst)
        return nFirst;
    const uint32_t* const pChains = pBuckets + nBuckets - nFirst;
    while ((pChains[nLast] & 1) == 0)
        ++nLast;
    return nLast + 1;
}
#endif
} // namespace

namespace LogerDetail
{
void NoteProgramForSymbols()
{
    g_pszProgram = program_invocation_name != nullptr ? program_invocation_name : "";
}

#if defined(DLFO_STRUCT_HAS_EH_DBASE)
// The nearest symbol at or below the address that holds it, as dladdr
// chooses: not thread-local data, not absolute values, not undefined ones.
bool FindSymbol(uintptr_t nAddr, Dl_info& info, unsigned char* pnType)
{
    dl_find_object object;
    if (_dl_find_object(reinterpret_cast<void*>(nAddr), &object) != 0 || object.dlfo_link_map == nullptr)
        return false;
    const link_map* const pMap = object.dlfo_link_map;
    info.dli_fname = pMap->l_name != nullptr && pMap->l_name[0] != '\0' ? pMap->l_name : g_pszProgram;
    info.dli_fbase = object.dlfo_map_start;
    info.dli_sname = nullptr;
    info.dli_saddr = nullptr;
    const ElfW(Sym)* pSymbols = nullptr;
    const char* pszStrings = nullptr;
    size_t nStrings = 0;
    const uint32_t *pHash = nullptr, *pGnuHash = nullptr;
    for (const ElfW(Dyn)* pDyn = pMap->l_ld; pDyn != nullptr && pDyn->d_tag != DT_NULL; ++pDyn) {
        const uintptr_t n = Relocated(pDyn->d_un.d_ptr, pMap, object);
        if (pDyn->d_tag == DT_SYMTAB)
            pSymbols = reinterpret_cast<const ElfW(Sym)*>(n);
        else if (pDyn->d_tag == DT_STRTAB)
            pszStrings = reinterpret_cast<const char*>(n);
        else if (pDyn->d_tag == DT_STRSZ)
            nStrings = pDyn->d_un.d_val;
        else if (pDyn->d_tag == DT_HASH)
            pHash = reinterpret_cast<const uint32_t*>(n);
        else if (pDyn->d_tag == DT_GNU_HASH)
            pGnuHash = reinterpret_cast<const uint32_t*>(n);
    }
    if (pSymbols == nullptr || pszStrings == nullptr)
        return true;
    const ElfW(Sym)* pBest = nullptr;
    const size_t nSymbols = SymbolCount(pHash, pGnuHash);
    for (size_t i = 0; i < nSymbols; ++i) {
        const ElfW(Sym)& sym = pSymbols[i];
        const uintptr_t nValue = pMap->l_addr + SymbolStart(sym);
        if (sym.st_name == 0 || sym.st_name >= nStrings || (sym.st_info & 0xf) == STT_TLS ||
            sym.st_shndx == SHN_ABS || (sym.st_shndx == SHN_UNDEF && sym.st_value == 0) || nAddr < nValue)
            continue;
        const bool bInside = nAddr < nValue + sym.st_size || (sym.st_size == 0 && nAddr == nValue);
        if (bInside && (pBest == nullptr || SymbolStart(*pBest) < SymbolStart(sym)))
            pBest = &sym;
    }
    if (pBest != nullptr) {
        info.dli_sname = pszStrings + pBest->st_name;
        info.dli_saddr = reinterpret_cast<void*>(pMap->l_addr + SymbolStart(*pBest));
        if (pnType != nullptr)
            *pnType = pBest->st_info & 0xf;
    }
    return true;
}

#if defined(__arm__)
bool FindObject(uintptr_t nAddr, uintptr_t& nMapStart, uintptr_t& nMapEnd, uintptr_t& nBias)
{
    dl_find_object object;
    if (_dl_find_object(reinterpret_cast<void*>(nAddr), &object) != 0 || object.dlfo_link_map == nullptr)
        return false;
    nMapStart = reinterpret_cast<uintptr_t>(object.dlfo_map_start);
    nMapEnd = reinterpret_cast<uintptr_t>(object.dlfo_map_end);
    nBias = object.dlfo_link_map->l_addr;
    return true;
}
#endif
#else
// Without _dl_find_object (glibc before 2.35): dladdr, which may wait for the
// loader's lock.
bool FindSymbol(uintptr_t nAddr, Dl_info& info, unsigned char* pnType)
{
    void* pExtra = nullptr;
    if (dladdr1(reinterpret_cast<void*>(nAddr), &info, &pExtra, RTLD_DL_SYMENT) == 0)
        return false;
    const ElfW(Sym)* const pSym = static_cast<const ElfW(Sym)*>(pExtra);
    if (pnType != nullptr && pSym != nullptr)
        *pnType = pSym->st_info & 0xf;
    return true;
}

#if defined(__arm__)
bool FindObject(uintptr_t nAddr, uintptr_t& nMapStart, uintptr_t& nMapEnd, uintptr_t& nBias)
{
    Dl_info info = {};
    void* pExtra = nullptr;
    if (dladdr1(reinterpret_cast<void*>(nAddr), &info, &pExtra, RTLD_DL_LINKMAP) == 0 || pExtra == nullptr)
        return false;
    const link_map* const pMap = static_cast<const link_map*>(pExtra);
    nMapStart = reinterpret_cast<uintptr_t>(info.dli_fbase);
    nMapEnd = nMapStart + 4096; // its program headers lie in the first page
    nBias = pMap->l_addr;
    return true;
}
#endif
#endif
} // namespace LogerDetail
