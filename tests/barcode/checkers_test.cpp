// Our symbols read back by independent tools: zbarimg decodes rendered images,
// zint's module dumps must match ours bar for bar.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "barcode/barcode.h"
#include "barcode/decode_support.h"

namespace {

using bctest::BitmapCanvas;

bool HaveTool(const char* name)
{
    return bctest::Run(std::string("command -v ") + name + " >/dev/null 2>&1").status == 0;
}

#define REQUIRE_TOOL(name)                                                                         \
    if (!HaveTool(name))                                                                           \
    GTEST_SKIP() << (name) << " is not installed (scripts/install-deps installs it)"

// Renders with a quiet zone of 12 modules and writes a PGM.
void Render(TBarcode& b, const std::string& path, int modul = 2)
{
    b.SetModul(modul);
    b.SetHeight(40);
    b.SetLeft(12 * modul);
    b.SetTop(8);
    BitmapCanvas canvas(b.Width() + 24 * modul, 56);
    b.DrawBarcode(canvas);
    canvas.WritePgm(path);
}

std::string RandomText(std::mt19937& rng, std::string_view alphabet, int min_len, int max_len)
{
    std::uniform_int_distribution<int> len(min_len, max_len), pick(0, int(alphabet.size()) - 1);
    std::string s;
    for (int n = len(rng); n > 0; --n)
        s += alphabet[pick(rng)];
    return s;
}

std::string Range(int first, int last)
{
    std::string s;
    for (int c = first; c <= last; ++c)
        s += char(c);
    return s;
}

// Every text rendered and decoded in one zbarimg run; `expect` gives what a
// reader must report for each text.
void ExpectZbarReads(TBarcodeType typ, const std::vector<std::string>& texts,
                     const std::function<std::string(const std::string&)>& expect,
                     bool checksum = false, const std::string& zbar_options = "")
{
    std::string dir = bctest::TempDir("zbar");
    std::vector<std::string> files, wanted;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        TBarcode b;
        b.SetTyp(typ);
        b.SetText(texts[i]);
        b.SetChecksum(checksum);
        files.push_back(dir + "/" + std::to_string(i) + ".pgm");
        Render(b, files.back(), 2 + int(i % 3));
        wanted.push_back(expect(texts[i]));
    }
    std::vector<std::string> got = bctest::ZbarDecode(files, zbar_options);
    EXPECT_EQ(got, wanted) << "symbology " << int(typ);
    bctest::Run("rm -rf " + bctest::Quote(dir));
}

std::string Same(const std::string& s)
{
    return s;
}

std::string FromFullAscii(const std::string& raw)
{
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        char n = i + 1 < raw.size() ? raw[i + 1] : '\0';
        if (c == '+' && n >= 'A' && n <= 'Z')
            out += char(n + 32);
        else if (c == '$' && n >= 'A' && n <= 'Z')
            out += char(n - 64);
        else if (c == '/' && n >= 'A' && n <= 'O')
            out += char(n - 'A' + 33);
        else if (c == '/' && n == 'Z')
            out += ':';
        else if (c == '%' && n == 'U')
            out += '\0';
        else if (c == '%' && n == 'V')
            out += '@';
        else if (c == '%' && n == 'W')
            out += '`';
        else if (c == '%' && n >= 'A' && n <= 'E')
            out += char(n - 'A' + 27);
        else if (c == '%' && n >= 'F' && n <= 'J')
            out += char(n - 'F' + 59);
        else if (c == '%' && n >= 'K' && n <= 'O')
            out += char(n - 'K' + 91);
        else if (c == '%' && n >= 'P' && n <= 'T')
            out += char(n - 'P' + 123);
        else {
            out += c;
            continue;
        }
        ++i;
    }
    return out;
}

TEST(Zbar, ReadsCode128InAllThreeSets)
{
    REQUIRE_TOOL("zbarimg");
    std::mt19937 rng(128);
    std::vector<std::string> a, b, c;
    for (int i = 0; i < 60; ++i) {
        a.push_back(RandomText(rng, Range(32, 95), 1, 30));
        b.push_back(RandomText(rng, Range(32, 126), 1, 30));
        c.push_back(RandomText(rng, "0123456789", 1, 15) + RandomText(rng, "0123456789", 1, 1));
        if (c.back().size() % 2)
            c.back().pop_back();
    }
    a.push_back("0123456789ABCDEF-081226"); // the label's form
    ExpectZbarReads(bcCode128A, a, Same);
    ExpectZbarReads(bcCode128B, b, Same);
    ExpectZbarReads(bcCode128C, c, Same);
}

TEST(Zbar, ReadsCode39AndCode93)
{
    REQUIRE_TOOL("zbarimg");
    std::mt19937 rng(39);
    const std::string set39 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-. $/+%";
    std::vector<std::string> plain, ascii;
    for (int i = 0; i < 40; ++i) {
        plain.push_back(RandomText(rng, set39, 1, 20));
        ascii.push_back(RandomText(rng, Range(0, 127), 1, 16));
    }
    // Leading and trailing spaces are data too; keep them away from the edges where a
    // reader may not tell them from the quiet zone.
    for (auto& s : plain)
        s = "X" + s + "X";
    ExpectZbarReads(bcCode39, plain, Same);
    // The check character is read as one more data character.
    ExpectZbarReads(
            bcCode39, plain,
            [&](const std::string& s) {
                int sum = 0;
                for (char ch : s)
                    sum += int(set39.find(ch));
                return s + set39[sum % 43];
            },
            true);
    ExpectZbarReads(bcCode93, plain, Same);
    std::vector<std::string> printable;
    for (int i = 0; i < 40; ++i)
        printable.push_back(RandomText(rng, Range(33, 126), 1, 16));
    ExpectZbarReads(bcCode93Extended, printable, Same);
    // zbarimg reports the shift pairs as they stand; undo them by the full-ASCII table.
    std::string dir = bctest::TempDir("zbar39x");
    std::vector<std::string> files;
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        TBarcode b;
        b.SetTyp(bcCode39Extended);
        b.SetText(ascii[i]);
        files.push_back(dir + "/" + std::to_string(i) + ".pgm");
        Render(b, files.back(), 3);
    }
    std::vector<std::string> decoded;
    for (auto& raw : bctest::ZbarDecode(files))
        decoded.push_back(FromFullAscii(raw));
    EXPECT_EQ(decoded, ascii);
    bctest::Run("rm -rf " + bctest::Quote(dir));
}

TEST(Zbar, ReadsTwoOfFiveCodabarAndEan)
{
    REQUIRE_TOOL("zbarimg");
    std::mt19937 rng(25);
    std::vector<std::string> itf, coda, ean8, ean13;
    for (int i = 0; i < 40; ++i) {
        std::string d = RandomText(rng, "0123456789", 3, 10);
        itf.push_back(d + d);
        coda.push_back(RandomText(rng, "0123456789-$:/.+", 4, 16));
        ean8.push_back(RandomText(rng, "0123456789", 7, 7));
        ean13.push_back(RandomText(rng, "123456789", 1, 1) + RandomText(rng, "0123456789", 11, 11));
    }
    ExpectZbarReads(bcCode_2_5_interleaved, itf, Same);
    ExpectZbarReads(bcCodeCodabar, coda, [](const std::string& s) { return "A" + s + "B"; });
    auto with_check = [](TBarcodeType typ) {
        return [typ](const std::string& s) {
            TBarcode b;
            b.SetTyp(typ);
            std::string digits = s;
            // Check digit: weight 3 from the right, alternating with 1.
            int sum = 0, w = 3;
            for (auto it = digits.rbegin(); it != digits.rend(); ++it, w = 4 - w)
                sum += (*it - '0') * w;
            return digits + char('0' + (10 - sum % 10) % 10);
        };
    };
    ExpectZbarReads(bcCodeEAN8, ean8, with_check(bcCodeEAN8), true);
    ExpectZbarReads(bcCodeEAN13, ean13, with_check(bcCodeEAN13), true);
}

TEST(Zbar, ReadsRotatedSymbols)
{
    REQUIRE_TOOL("zbarimg");
    std::string dir = bctest::TempDir("rot");
    std::vector<std::string> files;
    for (double angle : {90.0, 180.0, 270.0}) {
        TBarcode b;
        b.SetTyp(bcCode128B);
        b.SetText("Angle " + std::to_string(int(angle)));
        b.SetModul(2);
        b.SetHeight(40);
        b.SetAngle(angle);
        int w = b.Width();
        BitmapCanvas canvas(w + 120, w + 120);
        b.SetLeft(60 + (angle == 180.0 ? w : angle == 270.0 ? 40 : 0));
        b.SetTop(60 + (angle == 90.0 ? w : angle == 180.0 ? 40 : 0));
        b.DrawBarcode(canvas);
        files.push_back(dir + "/" + std::to_string(int(angle)) + ".pgm");
        canvas.WritePgm(files.back());
    }
    EXPECT_EQ(bctest::ZbarDecode(files),
              (std::vector<std::string>{"Angle 90", "Angle 180", "Angle 270"}));
    bctest::Run("rm -rf " + bctest::Quote(dir));
}

// Our pattern as zint dumps it: one digit per module, "1" for a bar.
std::string Modules(TBarcode& b, bool short_bars_as_bars = true)
{
    std::string out;
    for (char c : b.BuildPattern()) {
        TElement e = b.DecodeElement(c);
        bool bar = e.kind == TElementKind::Bar
                   || (short_bars_as_bars && e.kind == TElementKind::ShortBar);
        out += std::string(e.width, bar ? '1' : '0');
    }
    while (!out.empty() && out.back() == '0')
        out.pop_back(); // zint does not dump a trailing space
    return out;
}

// zint --dump rows as module strings, one per row, trailing spaces dropped.
std::vector<std::string> ZintRows(const std::string& options, const std::vector<std::string>& texts)
{
    std::string dir = bctest::TempDir("zint");
    {
        std::ofstream f(dir + "/in.txt", std::ios::binary);
        for (auto& t : texts)
            f << t << "\n";
    }
    auto r = bctest::Run("zint " + options + " --batch --dump -i " + bctest::Quote(dir + "/in.txt")
                         + " 2>/dev/null");
    bctest::Run("rm -rf " + bctest::Quote(dir));
    std::vector<std::string> rows;
    for (auto& line : bctest::Lines(r.out)) {
        std::string bits;
        for (char c : line) {
            if (c == ' ')
                continue;
            int v = std::isdigit((unsigned char)c) ? c - '0'
                                                   : std::toupper((unsigned char)c) - 'A' + 10;
            for (int k = 3; k >= 0; --k)
                bits += (v >> k) & 1 ? '1' : '0';
        }
        while (!bits.empty() && bits.back() == '0')
            bits.pop_back();
        rows.push_back(bits);
    }
    return rows;
}

TEST(Zint, Code128SetsBAndCMatchBarForBar)
{
    REQUIRE_TOOL("zint");
    std::mt19937 rng(1128);
    // Random texts until every check value 0..102 has occurred, so every row of the
    // table is compared at least once (values 95..102 only appear as checks).
    std::vector<std::string> b_texts;
    std::set<int> checks;
    while (checks.size() < 103 || b_texts.size() < 150) {
        std::string t = RandomText(rng, Range(33, 126), 1, 24);
        int sum = 104;
        for (std::size_t i = 0; i < t.size(); ++i)
            sum += (t[i] - 32) * int(i + 1);
        checks.insert(sum % 103);
        b_texts.push_back(t);
    }
    auto zint_b = ZintRows("-b 60", b_texts);
    ASSERT_EQ(zint_b.size(), b_texts.size());
    for (std::size_t i = 0; i < b_texts.size(); ++i) {
        TBarcode b;
        b.SetTyp(bcCode128B);
        b.SetText(b_texts[i]);
        EXPECT_EQ(Modules(b), zint_b[i]) << b_texts[i];
        // Set A carries the same values for these bytes: only start and check differ.
        bool in_a = b_texts[i].find_first_of(Range(96, 127)) == std::string::npos;
        if (in_a) {
            b.SetTyp(bcCode128A);
            std::string a = Modules(b);
            EXPECT_EQ(a.substr(11, a.size() - 11 - 24), zint_b[i].substr(11, a.size() - 11 - 24))
                    << b_texts[i];
        }
    }
    std::vector<std::string> c_texts;
    for (int v = 0; v < 100; v += 4) {
        char pair[3] = {char('0' + v / 10), char('0' + v % 10), 0};
        c_texts.push_back(std::string(pair) + "0" + std::to_string(v % 10) + std::string(pair)
                          + std::string(pair));
    }
    for (int i = 0; i < 40; ++i)
        c_texts.push_back(RandomText(rng, "0123456789", 2, 12) + "00");
    for (auto& t : c_texts)
        if (t.size() % 2)
            t += "7";
    auto zint_c = ZintRows("-b 20", c_texts);
    ASSERT_EQ(zint_c.size(), c_texts.size());
    for (std::size_t i = 0; i < c_texts.size(); ++i) {
        TBarcode b;
        b.SetTyp(bcCode128C);
        b.SetText(c_texts[i]);
        EXPECT_EQ(Modules(b), zint_c[i]) << c_texts[i];
    }
}

TEST(Zint, SetAStartAndCheckCharacters)
{
    // Set A start is value 103 "211412", and its check sums from 103.
    TBarcode b;
    b.SetTyp(bcCode128A);
    b.SetText("HELLO");
    std::string m = Modules(b);
    EXPECT_EQ(m.substr(0, 11), "11010000100");
    // 103 + 40*1 + 37*2 + 44*3 + 44*4 + 47*5 = 760, 760 % 103 = 39: "211313".
    EXPECT_EQ(m.substr(m.size() - 24, 11), "11010001000");
}

TEST(Zint, SymbologiesZbarCannotRead)
{
    REQUIRE_TOOL("zint");
    std::mt19937 rng(47);
    std::vector<std::string> digits;
    for (int i = 0; i < 25; ++i)
        digits.push_back(RandomText(rng, "0123456789", 1, 12));
    struct Case
    {
        TBarcodeType typ;
        double ratio;
        const char* zint;
    };
    for (Case c : {Case{bcCode_2_5_industrial, 3.0, "-b 7"}, Case{bcCode_2_5_matrix, 3.0, "-b 2"},
                   Case{bcCodeMSI, 2.0, "-b 47 --vers=1"}, Case{bcCode39, 2.0, "-b 8"}}) {
        std::vector<std::string> texts = digits;
        auto rows = ZintRows(c.zint, texts);
        ASSERT_EQ(rows.size(), texts.size()) << c.zint;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            TBarcode b;
            b.SetTyp(c.typ);
            b.SetRatio(c.ratio);
            b.SetText(texts[i]);
            EXPECT_EQ(Modules(b), rows[i]) << c.zint << " " << texts[i];
        }
    }
    // PostNet: zint dumps two rows, the tall bars and all bars; spaces of one module.
    // zint appends the check digit that our text must carry itself.
    std::vector<std::string> zips = {"12345", "555551237", "98765432109", "0"};
    auto rows = ZintRows("-b 40", zips);
    ASSERT_EQ(rows.size(), 2 * zips.size());
    for (std::size_t i = 0; i < zips.size(); ++i) {
        int sum = 0;
        for (char d : zips[i])
            sum += d - '0';
        TBarcode b;
        b.SetTyp(bcCodePostNet);
        b.SetRatio(1.0);
        b.SetText(zips[i] + char('0' + (10 - sum % 10) % 10));
        EXPECT_EQ(Modules(b, false), rows[2 * i]) << zips[i];
        EXPECT_EQ(Modules(b, true), rows[2 * i + 1]) << zips[i];
    }
}

} // namespace
