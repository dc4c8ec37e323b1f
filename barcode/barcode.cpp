#include "barcode/barcode.h"

#include <array>
#include <climits>
#include <cmath>
#include <numbers>
#include <vector>

#include "barcode/rounding.h"

namespace {

// Bytes outside printable ASCII are shown as \xNN, so a message box never receives
// control characters or broken UTF-8 from a unit's reply.
std::string Printable(std::string_view text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c >= 32 && c < 127) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

[[noreturn]] void BadData(std::string_view symbology, std::string_view text, std::string_view why)
{
    std::string msg = std::string(TBarcode::ClassName) + ": " + std::string(symbology)
                      + " bad Data <" + Printable(text) + ">";
    if (!why.empty())
        msg += ": " + std::string(why);
    throw EBarcodeError(msg);
}

std::string BadCharacter(std::string_view text, std::size_t index)
{
    static const char hex[] = "0123456789ABCDEF";
    unsigned char c = static_cast<unsigned char>(text[index]);
    return "character " + std::to_string(index + 1) + " (0x" + hex[c >> 4] + hex[c & 15]
           + ") cannot be encoded";
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

void RequireDigits(std::string_view symbology, std::string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!IsDigit(text[i]))
            BadData(symbology, text, BadCharacter(text, i));
}

// ---- Code 128 ---------------------------------------------------------------

// Width digits of the values 0..105, bar first, six elements and eleven modules each.
constexpr std::array<const char*, 106> kCode128Widths = {
        "212222", "222122", "222221", "121223", "121322", "131222", "122213", "122312", "132212",
        "221213", "221312", "231212", "112232", "122132", "122231", "113222", "123122", "123221",
        "223211", "221132", "221231", "213212", "223112", "312131", "311222", "321122", "321221",
        "312212", "322112", "322211", "212123", "212321", "232121", "111323", "131123", "131321",
        "112313", "132113", "132311", "211313", "231113", "231311", "112133", "112331", "132131",
        "113123", "113321", "133121", "313121", "211331", "231131", "213113", "213311", "213131",
        "311123", "311321", "331121", "312113", "312311", "332111", "314111", "221411", "431111",
        "111224", "111422", "121124", "121421", "141122", "141221", "112214", "112412", "122114",
        "122411", "142112", "142211", "241211", "221114", "413111", "241112", "134111", "111242",
        "121142", "121241", "114212", "124112", "124211", "411212", "421112", "421211", "212141",
        "214121", "412121", "111143", "111341", "131141", "114113", "114311", "411113", "411311",
        "113141", "114131", "311141", "411131", "211412", "211214", "211232"};
constexpr const char* kCode128Stop = "2331112";

constexpr char WidthToPatternChar(char digit, bool bar)
{
    return bar ? static_cast<char>(digit + 4) : static_cast<char>(digit - 1);
}

// The same table as pattern characters, so a symbol is built by plain copies.
struct Code128Table
{
    std::array<std::array<char, 6>, 106> symbol{};
    constexpr Code128Table()
    {
        for (std::size_t v = 0; v < symbol.size(); ++v)
            for (std::size_t i = 0; i < 6; ++i)
                symbol[v][i] = WidthToPatternChar(kCode128Widths[v][i], i % 2 == 0);
    }
};
constexpr Code128Table kCode128;

void AppendCode128(std::string& out, int value)
{
    out.append(kCode128.symbol[value].data(), 6);
}

void EncodeCode128(std::string& out, std::string_view text, TBarcodeType typ)
{
    const char* name = typ == bcCode128A ? "Code128A" : typ == bcCode128B ? "Code128B" : "Code128C";
    int start = typ == bcCode128A ? 103 : typ == bcCode128B ? 104 : 105;
    out.reserve(6 * text.size() + 19);
    AppendCode128(out, start);
    unsigned long long sum = start;
    if (typ == bcCode128C) {
        // A lone last digit cannot be a set-C character; dropping it would make the
        // symbol read as a different number.
        if (text.size() % 2 != 0)
            BadData(name, text, "odd number of digits");
        for (std::size_t i = 0; i < text.size(); i += 2) {
            if (!IsDigit(text[i]))
                BadData(name, text, BadCharacter(text, i));
            if (!IsDigit(text[i + 1]))
                BadData(name, text, BadCharacter(text, i + 1));
            int value = (text[i] - '0') * 10 + (text[i + 1] - '0');
            AppendCode128(out, value);
            sum += static_cast<unsigned long long>(value) * (i / 2 + 1);
        }
    } else {
        unsigned char last = typ == bcCode128A ? 95 : 126;
        for (std::size_t i = 0; i < text.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(text[i]);
            // Encoding such a byte as a space would print a symbol of another text.
            if (c < 32 || c > last)
                BadData(name, text, BadCharacter(text, i));
            int value = c - 32;
            AppendCode128(out, value);
            sum += static_cast<unsigned long long>(value) * (i + 1);
        }
    }
    AppendCode128(out, static_cast<int>(sum % 103));
    out += TBarcode::WidthsToPattern(kCode128Stop);
}

// ---- Code 39 ----------------------------------------------------------------

constexpr std::string_view kCode39Chars = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-. $/+%*";
// Nine elements, bar first; "1" marks a wide element. Same order as kCode39Chars.
constexpr std::array<const char*, 44> kCode39Bits = {
        "000110100", "100100001", "001100001", "101100000", "000110001", "100110000", "001110000",
        "000100101", "100100100", "001100100", "100001001", "001001001", "101001000", "000011001",
        "100011000", "001011000", "000001101", "100001100", "001001100", "000011100", "100000011",
        "001000011", "101000010", "000010011", "100010010", "001010010", "000000111", "100000110",
        "001000110", "000010110", "110000001", "011000001", "111000000", "010010001", "110010000",
        "011010000", "010000101", "110000100", "011000100", "010101000", "010100010", "010001010",
        "000101010", "010010100"};

// Full-ASCII sequences of bytes 0..127, sixteen a row; the Code 93 form swaps the shift
// characters.
// clang-format off
constexpr std::array<const char*, 128> kFullAscii = {
    "%U", "$A", "$B", "$C", "$D", "$E", "$F", "$G", "$H", "$I", "$J", "$K", "$L", "$M", "$N", "$O",
    "$P", "$Q", "$R", "$S", "$T", "$U", "$V", "$W", "$X", "$Y", "$Z", "%A", "%B", "%C", "%D", "%E",
    " ",  "/A", "/B", "/C", "/D", "/E", "/F", "/G", "/H", "/I", "/J", "/K", "/L", "-",  ".",  "/O",
    "0",  "1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",  "9",  "/Z", "%F", "%G", "%H", "%I", "%J",
    "%V", "A",  "B",  "C",  "D",  "E",  "F",  "G",  "H",  "I",  "J",  "K",  "L",  "M",  "N",  "O",
    "P",  "Q",  "R",  "S",  "T",  "U",  "V",  "W",  "X",  "Y",  "Z",  "%K", "%L", "%M", "%N", "%O",
    "%W", "+A", "+B", "+C", "+D", "+E", "+F", "+G", "+H", "+I", "+J", "+K", "+L", "+M", "+N", "+O",
    "+P", "+Q", "+R", "+S", "+T", "+U", "+V", "+W", "+X", "+Y", "+Z", "%P", "%Q", "%R", "%S", "%T"};
// clang-format on

std::string ToFullAscii(std::string_view symbology, std::string_view text, bool code93)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 128)
            BadData(symbology, text, BadCharacter(text, i));
        for (const char* p = kFullAscii[c]; *p; ++p) {
            char s = *p;
            if (code93 && p[1] != '\0')
                s = s == '$' ? '[' : s == '%' ? ']' : s == '/' ? '{' : '}';
            out += s;
        }
    }
    return out;
}

void AppendNarrowWide(std::string& out, const char* bits)
{
    for (std::size_t i = 0; bits[i]; ++i) {
        bool wide = bits[i] == '1';
        out += i % 2 == 0 ? (wide ? '6' : '5') : (wide ? '1' : '0');
    }
}

void EncodeCode39(std::string& out, std::string_view text, bool checksum, std::string_view name,
                  std::string_view original)
{
    AppendNarrowWide(out, kCode39Bits[43]);
    out += '0';
    int sum = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::size_t value = kCode39Chars.find(text[i]);
        // A "*" inside the data would read as the stop character.
        if (value == std::string_view::npos || value == 43)
            BadData(name, original, BadCharacter(text, i));
        AppendNarrowWide(out, kCode39Bits[value]);
        out += '0';
        sum += static_cast<int>(value);
    }
    if (checksum) {
        AppendNarrowWide(out, kCode39Bits[sum % 43]);
        out += '0';
    }
    AppendNarrowWide(out, kCode39Bits[43]);
}

// ---- Code 93 ----------------------------------------------------------------

constexpr std::string_view kCode93Chars = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-. $/+%[]{}";
constexpr std::array<const char*, 47> kCode93Widths = {
        "131112", "111213", "111312", "111411", "121113", "121212", "121311", "111114",
        "131211", "141111", "211113", "211212", "211311", "221112", "221211", "231111",
        "112113", "112212", "112311", "122112", "132111", "111123", "111222", "111321",
        "121122", "131121", "212112", "212211", "211122", "211221", "221121", "222111",
        "112122", "112221", "122121", "123111", "121131", "311112", "311211", "321111",
        "112131", "113121", "211131", "121221", "312111", "311121", "122211"};

void EncodeCode93(std::string& out, std::string_view text, std::string_view original)
{
    std::vector<int> values;
    values.reserve(text.size() + 2);
    for (char c : text) {
        std::size_t v = kCode93Chars.find(c);
        if (v == std::string_view::npos)
            throw EBarcodeError(std::string(TBarcode::ClassName) + ":Code93 bad Data <"
                                + Printable(original) + ">");
        values.push_back(static_cast<int>(v));
    }
    auto weighted = [&values](int max_weight) {
        int sum = 0;
        int weight = 1;
        for (auto it = values.rbegin(); it != values.rend(); ++it) {
            sum += *it * weight;
            weight = weight == max_weight ? 1 : weight + 1;
        }
        return sum % 47;
    };
    values.push_back(weighted(20));
    values.push_back(weighted(15));
    out += TBarcode::WidthsToPattern("111141");
    for (int v : values)
        out += TBarcode::WidthsToPattern(kCode93Widths[v]);
    out += TBarcode::WidthsToPattern("1111411");
}

// ---- 2 of 5, MSI, PostNet, Codabar, EAN ---------------------------------------

// Five elements per digit, "1" wide.
constexpr std::array<const char*, 10> kTwoOfFive = {"00110", "10001", "01001", "11000", "00101",
                                                    "10100", "01100", "00011", "10010", "01010"};

void EncodeInterleaved(std::string& out, std::string_view text)
{
    RequireDigits("2_5_interleaved", text);
    // Digits go in pairs; a dropped last digit would read as a shorter number.
    if (text.size() % 2 != 0)
        BadData("2_5_interleaved", text, "odd number of digits");
    out += "5050";
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const char* first = kTwoOfFive[text[i] - '0'];
        const char* second = kTwoOfFive[text[i + 1] - '0'];
        for (int k = 0; k < 5; ++k) {
            out += first[k] == '1' ? '6' : '5';
            out += second[k] == '1' ? '1' : '0';
        }
    }
    out += "605";
}

void EncodeIndustrial(std::string& out, std::string_view text)
{
    RequireDigits("2_5_industrial", text);
    out += "606050";
    for (char c : text)
        for (const char* p = kTwoOfFive[c - '0']; *p; ++p)
            out += *p == '1' ? "60" : "50";
    out += "605060";
}

void EncodeMatrix(std::string& out, std::string_view text)
{
    RequireDigits("2_5_matrix", text);
    out += "705050";
    for (char c : text) {
        AppendNarrowWide(out, kTwoOfFive[c - '0']);
        out += '0';
    }
    out += "70505";
}

// Modulo 10 over the digits: every other digit from the right doubled, digit sums added.
int MsiCheckDigit(std::string_view text)
{
    int sum = 0;
    bool doubled = true;
    for (auto it = text.rbegin(); it != text.rend(); ++it, doubled = !doubled) {
        int d = *it - '0';
        if (doubled)
            d = d * 2 > 9 ? d * 2 - 9 : d * 2;
        sum += d;
    }
    return sum % 10 > 0 ? 10 - sum % 10 : 0;
}

void EncodeMsi(std::string& out, std::string_view text)
{
    RequireDigits("MSI", text);
    auto digit = [&out](int d) {
        for (int bit = 3; bit >= 0; --bit)
            out += (d >> bit) & 1 ? "60" : "51";
    };
    out += "60";
    for (char c : text)
        digit(c - '0');
    digit(MsiCheckDigit(text));
    out += "515";
}

constexpr std::array<const char*, 10> kPostNet = {"11000", "00011", "00101", "00110", "01001",
                                                  "01010", "01100", "10001", "10010", "10100"};

void EncodePostNet(std::string& out, std::string_view text)
{
    RequireDigits("PostNet", text);
    out += "51";
    for (char c : text)
        for (const char* p = kPostNet[c - '0']; *p; ++p) {
            out += *p == '1' ? '5' : 'A';
            out += '1';
        }
    out += '5';
}

constexpr std::string_view kCodabarChars = "0123456789-$:/.+ABCD";
constexpr std::array<const char*, 20> kCodabarBits = {
        "0000011", "0000110", "0001001", "1100000", "0010010", "1000010", "0100001",
        "0100100", "0110000", "1001000", "0001100", "0011000", "1000101", "1010001",
        "1010100", "0010101", "0011010", "0101001", "0001011", "0001110"};

void EncodeCodabar(std::string& out, std::string_view text)
{
    AppendNarrowWide(out, kCodabarBits[16]);
    out += '0';
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::size_t v = kCodabarChars.find(text[i]);
        // A, B, C and D are start and stop characters: inside the data they end the symbol.
        // npos, a byte that is no Codabar character, is past them too.
        if (v >= 16)
            BadData("Codebar", text, BadCharacter(text, i));
        AppendNarrowWide(out, kCodabarBits[v]);
        out += '0';
    }
    AppendNarrowWide(out, kCodabarBits[17]);
}

constexpr std::array<const char*, 10> kEanA = {"2605", "1615", "1516", "0805", "0526",
                                               "0625", "0508", "0706", "0607", "2506"};
constexpr std::array<const char*, 10> kEanB = {"0517", "0616", "1606", "0535", "1705",
                                               "0715", "3505", "1525", "2515", "1507"};
constexpr std::array<const char*, 10> kEanC = {"7150", "6160", "6061", "5350", "5071",
                                               "5170", "5053", "5251", "5152", "7051"};
constexpr std::array<const char*, 10> kEanParity = {"AAAAAA", "AABABB", "AABBAB", "AABBBA",
                                                    "ABAABB", "ABBAAB", "ABBBAA", "ABABAB",
                                                    "ABABBA", "ABBABA"};

char EanCheckDigit(std::string_view digits)
{
    int sum = 0;
    int weight = 3;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it, weight = 4 - weight)
        sum += (*it - '0') * weight;
    return static_cast<char>('0' + (10 - sum % 10) % 10);
}

// The digits of an EAN symbol: with Checksum the data digits are padded on the left
// and the check digit appended. Longer data would lose its leading digits and read
// as another number, so it is refused.
std::string EanDigits(std::string_view name, std::string_view text, std::size_t total,
                      bool checksum)
{
    RequireDigits(name, text);
    if (checksum) {
        if (text.size() > total - 1)
            BadData(name, text, "more than " + std::to_string(total - 1) + " digits");
        std::string digits = std::string(total - 1 - text.size(), '0') + std::string(text);
        digits += EanCheckDigit(digits);
        return digits;
    }
    if (text.size() != total)
        BadData(name, text, "needs exactly " + std::to_string(total) + " digits");
    return std::string(text);
}

void EncodeEan8(std::string& out, std::string_view text, bool checksum)
{
    std::string d = EanDigits("EAN8", text, 8, checksum);
    out += "505";
    for (int i = 0; i < 4; ++i)
        out += kEanA[d[i] - '0'];
    out += "05050";
    for (int i = 4; i < 8; ++i)
        out += kEanC[d[i] - '0'];
    out += "505";
}

void EncodeEan13(std::string& out, std::string_view text, bool checksum)
{
    std::string d = EanDigits("EAN13", text, 13, checksum);
    const char* parity = kEanParity[d[0] - '0'];
    out += "505";
    for (int i = 1; i < 7; ++i)
        out += (parity[i - 1] == 'A' ? kEanA : kEanB)[d[i] - '0'];
    out += "05050";
    for (int i = 7; i < 13; ++i)
        out += kEanC[d[i] - '0'];
    out += "505";
}

constexpr std::array<const char*, kBarcodeTypeCount> kTypeNames = {"2_5_interleaved",
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

} // namespace

void TBarcode::Fail(std::string_view what) const
{
    throw EBarcodeError(std::string(ClassName) + ": " + std::string(what));
}

std::string TBarcode::WidthsToPattern(std::string_view widths)
{
    std::string out(widths.size(), '0');
    for (std::size_t i = 0; i < widths.size(); ++i)
        out[i] = WidthToPatternChar(widths[i], i % 2 == 0);
    return out;
}

void TBarcode::ComputeModuleWidths()
{
    switch (typ_) {
    case bcCode_2_5_interleaved:
    case bcCode_2_5_industrial:
    case bcCode39:
    case bcCode39Extended:
    case bcCodeCodabar:
    case bcCodeEAN8:
    case bcCodeEAN13:
        if (ratio_ < 2.0)
            ratio_ = 2.0;
        if (ratio_ > 3.0)
            ratio_ = 3.0;
        break;
    case bcCode_2_5_matrix:
        if (ratio_ < 2.25)
            ratio_ = 2.25;
        if (ratio_ > 3.0)
            ratio_ = 3.0;
        break;
    default: break;
    }
    // The unclamped symbologies take any Ratio; one that makes the wide element vanish
    // (or NaN) would give a symbol of zero-width elements.
    long long wide = RoundHalfEven(modul_ * ratio_);
    if (!(wide >= 1 && wide <= 10000))
        Fail("Ratio out of range");
    module_width_[0] = modul_;
    module_width_[1] = static_cast<int>(wide);
    module_width_[2] = static_cast<int>(3 * wide / 2);
    module_width_[3] = static_cast<int>(2 * wide);
}

std::string TBarcode::BuildPattern()
{
    if (typ_ >= kBarcodeTypeCount)
        Fail("wrong BarcodeType");
    ComputeModuleWidths();
    std::string out;
    switch (typ_) {
    case bcCode_2_5_interleaved: EncodeInterleaved(out, text_); break;
    case bcCode_2_5_industrial: EncodeIndustrial(out, text_); break;
    case bcCode_2_5_matrix: EncodeMatrix(out, text_); break;
    case bcCode39: EncodeCode39(out, text_, checksum_, "Code39", text_); break;
    case bcCode39Extended:
        EncodeCode39(out, ToFullAscii("Code39 Extended", text_, false), checksum_,
                     "Code39 Extended", text_);
        break;
    case bcCode128A:
    case bcCode128B:
    case bcCode128C: EncodeCode128(out, text_, typ_); break;
    case bcCode93: EncodeCode93(out, text_, text_); break;
    case bcCode93Extended: {
        std::string ascii;
        try {
            ascii = ToFullAscii("Code93", text_, true);
        } catch (const EBarcodeError&) {
            throw EBarcodeError(std::string(ClassName) + ":Code93 bad Data <" + Printable(text_)
                                + ">");
        }
        EncodeCode93(out, ascii, text_);
        break;
    }
    case bcCodeMSI: EncodeMsi(out, text_); break;
    case bcCodePostNet: EncodePostNet(out, text_); break;
    case bcCodeCodabar: EncodeCodabar(out, text_); break;
    case bcCodeEAN8: EncodeEan8(out, text_, checksum_); break;
    case bcCodeEAN13: EncodeEan13(out, text_, checksum_); break;
    }
    return out;
}

TElement TBarcode::DecodeElement(char c) const
{
    if (c >= '0' && c <= '3')
        return {module_width_[c - '0'], TElementKind::Space};
    if (c >= '5' && c <= '8')
        return {module_width_[c - '5'], TElementKind::Bar};
    if (c >= 'A' && c <= 'D')
        return {module_width_[c - 'A'], TElementKind::ShortBar};
    Fail("internal Error");
}

int TBarcode::Width()
{
    long long sum = 0;
    for (char c : BuildPattern())
        sum += DecodeElement(c).width;
    if (sum > INT_MAX)
        Fail("symbol too wide");
    return static_cast<int>(sum);
}

std::string TBarcode::TypeName() const
{
    return typ_ < kBarcodeTypeCount ? kTypeNames[typ_] : "";
}

void TBarcode::DrawBarcode(TCanvas& canvas)
{
    const std::string pattern = BuildPattern();
    canvas.SaveState();
    // The canvas gets its pen, brush and font back also when drawing fails part-way.
    struct Restore
    {
        TCanvas& c;
        ~Restore() { c.RestoreState(); }
    } restore{canvas};

    canvas.SetPenWidth(1);
    const double a = angle_ * std::numbers::pi / 180.0;
    const double cs = std::cos(a), sn = std::sin(a);
    auto map = [&](long long u, long long v) {
        return TPoint{static_cast<int>(left_ + RoundHalfEven(u * cs + v * sn)),
                      static_cast<int>(top_ + RoundHalfEven(-u * sn + v * cs))};
    };
    long long x = 0;
    for (char c : pattern) {
        TElement e = DecodeElement(c);
        TColor colour = e.kind == TElementKind::Space ? clWhite : clBlack;
        canvas.SetPenColor(colour);
        canvas.SetBrushColor(colour);
        long long h = e.kind == TElementKind::ShortBar ? (2LL * height_) / 5 : height_;
        const TPoint corners[4] = {map(x, 0), map(x, h), map(x + e.width - 1, h),
                                   map(x + e.width - 1, 0)};
        canvas.Polygon(corners);
        x += e.width;
    }
    if (show_text_) {
        canvas.SetFontSize(4);
        canvas.SetPenColor(clBlack);
        canvas.SetBrushColor(clWhite);
        canvas.TextOut(left_, top_, text_);
        canvas.TextOut(left_, top_ + 14, TypeName());
    }
}
