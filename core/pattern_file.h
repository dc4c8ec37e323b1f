// The pattern file of the Ethernet file-transfer test: 262144 little-endian 32-bit
// values 1, 2, 3, ... 262144 (1 MiB), written before the upload and checked after
// the download.
#pragma once

#include <cstdint>
#include <string>

namespace tolvek {

constexpr std::uint32_t kPatternValues = 0x40000;
constexpr std::int64_t kPatternBytes = 4 * static_cast<std::int64_t>(kPatternValues);

// Creates (or empties) the file and writes the pattern. Throws EFileError with
// "Cannot create file ..." when it can't be created. Write errors are not examined:
// a short file shows up in the check as data loss.
void WritePatternFile(const std::string& name);

enum class TPatternCheck {
    Passed,    // exactly the pattern
    DataLoss,  // the file ends before the last value
    WrongData, // a value differs, or there is more after the last value
};

// Reads the file value by value and stops at the first bad one. Throws EFileError
// with "Cannot open file ..." when it can't be opened.
TPatternCheck VerifyPatternFile(const std::string& name);

} // namespace tolvek
