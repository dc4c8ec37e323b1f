// The run record as one JSON object: the form of `tolvek --run --json`, of the archive's
// JSON export, and of what the archive keeps.
#pragma once

#include "core/run_record.h"

#include <QJsonObject>
#include <optional>

namespace tolvek {

// Record format number; raised when a key changes meaning.
constexpr int kRunRecordFormat = 1;

// Keys: format, station {host, version}, address, started, finished,
// options {set_clock, ethernet, tamper, vac}, verdict, failures, message, serial,
// journal, report, transfer {passed, reason} or null, steps [{name, ms, passed}],
// measurements {echo_ms, upload_mib_s, download_mib_s} (each a number or null); "id" when
// the record has one. Records made before steps and measurements were kept lack those two
// keys and read as none; the format number stays, as no key changed its meaning.
QJsonObject RunRecordToJson(const TRunRecord& record);

// The reverse; nullopt when a required key is missing or of the wrong type.
std::optional<TRunRecord> RunRecordFromJson(const QJsonObject& object);

} // namespace tolvek
