#include "settings/station_port.h"

#include "settings/ini_text.h"

QString ConfiguredStationPort(const QString& settingsFile)
{
    return ReadStoredText(settingsFile, QStringLiteral("Network"), QStringLiteral("Interface"));
}
