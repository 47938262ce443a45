#include "callsite_p.h"

#include "levels_p.h"
#include "line_p.h"

#include <link.h>

#include <memory>

namespace
{
// An object loaded when this library loads: its read-only segments, its
// dynamic section and whether it stays loaded as long as this library does.
struct LoadedObject
{
    static const int kMostSegments = 8;
    const char* pszPath;
    uintptr_t nBase;
    const ElfW(Dyn) * pDynamic;
    uintptr_t nStart[kMostSegments], nEnd[kMostSegments];
    int nSegments;
    uintptr_t nLowest, nHighest; // all its segments
    bool bStays;
};

// An address given by the dynamic section: glibc relocates most in place,
// not those of a read-only section.
const char* DynamicAddress(const LoadedObject& object, uintptr_t n)
{
    return reinterpret_cast<const char*>(n >= object.nLowest && n < object.nHighest ? n : n + object.nBase);
}

// The object's own name (DT_SONAME), else the last part of its path: what
// another object's DT_NEEDED names it by.
bool IsNamed(const LoadedObject& object, const char* pszName)
{
    const char* pszStrings = nullptr;
    const char* pszSoname = nullptr;
    for (const ElfW(Dyn)* pDyn = object.pDynamic; pDyn != nullptr && pDyn->d_tag != DT_NULL; ++pDyn)
        if (pDyn->d_tag == DT_STRTAB)
            pszStrings = DynamicAddress(object, pDyn->d_un.d_ptr);
    for (const ElfW(Dyn)* pDyn = object.pDynamic; pszStrings != nullptr && pDyn->d_tag != DT_NULL; ++pDyn)
        if (pDyn->d_tag == DT_SONAME)
            pszSoname = pszStrings + pDyn->d_un.d_val;
    if (pszSoname != nullptr && strcmp(pszSoname, pszName) == 0)
        return true;
    const char* pszBase = strrchr(object.pszPath, '/');
    return strcmp(pszBase != nullptr ? pszBase + 1 : object.pszPath, pszName) == 0;
}

// Marks the objects that those staying loaded need (DT_NEEDED) as staying
// too; true when one more was marked.
bool MarkNeeded(LoadedObject* pObjects, int nObjects)
{
    bool bMarked = false;
    for (int i = 0; i < nObjects; ++i) {
        const LoadedObject& object = pObjects[i];
        if (!object.bStays || object.pDynamic == nullptr)
            continue;
        const char* pszStrings = nullptr;
        for (const ElfW(Dyn)* pDyn = object.pDynamic; pDyn->d_tag != DT_NULL; ++pDyn)
            if (pDyn->d_tag == DT_STRTAB)
                pszStrings = DynamicAddress(object, pDyn->d_un.d_ptr);
        for (const ElfW(Dyn)* pDyn = object.pDynamic; pszStrings != nullptr && pDyn->d_tag != DT_NULL; ++pDyn)
            for (int j = 0; pDyn->d_tag == DT_NEEDED && j < nObjects; ++j)
                if (!pObjects[j].bStays && IsNamed(pObjects[j], pszStrings + pDyn->d_un.d_val))
                    bMarked = pObjects[j].bStays = true;
    }
    return bMarked;
}

// Read-only segments where string literals live, of the objects that stay
// loaded as long as this library: the program and what it needs (loaded at
// its start, never unloaded), this library and what it needs. A text there
// never changes, so what is found of it can be kept by its address. Texts of
// other objects (a plugin that brought this library in, a plugin loaded
// before or after it) are worked out each time: the object may be unloaded
// and another loaded at its address, with other text there.
struct ReadOnlySegments
{
    uintptr_t nStart[128];
    uintptr_t nEnd[128];
    int nCount = 0;
    ReadOnlySegments()
    {
        struct Listing
        {
            LoadedObject objects[256];
            int nObjects = 0;
        };
        std::unique_ptr<Listing> listing(new Listing);
        dl_iterate_phdr(
            [](dl_phdr_info* info, size_t, void* pData) {
                Listing& l = *static_cast<Listing*>(pData);
                if (l.nObjects == 256)
                    return 1;
                LoadedObject& object = l.objects[l.nObjects++];
                object = {info->dlpi_name != nullptr ? info->dlpi_name : "", info->dlpi_addr, nullptr, {}, {}, 0,
                          UINTPTR_MAX, 0, false};
                for (int i = 0; i < info->dlpi_phnum; ++i) {
                    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
                    const uintptr_t nFrom = info->dlpi_addr + ph.p_vaddr, nTo = nFrom + ph.p_memsz;
                    if (ph.p_type == PT_DYNAMIC)
                        object.pDynamic = reinterpret_cast<const ElfW(Dyn)*>(nFrom);
                    if (ph.p_type != PT_LOAD)
                        continue;
                    object.nLowest = nFrom < object.nLowest ? nFrom : object.nLowest;
                    object.nHighest = nTo > object.nHighest ? nTo : object.nHighest;
                    if ((ph.p_flags & PF_W) == 0 && object.nSegments < LoadedObject::kMostSegments) {
                        object.nStart[object.nSegments] = nFrom;
                        object.nEnd[object.nSegments++] = nTo;
                    }
                }
                return 0;
            },
            listing.get());
        // The program is listed first.
        const uintptr_t nHere = reinterpret_cast<uintptr_t>(&DynamicAddress);
        for (int i = 0; i < listing->nObjects; ++i) {
            LoadedObject& object = listing->objects[i];
            object.bStays = i == 0 || (nHere >= object.nLowest && nHere < object.nHighest);
        }
        while (MarkNeeded(listing->objects, listing->nObjects)) {
        }
        for (int i = 0; i < listing->nObjects; ++i)
            for (int j = 0; listing->objects[i].bStays && j < listing->objects[i].nSegments && nCount < 128; ++j) {
                nStart[nCount] = listing->objects[i].nStart[j];
                nEnd[nCount++] = listing->objects[i].nEnd[j];
            }
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

// Never destroyed: threads still logging at exit use it. Null until the
// library's initialisation has run, for records of earlier constructors.
const ReadOnlySegments* const g_pReadOnly = new ReadOnlySegments;

bool IsInReadOnlyMemory(const void* p)
{
    return p != nullptr && g_pReadOnly != nullptr && g_pReadOnly->Holds(p);
}

void BuildSite(const char* pModule, size_t nModule, int nLevel, unsigned int nLineNo, LogerDetail::SiteText& site)
{
    site.pModule = pModule;
    site.nModule = nModule;
    site.nLevel = nLevel;
    site.nLineNo = nLineNo;
    // Texts end at their first NUL, as C strings do.
    const size_t nText = strnlen(pModule, nModule);
    size_t nBegin = 0, nCount = nText;
    if (LogerDetail::FindFunctionName(pModule, nText, nBegin, nCount) && nCount > 255)
        nCount = 255; // what the fixed 256-byte name buffer holds
    site.pFunc = pModule + nBegin;
    site.nFunc = nCount;
    site.bPlain = memchr(site.pFunc, '%', site.nFunc) == nullptr && LogerDetail::IsPlainText(site.pFunc, site.nFunc);
    char* p = site.szText;
    memcpy(p, "] [     ] [", 11); // the level's name padded to 5
    memcpy(p + 3, LogerDetail::szLevelNames[nLevel], strlen(LogerDetail::szLevelNames[nLevel]));
    p = LogerDetail::PutPadded(p + 11, nLineNo, 4);
    memcpy(p, "] [", 3);
    p += 3;
    site.nBefore = static_cast<uint16_t>(p - site.szText);
    // A long name without "(" is written from the text itself.
    site.nAfter = 0;
    if (site.nFunc <= 255) {
        memcpy(p, "]  [", 4);
        memcpy(p + 4, site.pFunc, site.nFunc);
        memcpy(p + 4 + site.nFunc, "]   [", 5);
        site.nAfter = static_cast<uint16_t>(site.nFunc + 9);
    }
}
} // namespace

namespace LogerDetail
{
KeptTable<FormatPlan> g_keptPlans;
KeptTable<SiteText> g_keptSites;

const FormatPlan& MakePlan(const char* pszFmt, FormatPlan& scratch)
{
    ScanFormat(pszFmt, scratch);
    if (IsInReadOnlyMemory(pszFmt))
        if (const FormatPlan* pKept = g_keptPlans.Keep(PlanHash(pszFmt), scratch))
            return *pKept;
    return scratch;
}

const SiteText& MakeSite(const char* pModule, size_t nModule, int nLevel, unsigned int nLineNo, SiteText& scratch)
{
    BuildSite(pModule, nModule, nLevel, nLineNo, scratch);
    if (IsInReadOnlyMemory(pModule))
        if (const SiteText* pKept = g_keptSites.Keep(SiteHash(pModule, nLevel, nLineNo), scratch))
            return *pKept;
    return scratch;
}
} // namespace LogerDetail
