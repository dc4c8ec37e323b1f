#pragma once
// TCanvas on a QPainter: what the barcode component draws on a printer page.
#include <QColor>
#include <QPainter>
#include <vector>

#include "barcode/canvas.h"

class TQtCanvas : public TCanvas
{
public:
    explicit TQtCanvas(QPainter& painter)
        : painter_(painter)
    {}

    void SetPenWidth(int width) override;
    void SetPenColor(TColor color) override;
    void SetBrushColor(TColor color) override;
    void SetFontSize(int points) override;
    void Polygon(std::span<const TPoint> corners) override;
    void TextOut(int x, int y, const std::string& text) override;
    void SaveState() override;
    void RestoreState() override;

    // The font's colour is separate from the pen, as text and outlines differ.
    void SetFontColor(TColor color) { fontColor_ = QColor(color.R, color.G, color.B); }

private:
    QPainter& painter_;
    QColor fontColor_ = Qt::black;
    std::vector<QColor> savedFontColors_;
};
