#include "app/label_layout.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPrintEngine>
#include <QPrinter>

#include <cfenv>

#include "app/qt_canvas.h"
#include "barcode/barcode.h"
#include "barcode/rounding.h"

QString LabelMacLine(const QString& serial)
{
    // mid() clamps like the 1-based copy: a piece past the end is short or empty.
    auto piece = [&serial](int first) { return serial.mid(first - 1, 2); };
    return QStringLiteral("MAC:00:04:%1:%2:%3:%4").arg(piece(11), piece(9), piece(3), piece(1));
}

QString LabelOutcome(int runResultState)
{
    switch (runResultState) {
    case 0: return QStringLiteral("тест не выполнялся");
    case 1: return QStringLiteral("тест выполнен успешно");
    case 2: return QStringLiteral("тест завершен с ошибкой");
    case 3: return QStringLiteral("тест прерван оператором");
    default: return {};
    }
}

QStringList LabelLines(const LabelData& data)
{
    QStringList lines{
            QStringLiteral("дата:")
                    + data.printTime.toString(QStringLiteral("dd-MM-yyyy HH:mm:ss")),
            QStringLiteral("наладчик:") + data.surname,
            QStringLiteral("серийный номер:") + data.serial,
            QStringLiteral("IP:") + data.ip,
            LabelMacLine(data.serial),
    };
    const QString outcome = LabelOutcome(data.runResultState);
    if (!outcome.isEmpty())
        lines << outcome;
    return lines;
}

std::string LabelBarcodeText(const QString& serial, const QDateTime& printTime)
{
    std::string text = serial.toUtf8().toStdString();
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text + "-" + printTime.toString(QStringLiteral("ddMMyy")).toStdString();
}

int MmToPixels(double mm, int dpi)
{
    return static_cast<int>(RoundHalfEven(mm * (dpi / 25.4)));
}

double PixelsToMm(int pixels, int dpi)
{
    return pixels * 25.4 / dpi;
}

namespace {

// The label's "Courier": TrueType monospace faces with Cyrillic, one for the Latin-1
// characters of a line and one for all others.
QFont LabelFont(int points, bool latin1)
{
    // TrueType stand-ins for "Courier" (which fontconfig maps to a CFF face here): Liberation
    // Mono has Courier New's metrics, DejaVu Sans Mono nearly the same advance.
    const QString liberation = QStringLiteral("Liberation Mono");
    const QString dejavu = QStringLiteral("DejaVu Sans Mono");
    QFont font;
    font.setFamilies(latin1 ? QStringList{liberation, dejavu} : QStringList{dejavu, liberation});
    font.setStyleHint(QFont::TypeWriter);
    font.setPointSize(points);
    return font;
}

// A PostScript queue's converter (pdftocairo) splits a face into a Latin-1 part and a part
// for all other characters under one font name, and Ghostscript behind it merges the two
// into a font without text. Drawn from two faces, each part keeps its own name and text.
void DrawLabelLine(QPainter& painter, QPoint baseline, const QString& line, int points)
{
    const QFont faces[2] = {LabelFont(points, true), LabelFont(points, false)};
    qsizetype from = 0;
    while (from < line.size()) {
        const bool latin1 = line.at(from).unicode() < 0x100;
        qsizetype to = from;
        while (to < line.size() && (line.at(to).unicode() < 0x100) == latin1)
            ++to;
        const QString run = line.mid(from, to - from);
        painter.setFont(faces[latin1 ? 0 : 1]);
        painter.drawText(baseline, run);
        baseline.rx() += painter.fontMetrics().horizontalAdvance(run);
        from = to;
    }
}

} // namespace

LabelLayout LabelLayout::For(bool narrow)
{
    if (narrow)
        return {QPageLayout::Landscape, 7, 0.0};
    return {QPageLayout::Portrait, 8, 2.0};
}

LabelGeometry DrawLabel(QPainter& painter, const QStringList& lines, const std::string& barcodeText,
                        const LabelLayout& layout, int dpiX, int dpiY, int marginToEdgePx)
{
    LabelGeometry g;
    painter.setFont(LabelFont(layout.fontPoints, true));
    painter.setPen(Qt::black);
    const QFontMetrics metrics = painter.fontMetrics();

    g.textLeft = MmToPixels(layout.leftMarginMm, dpiX);
    double y = 0.0;
    for (const QString& line : lines) {
        const int top = MmToPixels(y, dpiY);
        g.lineTops << top;
        // Glyphs the font lacks are substituted or drawn as boxes; the line still prints.
        DrawLabelLine(painter, QPoint(g.textLeft, top + metrics.ascent()), line, layout.fontPoints);
        y += PixelsToMm(metrics.height(), dpiY);
    }

    TBarcode barcode;
    barcode.SetTyp(bcCode128A);
    barcode.SetText(barcodeText);
    barcode.SetShowText(false);
    barcode.SetHeight(MmToPixels(kLabelBarcodeHeightMm, dpiY));
    barcode.SetModul(MmToPixels(kLabelModuleMm, dpiX));
    barcode.SetTop(MmToPixels(y, dpiY));
    // With no margin of its own and none from the printer, the first bar would stand at
    // the paper's edge where no reader finds it; keep a quiet zone on the paper.
    const int quiet = kQuietZoneModules * barcode.Modul();
    barcode.SetLeft(std::max(MmToPixels(layout.leftMarginMm, dpiX), quiet - marginToEdgePx));
    g.modul = barcode.Modul();
    g.barcodeHeight = barcode.Height();
    g.barcodeTop = barcode.Top();
    g.barcodeLeft = barcode.Left();
    TQtCanvas canvas(painter);
    barcode.DrawBarcode(canvas);
    return g;
}

namespace {

// Floating-point exceptions stay masked while the driver ends the job, and the
// program's own environment comes back afterwards, also when ending fails.
class HeldFloatingPoint
{
public:
    HeldFloatingPoint() { std::feholdexcept(&saved_); }
    ~HeldFloatingPoint() { std::fesetenv(&saved_); }
    HeldFloatingPoint(const HeldFloatingPoint&) = delete;
    HeldFloatingPoint& operator=(const HeldFloatingPoint&) = delete;

private:
    std::fenv_t saved_;
};

// A PostScript queue has CUPS turn the label's PDF into PostScript; its default converter
// (Ghostscript) drops the text map of the embedded fonts, so a label archived as PDF could
// no longer be searched. pdftocairo, which comes with every CUPS filter set, keeps it.
// Qt has no public call for job options: this is the key its own print dialog sets them
// with, and the options the dialog set stay.
void KeepTextThroughCups(QPrinter& printer)
{
    if (printer.outputFormat() != QPrinter::NativeFormat || !printer.printEngine())
        return;
    const auto cupsOptions = QPrintEngine::PrintEnginePropertyKey(0xfe00);
    QStringList options = printer.printEngine()->property(cupsOptions).toStringList();
    const QString renderer = QStringLiteral("pdftops-renderer");
    qsizetype at = 0;
    while (at + 1 < options.size() && options.at(at) != renderer)
        at += 2;
    if (at + 1 < options.size())
        options[at + 1] = QStringLiteral("pdftocairo");
    else
        options << renderer << QStringLiteral("pdftocairo");
    printer.printEngine()->setProperty(cupsOptions, options);
}

} // namespace

LabelGeometry PrintLabel(QPrinter& printer, const LabelData& data, bool narrow, int copies)
{
    const LabelLayout layout = LabelLayout::For(narrow);
    const QStringList lines = LabelLines(data);
    const std::string barcodeText = LabelBarcodeText(data.serial, data.printTime);

    printer.setPageOrientation(layout.orientation);
    const int dpiX = printer.logicalDpiX();
    const int dpiY = printer.logicalDpiY();
    printer.setDocName(QStringLiteral("Result of testing ") + data.serial);
    KeepTextThroughCups(printer);
    if (printer.supportsMultipleCopies() && copies >= 1)
        printer.setCopyCount(copies);

    const QRect paper = printer.pageLayout().fullRectPixels(dpiX);
    const QRect printable = printer.pageLayout().paintRectPixels(dpiX);
    const int marginToEdge = printable.left() - paper.left();

    QPainter painter;
    if (!painter.begin(&printer))
        throw LabelPrintError("принтер не начал задание печати");
    LabelGeometry geometry;
    try {
        geometry = DrawLabel(painter, lines, barcodeText, layout, dpiX, dpiY, marginToEdge);
        bool ended;
        {
            HeldFloatingPoint held;
            ended = painter.end();
        }
        if (!ended || printer.printerState() == QPrinter::Error)
            throw LabelPrintError("принтер не завершил задание печати");
    } catch (...) {
        printer.abort();
        if (painter.isActive())
            painter.end();
        throw;
    }
    return geometry;
}
