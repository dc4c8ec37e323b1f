#pragma once
// TBarcode: turns a text into a one-dimensional barcode and draws it on a TCanvas.
// The symbol is first built as an element pattern, one character per bar or space:
//   "0".."3" space of width class 1..4, "5".."8" bar, "A".."D" short bar (PostNet).
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "barcode/canvas.h"

enum TBarcodeType : std::uint8_t {
    bcCode_2_5_interleaved,
    bcCode_2_5_industrial,
    bcCode_2_5_matrix,
    bcCode39,
    bcCode39Extended,
    bcCode128A,
    bcCode128B,
    bcCode128C,
    bcCode93,
    bcCode93Extended,
    bcCodeMSI,
    bcCodePostNet,
    bcCodeCodabar,
    bcCodeEAN8,
    bcCodeEAN13,
};
inline constexpr int kBarcodeTypeCount = 15;

// Every error of the component; the message starts with the class name.
class EBarcodeError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

enum class TElementKind { Space, Bar, ShortBar };

struct TElement
{
    int width; // pixels
    TElementKind kind;
};

class TBarcode
{
public:
    static constexpr const char* ClassName = "TBarcode";

    int Height() const { return height_; }
    void SetHeight(int v) { height_ = v; }
    const std::string& Text() const { return text_; }
    void SetText(std::string v) { text_ = std::move(v); }
    int Top() const { return top_; }
    void SetTop(int v) { top_ = v; }
    int Left() const { return left_; }
    void SetLeft(int v) { left_ = v; }
    int Modul() const { return modul_; }
    // Only 1 to 49 is accepted; anything else keeps the old value.
    void SetModul(int v)
    {
        if (v >= 1 && v <= 49)
            modul_ = v;
    }
    double Ratio() const { return ratio_; }
    void SetRatio(double v) { ratio_ = v; }
    TBarcodeType Typ() const { return typ_; }
    void SetTyp(TBarcodeType v) { typ_ = v; }
    bool Checksum() const { return checksum_; }
    void SetChecksum(bool v) { checksum_ = v; }
    double Angle() const { return angle_; }
    void SetAngle(double v) { angle_ = v; }
    bool ShowText() const { return show_text_; }
    void SetShowText(bool v) { show_text_ = v; }

    // Length of the symbol in pixels along the bar direction. Builds the pattern, so it
    // may clamp Ratio and raises the same errors as BuildPattern.
    int Width();
    std::string BuildPattern();
    void DrawBarcode(TCanvas& canvas);
    std::string TypeName() const;

    // Pixel width and kind of one pattern character (module widths as last built).
    TElement DecodeElement(char c) const;
    // Width digits "1".."4", bar first, into pattern characters.
    static std::string WidthsToPattern(std::string_view widths);

private:
    void ComputeModuleWidths();
    [[noreturn]] void Fail(std::string_view what) const;

    int height_ = 0;
    std::string text_;
    int top_ = 0;
    int left_ = 0;
    int modul_ = 1;
    double ratio_ = 2.0;
    TBarcodeType typ_ = bcCodeEAN13;
    bool checksum_ = false;
    double angle_ = 0.0;
    bool show_text_ = false;
    int module_width_[4] = {1, 2, 3, 4};
};
