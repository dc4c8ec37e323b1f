#include "core/limits.h"

#include <gtest/gtest.h>

using namespace tolvek;

namespace {

std::string Text(const TLimits& limits)
{
    std::string out;
    const auto end = [](const std::optional<double>& v) {
        return v ? std::to_string(*v).substr(0, std::to_string(*v).find('.') + 2) : std::string();
    };
    for (const auto& l : limits) {
        out += l.Measurement + "=" + end(l.Range.Low) + ".." + end(l.Range.High);
        if (l.Marginal)
            out += "/" + end(l.Marginal->Low) + ".." + end(l.Marginal->High);
        out += ";";
    }
    return out;
}

} // namespace

TEST(Limits, GoodTextsGiveTheirLimits)
{
    const struct
    {
        const char* text;
        const char* limits;
    } cases[] = {
            {"", ""},
            {"; nothing but a comment\n\n# and another\n", ""},
            {"[Limits]\nupload_mib_s = 8..\nupload_mib_s.marginal = 9..\ndownload_mib_s = 8..\n"
             "echo_ms = ..50\nstep_ms.report = ..20000\n",
             "upload_mib_s=8.0../"
             "9.0..;download_mib_s=8.0..;echo_ms=..50.0;step_ms.report=..20000.0;"},
            // The band may come first; names and the section match in any letter case.
            {"[limits]\r\nEcho_MS.Marginal = 1..40\r\necho_ms=0.5..50\r\n",
             "echo_ms=0.5..50.0/1.0..40.0;"},
            // The settings file: other sections are passed over, lines before any header read.
            {"echo_ms = ..9\n[TForm1]\nName_Text=x\n[Line]\nDatabase=postgresql://a@b/c\n",
             "echo_ms=..9.0;"},
            {"[Limits]\nstep_ms.clock = -1..1e3\nstep_ms.login = ..\n[Other]\nnonsense\n",
             "step_ms.clock=-1.0..1000.0;step_ms.login=..;"},
            // A band end left empty is the limit's own end.
            {"upload_mib_s = 8..12\nupload_mib_s.marginal = 9..\n",
             "upload_mib_s=8.0..12.0/9.0..;"},
            {"echo_ms = 2..2\n", "echo_ms=2.0..2.0;"},
            {"echo_ms = 10..\necho_ms.marginal = ..40\n", "echo_ms=10.0../..40.0;"},
    };
    for (const auto& c : cases) {
        const auto parsed = ParseLimits(c.text, "limits.ini");
        EXPECT_EQ(parsed.Error, "") << c.text;
        EXPECT_EQ(Text(parsed.Limits), c.limits) << c.text;
    }
}

TEST(Limits, BadLineIsRefusedNamingIt)
{
    const struct
    {
        const char* text;
        const char* error;
    } cases[] = {
            {"[Limits]\nupload_mb_s = 8..\n",
             "limits.ini, line 2: unknown measurement \"upload_mb_s\""},
            {"step_ms.reboot = ..1\n", "line 1: unknown measurement \"step_ms.reboot\""},
            {"\n\nx.marginal = 1..\n", "line 3: unknown measurement \"x.marginal\""},
            {"echo_ms = 50\n", "line 1: not a range LOW..HIGH"},
            {"echo_ms = ..5O\n",
             "not a range LOW..HIGH (either end may be empty, LOW not above HIGH): \"..5O\""},
            {"echo_ms = 8,5..\n", "line 1: not a range"},
            {"echo_ms = 9..8\n", "line 1: not a range"},
            {"echo_ms = nan..\n", "line 1: not a range"},
            {"echo_ms = ..inf\n", "line 1: not a range"},
            {"echo_ms = 1e999..\n", "line 1: not a range"},
            {"echo_ms = 1 2..3\n", "line 1: not a range"},
            {"echo_ms\n", "line 1: not \"name = LOW..HIGH\": \"echo_ms\""},
            {"[Limits\n", "line 1: a section header without \"]\""},
            {"upload_mib_s = 8..\nupload_mib_s.marginal = 7..\n",
             "line 2: the marginal band of upload_mib_s lies outside its limits (line 1)"},
            {"upload_mib_s.marginal = ..13\nupload_mib_s = 8..12\n",
             "line 1: the marginal band of upload_mib_s lies outside its limits (line 2)"},
            {"echo_ms = ..50\necho_ms.marginal = 60..\n",
             "line 2: the marginal band of echo_ms lies outside"},
            {"echo_ms = 10..50\necho_ms.marginal = ..5\n",
             "line 2: the marginal band of echo_ms lies outside"},
            {"# only a band\necho_ms.marginal = ..40\n",
             "line 2: a marginal band of echo_ms without limits"},
            {"echo_ms = ..50\nECHO_MS = ..60\n",
             "line 2: \"ECHO_MS\" given again (first on line 1)"},
            // Text from the file is shown as text, bounded.
            {"\x1b]0;x\x07 = 1..\n", "unknown measurement \"\\x1b]0;x\\x07\""},
            {"echo_ms = ..1\x9b\n", "not a range"},
    };
    for (const auto& c : cases) {
        const auto parsed = ParseLimits(c.text, "limits.ini");
        EXPECT_NE(parsed.Error.find(c.error), std::string::npos)
                << c.text << " -> " << parsed.Error;
        EXPECT_TRUE(parsed.Limits.empty()) << c.text;
    }
    const auto long_name = ParseLimits(std::string(5000, 'a') + " = 1..", "f");
    EXPECT_LT(long_name.Error.size(), 200u);
}

TEST(Limits, JudgingTakesMeasuredValuesOnly)
{
    TRunRecord r;
    r.Measurements.EchoMilliseconds = 3;
    r.Measurements.UploadMiBPerSecond = 8.5;
    r.Steps = {{"echo", 3, true}, {"upload", 120, true}, {"login", 900, false}};
    const auto limits = ParseLimits("echo_ms = ..3\n"
                                    "upload_mib_s = 8..\nupload_mib_s.marginal = 9..\n"
                                    "download_mib_s = 8..\n" // not measured
                                    "step_ms.upload = ..100\n"
                                    "step_ms.login = ..10\n"  // cut short: not judged
                                    "step_ms.report = ..1\n", // never ran
                                    "l")
                                .Limits;
    const auto judged = JudgeMeasurements(r, limits);
    ASSERT_EQ(judged.size(), 3u);
    EXPECT_EQ(judged[0].Measurement, "echo_ms");
    EXPECT_EQ(judged[0].Result, TJudgementResult::Passed); // the limit itself is inside
    EXPECT_EQ(judged[1].Measurement, "upload_mib_s");
    EXPECT_EQ(judged[1].Result, TJudgementResult::Marginal);
    EXPECT_EQ(judged[1].Low, 8);
    EXPECT_EQ(judged[1].High, std::nullopt);
    EXPECT_EQ(judged[1].MarginalLow, 9);
    EXPECT_EQ(judged[2].Measurement, "step_ms.upload");
    EXPECT_EQ(judged[2].Value, 120);
    EXPECT_EQ(judged[2].Result, TJudgementResult::Failed);
    EXPECT_TRUE(JudgeMeasurements(r, {}).empty());
}

TEST(Limits, JournalLineNamesMeasurementValueAndLimit)
{
    const struct
    {
        TJudgement j;
        const char* line;
    } cases[] = {
            {{"upload_mib_s", 0.953, 8, {}, {}, {}, TJudgementResult::Failed},
             "Скорость передачи файла на ЦФН-ЛР 0.953 МиБ/с ниже предела 8 МиБ/с (upload_mib_s)"},
            {{"upload_mib_s", 7.9996, 8, {}, {}, {}, TJudgementResult::Failed},
             "Скорость передачи файла на ЦФН-ЛР 7.9996 МиБ/с ниже предела 8 МиБ/с (upload_mib_s)"},
            {{"echo_ms", 51, {}, 50, {}, {}, TJudgementResult::Failed},
             "Время ответа на эхо-запрос 51 мс выше предела 50 мс (echo_ms)"},
            {{"step_ms.report", 21500, {}, 20000, {}, {}, TJudgementResult::Failed},
             "Длительность шага report 21500 мс выше предела 20000 мс (step_ms.report)"},
            {{"download_mib_s", 8.5, 8, {}, 9, {}, TJudgementResult::Marginal},
             "Скорость чтения файла с ЦФН-ЛР 8.5 МиБ/с в пограничной полосе: ниже 9 МиБ/с "
             "(download_mib_s)"},
            {{"echo_ms", 45, {}, 50, {}, 40, TJudgementResult::Marginal},
             "Время ответа на эхо-запрос 45 мс в пограничной полосе: выше 40 мс (echo_ms)"},
            {{"echo_ms", 1, {}, 50, {}, 40, TJudgementResult::Passed}, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JudgementLine(c.j), c.line);
}
