#include "app/buildinfo.h"

#include "buildconfig.h"

#include <QDate>
#include <QStringList>

namespace BuildInfo {

QString launcherVersion()
{
    return QString::fromLatin1(BuildConfig::launcherVersion);
}

QString buildDate()
{
    return QString::fromLatin1(__DATE__);
}

QString formatBuildDate(const QString &compilerDate)
{
    // __DATE__ pads a one-digit day with a blank ("Dec  6 2026").
    const QStringList parts = compilerDate.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() != 3 || parts.at(0).size() != 3)
        return QString();
    const int monthIndex = QStringLiteral("JanFebMarAprMayJunJulAugSepOctNovDec").indexOf(parts.at(0));
    if (monthIndex < 0 || monthIndex % 3 != 0)
        return QString();
    bool dayOk = false;
    bool yearOk = false;
    const int day = parts.at(1).toInt(&dayOk);
    int year = parts.at(2).toInt(&yearOk);
    if (!dayOk || !yearOk)
        return QString();
    if (year < 99)
        year += 2000;
    const QDate date(year, monthIndex / 3 + 1, day);
    return date.isValid() ? date.toString(QStringLiteral("dd.MM.yyyy")) : QString();
}

} // namespace BuildInfo
