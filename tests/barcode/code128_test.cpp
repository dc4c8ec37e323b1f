#include <gtest/gtest.h>

#include <vector>

#include "barcode/barcode.h"

namespace {

TBarcode Make(TBarcodeType typ, const std::string& text, int modul = 1)
{
    TBarcode b;
    b.SetTyp(typ);
    b.SetText(text);
    b.SetModul(modul);
    return b;
}

int Modules(const std::string& pattern)
{
    int sum = 0;
    for (char c : pattern)
        sum += (c >= '5' ? c - '5' : c - '0') + 1;
    return sum;
}

TEST(Code128, WorkedExamplesOfSetA)
{
    TBarcode b = Make(bcCode128A, "1A");
    EXPECT_EQ(b.BuildPattern(), "6053515171605052625081516270506");
    EXPECT_EQ(b.Width(), 57);

    // Empty text: start, check value 0 and stop.
    b.SetText("");
    EXPECT_EQ(b.BuildPattern(), "605351"
                                "606161"
                                "6270506");
    EXPECT_EQ(b.Width(), 35);
    b.SetModul(3);
    EXPECT_EQ(b.Width(), 105);

    // Comma is value 12 in A and B: "112232".
    EXPECT_EQ(Make(bcCode128A, ",").BuildPattern().substr(6, 6), "506171");
    EXPECT_EQ(Make(bcCode128B, ",").BuildPattern().substr(6, 6), "506171");
}

TEST(Code128, SizeFollowsTextLength)
{
    for (auto typ : {bcCode128A, bcCode128B}) {
        for (int n : {0, 1, 7, 24, 80}) {
            TBarcode b = Make(typ, std::string(n, 'Q'), 2);
            std::string p = b.BuildPattern();
            EXPECT_EQ(p.size(), std::size_t(6 * n + 19));
            EXPECT_EQ(Modules(p), 11 * n + 35);
            EXPECT_EQ(b.Width(), 2 * (11 * n + 35));
            EXPECT_EQ(p.front(), '6'); // starts with a bar
            EXPECT_EQ(p.back(), '6');  // ends with the stop's last bar
        }
    }
    EXPECT_EQ(Make(bcCode128C, "123456").BuildPattern().size(), std::size_t(6 * 3 + 19));
}

TEST(Code128, StartAndCheckCharactersPerSet)
{
    // Same data, three start codes; the check value differs by the start value.
    std::string a = Make(bcCode128A, "12").BuildPattern();
    std::string b = Make(bcCode128B, "12").BuildPattern();
    std::string c = Make(bcCode128C, "12").BuildPattern();
    EXPECT_EQ(a.substr(0, 6), TBarcode::WidthsToPattern("211412"));
    EXPECT_EQ(b.substr(0, 6), TBarcode::WidthsToPattern("211214"));
    EXPECT_EQ(c.substr(0, 6), TBarcode::WidthsToPattern("211232"));
    // A: 103 + 17 + 18*2 = 156 -> 53 "213131"; B: 157 -> 54 "311123"; C: 105 + 12 = 117 -> 14
    // "122231".
    EXPECT_EQ(a.substr(18, 6), TBarcode::WidthsToPattern("213131"));
    EXPECT_EQ(b.substr(18, 6), TBarcode::WidthsToPattern("311123"));
    EXPECT_EQ(c.substr(12, 6), TBarcode::WidthsToPattern("122231"));
}

TEST(Code128, LowerCaseOnlyInSetB)
{
    std::string p = Make(bcCode128B, "a").BuildPattern();
    // "a" is value 65 "121124" in set B.
    EXPECT_EQ(p.substr(6, 6), TBarcode::WidthsToPattern("121124"));
}

TEST(Code128, CharactersOutsideTheSetAreRefused)
{
    // Set A has no lower case, backquote, braces, tilde, control bytes or bytes >= 128;
    // set B none of the control bytes, DEL or bytes >= 128.
    for (std::string bad :
         std::vector<std::string>{"a", "SN`1", "{", "|", "}", "~", std::string("\x01", 1),
                                  std::string("\0", 1), "\x7f", "\xd0\x90", "AB\xff"}) {
        TBarcode b = Make(bcCode128A, bad);
        EXPECT_THROW(b.BuildPattern(), EBarcodeError) << bad;
        EXPECT_THROW(b.Width(), EBarcodeError) << bad;
    }
    for (std::string bad : std::vector<std::string>{std::string("\x1f", 1), std::string("\x7f", 1),
                                                    std::string("x\x80", 2)})
        EXPECT_THROW(Make(bcCode128B, bad).BuildPattern(), EBarcodeError);
    try {
        Make(bcCode128A, "0123abc").BuildPattern();
        FAIL();
    } catch (const EBarcodeError& e) {
        EXPECT_STREQ(e.what(),
                     "TBarcode: Code128A bad Data <0123abc>: character 5 (0x61) cannot be encoded");
    }
    try {
        Make(bcCode128A, "A\x01\xc3").BuildPattern();
        FAIL();
    } catch (const EBarcodeError& e) {
        EXPECT_STREQ(
                e.what(),
                "TBarcode: Code128A bad Data <A\\x01\\xC3>: character 2 (0x01) cannot be encoded");
    }
}

TEST(Code128, SetCNeedsDigitPairs)
{
    EXPECT_EQ(Make(bcCode128C, "").BuildPattern().size(), 19u);
    EXPECT_EQ(Make(bcCode128C, "00").BuildPattern().substr(6, 6),
              TBarcode::WidthsToPattern("212222"));
    EXPECT_EQ(Make(bcCode128C, "99").BuildPattern().substr(6, 6),
              TBarcode::WidthsToPattern("113141"));
    EXPECT_THROW(Make(bcCode128C, "123").BuildPattern(), EBarcodeError); // lone last digit
    EXPECT_THROW(Make(bcCode128C, "1A").BuildPattern(), EBarcodeError);
    EXPECT_THROW(Make(bcCode128C, " 1").BuildPattern(), EBarcodeError);
}

TEST(Code128, LabelCodeUsesOnlyDigitsLettersAndHyphen)
{
    TBarcode b = Make(bcCode128A, "0123456789ABCDEF-081226");
    std::string p = b.BuildPattern();
    EXPECT_EQ(p.size(), std::size_t(6 * 23 + 19));
    // The hyphen is value 13 "122132".
    EXPECT_EQ(p.substr(6 + 16 * 6, 6), TBarcode::WidthsToPattern("122132"));
}

TEST(TBarcode, ModulAndRatioRules)
{
    TBarcode b;
    EXPECT_EQ(b.Modul(), 1);
    EXPECT_EQ(b.Typ(), bcCodeEAN13);
    EXPECT_EQ(b.Ratio(), 2.0);
    for (int bad : {0, 50, -3}) {
        b.SetModul(bad);
        EXPECT_EQ(b.Modul(), 1);
    }
    b.SetModul(49);
    EXPECT_EQ(b.Modul(), 49);

    // Modul 3, default Ratio: classes 3, 6, 9, 12.
    b = Make(bcCode128A, "", 3);
    b.BuildPattern();
    EXPECT_EQ(b.DecodeElement('5').width, 3);
    EXPECT_EQ(b.DecodeElement('1').width, 6);
    EXPECT_EQ(b.DecodeElement('7').width, 9);
    EXPECT_EQ(b.DecodeElement('D').width, 12);
    EXPECT_EQ(b.DecodeElement('C').kind, TElementKind::ShortBar);
    EXPECT_EQ(b.DecodeElement('2').kind, TElementKind::Space);
    EXPECT_THROW(b.DecodeElement('4'), EBarcodeError);
    EXPECT_THROW(b.DecodeElement('E'), EBarcodeError);

    // Code 128 does not clamp: 1.5 stays, classes 2, round(3) = 3, 4, 6 at Modul 2.
    b = Make(bcCode128A, "", 2);
    b.SetRatio(1.5);
    b.BuildPattern();
    EXPECT_EQ(b.Ratio(), 1.5);
    EXPECT_EQ(b.DecodeElement('6').width, 3);
    EXPECT_EQ(b.DecodeElement('7').width, 4);
    EXPECT_EQ(b.DecodeElement('8').width, 6);
    // Halves go to even: 2.5 -> 2.
    b = Make(bcCode128A, "", 1);
    b.SetRatio(2.5);
    b.BuildPattern();
    EXPECT_EQ(b.DecodeElement('6').width, 2);

    // Code 39 clamps and writes back.
    b = Make(bcCode39, "A");
    b.SetRatio(1.5);
    b.Width();
    EXPECT_EQ(b.Ratio(), 2.0);
    b.SetRatio(7);
    b.Width();
    EXPECT_EQ(b.Ratio(), 3.0);
    b.SetTyp(bcCode_2_5_matrix);
    b.SetText("1");
    b.SetRatio(1);
    b.Width();
    EXPECT_EQ(b.Ratio(), 2.25);

    // A ratio that makes wide elements vanish is refused rather than drawn.
    b = Make(bcCode128B, "x");
    b.SetRatio(0.2);
    EXPECT_THROW(b.Width(), EBarcodeError);

    b.SetTyp(static_cast<TBarcodeType>(15));
    try {
        b.Width();
        FAIL();
    } catch (const EBarcodeError& e) {
        EXPECT_STREQ(e.what(), "TBarcode: wrong BarcodeType");
    }
}

} // namespace
