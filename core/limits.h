// Limits on what the run measures: the text a line engineer writes, and the judging of one
// run's measurements against it. Plain C++, so the window and the command line share it.
//
// The text, line by line: "[Limits]" opens the section read (lines before any section
// header are read too; other sections are passed over, so the station's settings file can
// hold it); "name = LOW..HIGH" gives a measurement's limits, either side empty for no bound;
// "name.marginal = LOW..HIGH" a band inside them, outside which a value within the limits
// is marginal; blank lines and lines starting with ";" or "#" are comments.
#pragma once

#include "core/run_record.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvek {

// The measurements limits may be set on, in the record's names.
const std::vector<std::string>& LimitMeasurementNames();

// The value a record holds for a measurement name; absent when not taken (a step counts
// only when it passed).
std::optional<double> MeasuredValue(const TRunRecord& record, const std::string& name);

// LOW..HIGH with both ends included; an absent end is no bound.
struct TRange
{
    std::optional<double> Low, High;
};

struct TLimit
{
    std::string Measurement;
    TRange Range;
    std::optional<TRange> Marginal; // the good band inside Range
};

// No limits at all: the verdict is the run's own.
using TLimits = std::vector<TLimit>;

// What a limits text gave: the limits, or the first bad line's message, which names it.
struct TLimitsText
{
    TLimits Limits;
    std::string Error; // empty when the text is good
};

// Reads a limits text; `origin` names it in the message ("limits.ini"). With sectionOnly
// (the station's settings file) lines before any section header are passed over too.
TLimitsText ParseLimits(std::string_view text, const std::string& origin, bool sectionOnly = false);

// Judges the measurements the record holds (its steps and measurements); one judgement per
// limit whose measurement was taken, in the order of the limits. A step counts only when
// it passed.
std::vector<TJudgement> JudgeMeasurements(const TRunRecord& record, const TLimits& limits);

// The journal line of a judgement outside its band or its limits (empty when it passed):
// the measurement in the station's words, its value and the limit it crossed.
std::string JudgementLine(const TJudgement& judgement);

// "passed", "marginal", "failed": as the record keeps them.
const char* JudgementResultName(TJudgementResult result);
std::optional<TJudgementResult> JudgementResultFromName(std::string_view name);

} // namespace tolvek
