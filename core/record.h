// The result record file: one line per saved unit, Windows-1251, CR LF.
#pragma once

#include <string>

namespace tolvek {

// The record file's name, in the station's working directory.
inline constexpr const char* kRecordFileName = "cfnlr.csv";

// A field between double quotes, with every double quote inside doubled, so a text from
// the unit or the operator cannot end the field early or forge another record.
std::string QuoteRecordField(const std::string& field);

// "when";"serial";"surname"; followed by CR LF. Bytes are taken as they are given.
std::string RecordLine(const std::string& when, const std::string& serial,
                       const std::string& surname);

// Appends the bytes to the file (created when missing) in one write and flushes them to
// disk before returning. On any failure the file is cut back to its earlier length, so no
// partial record is left, and a std::runtime_error carries the reason.
void AppendRecord(const std::string& path, const std::string& bytes);

// Windows-1251 conversions (iconv). A character that has no place in the target is
// written as "?" (to Windows-1251) or U+FFFD (from it).
std::string Utf8ToCp1251(const std::string& utf8);
std::string Cp1251ToUtf8(const std::string& cp1251);

} // namespace tolvek
