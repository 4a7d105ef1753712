#include "app/glyphs.h"

#include "app/capp.h"

namespace chronark {

QIcon ImageList1(int Index) {
  if (Index < 0 || Index > 9) return QIcon();
  EnsureResources();
  return QIcon(QStringLiteral(":/chronark/glyph%1.svg").arg(Index));
}

}  // namespace chronark
