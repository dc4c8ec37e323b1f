#include "core/report.h"

namespace tolvek {

namespace {

constexpr unsigned char kEsc = 0x1B;

bool InRange(unsigned char b, unsigned char lo, unsigned char hi)
{
    return b >= lo && b <= hi;
}

// Length of the escape sequence starting at line[i] (an ESC), clamped to the line.
size_t SequenceLength(const std::string& line, size_t i)
{
    const size_t n = line.size();
    size_t j = i + 1;
    if (j >= n)
        return n - i;
    if (line[j] == '[') {
        ++j;
        while (j < n && InRange(line[j], 0x30, 0x3F))
            ++j;
        while (j < n && InRange(line[j], 0x20, 0x2F))
            ++j;
        if (j >= n)
            return n - i;
        // A byte that cannot end the sequence (a control, 8-bit text, another ESC)
        // ends it without being part of it, so the text itself is kept.
        return InRange(line[j], 0x40, 0x7E) ? j + 1 - i : j - i;
    }
    while (j < n && InRange(line[j], 0x20, 0x2F))
        ++j;
    if (j >= n)
        return n - i;
    return InRange(line[j], 0x30, 0x7E) ? j + 1 - i : j - i;
}

bool Contains(const std::string& s, const char* what)
{
    return s.find(what) != std::string::npos;
}

} // namespace

std::string StripEscapeSequences(const std::string& line)
{
    std::string out;
    out.reserve(line.size());
    size_t i = 0;
    while (i < line.size()) {
        if (static_cast<unsigned char>(line[i]) == kEsc)
            i += SequenceLength(line, i);
        else
            out += line[i++];
    }
    return out;
}

std::string TrimControls(const std::string& text)
{
    size_t b = 0, e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= 32)
        ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= 32)
        --e;
    return text.substr(b, e - b);
}

TReportLine EvaluateReportLine(const std::string& line, bool tamperCounts, bool vacCounts)
{
    TReportLine r;
    if (Contains(line, "tests completed")) {
        r.kind = TReportLineKind::Completion;
    } else if (line.starts_with("SN")) {
        r.kind = TReportLineKind::Serial;
        r.serial = TrimControls(line.substr(2));
    } else if (line.starts_with("test")) {
        const std::string name = TrimControls(line.substr(0, line.find('<')));
        const size_t failed = line.find("<FAILED>");
        if (Contains(line, "<PASSED>")) {
            r.kind = TReportLineKind::Passed;
            r.journal = name + " passed";
        } else if (failed != std::string::npos) {
            r.kind = TReportLineKind::Failed;
            // The one character after the marker (normally a blank) is skipped.
            const size_t from = failed + 9;
            const std::string reason = from < line.size() ? line.substr(from) : std::string();
            r.journal = name + " failed:" + reason;
            if (Contains(line, "TAMPER"))
                r.counted = tamperCounts;
            else if (Contains(line, "AC voltage"))
                r.counted = vacCounts;
            else
                r.counted = true;
        } else {
            r.kind = TReportLineKind::Strange;
        }
    }
    return r;
}

} // namespace tolvek
