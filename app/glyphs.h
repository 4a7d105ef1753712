#pragma once
// The toolbar's glyphs.

#include <QIcon>

namespace chronark {

// The 16 x 16 glyph number Index (0 to 9) of ImageList1.
QIcon ImageList1(int Index);

}  // namespace chronark
