// The host's Qt debug messages written into the log file.
#include "logger_extras.h"
#include "messages_p.h"

#include <atomic>

namespace
{
std::atomic<QtMessageHandler> g_previousHandler{nullptr};

void CaptureMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    // The logger's own messages (echo, reports) only go on: written again
    // they would come straight back.
    if (!LogerDetail::IsEmittingOwnMessages()) {
        em_LOG_LEVEL level = DEBUG;
        switch (type) {
            case QtDebugMsg:
                level = DEBUG;
                break;
            case QtInfoMsg:
                level = INFO;
                break;
            case QtWarningMsg:
                level = WARN;
                break;
            case QtCriticalMsg:
                level = ERR;
                break;
            case QtFatalMsg:
                level = FATAL;
                break;
        }
        Loger::GetLoger().addLogtoList(level, context.file, context.function, context.line, text);
    }
    const QtMessageHandler previous = g_previousHandler.load();
    if (previous != nullptr)
        previous(type, context, text);
}
} // namespace

void CaptureQtMessages()
{
    static std::atomic<bool> bInstalled{false};
    if (bInstalled.exchange(true))
        return;
    // Qt hands back its default handler when none was installed.
    g_previousHandler = qInstallMessageHandler(CaptureMessage);
}
