// Unit cdialog: the companion libraries of TMainForm, the update check and the
// about dialog. The search and the calls themselves live in TCompanionLibraries.

#include "app/main.h"

#include "app/application.h"
#include "app/capp.h"
#include "common/cp1252.h"
#include "common/shortstring.h"

#include <QMessageBox>

namespace chronark {

namespace {

uintptr_t HandleOf(QWidget* Window) { return reinterpret_cast<uintptr_t>(Window); }

}  // namespace

bool TMainForm::LoadUpdateLibrary() { return FLibraries.LoadUpdateLibrary(); }

bool TMainForm::LoadAboutLibrary() { return FLibraries.LoadAboutLibrary(); }

void TMainForm::FreeAboutLibrary() { FLibraries.FreeAboutLibrary(); }

void TMainForm::FreeUpdateLibrary() { FLibraries.FreeUpdateLibrary(); }

void TMainForm::ShowAboutDialog(uintptr_t Owner, const unsigned char* Name,
                                const unsigned char* Text2, const unsigned char* Text3,
                                const unsigned char* Text4, uintptr_t IconHandle) {
  if (FLibraries.ShowAboutDialog(Owner, Name, Text2, Text3, Text4, IconHandle)) return;
  ShowOkBox(QMessageBox::NoIcon, QString::fromStdString(AboutFallbackText()), this,
            QStringLiteral("AboutBox"));
}

void TMainForm::ToolButton6Click() {
  // Visible only while the update library is bound; the call returns when
  // its dialog has closed, and nothing is done with the outcome.
  FLibraries.ShowRelCheckDialog(HandleOf(this));
}

void TMainForm::ToolButton8Click() {
  const TShortString Name = MakeShortString(Utf8ToCp1252((FAppTitle + u' ').toStdString()));
  const TShortString Empty;
  if (FMainIcon.isNull()) FMainIcon = ProgramIcon();
  ShowAboutDialog(HandleOf(this), ShortStringArg(Name), ShortStringArg(Empty),
                  ShortStringArg(Empty), ShortStringArg(Empty),
                  reinterpret_cast<uintptr_t>(&FMainIcon));
}

}  // namespace chronark
