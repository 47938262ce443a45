// A host's own logger.h, found before the library's in the host's include path.
#pragma once
#define HOST_OWN_LOGGER_H_SEEN 1
struct HostLogger
{
    int nRecords = 0;
};
