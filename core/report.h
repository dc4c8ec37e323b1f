// The unit's self-test report as the station reads it: escape stripping, line kinds,
// serial number, test verdicts and the rule for which failures count.
#pragma once

#include <cstddef>
#include <string>

namespace tolvek {

// Telnet waits of a run, in ms. Each time-out bounds one silence of the unit, as a slow
// unit needs; each limit bounds the whole wait, so a unit that trickles a byte now and
// then cannot hold the station.
constexpr int kPromptTimeout = 1000;    // silence before a prompt
constexpr int kPromptWaitLimit = 30000; // the whole wait for one prompt
constexpr int kReportTimeout = 5000;    // silence before a report line
// The whole wait for one report line: a line not complete by then comes back like
// silence (what came stays pending), so "Прервать" is seen within about this time.
constexpr int kReportLineLimit = 5000;

// A real report is a few dozen lines. A unit that repeats its report without end ends
// the run here, before the journal and the raw output list eat the station's memory.
constexpr int kMaxReportLines = 20000;
constexpr size_t kMaxReportBytes = size_t{4} * 1024 * 1024;

// Counts the report lines received in one run against the bounds above.
class TReportBudget
{
public:
    // False once the report has passed a bound.
    bool Take(size_t lineBytes)
    {
        ++lines_;
        bytes_ += lineBytes + 2; // and its CR LF
        return lines_ <= kMaxReportLines && bytes_ <= kMaxReportBytes;
    }

private:
    int lines_ = 0;
    size_t bytes_ = 0;
};

// Removes terminal escape sequences. A sequence ends at its own final byte: for
// ESC [ after the parameter (0x30-0x3F) and intermediate (0x20-0x2F) bytes, the one
// byte 0x40-0x7E; for other sequences after optional intermediates, the next byte.
// A sequence cut off by the end of the line is removed to the end. Text outside the
// sequences is left as it is, so "ESC[2J" no longer eats the report up to the next "m".
std::string StripEscapeSequences(const std::string& line);

// Removes leading and trailing bytes 0..32 (blanks and control characters);
// bytes above 127 (Cyrillic, other 8-bit text) are never removed.
std::string TrimControls(const std::string& text);

enum class TReportLineKind {
    Completion, // contains "tests completed": the report is over
    Serial,     // starts with "SN"
    Passed,     // test line carrying "<PASSED>"
    Failed,     // test line carrying "<FAILED>" (and not "<PASSED>")
    Strange,    // test line with neither marker: the run fails
    Other       // anything else, ignored
};

struct TReportLine
{
    TReportLineKind kind = TReportLineKind::Other;
    std::string serial;   // Serial: the number after "SN", trimmed
    std::string journal;  // Passed/Failed: the journal line ("name passed", "name failed:reason")
    bool counted = false; // Failed: whether the failure adds to the run's failure count
};

// Classifies one stripped report line. tamperCounts / vacCounts are the operator's
// "Тестировать TAMPER" and "Тестировать Vac" boxes.
TReportLine EvaluateReportLine(const std::string& line, bool tamperCounts, bool vacCounts);

} // namespace tolvek
