#include "app/glyphs.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>

namespace {

void DrawStart(QPainter& p)
{
    p.setPen(QColor(64, 64, 64));
    p.setBrush(QColor(240, 240, 240));
    p.drawRect(1, 1, 13, 13);
    p.setPen(QColor(0, 96, 0));
    p.setBrush(QColor(0, 160, 0));
    const QPointF tri[3] = {{5, 4}, {12, 8}, {5, 12}};
    p.drawPolygon(tri, 3);
}

void DrawPrinter(QPainter& p)
{
    p.setPen(QColor(64, 64, 64));
    p.setBrush(Qt::white);
    p.drawRect(4, 1, 8, 6); // paper fed in
    p.setBrush(QColor(160, 160, 160));
    p.drawRect(1, 6, 14, 6); // body
    p.setBrush(Qt::white);
    p.drawRect(4, 10, 8, 5); // paper out
    p.setPen(QColor(0, 160, 0));
    p.drawPoint(13, 8); // power lamp
}

void DrawAbort(QPainter& p)
{
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(QColor(220, 0, 0), 2.2);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(2, 2, 12, 12));
    p.drawLine(QPointF(4.2, 4.2), QPointF(11.8, 11.8));
}

void DrawTools(QPainter& p)
{
    p.setRenderHint(QPainter::Antialiasing);
    // Spanner along one diagonal.
    p.setPen(QPen(QColor(110, 110, 120), 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(3.5, 12.5), QPointF(11, 5));
    p.setPen(QPen(QColor(110, 110, 120), 1.5));
    p.drawArc(QRectF(9.5, 1.5, 5, 5), 200 * 16, 250 * 16);
    // Screwdriver along the other.
    p.setPen(QPen(QColor(200, 40, 40), 2.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(12.5, 12.5), QPointF(9.5, 9.5));
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.drawLine(QPointF(9, 9), QPointF(4, 4));
    // Hammer upright in the middle.
    p.setPen(QPen(QColor(140, 90, 40), 1.6));
    p.drawLine(QPointF(8, 6), QPointF(8, 15));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(70, 70, 70));
    p.drawRect(QRectF(5, 2.5, 6, 3));
}

QImage DrawNormal(TGlyph glyph)
{
    QImage img(16, 16, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    switch (glyph) {
    case TGlyph::Start: DrawStart(p); break;
    case TGlyph::Printer: DrawPrinter(p); break;
    case TGlyph::Abort: DrawAbort(p); break;
    case TGlyph::Tools: DrawTools(p); break;
    }
    return img;
}

// Disabled look: the shape in a flat grey with a white shadow one pixel down-right.
QImage DrawDisabled(const QImage& normal)
{
    QImage out(16, 16, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            if (qAlpha(normal.pixel(x, y)) > 96) {
                if (x + 1 < 16 && y + 1 < 16)
                    out.setPixel(x + 1, y + 1, qRgba(255, 255, 255, 255));
            }
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            if (qAlpha(normal.pixel(x, y)) > 96)
                out.setPixel(x, y, qRgba(128, 128, 128, 255));
    return out;
}

} // namespace

QPixmap GlyphStrip(TGlyph glyph)
{
    const QImage normal = DrawNormal(glyph);
    QImage strip(32, 16, QImage::Format_ARGB32_Premultiplied);
    strip.fill(Qt::transparent);
    QPainter p(&strip);
    p.drawImage(0, 0, normal);
    p.drawImage(16, 0, DrawDisabled(normal));
    p.end();
    return QPixmap::fromImage(strip);
}

QIcon GlyphIcon(TGlyph glyph)
{
    const QPixmap strip = GlyphStrip(glyph);
    QIcon icon;
    icon.addPixmap(strip.copy(0, 0, 16, 16), QIcon::Normal);
    icon.addPixmap(strip.copy(16, 0, 16, 16), QIcon::Disabled);
    return icon;
}
