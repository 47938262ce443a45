// Started by ini_fuzzer for each input: a fresh process, so a fresh logger,
// starts from DIR/logger.ini, logs, and exits through the usual destruction.
// It is shut into DIR first (chroot), so that no path in the file reaches
// the machine's own directories.
//   ini_child DIR
#include "logger.h"

#include <cstdio>
#include <ctime>

#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    tzset(); // the time zone is read before /etc is out of reach
    if (chroot(argv[1]) != 0 || chdir("/") != 0) {
        perror("ini_child: chroot");
        return 77;
    }
    Loger& logger = Loger::GetLoger();
    logger.InitLogInfo(QString("/logger.ini"));
    logger.addLogtoList(INFO, __FILE__, __PRETTY_FUNCTION__, __LINE__, "started from the file");
    logger.SetLogLevel(em_LOG_LEVEL(5));
    return 0;
}
