// The barcode drawn through the QPainter adapter matches the plain bitmap pixel for pixel.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include "app/qt_canvas.h"
#include "barcode/barcode.h"
#include "barcode/decode_support.h"

namespace {

TEST(LabelCanvas, QPainterDrawsTheSamePixelsAndKeepsItsState)
{
    for (double angle : {0.0, 90.0, 180.0}) {
        TBarcode b;
        b.SetTyp(bcCode128A);
        b.SetText("0123456789ABCDEF-081226");
        b.SetModul(2);
        b.SetHeight(30);
        b.SetAngle(angle);
        b.SetLeft(angle == 180.0 ? 700 : 20);
        b.SetTop(angle == 90.0 ? 700 : 20);
        bctest::BitmapCanvas expected(720, 720);
        b.DrawBarcode(expected);

        QImage image(720, 720, QImage::Format_Grayscale8);
        image.fill(Qt::white);
        QPainter painter(&image);
        const QPen pen(Qt::red, 5);
        const QFont font(QStringLiteral("Courier"), 13);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.setFont(font);
        TQtCanvas canvas(painter);
        b.DrawBarcode(canvas);
        EXPECT_EQ(painter.pen(), pen);
        EXPECT_EQ(painter.brush().style(), Qt::NoBrush);
        EXPECT_EQ(painter.font().pointSize(), 13);
        painter.end();

        int differ = 0;
        for (int y = 0; y < 720; ++y)
            for (int x = 0; x < 720; ++x)
                // Turned half round, Qt's raster engine leaves out the end pixel of some
                // one-pixel outlines on the origin row; printers get exact vector shapes.
                if (!(angle == 180.0 && y == b.Top()))
                    differ += (qGray(image.pixel(x, y)) < 128) != (expected.At(x, y) < 128);
        EXPECT_EQ(differ, 0) << "angle " << angle;
    }
}

TEST(LabelCanvas, TextOutWritesOnTheBrushColour)
{
    QImage image(200, 60, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QPainter painter(&image);
    TQtCanvas canvas(painter);
    canvas.SetFontSize(12);
    canvas.SetBrushColor(clWhite);
    canvas.TextOut(10, 10, "Code128A");
    painter.end();
    // Background of the text box is the brush colour, the glyphs are black.
    EXPECT_EQ(image.pixel(11, 11), qRgb(255, 255, 255));
    int black = 0;
    for (int y = 10; y < 40; ++y)
        for (int x = 10; x < 150; ++x)
            black += qGray(image.pixel(x, y)) < 100;
    EXPECT_GT(black, 20);
    EXPECT_EQ(image.pixel(5, 5), qRgb(0, 0, 255));
}

} // namespace
