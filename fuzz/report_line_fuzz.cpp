// One report line from the unit: escape stripping, classification and the record line
// built from a serial number the unit sent.
#include "core/record.h"
#include "core/report.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// RFC 4180 reading of one record line; the fields must come back exactly.
std::vector<std::string> ParseRecord(const std::string& line, size_t& end)
{
    std::vector<std::string> fields;
    size_t i = 0;
    while (i < line.size() && line[i] == '"') {
        std::string f;
        for (++i; i < line.size(); ++i) {
            if (line[i] == '"') {
                if (i + 1 < line.size() && line[i + 1] == '"') {
                    f += '"';
                    ++i;
                } else {
                    break;
                }
            } else {
                f += line[i];
            }
        }
        if (i >= line.size() || line[i] != '"' || i + 1 >= line.size() || line[i + 1] != ';')
            std::abort();
        i += 2;
        fields.push_back(f);
    }
    end = i;
    return fields;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const std::string line = tolvek::StripEscapeSequences(raw);
    if (line.find('\x1b') != std::string::npos || line.size() > raw.size())
        std::abort();
    if (tolvek::StripEscapeSequences(line) != line)
        std::abort();

    const auto r = tolvek::EvaluateReportLine(line, size % 2, size % 3);
    using K = tolvek::TReportLineKind;
    if (r.kind == K::Serial && r.serial.size() + 2 > line.size())
        std::abort();
    if ((r.kind == K::Passed || r.kind == K::Failed) && r.journal.size() > line.size() + 7)
        std::abort();
    if (r.kind != K::Failed && r.counted)
        std::abort();

    const std::string record = tolvek::RecordLine("08-12-2026 05:10:00", line, raw);
    size_t end = 0;
    const auto fields = ParseRecord(record, end);
    if (fields.size() != 3 || fields[1] != line || fields[2] != raw || record.substr(end) != "\r\n")
        std::abort();
    tolvek::Utf8ToCp1251(tolvek::Cp1251ToUtf8(raw));
    return 0;
}
