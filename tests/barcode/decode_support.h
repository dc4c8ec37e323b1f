#pragma once
// Helpers shared by the barcode and label tests: a bitmap canvas, image files and
// the external checkers (zbarimg, zint) run as separate programs.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdint>
#include <fstream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "barcode/canvas.h"

namespace bctest {

// A grey bitmap that fills polygons including their boundary, as a canvas with a
// 1-pixel pen of the brush colour does.
class BitmapCanvas : public TCanvas
{
public:
    BitmapCanvas(int width, int height)
        : width_(width)
        , height_(height)
        , pixels_(std::size_t(width) * height, 255)
    {}

    void SetPenWidth(int w) override { pen_width = w; }
    void SetPenColor(TColor c) override { pen = c; }
    void SetBrushColor(TColor c) override { brush = c; }
    void SetFontSize(int points) override { font_size = points; }
    void Polygon(std::span<const TPoint> pts) override
    {
        ++polygons;
        last_polygon.assign(pts.begin(), pts.end());
        int x0 = pts[0].X, x1 = pts[0].X, y0 = pts[0].Y, y1 = pts[0].Y;
        for (auto p : pts) {
            x0 = std::min(x0, p.X);
            x1 = std::max(x1, p.X);
            y0 = std::min(y0, p.Y);
            y1 = std::max(y1, p.Y);
        }
        std::uint8_t grey = static_cast<std::uint8_t>((brush.R + brush.G + brush.B) / 3);
        for (int y = std::max(y0, 0); y <= std::min(y1, height_ - 1); ++y)
            for (int x = std::max(x0, 0); x <= std::min(x1, width_ - 1); ++x)
                if (Inside(pts, x, y))
                    pixels_[std::size_t(y) * width_ + x] = grey;
    }
    void TextOut(int x, int y, const std::string& text) override
    {
        texts.push_back({x, y, text, font_size});
    }
    void SaveState() override { saved.push_back({pen_width, pen, brush, font_size}); }
    void RestoreState() override
    {
        auto s = saved.back();
        saved.pop_back();
        pen_width = s.pen_width;
        pen = s.pen;
        brush = s.brush;
        font_size = s.font_size;
        ++restores;
    }

    int Width() const { return width_; }
    int Height() const { return height_; }
    std::uint8_t At(int x, int y) const { return pixels_[std::size_t(y) * width_ + x]; }

    // Binary PGM: the checkers read it without any image library on our side.
    void WritePgm(const std::string& path) const
    {
        std::ofstream f(path, std::ios::binary);
        f << "P5\n" << width_ << " " << height_ << "\n255\n";
        f.write(reinterpret_cast<const char*>(pixels_.data()), std::streamsize(pixels_.size()));
    }

    struct Text
    {
        int x, y;
        std::string text;
        int size;
    };
    struct State
    {
        int pen_width;
        TColor pen, brush;
        int font_size;
    };
    int pen_width = 7;
    TColor pen{10, 20, 30}, brush{40, 50, 60};
    int font_size = 9;
    int polygons = 0;
    int restores = 0;
    std::vector<TPoint> last_polygon;
    std::vector<Text> texts;
    std::vector<State> saved;

private:
    static bool Inside(std::span<const TPoint> pts, int x, int y)
    {
        bool neg = false, pos = false;
        for (std::size_t i = 0; i < pts.size(); ++i) {
            TPoint a = pts[i], b = pts[(i + 1) % pts.size()];
            long long cross =
                    (long long)(b.X - a.X) * (y - a.Y) - (long long)(b.Y - a.Y) * (x - a.X);
            if (cross < 0)
                neg = true;
            if (cross > 0)
                pos = true;
        }
        return !(neg && pos);
    }
    int width_, height_;
    std::vector<std::uint8_t> pixels_;
};

struct CommandResult
{
    int status;
    std::string out;
};

inline CommandResult Run(const std::string& command)
{
    CommandResult r{-1, {}};
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return r;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    r.status = pclose(p);
    return r;
}

inline std::vector<std::string> Lines(const std::string& s)
{
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

inline std::string Quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Decoded texts of the files, in file order, one line per symbol found.
inline std::vector<std::string> ZbarDecode(const std::vector<std::string>& files,
                                           const std::string& options = "")
{
    std::string cmd = "zbarimg --raw -q " + options;
    for (auto& f : files)
        cmd += " " + Quote(f);
    return Lines(Run(cmd + " 2>/dev/null").out);
}

inline std::string TempDir(const std::string& name)
{
    std::string dir = testing::TempDir() + "tolvek-" + name + "-" + std::to_string(::getpid());
    Run("rm -rf " + Quote(dir) + " && mkdir -p " + Quote(dir));
    return dir;
}

} // namespace bctest
