#include "serve/svg_canvas.h"

#include "barcode/barcode.h"

#include <cstdio>

namespace tolvek {
namespace {

std::string Colour(TColor c)
{
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", c.R, c.G, c.B);
    return text;
}

// Text for an SVG document: markup characters as entities, control bytes left out.
std::string Escaped(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default:
            if (c >= 0x20 && c != 0x7f)
                out += static_cast<char>(c);
        }
    }
    return out;
}

constexpr int kModulePx = 2;
constexpr int kQuietModules = 10;
constexpr int kBarHeightPx = 60;

} // namespace

// The canvas's corners are pixels, its outline covers them: in SVG the outline runs
// through the pixels' centres, so the shape covers the same pixels.
void TSvgCanvas::Polygon(std::span<const TPoint> corners)
{
    body_ += "<polygon points=\"";
    for (const TPoint& p : corners)
        body_ += std::to_string(p.X) + ".5," + std::to_string(p.Y) + ".5 ";
    body_ += "\" fill=\"" + Colour(state_.brush) + "\" stroke=\"" + Colour(state_.pen)
             + "\" stroke-width=\"" + std::to_string(state_.penWidth) + "\"/>\n";
}

void TSvgCanvas::TextOut(int x, int y, const std::string& text)
{
    body_ += "<text x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y + state_.fontPoints)
             + "\" font-size=\"" + std::to_string(state_.fontPoints) + "\" fill=\""
             + Colour(state_.pen) + "\">" + Escaped(text) + "</text>\n";
}

void TSvgCanvas::RestoreState()
{
    if (saved_.empty())
        return;
    state_ = saved_.back();
    saved_.pop_back();
}

std::string TSvgCanvas::Document(int width, int height) const
{
    const std::string w = std::to_string(width), h = std::to_string(height);
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + w + "\" height=\"" + h
           + "\" viewBox=\"0 0 " + w + " " + h + "\" shape-rendering=\"crispEdges\">\n"
           + "<rect width=\"" + w + "\" height=\"" + h + "\" fill=\"#ffffff\"/>\n" + body_
           + "</svg>\n";
}

std::string LabelBarcodeSvg(const std::string& text)
{
    TBarcode barcode;
    barcode.SetTyp(bcCode128A);
    barcode.SetText(text);
    barcode.SetModul(kModulePx);
    barcode.SetHeight(kBarHeightPx);
    const int quiet = kQuietModules * kModulePx;
    barcode.SetLeft(quiet);
    barcode.SetTop(quiet / 2);
    TSvgCanvas canvas;
    barcode.DrawBarcode(canvas);
    return canvas.Document(barcode.Width() + 2 * quiet, kBarHeightPx + quiet + 1);
}

} // namespace tolvek
