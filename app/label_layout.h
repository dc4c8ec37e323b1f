#pragma once
// The result label: its text lines, the barcode content, and drawing both on a printer.
#include <QDateTime>
#include <QPageLayout>
#include <QString>
#include <QStringList>
#include <stdexcept>
#include <string>

class QPainter;
class QPrinter;

// The serial number used when the field is empty at the start of a print.
inline const QString kDefaultSerial = QStringLiteral("0000000000000000");

struct LabelData
{
    QDateTime printTime; // taken once; the barcode's date uses the same instant
    QString surname;
    QString serial;
    QString ip;
    int runResultState = 0;
};

// "MAC:00:04:" and the pieces 11-12, 9-10, 3-4, 1-2 of the serial (1-based; short
// serials give short or empty pieces).
QString LabelMacLine(const QString& serial);
// Outcome line for a run result state; empty for a state with no line.
QString LabelOutcome(int runResultState);
// Date, operator, serial, IP, MAC and, if the state has one, the outcome.
QStringList LabelLines(const LabelData& data);
// Serial with a-z upper-cased, "-", the print date as ddmmyy. Bytes in UTF-8, so a
// serial with characters the symbol cannot carry is refused by the barcode.
std::string LabelBarcodeText(const QString& serial, const QDateTime& printTime);

// Nearest pixel for a length in millimetres, halves to even.
int MmToPixels(double mm, int dpi);
double PixelsToMm(int pixels, int dpi);

struct LabelLayout
{
    QPageLayout::Orientation orientation;
    int fontPoints;
    double leftMarginMm;
    static LabelLayout For(bool narrow);
};
inline constexpr double kLabelModuleMm = 0.13;
inline constexpr double kLabelBarcodeHeightMm = 4.0;
// Code 128 readers need this many modules of white before the first bar.
inline constexpr int kQuietZoneModules = 10;

// Where the label's parts land on the page, in device pixels of the printable area.
struct LabelGeometry
{
    int textLeft = 0;
    QList<int> lineTops;
    int barcodeLeft = 0;
    int barcodeTop = 0;
    int modul = 1;
    int barcodeHeight = 0;
};

// Draws lines and barcode on an active painter. marginToEdgePx is the distance from the
// paper's left edge to the printable area; the barcode moves right only as far as needed
// for a quiet zone on the paper. Raises EBarcodeError for text the symbol cannot carry.
LabelGeometry DrawLabel(QPainter& painter, const QStringList& lines, const std::string& barcodeText,
                        const LabelLayout& layout, int dpiX, int dpiY, int marginToEdgePx);

class LabelPrintError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Sets orientation, title and copies, then prints one label as one job. On any error the
// job (if begun) is aborted and the error raised again.
LabelGeometry PrintLabel(QPrinter& printer, const LabelData& data, bool narrow, int copies);
