#pragma once
// The 16 x 16 button glyphs, drawn in code: a strip of two images side by side,
// normal on the left and disabled on the right.
#include <QIcon>
#include <QPixmap>

enum class TGlyph { Start, Printer, Abort, Tools };

QPixmap GlyphStrip(TGlyph glyph);
// Icon with the strip's left half as the normal and its right half as the disabled image.
QIcon GlyphIcon(TGlyph glyph);
