#include "app/qt_canvas.h"

#include <QPolygon>

namespace {
QColor ToQColor(TColor c)
{
    return QColor(c.R, c.G, c.B);
}
} // namespace

void TQtCanvas::SetPenWidth(int width)
{
    QPen pen = painter_.pen();
    pen.setWidth(width);
    // A pen equal to the painter's initial one is not passed on to the PDF engine, which
    // then strokes with its own hairline: the first bar of a label came out a pixel thin.
    painter_.setPen(Qt::NoPen);
    painter_.setPen(pen);
}

void TQtCanvas::SetPenColor(TColor color)
{
    QPen pen = painter_.pen();
    if (pen.style() == Qt::NoPen)
        pen.setStyle(Qt::SolidLine);
    pen.setColor(ToQColor(color));
    painter_.setPen(pen);
}

void TQtCanvas::SetBrushColor(TColor color)
{
    painter_.setBrush(QBrush(ToQColor(color), Qt::SolidPattern));
}

void TQtCanvas::SetFontSize(int points)
{
    QFont font = painter_.font();
    font.setPointSize(points);
    painter_.setFont(font);
}

void TQtCanvas::Polygon(std::span<const TPoint> corners)
{
    QPolygon polygon;
    polygon.reserve(static_cast<int>(corners.size()));
    for (const TPoint& p : corners)
        polygon << QPoint(p.X, p.Y);
    painter_.drawPolygon(polygon);
}

void TQtCanvas::TextOut(int x, int y, const std::string& text)
{
    // Byte text: each byte one character, as the barcode holds it.
    const QString s = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    const QFontMetrics metrics = painter_.fontMetrics();
    const QRect box(x, y, metrics.horizontalAdvance(s), metrics.height());
    painter_.fillRect(box, painter_.brush());
    painter_.save();
    painter_.setPen(fontColor_);
    painter_.drawText(QPoint(x, y + metrics.ascent()), s);
    painter_.restore();
}

void TQtCanvas::SaveState()
{
    painter_.save();
    savedFontColors_.push_back(fontColor_);
}

void TQtCanvas::RestoreState()
{
    painter_.restore();
    if (!savedFontColors_.empty()) {
        fontColor_ = savedFontColors_.back();
        savedFontColors_.pop_back();
    }
}
