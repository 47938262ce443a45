// Configuration rules: the level shared between threads, the size limit,
// directory paths and the INI file's segments and numbers.
#ifndef LOGGER_CONFIG_P_H
#define LOGGER_CONFIG_P_H

#include "logger.h"
#include "logger_extras.h"

#include <QVariant>

namespace LogerDetail
{
// The level is stored by SetLogLevel on any thread while records read it;
// a relaxed atomic access on the plain field keeps the record's layout.
inline em_LOG_LEVEL LoadLevel(const em_LOG_LEVEL& emLevel)
{
    return static_cast<em_LOG_LEVEL>(__atomic_load_n(reinterpret_cast<const int*>(&emLevel), __ATOMIC_RELAXED));
}
inline void StoreLevel(em_LOG_LEVEL& emLevel, em_LOG_LEVEL emValue)
{
    __atomic_store_n(reinterpret_cast<int*>(&emLevel), static_cast<int>(emValue), __ATOMIC_RELAXED);
}

// The switches are installed by a start while other threads may log.
inline bool IsWriting(const LOG_CONFIG_INFO& cfg)
{
    return __atomic_load_n(&cfg.m_bIsWriteLog, __ATOMIC_RELAXED);
}
inline bool IsEchoed(const LOG_CONFIG_INFO& cfg)
{
    return __atomic_load_n(&cfg.m_bIsPrintScreen, __ATOMIC_RELAXED);
}

// Byte size at which a log file is full; 64 bits, so limits of 4096 MiB and
// more do not wrap on any target.
inline qint64 FullSizeBytes(unsigned int nMegaByte)
{
    return static_cast<qint64>(nMegaByte) * 1024 * 1024;
}

// Path with native separators and exactly one separator appended when it
// does not already end with one.
QString WithTrailingSeparator(const QString& strPath);

// Prints the configuration and tells whether a logger may start with it.
bool CheckConfig(LOG_CONFIG_INFO& cfg);
// Copies an accepted configuration into the one in force, under the write lock.
void InstallConfig(LOG_CONFIG_INFO& live, const LOG_CONFIG_INFO& accepted);
} // namespace LogerDetail

#endif // LOGGER_CONFIG_P_H
