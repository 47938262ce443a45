// The names of the crash trace's frames: which loaded object holds an address,
// and which of its symbols, found without the loader's lock.
#ifndef LOGGER_CRASHSYMBOLS_P_H
#define LOGGER_CRASHSYMBOLS_P_H

#include <dlfcn.h>

#include <cstdint>

namespace LogerDetail
{
// Notes the program's name as it was started, for its frames (the loader
// knows it by an empty name). Called when the crash handler is installed.
void NoteProgramForSymbols();

// What dladdr tells of an address: the object's name and base, the symbol's
// name and start when one holds it; its type (STT_*) in *pnType if asked.
// False when no loaded object holds the address.
bool FindSymbol(uintptr_t nAddr, Dl_info& info, unsigned char* pnType = nullptr);

#if defined(__arm__)
// The object mapped at an address: where its mapping begins (its ELF
// header) and ends, and its load bias.
bool FindObject(uintptr_t nAddr, uintptr_t& nMapStart, uintptr_t& nMapEnd, uintptr_t& nBias);
#endif
} // namespace LogerDetail

#endif // LOGGER_CRASHSYMBOLS_P_H
