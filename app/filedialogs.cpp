#include "app/filedialogs.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QEvent>
#include <QCompleter>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>

namespace chronark {

namespace {

// The name field's completion pops up once its folder has been read, which
// can be after the dialog was confirmed. Such a popup would stay on screen
// over the main window and take its next click: it is closed whenever its
// dialog is not shown.
class TCompletionGuard : public QObject {
public:
  explicit TCompletionGuard(QFileDialog* Dialog) : QObject(Dialog), FDialog(Dialog) {}

protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (Event->type() == QEvent::Show && !FDialog->isVisible()) {
      auto* Popup = static_cast<QWidget*>(Watched);
      QMetaObject::invokeMethod(Popup, &QWidget::hide, Qt::QueuedConnection);
    }
    return false;
  }

private:
  QFileDialog* FDialog;
};

}  // namespace

// QFileDialog::selectFile ignores an empty name, so the name field and the
// list's selection would keep the previous use's name: after "Neu..." one
// Enter would choose the open project again and empty it.
void ClearFileName(QFileDialog* Dialog) {
  if (auto* Name = Dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) Name->clear();
  if (auto* List = Dialog->findChild<QAbstractItemView*>(QStringLiteral("listView")))
    List->clearSelection();
}

void CloseCompletionWithDialog(QFileDialog* Dialog) {
  auto* Name = Dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  if (!Name || !Name->completer()) return;
  QWidget* Popup = Name->completer()->popup();
  Popup->installEventFilter(new TCompletionGuard(Dialog));
  QObject::connect(Dialog, &QDialog::finished, Popup, &QWidget::hide);
}

TDialogFilter ParseDialogFilter(const QString& Filter) {
  TDialogFilter Result;
  const QStringList Parts = Filter.split(u'|');
  for (qsizetype I = 0; I + 1 < Parts.size(); I += 2) {
    QStringList Patterns;
    for (const QString& Pattern : Parts[I + 1].split(u';', Qt::SkipEmptyParts)) {
      const QString Trimmed = Pattern.trimmed();
      // "*.*" means every file, also one without a dot in its name.
      Patterns << (Trimmed == QStringLiteral("*.*") ? QStringLiteral("*") : Trimmed);
    }
    Result.Labels << Parts[I];
    Result.Patterns << Patterns;
  }
  return Result;
}

void SetDialogFilter(QFileDialog* Dialog, const QString& Filter) {
  // Qt would take the patterns from the label's parentheses, where "*.*"
  // leaves out names without a dot and "a;b" is one pattern. The labels are
  // shown as they are; the file list gets the patterns after each bar.
  const TDialogFilter Parsed = ParseDialogFilter(Filter);
  Dialog->setProperty("DialogFilter", Filter);
  Dialog->setNameFilters(Parsed.Labels);
  auto* Model = Dialog->findChild<QFileSystemModel*>();
  auto* Types = Dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
  auto* Name = Dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  if (!Model || !Types) return;
  if (!Parsed.Patterns.isEmpty()) Model->setNameFilters(Parsed.Patterns.front());
  if (Types->property("DialogFilterBound").toBool()) return;
  Types->setProperty("DialogFilterBound", true);
  // The combo box reports the new index before Qt's own handler runs, which
  // would put the pattern's extension ("*") into the typed name: keep it.
  QObject::connect(Types, &QComboBox::currentIndexChanged, Dialog, [Types, Name] {
    if (Name) Types->setProperty("TypedName", Name->text());
  });
  QObject::connect(Types, &QComboBox::activated, Dialog, [Dialog, Model, Types, Name](int Index) {
    const TDialogFilter Current = ParseDialogFilter(Dialog->property("DialogFilter").toString());
    if (Index >= 0 && Index < Current.Patterns.size())
      Model->setNameFilters(Current.Patterns[Index]);
    const QVariant Typed = Types->property("TypedName");
    if (Name && Typed.isValid()) Name->setText(Typed.toString());
  });
}

}  // namespace chronark
