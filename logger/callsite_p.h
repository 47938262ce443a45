// What stays the same from one record of a call site to the next, worked out
// once: how its printf format is made, and the fixed fields of its line. Kept
// for the process's life when the texts are string literals of what stays
// loaded as long as the library, whose addresses then name them for good;
// other texts are worked out each time.
#ifndef LOGGER_CALLSITE_P_H
#define LOGGER_CALLSITE_P_H

#include "printf_p.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace LogerDetail
{
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

// Kept entries, found by a hash; an entry once kept is never changed or
// freed, so readers need no lock. When the few slots of a hash are taken,
// the newcomer is simply not kept. Constant-initialized: no guard to pass.
template <typename T> class KeptTable
{
public:
    template <typename Matches> const T* Find(size_t nHash, Matches matches) const
    {
        for (size_t i = 0; i < kProbes; ++i) {
            const T* pEntry = m_slots[(nHash + i) % kSlots].load(std::memory_order_acquire);
            if (pEntry == nullptr || matches(*pEntry))
                return pEntry;
        }
        return nullptr;
    }
    // Keeps a copy of entry unless its slots are taken; returns the copy kept, or nullptr.
    const T* Keep(size_t nHash, const T& entry)
    {
        for (size_t i = 0; i < kProbes; ++i) {
            std::atomic<const T*>& slot = m_slots[(nHash + i) % kSlots];
            if (slot.load(std::memory_order_relaxed) != nullptr)
                continue;
            const T* pCopy = new T(entry);
            const T* pExpected = nullptr;
            if (slot.compare_exchange_strong(pExpected, pCopy, std::memory_order_release, std::memory_order_relaxed))
                return pCopy;
            delete pCopy;
        }
        return nullptr;
    }

private:
    static const size_t kSlots = 1024, kProbes = 4;
    std::atomic<const T*> m_slots[kSlots] = {};
};

extern KeptTable<FormatPlan> g_keptPlans;
extern KeptTable<SiteText> g_keptSites;

inline size_t MixBits(uintptr_t n)
{
    return static_cast<size_t>((static_cast<uint64_t>(n) * 0x9E3779B97F4A7C15ull) >> 32);
}
inline size_t PlanHash(const char* pszFmt)
{
    return MixBits(reinterpret_cast<uintptr_t>(pszFmt));
}
inline size_t SiteHash(const char* pModule, int nLevel, unsigned int nLineNo)
{
    return MixBits(reinterpret_cast<uintptr_t>(pModule) ^ (static_cast<uintptr_t>(nLineNo) << 3) ^
                   static_cast<uintptr_t>(nLevel));
}

const FormatPlan& MakePlan(const char* pszFmt, FormatPlan& scratch);
const SiteText& MakeSite(const char* pModule, size_t nModule, int nLevel, unsigned int nLineNo, SiteText& scratch);

// The plan kept for a format, or nullptr.
inline const FormatPlan* KeptPlanOf(const char* pszFmt)
{
    return g_keptPlans.Find(PlanHash(pszFmt), [pszFmt](const FormatPlan& plan) { return plan.pszFmt == pszFmt; });
}

// The plan of a format; built in scratch when it is not kept.
inline const FormatPlan& PlanOf(const char* pszFmt, FormatPlan& scratch)
{
    const FormatPlan* pKept = KeptPlanOf(pszFmt);
    return pKept != nullptr ? *pKept : MakePlan(pszFmt, scratch);
}

// The text of a call site, for a level within DEBUG..FATAL; built in scratch
// when it is not kept.
inline const SiteText& SiteOf(const char* pModule, size_t nModule, int nLevel, unsigned int nLineNo, SiteText& scratch)
{
    const SiteText* pKept = g_keptSites.Find(SiteHash(pModule, nLevel, nLineNo), [&](const SiteText& site) {
        return site.pModule == pModule && site.nLineNo == nLineNo && site.nLevel == nLevel && site.nModule == nModule;
    });
    return pKept != nullptr ? *pKept : MakeSite(pModule, nModule, nLevel, nLineNo, scratch);
}
} // namespace LogerDetail

#endif // LOGGER_CALLSITE_P_H
