// Patterns of the other symbologies against their published definitions.
#include <gtest/gtest.h>

#include "barcode/barcode.h"

namespace {

std::string Pattern(TBarcodeType typ, const std::string& text, bool checksum = false)
{
    TBarcode b;
    b.SetTyp(typ);
    b.SetText(text);
    b.SetChecksum(checksum);
    return b.BuildPattern();
}

// Code 39 "*": narrow-wide pattern 010010100, "A": 100001001.
const std::string kStar39 = "515060605";
const std::string kA39 = "605051506";

TEST(Code39, CharactersChecksumAndRefusals)
{
    EXPECT_EQ(Pattern(bcCode39, ""), kStar39 + "0" + kStar39);
    EXPECT_EQ(Pattern(bcCode39, "A"), kStar39 + "0" + kA39 + "0" + kStar39);
    // "A" is value 10; with one character the check is "A" again.
    EXPECT_EQ(Pattern(bcCode39, "A", true), kStar39 + "0" + kA39 + "0" + kA39 + "0" + kStar39);
    // "-" 36, "9" 9: sum 45 mod 43 = 2, "2" = 001100001.
    EXPECT_EQ(Pattern(bcCode39, "-9", true).substr(10 * 3, 10), "506150506"
                                                                "0");
    // Left out silently, the text would read as another one; refused instead,
    // and so is a "*" inside the data, which reads as the stop.
    EXPECT_THROW(Pattern(bcCode39, "ab"), EBarcodeError);
    EXPECT_THROW(Pattern(bcCode39, "A*B"), EBarcodeError);
}

TEST(Code39, FullAsciiSequences)
{
    // NUL -> "%U", "a" -> "+A", "*" -> "/J"; the text itself is unchanged.
    TBarcode b;
    b.SetTyp(bcCode39Extended);
    b.SetText(std::string("\0a*", 3));
    EXPECT_EQ(b.BuildPattern(), Pattern(bcCode39, "%U+A/J"));
    EXPECT_EQ(b.Text(), std::string("\0a*", 3));
    EXPECT_EQ(Pattern(bcCode39Extended, "AZ-. 09"), Pattern(bcCode39, "AZ-. 09"));
    EXPECT_EQ(Pattern(bcCode39Extended, "a", true), Pattern(bcCode39, "+A", true));
    EXPECT_THROW(Pattern(bcCode39Extended, "\xc0"), EBarcodeError);
}

TEST(Code93, ChecksAndFullAscii)
{
    // "TEST93": values 29 14 28 29 9 3. C = 3*1+9*2+29*3+28*4+14*5+29*6 = 464 % 47 = 41 ("+"),
    // K = 41*1 + 3*2+9*3+29*4+28*5+14*6+29*7 = 617 % 47 = 6 ("6").
    std::string p = Pattern(bcCode93, "TEST93");
    EXPECT_EQ(p.substr(0, 6), TBarcode::WidthsToPattern("111141"));
    EXPECT_EQ(p.substr(6 * 7, 6), TBarcode::WidthsToPattern("113121"));
    EXPECT_EQ(p.substr(6 * 8, 6), TBarcode::WidthsToPattern("121311"));
    EXPECT_EQ(p.substr(6 * 9), TBarcode::WidthsToPattern("1111411"));
    EXPECT_EQ(p.size(), 6u * 9 + 7);

    EXPECT_EQ(Pattern(bcCode93Extended, std::string("\0\1", 2)), Pattern(bcCode93, "]U[A"));
    EXPECT_EQ(Pattern(bcCode93Extended, "a/+"), Pattern(bcCode93, "}A{O{K"));
    try {
        Pattern(bcCode93, "ab");
        FAIL();
    } catch (const EBarcodeError& e) {
        EXPECT_STREQ(e.what(), "TBarcode:Code93 bad Data <ab>");
    }
    EXPECT_THROW(Pattern(bcCode93Extended, "\xff"), EBarcodeError);
}

TEST(TwoOfFive, ThreeVariants)
{
    // "12": 1 = 10001, 2 = 01001, interleaved bar/space.
    EXPECT_EQ(Pattern(bcCode_2_5_interleaved, "12"), "5050"
                                                     "6051505061"
                                                     "605");
    EXPECT_EQ(Pattern(bcCode_2_5_interleaved, ""), "5050605");
    EXPECT_THROW(Pattern(bcCode_2_5_interleaved, "123"), EBarcodeError); // lone digit
    EXPECT_EQ(Pattern(bcCode_2_5_industrial, "1"), "606050"
                                                   "6050505060"
                                                   "605060");
    EXPECT_EQ(Pattern(bcCode_2_5_matrix, "1"), "705050"
                                               "605060"
                                               "70505");
    for (auto typ : {bcCode_2_5_interleaved, bcCode_2_5_industrial, bcCode_2_5_matrix})
        EXPECT_THROW(Pattern(typ, "1A"), EBarcodeError);
}

TEST(Msi, BitsAndCheckDigit)
{
    // "1234": doubled 4,2 -> 8+4, plus 3+1 = 16 -> check 4.
    EXPECT_EQ(Pattern(bcCodeMSI, "1234"), "60"
                                          "51515160"
                                          "51516051"
                                          "51516060"
                                          "51605151"
                                          "51605151"
                                          "515");
    // "7": doubled 14 -> 1+4 = 5 -> check 5.
    EXPECT_EQ(Pattern(bcCodeMSI, "7"), "60"
                                       "51606060"
                                       "51605160"
                                       "515");
    // A sum that is a multiple of 10 gives check 0.
    EXPECT_EQ(Pattern(bcCodeMSI, "0"), "60"
                                       "51515151"
                                       "51515151"
                                       "515");
    EXPECT_THROW(Pattern(bcCodeMSI, "12-"), EBarcodeError);
}

TEST(PostNet, FullAndShortBars)
{
    // 1 = 00011, 0 = 11000.
    EXPECT_EQ(Pattern(bcCodePostNet, "10"), "51"
                                            "A1A1A15151"
                                            "5151A1A1A1"
                                            "5");
    EXPECT_THROW(Pattern(bcCodePostNet, "1 0"), EBarcodeError);
}

TEST(Codabar, StartStopAndData)
{
    // A = 0011010, B = 0101001, 1 = 0000110.
    EXPECT_EQ(Pattern(bcCodeCodabar, "1"), "5061515"
                                           "0"
                                           "5050615"
                                           "0"
                                           "5151506");
    EXPECT_THROW(Pattern(bcCodeCodabar, "1A2"), EBarcodeError); // A inside the data ends the symbol
    EXPECT_THROW(Pattern(bcCodeCodabar, "1*"), EBarcodeError);
}

TEST(Ean, DigitsParityAndCheck)
{
    // 4006381333931 (first digit 4: parity ABAABB).
    std::string p = Pattern(bcCodeEAN13, "4006381333931");
    EXPECT_EQ(p, std::string("505") + "2605" + "0517" + "0508" + "0805" + "2515" + "0616" + "05050"
                         + "5350" + "5350" + "5350" + "7051" + "5350" + "6160" + "505");
    EXPECT_EQ(Pattern(bcCodeEAN13, "400638133393", true), p);
    EXPECT_EQ(Pattern(bcCodeEAN13, "12", true), Pattern(bcCodeEAN13, "0000000000123"));
    // 96385074: check of 9638507 is 4.
    EXPECT_EQ(Pattern(bcCodeEAN8, "9638507", true), Pattern(bcCodeEAN8, "96385074"));
    EXPECT_EQ(Pattern(bcCodeEAN8, "96385074"), std::string("505") + "2506" + "0508" + "0805"
                                                       + "0607" + "05050" + "5170" + "7150" + "5251"
                                                       + "5071" + "505");
    // Wrong length, non-digits, or data that the left padding would cut.
    EXPECT_THROW(Pattern(bcCodeEAN13, "123"), EBarcodeError);
    EXPECT_THROW(Pattern(bcCodeEAN13, "A006381333931"), EBarcodeError);
    EXPECT_THROW(Pattern(bcCodeEAN13, "4006381333931", true), EBarcodeError);
    EXPECT_THROW(Pattern(bcCodeEAN8, "12345678", true), EBarcodeError);
    EXPECT_THROW(Pattern(bcCodeEAN8, "1234567"), EBarcodeError);
}

TEST(TBarcode, TypeNames)
{
    const char* names[] = {"2_5_interleaved",
                           "2_5_industrial",
                           "2_5_matrix",
                           "Code39",
                           "Code39 Extended",
                           "Code128A",
                           "Code128B",
                           "Code128C",
                           "Code93",
                           "Code93 Extended",
                           "MSI",
                           "PostNet",
                           "Codebar",
                           "EAN8",
                           "EAN13"};
    TBarcode b;
    for (int i = 0; i < kBarcodeTypeCount; ++i) {
        b.SetTyp(static_cast<TBarcodeType>(i));
        EXPECT_EQ(b.TypeName(), names[i]);
    }
}

} // namespace
