// Directory listings of LIST: the raw lines and the entries read from them. Knows
// the Unix "ls -l" form, the DOS/Windows form and EPLF; other lines are kept raw.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TFTPListRec
{
    std::string FileName;
    bool Directory = false;
    int64_t FileSize = -1;  // -1 when the listing gives none
    std::string Permission; // "drwxr-xr-x" and the like, when given
    std::string OriginalLine;
};

class TFTPList
{
public:
    std::vector<std::string> Lines;
    std::vector<TFTPListRec> List;

    void Clear();
    // Splits a listing into Lines (any line end) and parses them into List.
    void AssignLines(const std::string& listing);
    void ParseLines();
    // One line; false when its form isn't known.
    static bool ParseLine(const std::string& line, TFTPListRec& rec);
};
