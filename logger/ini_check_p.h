// What an INI file holds that the start-up does not read.
#pragma once

#include <QString>

namespace LogerDetail
{
// Names, one line each on the logger's category, every key in a group other
// than [CommConfig] and [LogConfig], every key its group does not know, and a
// missing or empty LogName of [LogConfig]; with the file. Changes nothing.
void ReportIniMistakes(const QString& strIniPath);
} // namespace LogerDetail
