// The result label printed through QPrinter to PDF, read back with pdftotext,
// pdftoppm and zbarimg.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPageSize>
#include <QPrinter>
#include <QTemporaryDir>

#include "app/controls.h"
#include "app/label_layout.h"
#include "app/main_window.h"
#include "app/seams.h"
#include "barcode/decode_support.h"

void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

const QDateTime kPrintTime(QDate(2026, 12, 8), QTime(9, 5, 7));

struct LabelHooks
{
    QStringList messages;
    int dialogs = 0;
    bool accept = true;
    int copies = 1;
    LabelHooks()
    {
        StationNowHook = [] { return kPrintTime; };
        StationMessageHook = [this](const QString& t) { messages << t; };
        StationPrintDialogHook = [this](QPrinter&) {
            ++dialogs;
            return PrintDialogOutcome{accept, copies};
        };
    }
    ~LabelHooks()
    {
        StationNowHook = nullptr;
        StationMessageHook = nullptr;
        StationPrintDialogHook = nullptr;
    }
};

// The station's printer pointed at a PDF file on a small label page.
void PrinterToPdf(const QString& path, int dpi, double marginMm = -1)
{
    QPrinter& p = StationPrinter();
    p.setOutputFormat(QPrinter::PdfFormat);
    p.setOutputFileName(path);
    p.setResolution(dpi);
    p.setPageSize(QPageSize(QSizeF(62, 80), QPageSize::Millimeter));
    p.setPageOrientation(QPageLayout::Portrait);
    if (marginMm >= 0)
        p.setPageMargins(QMarginsF(marginMm, marginMm, marginMm, marginMm),
                         QPageLayout::Millimeter);
}

std::string Q(const QString& s)
{
    return bctest::Quote(s.toStdString());
}

QStringList PdfLines(const QString& pdf)
{
    QStringList lines;
    for (auto& l :
         bctest::Lines(bctest::Run("pdftotext -layout " + Q(pdf) + " - 2>/dev/null").out)) {
        QString t = QString::fromStdString(l).trimmed();
        if (!t.isEmpty())
            lines << t;
    }
    return lines;
}

// Renders the PDF at the given resolution without smoothing, as a PGM.
bctest::BitmapCanvas Raster(const QString& pdf, int dpi)
{
    const std::string base = (pdf + ".r").toStdString();
    bctest::Run("pdftoppm -r " + std::to_string(dpi)
                + " -gray -aa no -aaVector no -singlefile -x 0 -y 0 -W "
                + std::to_string(dpi * 60 / 25) + " -H " + std::to_string(dpi * 45 / 25) + " "
                + Q(pdf) + " " + bctest::Quote(base));
    std::ifstream f(base + ".pgm", std::ios::binary);
    std::string magic;
    int w = 0, h = 0, max = 0;
    f >> magic >> w >> h >> max;
    f.get();
    bctest::BitmapCanvas c(std::max(w, 1), std::max(h, 1));
    std::vector<char> px(std::size_t(w) * h);
    f.read(px.data(), std::streamsize(px.size()));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (static_cast<unsigned char>(px[std::size_t(y) * w + x]) < 128) {
                c.SetBrushColor(clBlack);
                TPoint p[1] = {{x, y}};
                c.Polygon(p);
            }
    return c;
}

std::vector<std::string> Decode(const QString& pdf)
{
    const std::string base = (pdf + ".z").toStdString();
    bctest::Run("pdftoppm -r 600 -gray -singlefile " + Q(pdf) + " " + bctest::Quote(base));
    return bctest::ZbarDecode({base + ".pgm"});
}

struct Bars
{
    int firstX = -1;   // first dark column on the middle row of the symbol
    int narrowest = 0; // narrowest dark run
    int height = 0;    // dark rows in the first bar's column
};

// Measures the barcode in a raster at `scale` raster pixels per device pixel.
Bars Measure(const bctest::BitmapCanvas& img, int rowInBars)
{
    Bars b;
    int run = 0;
    b.narrowest = 1 << 30;
    for (int x = 0; x < img.Width(); ++x) {
        bool dark = img.At(x, rowInBars) < 128;
        if (dark) {
            if (b.firstX < 0)
                b.firstX = x;
            ++run;
        } else if (run > 0) {
            b.narrowest = std::min(b.narrowest, run);
            run = 0;
        }
    }
    if (b.firstX >= 0) {
        int top = rowInBars, bottom = rowInBars;
        while (top > 0 && img.At(b.firstX + 1, top - 1) < 128)
            --top;
        while (bottom + 1 < img.Height() && img.At(b.firstX + 1, bottom + 1) < 128)
            ++bottom;
        b.height = bottom - top + 1;
    }
    return b;
}

// The barcode is the lowest thing on the label.
int LastDarkRow(const bctest::BitmapCanvas& img)
{
    for (int y = img.Height() - 1; y >= 0; --y)
        for (int x = 0; x < img.Width(); ++x)
            if (img.At(x, y) < 128)
                return y;
    return 0;
}

class LabelPrint : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        if (bctest::Run("command -v pdftotext pdftoppm zbarimg >/dev/null").status != 0)
            GTEST_SKIP() << "poppler-utils and zbar-tools are needed (scripts/install-deps)";
        form.LabeledEdit1->setText(QStringLiteral("192.168.1.178"));
        form.Name->setText(QStringLiteral("Наладов"));
    }
    QTemporaryDir dir;
    LabelHooks hooks;
    TForm1 form;
};

TEST(LabelText, LinesMacBarcodeAndPixels)
{
    EXPECT_EQ(LabelMacLine(QStringLiteral("0123456789ABCDEF")),
              QStringLiteral("MAC:00:04:AB:89:23:01"));
    EXPECT_EQ(LabelMacLine(kDefaultSerial), QStringLiteral("MAC:00:04:00:00:00:00"));
    EXPECT_EQ(LabelMacLine(QStringLiteral("0123")), QStringLiteral("MAC:00:04:::23:01"));
    EXPECT_EQ(LabelMacLine(QStringLiteral("0123456789A")), QStringLiteral("MAC:00:04:A:89:23:01"));
    EXPECT_EQ(LabelMacLine(QString()), QStringLiteral("MAC:00:04::::"));
    EXPECT_EQ(LabelMacLine(QStringLiteral("abcdefghijkl")),
              QStringLiteral("MAC:00:04:kl:ij:cd:ab"));

    LabelData d{kPrintTime, QStringLiteral("Наладов"), QStringLiteral("0123456789abcdef"),
                QStringLiteral("10.0.0.1"), 2};
    EXPECT_EQ(LabelLines(d),
              (QStringList{QStringLiteral("дата:08-12-2026 09:05:07"),
                           QStringLiteral("наладчик:Наладов"),
                           QStringLiteral("серийный номер:0123456789abcdef"),
                           QStringLiteral("IP:10.0.0.1"), QStringLiteral("MAC:00:04:ab:89:23:01"),
                           QStringLiteral("тест завершен с ошибкой")}));
    EXPECT_EQ(LabelBarcodeText(d.serial, kPrintTime), "0123456789ABCDEF-081226");
    EXPECT_EQ(LabelOutcome(0), QStringLiteral("тест не выполнялся"));
    EXPECT_EQ(LabelOutcome(1), QStringLiteral("тест выполнен успешно"));
    EXPECT_EQ(LabelOutcome(3), QStringLiteral("тест прерван оператором"));
    d.runResultState = 7;
    EXPECT_EQ(LabelLines(d).size(), 5);
    // Only a-z change case; other characters pass as UTF-8 bytes for the barcode to judge.
    EXPECT_EQ(LabelBarcodeText(QStringLiteral("aZ-ё"), kPrintTime), "AZ-\xd1\x91-081226");

    // The worked sizes: module, height, left margin.
    EXPECT_EQ(MmToPixels(0.13, 300), 2);
    EXPECT_EQ(MmToPixels(4, 300), 47);
    EXPECT_EQ(MmToPixels(2, 300), 24);
    EXPECT_EQ(MmToPixels(0.13, 203), 1);
    EXPECT_EQ(MmToPixels(4, 203), 32);
    EXPECT_EQ(MmToPixels(2, 203), 16);
    EXPECT_EQ(MmToPixels(0.13, 600), 3);
    EXPECT_EQ(MmToPixels(4, 600), 94);
    EXPECT_EQ(MmToPixels(2, 600), 47);
    EXPECT_EQ(MmToPixels(0.13, 97), 0); // such a printer keeps the barcode's default module
    EXPECT_EQ(MmToPixels(25.4 * 2.5 / 100, 100), 2); // a half goes to even
    EXPECT_DOUBLE_EQ(PixelsToMm(300, 300), 25.4);
}

TEST_F(LabelPrint, BothLayoutsAtThreeResolutions)
{
    form.LabeledEdit2->setText(QStringLiteral("0123456789abcdef"));
    struct Sizes
    {
        int dpi, modul, height, margin;
    };
    for (Sizes s : {Sizes{203, 1, 32, 16}, Sizes{300, 2, 47, 24}, Sizes{600, 3, 94, 47}}) {
        for (bool narrow : {false, true}) {
            SCOPED_TRACE(::testing::Message() << s.dpi << " dpi, narrow " << narrow);
            const QString pdf =
                    dir.filePath(QStringLiteral("label-%1-%2.pdf").arg(s.dpi).arg(narrow));
            // No printer margin: the measured positions are the label's own.
            PrinterToPdf(pdf, s.dpi, 0);
            form.CheckBox5->setChecked(narrow);
            form.BitBtn2Click();
            ASSERT_TRUE(hooks.messages.isEmpty()) << hooks.messages.join('\n').toStdString();
            ASSERT_TRUE(QFile::exists(pdf));
            EXPECT_EQ(StationPrinter().docName(),
                      QStringLiteral("Result of testing 0123456789abcdef"));

            EXPECT_EQ(PdfLines(pdf), (QStringList{QStringLiteral("дата:08-12-2026 09:05:07"),
                                                  QStringLiteral("наладчик:Наладов"),
                                                  QStringLiteral("серийный номер:0123456789abcdef"),
                                                  QStringLiteral("IP:192.168.1.178"),
                                                  QStringLiteral("MAC:00:04:ab:89:23:01"),
                                                  QStringLiteral("тест не выполнялся")}));
            EXPECT_EQ(Decode(pdf), std::vector<std::string>{"0123456789ABCDEF-081226"});
            std::string info = bctest::Run("pdfinfo " + Q(pdf)).out;
            EXPECT_NE(info.find(narrow ? "227 x 176 pts" : "176 x 227 pts"), std::string::npos)
                    << info;

            // Four raster pixels per printer pixel; each element's outline reaches half
            // a printer pixel beyond its corners.
            const int scale = 4;
            bctest::BitmapCanvas img = Raster(pdf, s.dpi * scale);
            // Bottom of the text block: the barcode's middle row lies 2 mm below it.
            const int barsTop = LastDarkRow(img) - (s.height + 1) * scale + 1;
            Bars bars = Measure(img, barsTop + s.height * scale / 2);
            const int left =
                    narrow ? 10 * s.modul : s.margin; // no margin: a quiet zone of 10 modules
            EXPECT_NEAR(bars.firstX, left * scale - scale / 2.0, 1);
            EXPECT_NEAR(bars.narrowest, s.modul * scale, 1);
            EXPECT_NEAR(bars.height, (s.height + 1) * scale, 1);
        }
    }
}

TEST_F(LabelPrint, DialogUntilConfirmedDefaultSerialAndCopies)
{
    const QString pdf = dir.filePath(QStringLiteral("d.pdf"));
    PrinterToPdf(pdf, 300);
    // Cancelled: nothing printed, no message, but the serial field got its default.
    hooks.accept = false;
    form.BitBtn2Click();
    EXPECT_EQ(hooks.dialogs, 1);
    EXPECT_FALSE(QFile::exists(pdf));
    EXPECT_TRUE(hooks.messages.isEmpty());
    EXPECT_EQ(form.LabeledEdit2->text(), kDefaultSerial);
    EXPECT_FALSE(form.printSetupDone());
    EXPECT_EQ(form.printCopies(), 0);

    hooks.accept = true;
    hooks.copies = 2;
    form.BitBtn2Click();
    EXPECT_EQ(hooks.dialogs, 2);
    EXPECT_TRUE(form.printSetupDone());
    EXPECT_EQ(form.printCopies(), 2);
    ASSERT_TRUE(QFile::exists(pdf));
    EXPECT_EQ(Decode(pdf), std::vector<std::string>{"0000000000000000-081226"});
    QStringList lines = PdfLines(pdf);
    EXPECT_TRUE(lines.contains(QStringLiteral("MAC:00:04:00:00:00:00")));
    EXPECT_TRUE(lines.contains(QStringLiteral("тест не выполнялся")));

    // Later prints go straight to the printer with the same copies.
    QFile::remove(pdf);
    form.BitBtn2Click();
    EXPECT_EQ(hooks.dialogs, 2);
    EXPECT_EQ(form.printCopies(), 2);
    EXPECT_TRUE(QFile::exists(pdf));
}

TEST_F(LabelPrint, FailuresAbortTheJobWithAMessage)
{
    form.setPrintSetupDone(true);
    // A printer that refuses the job at its start.
    PrinterToPdf(dir.filePath(QStringLiteral("missing/dir/x.pdf")), 300);
    form.BitBtn2Click();
    ASSERT_EQ(hooks.messages.size(), 1);
    EXPECT_EQ(hooks.messages[0],
              QStringLiteral("не могу распечатать:принтер не начал задание печати"));

    // A serial the symbol cannot carry: a clear message instead of a symbol of other text.
    const QString pdf = dir.filePath(QStringLiteral("bad.pdf"));
    PrinterToPdf(pdf, 300);
    form.LabeledEdit2->setText(QStringLiteral("sn{1}"));
    form.BitBtn2Click();
    ASSERT_EQ(hooks.messages.size(), 2);
    EXPECT_EQ(hooks.messages[1],
              QStringLiteral("не могу распечатать:TBarcode: Code128A bad Data <SN{1}-081226>: "
                             "character 3 (0x7B) cannot be encoded"));
    EXPECT_TRUE(!QFile::exists(pdf) || Decode(pdf).empty());
    form.LabeledEdit2->setText(QStringLiteral("СН12"));
    form.BitBtn2Click();
    ASSERT_EQ(hooks.messages.size(), 3);
    EXPECT_TRUE(hooks.messages[2].startsWith(
            QStringLiteral("не могу распечатать:TBarcode: Code128A bad Data <\\xD0")));
}

TEST_F(LabelPrint, TextTheFontCannotShowStillPrintsTheRest)
{
    form.setPrintSetupDone(true);
    form.LabeledEdit2->setText(QStringLiteral("0123456789AB"));
    form.Name->setText(QString::fromUtf8("\xEE\x80\x80 \xF0\x9F\x98\x80 Иванов \xE4\xB8\xAD"));
    const QString pdf = dir.filePath(QStringLiteral("glyphs.pdf"));
    PrinterToPdf(pdf, 300);
    form.BitBtn2Click();
    EXPECT_TRUE(hooks.messages.isEmpty());
    QStringList lines = PdfLines(pdf);
    EXPECT_TRUE(lines.contains(QStringLiteral("серийный номер:0123456789AB")));
    EXPECT_TRUE(lines.contains(QStringLiteral("MAC:00:04:AB:89:23:01")));
    EXPECT_TRUE(lines.filter(QStringLiteral("Иванов")).size() == 1)
            << lines.join('|').toStdString();
    EXPECT_EQ(Decode(pdf), std::vector<std::string>{"0123456789AB-081226"});
}

TEST_F(LabelPrint, PrinterMarginGivesTheQuietZone)
{
    // With the printer's own margin wide enough the narrow label starts at the edge of the
    // printable area, as laid out; the symbol still reads.
    form.setPrintSetupDone(true);
    form.CheckBox5->setChecked(true);
    form.LabeledEdit2->setText(QStringLiteral("0123456789ABCDEF"));
    const QString pdf = dir.filePath(QStringLiteral("margin.pdf"));
    PrinterToPdf(pdf, 300, 3);
    form.BitBtn2Click();
    EXPECT_TRUE(hooks.messages.isEmpty());
    bctest::BitmapCanvas img = Raster(pdf, 1200);
    const int first = Measure(img, LastDarkRow(img) - 8).firstX;
    // About 3 mm, 35 px at 300 dpi, more than 10 modules of 2 px: nothing moves.
    const int margin = StationPrinter().pageLayout().paintRectPixels(300).left();
    EXPECT_GT(margin, 20);
    EXPECT_NEAR(first, margin * 4 - 2, 1);
    EXPECT_EQ(Decode(pdf), std::vector<std::string>{"0123456789ABCDEF-081226"});
}

} // namespace

namespace {

// scripts/render-label runs this to draw the README's picture; a plain test run skips it.
TEST(LabelPicture, PrintsTheReadmeLabel)
{
    const QString pdf = qEnvironmentVariable("TOLVEK_LABEL_PDF");
    if (pdf.isEmpty())
        GTEST_SKIP() << "set TOLVEK_LABEL_PDF (scripts/render-label does)";
    LabelHooks hooks;
    TForm1 form;
    form.LabeledEdit1->setText(QStringLiteral("192.168.1.178"));
    form.Name->setText(QStringLiteral("Наладов"));
    form.LabeledEdit2->setText(QStringLiteral("0123456789ABCDEF"));
    form.ShowSuccess();
    PrinterToPdf(pdf, 300, 0);
    form.BitBtn2Click();
    EXPECT_TRUE(hooks.messages.isEmpty());
    EXPECT_EQ(Decode(pdf), std::vector<std::string>{"0123456789ABCDEF-081226"});
}

} // namespace
