#include "settings/station_port.h"

#include "settings/ini_text.h"

#include <QFile>

QString ConfiguredStationPort(const QString& settingsFile)
{
    QFile file(settingsFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const auto value =
            TIniText(file.readAll()).value(QStringLiteral("Network"), QStringLiteral("Interface"));
    return value.isText ? value.text : QString();
}
