// A limits file as a line engineer (or a damaged disk) may leave it: any bytes either give
// limits that hold together or one message naming a line.
#include "core/limits.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto parsed = tolvek::ParseLimits(text, "f");
    if (!parsed.Error.empty()) {
        if (!parsed.Limits.empty() || parsed.Error.rfind("f, line ", 0) != 0
            || parsed.Error.size() > 400)
            std::abort();
        return 0;
    }
    tolvek::TRunRecord r;
    r.Measurements = {double(size), double(size % 7), -double(size)};
    r.Steps = {{"echo", static_cast<long long>(size), true}};
    for (const auto& l : parsed.Limits) {
        if (l.Range.Low && l.Range.High && *l.Range.Low > *l.Range.High)
            std::abort();
        if (l.Marginal && l.Marginal->Low && l.Range.Low && *l.Marginal->Low < *l.Range.Low)
            std::abort();
    }
    for (const auto& j : tolvek::JudgeMeasurements(r, parsed.Limits))
        if ((j.Result == tolvek::TJudgementResult::Passed) != tolvek::JudgementLine(j).empty())
            std::abort();
    return 0;
}
