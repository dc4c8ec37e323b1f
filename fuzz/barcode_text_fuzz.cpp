// The serial number from the unit's report ends up in the barcode text: any bytes
// must either encode or be refused with EBarcodeError, never crash or misdraw.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "barcode/barcode.h"

namespace {
class NullCanvas : public TCanvas
{
public:
    void SetPenWidth(int) override {}
    void SetPenColor(TColor) override {}
    void SetBrushColor(TColor) override {}
    void SetFontSize(int) override {}
    void Polygon(std::span<const TPoint> corners) override
    {
        if (corners.size() != 4)
            std::abort();
    }
    void TextOut(int, int, const std::string&) override {}
    void SaveState() override { ++depth; }
    void RestoreState() override { --depth; }
    int depth = 0;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    TBarcode b;
    b.SetTyp(static_cast<TBarcodeType>(data[0] % 16));
    b.SetChecksum(data[1] & 1);
    b.SetShowText(data[1] & 2);
    b.SetAngle((data[1] >> 2) * 6.0);
    b.SetModul(1 + (data[1] >> 6));
    b.SetHeight(7);
    b.SetText(std::string(reinterpret_cast<const char*>(data + 2), size - 2));
    NullCanvas canvas;
    try {
        int width = b.Width();
        if (b.Typ() == bcCode128A || b.Typ() == bcCode128B) {
            std::string p = b.BuildPattern();
            if (p.size() != 6 * b.Text().size() + 19)
                std::abort();
            if (width != static_cast<int>(11 * b.Text().size() + 35) * b.Modul())
                std::abort();
        }
        b.DrawBarcode(canvas);
    } catch (const EBarcodeError&) {}
    if (canvas.depth != 0)
        std::abort();
    return 0;
}
