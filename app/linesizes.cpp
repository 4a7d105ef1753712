#include "app/linesizes.h"

#include <QListWidget>

#include <algorithm>
#include <numeric>
#include <vector>

namespace chronark {

// With uniform item sizes (fast for big projects) Qt sizes every line like the
// last one. The last line gets the size of the widest of the longest lines
// instead, so that the scroll bar reaches the end of every remark.
void SizeLinesLikeTheWidest(QListWidget* List, const QStringList& Lines) {
  const qsizetype Count = Lines.size();
  if (Count < 2) return;
  std::vector<qsizetype> Rows(static_cast<size_t>(Count));
  std::iota(Rows.begin(), Rows.end(), qsizetype(0));
  const qsizetype Candidates = std::min<qsizetype>(Count, 32);
  std::nth_element(Rows.begin(), Rows.begin() + (Candidates - 1), Rows.end(),
                   [&](qsizetype A, qsizetype B) { return Lines[A].size() > Lines[B].size(); });
  QSize Widest;
  for (qsizetype I = 0; I < Candidates; ++I) {
    const QSize Size = List->sizeHintForIndex(
        List->model()->index(static_cast<int>(Rows[static_cast<size_t>(I)]), 0));
    if (Size.width() > Widest.width()) Widest = Size;
  }
  List->item(static_cast<int>(Count - 1))->setSizeHint(Widest);
}

}  // namespace chronark
