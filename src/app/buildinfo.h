#pragma once

#include <QString>

namespace BuildInfo {

// "2.0.4.2": shown in the build label, sent in the user agent and in the update check.
QString launcherVersion();

// The compiler's build date, "Mmm dd yyyy".
QString buildDate();

// "Nov 10 2021" -> "10.11.2021"; empty when the text is not such a date.
QString formatBuildDate(const QString &compilerDate);

} // namespace BuildInfo
