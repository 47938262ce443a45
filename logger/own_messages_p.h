// The Qt logging category of the logger's own messages, "logger": its reports,
// its start-up lines and the echo of records. They go out as before, on the
// debug stream with the text unchanged; QT_LOGGING_RULES="logger.debug=false"
// (or QLoggingCategory::setFilterRules) silences them and nothing else.
#pragma once

#include <QDebug>
#include <QLoggingCategory>

namespace LogerDetail
{
// The category itself; debug is on unless a rule turns it off.
const QLoggingCategory& OwnCategory();
} // namespace LogerDetail

// qDebug() for a message of the logger's own: nothing is built when the
// category is off. The message stays in Qt's default category, so the default
// handler prints it without a "logger: " prefix.
#define LOGER_OWN_DEBUG()                                                                                              \
    for (bool bOwnDebugOn_ = LogerDetail::OwnCategory().isDebugEnabled(); bOwnDebugOn_; bOwnDebugOn_ = false)          \
    qDebug()

// printf() on standard output for a message of the logger's own.
#define LOGER_OWN_PRINTF(...)                                                                                          \
    do {                                                                                                               \
        if (LogerDetail::OwnCategory().isDebugEnabled())                                                               \
            printf(__VA_ARGS__);                                                                                       \
    } while (false)
