// A tiny host for scenarios that need a process of their own: what happens at
// load and exit, across a restart, or under a shifted clock.
//   test_host [init-record DIR NAME MEGABYTES DAYS] [init-ini FILE]
//             [log COUNT BYTES] [next-day] [paths] [uninit]
// Commands run in order; results of start-ups are printed as "init:1"/"init:0".
#include "logger.h"

#include <QDate>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    Loger& logger = Loger::GetLoger();
    for (int i = 1; i < argc; ++i) {
        const std::string command = argv[i];
        if (command == "init-record" && i + 4 < argc) {
            LOG_CONFIG_INFO info{};
            info.m_strLogPath = QString::fromLocal8Bit(argv[i + 1]);
            info.m_strLogName = QString::fromLocal8Bit(argv[i + 2]);
            info.m_bIsWriteLog = true;
            info.m_emLogLevel = DEBUG;
            info.m_nMegaByte = unsigned(strtoul(argv[i + 3], nullptr, 10));
            info.m_bIsPrintScreen = false;
            info.m_nRowLogMaxLen = 1024;
            info.m_nOverDays = unsigned(strtoul(argv[i + 4], nullptr, 10));
            printf("init:%d\n", logger.InitLogInfo(info) ? 1 : 0);
            i += 4;
        } else if (command == "init-ini" && i + 1 < argc) {
            printf("init:%d\n", logger.InitLogInfo(QString::fromLocal8Bit(argv[i + 1])) ? 1 : 0);
            i += 1;
        } else if (command == "log" && i + 2 < argc) {
            const long count = strtol(argv[i + 1], nullptr, 10);
            const std::string text(size_t(strtoul(argv[i + 2], nullptr, 10)), 'x');
            for (long n = 0; n < count; ++n)
                logger.addLogtoList(INFO, __FILE__, "int main(int, char**)", int(n), text);
            i += 2;
        } else if (command == "next-day") {
            // Reads the clock only: timed waits may not follow a shifted clock.
            const QDate start = QDate::currentDate();
            while (QDate::currentDate() == start) {
            }
        } else if (command == "paths") {
            printf("log:%s\ndump:%s\n", qUtf8Printable(logger.GetSaveLogPathFileName()),
                   qUtf8Printable(logger.GetSaveDumpPathFileName()));
        } else if (command == "uninit") {
            logger.unInit();
        } else {
            fprintf(stderr, "test_host: bad command %s\n", argv[i]);
            return 2;
        }
        fflush(stdout);
    }
    return 0;
}
