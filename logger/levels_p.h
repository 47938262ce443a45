// The names of the levels, DEBUG..FATAL: entry n names level n. Lines, the
// INI file's levels, GetLogLevlList and the crash trace all take them here.
#ifndef LOGGER_LEVELS_P_H
#define LOGGER_LEVELS_P_H

namespace LogerDetail
{
inline constexpr int kLevelCount = 5;
inline constexpr const char* szLevelNames[kLevelCount] = {"DEBUG", "INFO", "WARN", "ERR", "FATAL"};
} // namespace LogerDetail

#endif // LOGGER_LEVELS_P_H
