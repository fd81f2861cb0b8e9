#include "BuildVersion.h"

#include <cstring>

QString buildVersionText(const char *date, const char *time)
{
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    char name[4] = {};
    if (std::strlen(date) >= 3)
        std::memcpy(name, date, 3);
    const char *found = std::strstr(months, name);
    const int month = (name[0] && found) ? int(found - months) / 3 + 1 : 1;
    const int day = std::strlen(date) >= 6 ? std::atoi(date + 4) : 0;
    const int year = std::strlen(date) >= 11 ? std::atoi(date + 7) : 0;
    const int hour = std::atoi(time);
    return QString::asprintf("V.%04d.%02d.%02d.%02d", year, month, day, hour);
}

QString titleText()
{
    return QStringLiteral("Thornvaleworks Fieldpost (Plugin) ") + buildVersionText(buildStampDate, buildStampTime);
}
