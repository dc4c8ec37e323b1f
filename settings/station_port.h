// The bench's network port to the unit, kept in the station's settings file beside the
// operator settings: [Network] Interface=NAME. A bench with a plant-network port beside the
// unit's port names the unit's here, so that no run goes out through the plant network.
#pragma once

#include <QString>

// The port named in `settingsFile`, empty when none is (or the file cannot be read).
QString ConfiguredStationPort(const QString& settingsFile);
