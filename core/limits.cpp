#include "core/limits.h"

#include "core/visible_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>

namespace tolvek {
namespace {

constexpr std::string_view kMarginalSuffix = ".marginal";
constexpr size_t kMaxShownText =
        40; // bytes of the file's own text in a message (4 shown each at most)

struct TMeasurementWords
{
    const char* Name;
    const char* Words; // the station's words for it
    const char* Unit;
};

const TMeasurementWords kMeasurements[] = {
        {"echo_ms", "Время ответа на эхо-запрос", "мс"},
        {"upload_mib_s", "Скорость передачи файла на ЦФН-ЛР", "МиБ/с"},
        {"download_mib_s", "Скорость чтения файла с ЦФН-ЛР", "МиБ/с"},
        {"step_ms.echo", "Длительность шага echo", "мс"},
        {"step_ms.upload", "Длительность шага upload", "мс"},
        {"step_ms.download", "Длительность шага download", "мс"},
        {"step_ms.login", "Длительность шага login", "мс"},
        {"step_ms.clock", "Длительность шага clock", "мс"},
        {"step_ms.report", "Длительность шага report", "мс"},
};

const TMeasurementWords* FindMeasurement(std::string_view name)
{
    for (const auto& m : kMeasurements)
        if (name == m.Name)
            return &m;
    return nullptr;
}

std::string_view Trimmed(std::string_view s)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string Lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// The file's text in a message: bounded, control characters shown as \xNN.
std::string Shown(std::string_view s)
{
    std::string text = VisibleText(std::string(s.substr(0, kMaxShownText)));
    if (s.size() > kMaxShownText)
        text += "…";
    return '"' + text + '"';
}

// One end of a range: empty for no bound, else a finite decimal number.
bool ParseEnd(std::string_view s, std::optional<double>& out)
{
    s = Trimmed(s);
    out.reset();
    if (s.empty())
        return true;
    double value = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (error != std::errc() || end != s.data() + s.size() || !std::isfinite(value))
        return false;
    out = value;
    return true;
}

bool ParseRange(std::string_view s, TRange& range)
{
    const size_t dots = s.find("..");
    if (dots == std::string_view::npos)
        return false;
    return ParseEnd(s.substr(0, dots), range.Low) && ParseEnd(s.substr(dots + 2), range.High)
           && !(range.Low && range.High && *range.Low > *range.High);
}

// An absent end of the band is the limit's own end.
bool Inside(const TRange& band, const TRange& limits)
{
    const auto above = [](const std::optional<double>& a, const std::optional<double>& b) {
        return !b || (a && *a >= *b);
    };
    const auto below = [](const std::optional<double>& a, const std::optional<double>& b) {
        return !b || (a && *a <= *b);
    };
    const bool lowOk = !band.Low || above(band.Low, limits.Low);
    const bool highOk = !band.High || below(band.High, limits.High);
    // A band end past the other limit leaves nothing of the band inside.
    const bool lowInside = !band.Low || !limits.High || *band.Low <= *limits.High;
    const bool highInside = !band.High || !limits.Low || *band.High >= *limits.Low;
    return lowOk && highOk && lowInside && highInside;
}

std::string Number(double value, int precision = 10)
{
    char text[64];
    const auto r =
            std::to_chars(text, text + sizeof text, value, std::chars_format::general, precision);
    return std::string(text, r.ptr);
}

// The value with as few digits as still show it on its side of the limit: 7.996 below 8
// is "7.996", not "8".
std::string ValueBeside(double value, double limit, bool below)
{
    // Whole digits are never cut: 21500 ms is "21500", not "2.15e+04".
    const int whole = std::abs(value) >= 1 ? int(std::log10(std::abs(value))) + 1 : 0;
    for (int precision = std::max(3, whole); precision < 17; ++precision) {
        std::string text = Number(value, precision);
        const double shown = std::strtod(text.c_str(), nullptr);
        if (below ? shown < limit : shown > limit)
            return text;
    }
    return Number(value, 17);
}

} // namespace

std::optional<double> MeasuredValue(const TRunRecord& r, const std::string& name)
{
    if (name == "echo_ms")
        return r.Measurements.EchoMilliseconds;
    if (name == "upload_mib_s")
        return r.Measurements.UploadMiBPerSecond;
    if (name == "download_mib_s")
        return r.Measurements.DownloadMiBPerSecond;
    const std::string_view prefix = "step_ms.";
    if (name.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    const std::string step = name.substr(prefix.size());
    for (const auto& s : r.Steps)
        if (s.Name == step)
            return s.Passed ? std::optional<double>(double(s.Milliseconds)) : std::nullopt;
    return std::nullopt;
}

const std::vector<std::string>& LimitMeasurementNames()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const auto& m : kMeasurements)
            v.emplace_back(m.Name);
        return v;
    }();
    return names;
}

TLimitsText ParseLimits(std::string_view text, const std::string& origin, bool sectionOnly)
{
    struct TSeen
    {
        std::optional<TRange> Range, Marginal;
        int RangeLine = 0, MarginalLine = 0;
    };
    std::map<std::string, TSeen> seen;
    std::vector<std::string> order;
    bool reading = !sectionOnly; // before any header, or in [Limits]
    int number = 0;
    const auto fail = [&](int line, const std::string& what) {
        return TLimitsText{{}, origin + ", line " + std::to_string(line) + ": " + what};
    };
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = Trimmed(text.substr(start, end - start));
        start = end + 1;
        ++number;
        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.front() == '[') {
            if (line.back() != ']')
                return fail(number, "a section header without \"]\"");
            reading = Lower(Trimmed(line.substr(1, line.size() - 2))) == "limits";
            continue;
        }
        if (!reading)
            continue;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            return fail(number, "not \"name = LOW..HIGH\": " + Shown(line));
        std::string name = Lower(Trimmed(line.substr(0, equals)));
        const std::string_view value = Trimmed(line.substr(equals + 1));
        const bool marginal = name.size() > kMarginalSuffix.size()
                              && name.compare(name.size() - kMarginalSuffix.size(),
                                              kMarginalSuffix.size(), kMarginalSuffix)
                                         == 0;
        if (marginal)
            name.resize(name.size() - kMarginalSuffix.size());
        if (!FindMeasurement(name))
            return fail(number, "unknown measurement " + Shown(Trimmed(line.substr(0, equals))));
        TRange range;
        if (!ParseRange(value, range))
            return fail(number, "not a range LOW..HIGH (either end may be empty, LOW not above "
                                "HIGH): "
                                        + Shown(value));
        TSeen& s = seen[name];
        auto& slot = marginal ? s.Marginal : s.Range;
        int& slotLine = marginal ? s.MarginalLine : s.RangeLine;
        if (slot)
            return fail(number, Shown(Trimmed(line.substr(0, equals)))
                                        + " given again (first on line " + std::to_string(slotLine)
                                        + ")");
        if (std::find(order.begin(), order.end(), name) == order.end())
            order.push_back(name);
        slot = range;
        slotLine = number;
    }
    TLimitsText result;
    for (const auto& name : order) {
        const TSeen& s = seen[name];
        if (s.Marginal && !s.Range)
            return fail(s.MarginalLine, "a marginal band of " + name + " without limits for it");
        if (s.Marginal && !Inside(*s.Marginal, *s.Range))
            return fail(s.MarginalLine, "the marginal band of " + name + " lies outside its limits"
                                                + " (line " + std::to_string(s.RangeLine) + ")");
        result.Limits.push_back({name, *s.Range, s.Marginal});
    }
    return result;
}

std::vector<TJudgement> JudgeMeasurements(const TRunRecord& record, const TLimits& limits)
{
    std::vector<TJudgement> judged;
    for (const auto& limit : limits) {
        const auto value = MeasuredValue(record, limit.Measurement);
        if (!value)
            continue;
        TJudgement j;
        j.Measurement = limit.Measurement;
        j.Value = *value;
        j.Low = limit.Range.Low;
        j.High = limit.Range.High;
        if (limit.Marginal) {
            j.MarginalLow = limit.Marginal->Low;
            j.MarginalHigh = limit.Marginal->High;
        }
        const auto outside = [v = *value](const std::optional<double>& low,
                                          const std::optional<double>& high) {
            return (low && v < *low) || (high && v > *high);
        };
        if (outside(j.Low, j.High))
            j.Result = TJudgementResult::Failed;
        else if (outside(j.MarginalLow, j.MarginalHigh))
            j.Result = TJudgementResult::Marginal;
        judged.push_back(j);
    }
    return judged;
}

std::string JudgementLine(const TJudgement& j)
{
    const TMeasurementWords* m = FindMeasurement(j.Measurement);
    if (!m || j.Result == TJudgementResult::Passed)
        return {};
    const bool failed = j.Result == TJudgementResult::Failed;
    const auto& low = failed ? j.Low : j.MarginalLow;
    const auto& high = failed ? j.High : j.MarginalHigh;
    const bool below = low && j.Value < *low;
    const double limit = below ? *low : high.value_or(j.Value);
    const std::string unit = std::string(" ") + m->Unit;
    std::string line = std::string(m->Words) + " " + ValueBeside(j.Value, limit, below) + unit;
    if (failed)
        line += (below ? " ниже предела " : " выше предела ") + Number(limit) + unit;
    else
        line += (below ? " в пограничной полосе: ниже " : " в пограничной полосе: выше ")
                + Number(limit) + unit;
    return line + " (" + j.Measurement + ")";
}

const char* JudgementResultName(TJudgementResult result)
{
    switch (result) {
    case TJudgementResult::Marginal: return "marginal";
    case TJudgementResult::Failed: return "failed";
    case TJudgementResult::Passed: break;
    }
    return "passed";
}

std::optional<TJudgementResult> JudgementResultFromName(std::string_view name)
{
    for (auto r : {TJudgementResult::Passed, TJudgementResult::Marginal, TJudgementResult::Failed})
        if (name == JudgementResultName(r))
            return r;
    return std::nullopt;
}

} // namespace tolvek
