// Plugins that a host loads and unloads. Built as A and B, which differ only
// in their format's conversion and their function's name, so that B loaded
// where A was has its texts where A had A's. Built with PLUGIN_BLOCKS: a
// plugin whose constructor never returns, so that the thread loading it holds
// the loader's lock for good.
#if defined(PLUGIN_BLOCKS)
#include <unistd.h>

extern "C" volatile int g_nPluginConstructing; // the test host's

__attribute__((constructor)) static void NeverReturns()
{
    g_nPluginConstructing = 1;
    for (;;)
        pause();
}
#else
#include "logger.h"

#include <cstdint>

#if defined(PLUGIN_A)
#define PLUGIN_FORMAT "%s is the value"
#define PLUGIN_FUNCTION "void PluginA()"
char g_text[] = "text";
intptr_t g_nArgument = reinterpret_cast<intptr_t>(g_text); // read as the char* of "%s"
#else
#define PLUGIN_FORMAT "%d is the value"
#define PLUGIN_FUNCTION "void PluginB()"
char g_text[] = "text";
intptr_t g_nArgument = 42;
#endif

extern "C" __attribute__((visibility("default"))) bool PluginStart(const char* pszDir)
{
    const LOG_CONFIG_INFO info{QString::fromLocal8Bit(pszDir), QString::fromLatin1("plugin"), true, DEBUG, 30, false,
                               1024, 5};
    return Loger::GetLoger().InitLogInfo(info);
}

// Logs one record; returns its format, whose address the host compares.
// The argument has the same type in both, so that their code is the same.
#pragma GCC diagnostic ignored "-Wformat"
extern "C" __attribute__((visibility("default"))) const char* PluginLog()
{
    Loger::GetLoger().addLogtoList(INFO, "plugin.cpp", PLUGIN_FUNCTION, 1, PLUGIN_FORMAT, g_nArgument);
    return PLUGIN_FORMAT;
}
#endif
