#include "app/startupprompt.h"

#include "app/qtconvert.h"

#include <QMessageBox>
#include <QPushButton>

namespace chronark {

QString StartupPromptText(const std::string& ProjectFileName, const std::string& Relative) {
  const QString First = Relative.empty()
                            ? QStringLiteral("Es wurde kein Projekt angegeben.")
                            : QStringLiteral("Die Datei \"") + PathToQt(ProjectFileName) +
                                  QStringLiteral("\" wurde nicht gefunden.");
  return First + QStringLiteral(
                     "\r\nMöchten Sie eine neue Datei anlegen?\r\n\r\n"
                     "\"Ja\" legt ein neue Datei an.\r\n"
                     "\"Nein\" öffntet eine Datei.");
}

TConfirmAnswer ConfirmBox(QWidget* Parent, const QString& Text) {
  QMessageBox Box(QMessageBox::Question, QStringLiteral("Bestätigung"), Text, QMessageBox::NoButton,
                  Parent);
  Box.setObjectName("ConfirmBox");
  Box.setTextFormat(Qt::PlainText);
  QPushButton* Yes = Box.addButton(QStringLiteral("&Ja"), QMessageBox::YesRole);
  QPushButton* No = Box.addButton(QStringLiteral("&Nein"), QMessageBox::NoRole);
  QPushButton* Cancel = Box.addButton(QStringLiteral("Abbrechen"), QMessageBox::RejectRole);
  Box.setDefaultButton(Yes);
  Box.setEscapeButton(Cancel);
  Box.exec();
  if (Box.clickedButton() == Yes) return TConfirmAnswer::Yes;
  if (Box.clickedButton() == No) return TConfirmAnswer::No;
  return TConfirmAnswer::Cancel;
}

}  // namespace chronark
