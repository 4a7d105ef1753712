#pragma once
// Helpers for the non-native file dialogs: filters written with bars, a name
// field that starts empty, and a completion popup that goes with its dialog.

#include <QList>
#include <QString>
#include <QStringList>

class QFileDialog;

namespace chronark {

// A file dialog filter written "Label|pattern;pattern|Label|pattern": the
// labels for the dialog's type box and, for each, its patterns, with "*.*"
// standing for every file.
struct TDialogFilter {
  QStringList Labels;
  QList<QStringList> Patterns;
};
TDialogFilter ParseDialogFilter(const QString& Filter);
// Shows the labels of Filter in Dialog and lists the files of its patterns.
void SetDialogFilter(QFileDialog* Dialog, const QString& Filter);

// Empties the name field and the list's selection before a dialog's next use.
void ClearFileName(QFileDialog* Dialog);
// Hides the name field's completion popup whenever Dialog is not shown.
void CloseCompletionWithDialog(QFileDialog* Dialog);

}  // namespace chronark
