// A barcode drawn as SVG: the same TBarcode that prints the label, on a canvas that
// writes SVG elements instead of pixels, so a lost label can be reproduced from a browser.
#pragma once

#include "barcode/canvas.h"

#include <string>
#include <vector>

namespace tolvek {

class TSvgCanvas : public TCanvas
{
public:
    void SetPenWidth(int width) override { state_.penWidth = width; }
    void SetPenColor(TColor color) override { state_.pen = color; }
    void SetBrushColor(TColor color) override { state_.brush = color; }
    void SetFontSize(int points) override { state_.fontPoints = points; }
    void Polygon(std::span<const TPoint> corners) override;
    void TextOut(int x, int y, const std::string& text) override;
    void SaveState() override { saved_.push_back(state_); }
    void RestoreState() override;

    // The drawing as a whole SVG document of the given size in pixels.
    std::string Document(int width, int height) const;

private:
    struct TState
    {
        int penWidth = 1;
        TColor pen = clBlack, brush = clWhite;
        int fontPoints = 8;
    };
    TState state_;
    std::vector<TState> saved_;
    std::string body_;
};

// The label's barcode (Code 128 A, as printed, with its quiet zones) for the label text
// "SERIAL-ddmmyy"; throws EBarcodeError for a text the symbol cannot carry.
std::string LabelBarcodeSvg(const std::string& text);

} // namespace tolvek
