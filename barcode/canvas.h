#pragma once
// The drawing surface a barcode is painted on. The printer adapter (app/qt_canvas.h)
// maps it onto QPainter; tests map it onto a plain bitmap.
#include <cstdint>
#include <span>
#include <string>

struct TColor
{
    std::uint8_t R = 0, G = 0, B = 0;
    friend bool operator==(TColor, TColor) = default;
};
inline constexpr TColor clBlack{0, 0, 0};
inline constexpr TColor clWhite{255, 255, 255};

struct TPoint
{
    int X = 0, Y = 0;
    friend bool operator==(TPoint, TPoint) = default;
};

class TCanvas
{
public:
    virtual ~TCanvas() = default;
    virtual void SetPenWidth(int width) = 0;
    virtual void SetPenColor(TColor color) = 0;
    // Also makes the brush solid, so filled shapes are filled.
    virtual void SetBrushColor(TColor color) = 0;
    virtual void SetFontSize(int points) = 0;
    // Outline in the pen, interior in the brush.
    virtual void Polygon(std::span<const TPoint> corners) = 0;
    // Top-left corner of the text at (x, y), in the font's colour on the brush colour.
    virtual void TextOut(int x, int y, const std::string& text) = 0;
    // Pen, brush and font, pushed and popped.
    virtual void SaveState() = 0;
    virtual void RestoreState() = 0;
};
