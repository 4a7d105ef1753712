#pragma once
// Line sizes of a list with uniform item sizes.

#include <QStringList>

class QListWidget;

namespace chronark {

// Gives the last line of List the size of the widest of the longest Lines,
// which Qt then uses for every line.
void SizeLinesLikeTheWidest(QListWidget* List, const QStringList& Lines);

}  // namespace chronark
