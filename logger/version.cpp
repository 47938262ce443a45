#include "logger_extras.h"

const char* GetLogerVersion()
{
    return LOGGER_VERSION_STR;
}
