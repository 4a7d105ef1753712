#pragma once
// ListBox1: the manager's entries as lines, built from each entry when the
// view draws it, so that a big project keeps no second copy of its lines.

#include "core/crkm.h"

#include <QAbstractListModel>
#include <QListView>
#include <QSize>

#include <functional>
#include <memory>

namespace chronark {

// Row i is entry i of the manager, as of the last Reset.
class TEntryListModel : public QAbstractListModel {
  Q_OBJECT
public:
  // Manager is the window's own pointer: read at every use, so that a
  // released or replaced manager is never reached through a stale copy.
  TEntryListModel(const std::unique_ptr<TChronarkMan>& Manager, QObject* Parent);

  // Takes over the manager's entries; every line gets the size that Measure
  // gives the widest of the lines with the longest remarks.
  void Reset(const std::function<QSize(const QString&)>& Measure);
  QString Line(int Row) const;

  int rowCount(const QModelIndex& Parent = {}) const override;
  QVariant data(const QModelIndex& Index, int Role) const override;

private:
  const std::unique_ptr<TChronarkMan>& FManager;
  int FCount = 0;
  QSize FLineSize;
};

class TEntryListView : public QListView {
  Q_OBJECT
public:
  TEntryListView(const std::unique_ptr<TChronarkMan>& Manager, QWidget* Parent);

  // Shows the manager's entries afresh; the selection is lost.
  void Refresh();

  int count() const;
  // The selected line, -1 when none is selected.
  int SelectedRow() const;
  int currentRow() const;
  // Makes Row the current and only selected line, as a click on it does.
  void setCurrentRow(int Row);
  QString LineAt(int Row) const { return FModel->Line(Row); }

protected:
  bool event(QEvent* Event) override;

private:
  TEntryListModel* FModel;
};

}  // namespace chronark
