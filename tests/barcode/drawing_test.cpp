#include <gtest/gtest.h>

#include "barcode/barcode.h"
#include "barcode/decode_support.h"

namespace {

using bctest::BitmapCanvas;

TBarcode Code128A(const std::string& text, int modul, int height, int left, int top)
{
    TBarcode b;
    b.SetTyp(bcCode128A);
    b.SetText(text);
    b.SetModul(modul);
    b.SetHeight(height);
    b.SetLeft(left);
    b.SetTop(top);
    return b;
}

TEST(DrawBarcode, ElementsCoverExactlyTheirColumnsAndRows)
{
    TBarcode b = Code128A("", 1, 10, 5, 3);
    BitmapCanvas c(60, 20);
    // Something drawn before is overwritten by the white spaces.
    for (int x = 0; x < 60; ++x)
        for (int y = 0; y < 20; ++y) {
            TColor grey{128, 128, 128};
            c.SetBrushColor(grey);
            TPoint p[1] = {{x, y}};
            c.Polygon(p);
        }
    c.polygons = 0;
    b.DrawBarcode(c);
    EXPECT_EQ(c.polygons, 19);
    // Start "211412", check value 0 "212222", stop "2331112": columns 5..39.
    const std::string modules = "11010000100"
                                "11011001100"
                                "1100011101011";
    for (int x = 0; x < 60; ++x) {
        for (int y = 0; y < 20; ++y) {
            bool inside = x >= 5 && x < 40 && y >= 3 && y <= 13;
            int want = !inside ? 128 : modules[x - 5] == '1' ? 0 : 255;
            ASSERT_EQ(c.At(x, y), want) << x << "," << y;
        }
    }
    // The last element: a bar of width 2 at x 38..39, corners in the documented order.
    EXPECT_EQ(c.last_polygon, (std::vector<TPoint>{{38, 3}, {38, 13}, {39, 13}, {39, 3}}));
}

TEST(DrawBarcode, CanvasStateIsRestoredAndTextIsOptional)
{
    TBarcode b = Code128A("AB", 2, 20, 0, 0);
    BitmapCanvas c(200, 30);
    b.DrawBarcode(c);
    EXPECT_EQ(c.restores, 1);
    EXPECT_TRUE(c.saved.empty());
    EXPECT_EQ(c.pen_width, 7);
    EXPECT_EQ(c.pen, (TColor{10, 20, 30}));
    EXPECT_EQ(c.brush, (TColor{40, 50, 60}));
    EXPECT_TRUE(c.texts.empty());

    b.SetShowText(true);
    b.SetLeft(4);
    b.SetTop(6);
    b.DrawBarcode(c);
    ASSERT_EQ(c.texts.size(), 2u);
    EXPECT_EQ(c.texts[0].text, "AB");
    EXPECT_EQ(c.texts[0].x, 4);
    EXPECT_EQ(c.texts[0].y, 6);
    EXPECT_EQ(c.texts[0].size, 4);
    EXPECT_EQ(c.texts[1].text, "Code128A");
    EXPECT_EQ(c.texts[1].y, 20);
    EXPECT_EQ(c.font_size, 9);

    // Refused data draws nothing and leaves the canvas as it was.
    BitmapCanvas d(10, 10);
    b.SetText("lower");
    EXPECT_THROW(b.DrawBarcode(d), EBarcodeError);
    EXPECT_EQ(d.polygons, 0);
    EXPECT_EQ(d.restores, 0);
}

TEST(DrawBarcode, RotationHeightZeroAndShortBars)
{
    // 180 degrees: the symbol lies left of and above the origin.
    TBarcode b = Code128A("", 1, 10, 50, 20);
    b.SetAngle(180);
    BitmapCanvas c(60, 30);
    b.DrawBarcode(c);
    EXPECT_EQ(c.At(50, 20), 0); // first bar at the origin
    EXPECT_EQ(c.At(49, 10), 0);
    EXPECT_EQ(c.At(51, 20), 255); // nothing right of it
    EXPECT_EQ(c.At(50, 21), 255); // nor below
    EXPECT_EQ(c.At(16, 15), 0);   // last stop bar ends 34 columns to the left

    // 90 degrees: the elements climb upward, bars extend to the right.
    b.SetAngle(90);
    b.SetLeft(5);
    b.SetTop(40);
    BitmapCanvas up(20, 45);
    b.DrawBarcode(up);
    EXPECT_EQ(up.At(5, 40), 0);
    EXPECT_EQ(up.At(15, 39), 0);
    EXPECT_EQ(up.At(5, 6), 0);
    EXPECT_EQ(up.At(5, 5), 255);

    // Height 0: one row of pixels.
    b.SetAngle(0);
    b.SetHeight(0);
    b.SetLeft(0);
    b.SetTop(1);
    BitmapCanvas flat(40, 3);
    b.DrawBarcode(flat);
    EXPECT_EQ(flat.At(0, 1), 0);
    EXPECT_EQ(flat.At(0, 0), 255);
    EXPECT_EQ(flat.At(0, 2), 255);

    // PostNet short bars span the upper two fifths only: rows 0..4 of a height of 12.
    TBarcode p;
    p.SetTyp(bcCodePostNet);
    p.SetText("0");
    p.SetHeight(12);
    BitmapCanvas post(20, 14);
    p.DrawBarcode(post);
    // "51" start, then 0 = 11000: full bars at x 0, 3, 6; short bar at x 9.
    EXPECT_EQ(post.At(9, 4), 0);
    EXPECT_EQ(post.At(9, 5), 255);
    EXPECT_EQ(post.At(6, 12), 0);
}

} // namespace
