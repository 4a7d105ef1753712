#include "app/entrylist.h"

#include "app/qtconvert.h"

#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QStyle>
#include <QStyleOptionViewItem>

#include <algorithm>
#include <numeric>
#include <vector>

namespace chronark {

namespace {

// How many of the lines with the longest remarks are measured: the widths of
// their characters differ, so the longest is not always the widest.
constexpr size_t MeasuredLines = 32;

}  // namespace

TEntryListModel::TEntryListModel(const std::unique_ptr<TChronarkMan>& Manager, QObject* Parent)
    : QAbstractListModel(Parent), FManager(Manager) {}

void TEntryListModel::Reset(const std::function<QSize(const QString&)>& Measure) {
  beginResetModel();
  FCount = FManager ? static_cast<int>(FManager->Entries().size()) : 0;
  FLineSize = QSize();
  if (FCount > 0) {
    // Every line is as wide as the widest, so that the scroll bar reaches the
    // end of every remark. The other parts of a line hardly differ in length:
    // the remark decides.
    const TCRList& Entries = FManager->Entries();
    std::vector<int> Rows(static_cast<size_t>(FCount));
    std::iota(Rows.begin(), Rows.end(), 0);
    const size_t Candidates = std::min(Rows.size(), MeasuredLines);
    std::nth_element(Rows.begin(), Rows.begin() + static_cast<std::ptrdiff_t>(Candidates - 1),
                     Rows.end(), [&](int A, int B) {
                       return Entries[static_cast<size_t>(A)].Comment.Length >
                              Entries[static_cast<size_t>(B)].Comment.Length;
                     });
    for (size_t I = 0; I < Candidates; ++I) {
      const QSize Size = Measure(Line(Rows[I]));
      if (Size.width() > FLineSize.width()) FLineSize = Size;
    }
  }
  endResetModel();
}

QString TEntryListModel::Line(int Row) const {
  if (!FManager || Row < 0 || Row >= FCount) return {};
  const TCRList& Entries = FManager->Entries();
  // Entries deleted since the last Reset: the refresh that follows every
  // change redraws the list anyway.
  if (static_cast<size_t>(Row) >= Entries.size()) return {};
  return TextToQt(DisplayLine(Entries[static_cast<size_t>(Row)]));
}

int TEntryListModel::rowCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : FCount;
}

QVariant TEntryListModel::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid()) return {};
  switch (Role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole: return Line(Index.row());
    case Qt::SizeHintRole:
      if (FLineSize.isValid()) return FLineSize;
      return {};
    default: return {};
  }
}

TEntryListView::TEntryListView(const std::unique_ptr<TChronarkMan>& Manager, QWidget* Parent)
    : QListView(Parent), FModel(new TEntryListModel(Manager, this)) {
  setModel(FModel);
  // One line per entry of equal height: lets the view lay out 100,000 lines at once.
  setUniformItemSizes(true);
}

void TEntryListView::Refresh() {
  QStyleOptionViewItem Option;
  initViewItemOption(&Option);
  Option.features |= QStyleOptionViewItem::HasDisplay;
  FModel->Reset([&](const QString& Text) {
    // What the item delegate asks of the style for a line of plain text.
    Option.text = Text;
    return style()->sizeFromContents(QStyle::CT_ItemViewItem, &Option, QSize(), this);
  });
}

bool TEntryListView::event(QEvent* Event) {
  // An item view keeps Ctrl+Space for itself (it toggles the selection);
  // here it is the window's shortcut for "Starten".
  if (Event->type() == QEvent::ShortcutOverride &&
      static_cast<QKeyEvent*>(Event)->keyCombination() ==
          QKeyCombination(Qt::ControlModifier, Qt::Key_Space)) {
    Event->ignore();
    return true;
  }
  return QListView::event(Event);
}

int TEntryListView::count() const { return FModel->rowCount(); }

int TEntryListView::SelectedRow() const {
  const QModelIndex Current = currentIndex();
  return Current.isValid() && selectionModel()->isSelected(Current) ? Current.row() : -1;
}

int TEntryListView::currentRow() const {
  const QModelIndex Current = currentIndex();
  return Current.isValid() ? Current.row() : -1;
}

void TEntryListView::setCurrentRow(int Row) {
  selectionModel()->setCurrentIndex(FModel->index(Row, 0), QItemSelectionModel::ClearAndSelect);
}

}  // namespace chronark
