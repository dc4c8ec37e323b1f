#include "core/report.h"

#include <gtest/gtest.h>

#include <random>

using tolvek::EvaluateReportLine;
using tolvek::StripEscapeSequences;
using tolvek::TReportLineKind;

namespace {

// The older rule: a sequence runs from ESC to the next "m". Kept here to show that plain
// colour sequences give the same result under both rules.
std::string StripThroughM(std::string s)
{
    for (size_t e; (e = s.find('\x1b')) != std::string::npos;) {
        const size_t m = s.find('m', e);
        s.erase(e, m == std::string::npos ? std::string::npos : m - e + 1);
    }
    return s;
}

} // namespace

TEST(StripEscapeSequences, ColourSequencesAndCutOffSequences)
{
    EXPECT_EQ(StripEscapeSequences("\x1b[32mtest eth <PASSED>\x1b[0m"), "test eth <PASSED>");
    EXPECT_EQ(StripEscapeSequences("abc\x1b[K"), "abc");
    EXPECT_EQ(StripEscapeSequences("abc\x1b["), "abc");
    EXPECT_EQ(StripEscapeSequences("abc\x1b"), "abc");
    EXPECT_EQ(StripEscapeSequences("abc\x1b[12;3"), "abc");
    EXPECT_EQ(StripEscapeSequences("\x1b[1;31m<FAILED>\x1b[0m x"), "<FAILED> x");
    EXPECT_EQ(StripEscapeSequences("no escapes here"), "no escapes here");
    EXPECT_EQ(StripEscapeSequences(""), "");
}

TEST(StripEscapeSequences, SequenceEndsAtItsOwnFinalByte)
{
    // Ending at the next "m" would eat "test m" here and turn a failure into an ignored line.
    const std::string line = "\x1b[2Jtest memory <FAILED> bad cell";
    EXPECT_EQ(StripEscapeSequences(line), "test memory <FAILED> bad cell");
    EXPECT_EQ(StripThroughM(line), "emory <FAILED> bad cell");
    EXPECT_EQ(EvaluateReportLine(StripEscapeSequences(line), false, false).kind,
              TReportLineKind::Failed);

    EXPECT_EQ(StripEscapeSequences("\x1b[1Ktest RAM \x1b[32m<PASSED>\x1b[0m"), "test RAM <PASSED>");
    EXPECT_EQ(StripEscapeSequences("\x1b"
                                   "7saved\x1b"
                                   "8"),
              "saved");                                           // two-byte sequences
    EXPECT_EQ(StripEscapeSequences("\x1b(Bplain"), "plain");      // with an intermediate
    EXPECT_EQ(StripEscapeSequences("\x1b[?25lcursor"), "cursor"); // private parameters
    EXPECT_EQ(StripEscapeSequences("a\x1b\x1b[0mb"), "ab");       // ESC ESC
    // A byte that cannot end a sequence is text, not part of the sequence.
    EXPECT_EQ(StripEscapeSequences("\x1b[3\xd0\xa2\xd0\xb5"), "\xd0\xa2\xd0\xb5");
    EXPECT_EQ(StripEscapeSequences("\x1b[1\r\nx"), "\r\nx");
}

TEST(StripEscapeSequences, SameAsBeforeForColourOnlyLinesAndNeverLeavesEsc)
{
    std::mt19937 rng(1234);
    const char* colours[] = {"\x1b[0m", "\x1b[32m", "\x1b[1;31m", "\x1b[m", "\x1b[38;5;208m"};
    const std::string alphabet = "tes <PASD>FILm[;0123 \x01\x7f\xd0";
    for (int round = 0; round < 2000; ++round) {
        std::string colourOnly, anything;
        for (int k = std::uniform_int_distribution<>(0, 12)(rng); k > 0; --k) {
            if (rng() % 3 == 0) {
                colourOnly += colours[rng() % 5];
                anything += '\x1b';
            } else {
                const char c = alphabet[rng() % alphabet.size()];
                colourOnly += c;
                anything += c;
            }
        }
        EXPECT_EQ(StripEscapeSequences(colourOnly), StripThroughM(colourOnly)) << colourOnly;
        const std::string once = StripEscapeSequences(anything);
        EXPECT_EQ(once.find('\x1b'), std::string::npos);
        EXPECT_LE(once.size(), anything.size());
        EXPECT_EQ(StripEscapeSequences(once), once);
    }
}

TEST(TrimControls, BlanksAndControlsOnlyNotEightBitText)
{
    EXPECT_EQ(tolvek::TrimControls(" \t\x01 abc \r\x1f"), "abc");
    EXPECT_EQ(tolvek::TrimControls("\xcd\xe0\xeb "), "\xcd\xe0\xeb"); // Cyrillic in Windows-1251
    EXPECT_EQ(tolvek::TrimControls("\xff"), "\xff");
    EXPECT_EQ(tolvek::TrimControls(std::string(" \0 ", 3)), "");
    EXPECT_EQ(tolvek::TrimControls(""), "");
}

TEST(EvaluateReportLine, KindsInTheirOrder)
{
    auto kind = [](const std::string& l) { return EvaluateReportLine(l, true, true).kind; };
    EXPECT_EQ(kind("tests completed"), TReportLineKind::Completion);
    EXPECT_EQ(kind("all tests completed, 2 failed"), TReportLineKind::Completion);
    EXPECT_EQ(kind("Tests completed"), TReportLineKind::Other);
    EXPECT_EQ(kind("testing started"), TReportLineKind::Strange);
    EXPECT_EQ(kind("test x <passed>"), TReportLineKind::Strange);
    EXPECT_EQ(kind("SN tests completed"), TReportLineKind::Completion);
    EXPECT_EQ(kind("sn 123"), TReportLineKind::Other);
    EXPECT_EQ(kind(" test RAM <PASSED>"), TReportLineKind::Other);
    EXPECT_EQ(kind(""), TReportLineKind::Other);
    EXPECT_EQ(kind("tes"), TReportLineKind::Other);
    EXPECT_EQ(kind("S"), TReportLineKind::Other);
}

TEST(EvaluateReportLine, SerialNumber)
{
    EXPECT_EQ(EvaluateReportLine("SN 0123456789ABCDEF", false, false).serial, "0123456789ABCDEF");
    EXPECT_EQ(EvaluateReportLine("SN", false, false).serial, "");
    EXPECT_EQ(EvaluateReportLine("SN\t 12 34 \r", false, false).serial, "12 34");
    EXPECT_EQ(EvaluateReportLine("SN: 42", false, false).serial, ": 42");
    EXPECT_EQ(EvaluateReportLine("SNAB\"C", false, false).serial, "AB\"C");
}

TEST(EvaluateReportLine, VerdictsJournalLinesAndReasons)
{
    auto ev = [](const std::string& l) { return EvaluateReportLine(l, false, false); };
    EXPECT_EQ(ev("test RAM <PASSED>").journal, "test RAM passed");
    EXPECT_EQ(ev("  test RAM   <PASSED>").kind, TReportLineKind::Other);
    EXPECT_EQ(ev("test RTC <FAILED> no answer").journal, "test RTC failed:no answer");
    EXPECT_EQ(ev("test x <FAILED>").journal, "test x failed:");
    EXPECT_EQ(ev("test x <FAILED>!").journal, "test x failed:");
    EXPECT_EQ(ev("test x <FAILED>-  two  ").journal, "test x failed:  two  "); // reason not trimmed
    EXPECT_EQ(ev("test<FAILED> a").journal, "test failed:a");
    EXPECT_EQ(ev("test no bracket <FAILED>").journal, "test no bracket failed:");
    EXPECT_EQ(ev("test a <FAILED> then <PASSED>").kind, TReportLineKind::Passed); // both: passed
    EXPECT_EQ(ev("test a <FAILED> then <PASSED>").journal, "test a passed");
    EXPECT_EQ(ev("test a <FAILED> x <FAILED> y").journal, "test a failed:x <FAILED> y");
    // The name is what comes before the first "<", even when that is not a marker.
    EXPECT_EQ(ev("test a<b <PASSED>").journal, "test a passed");
    EXPECT_EQ(ev("test\x01<PASSED>").journal, "test passed");
}

TEST(EvaluateReportLine, CountingRuleForTamperAndAcVoltage)
{
    struct Case
    {
        const char* line;
        bool tamper, vac, counted;
    };
    const Case cases[] = {
            {"test TAMPER <FAILED> open", false, false, false},
            {"test TAMPER <FAILED> open", true, false, true},
            {"test TAMPER <FAILED> open", false, true, false},
            {"test AC voltage <FAILED> low", false, false, false},
            {"test AC voltage <FAILED> low", false, true, true},
            {"test AC voltage <FAILED> low", true, false, false},
            // TAMPER wins when both are named, also when it comes later in the line.
            {"test AC voltage <FAILED> TAMPER", false, true, false},
            {"test AC voltage <FAILED> TAMPER", true, false, true},
            {"test RTC <FAILED> no answer", false, false, true},
            {"test tamper <FAILED> lower case", false, false, true},
            {"test AC Voltage <FAILED> case differs", false, false, true},
    };
    for (const Case& c : cases) {
        const auto r = EvaluateReportLine(c.line, c.tamper, c.vac);
        EXPECT_EQ(r.kind, TReportLineKind::Failed) << c.line;
        EXPECT_EQ(r.counted, c.counted) << c.line << " tamper=" << c.tamper << " vac=" << c.vac;
    }
    EXPECT_FALSE(EvaluateReportLine("test TAMPER <PASSED>", true, true).counted);
}
