#include "app/capp.h"

#include "platform/files/paths.h"

#include <QResource>
#include <QWidget>

#include <filesystem>
#include <system_error>

// Resources of a static library are only linked when referenced.
static void InitChronarkResources() { Q_INIT_RESOURCE(chronark); }

namespace chronark {

void HideAppWindow() {
  // Nothing beyond hiding the main window is needed: its entry goes with it.
}

void ShowAppWindow() {
  // The entry comes back with the main window.
}

void HideFormWindow(QWidget* Form) {
  if (Form) Form->hide();
}

void ShowFormWindow(QWidget* Form) {
  if (!Form) return;
  Form->show();
  Form->raise();
  Form->activateWindow();
}

void EnsureResources() {
  static const bool Done = (InitChronarkResources(), true);
  (void)Done;
}

QIcon ProgramIcon() {
  EnsureResources();
  return QIcon(QStringLiteral(":/chronark/chronark.svg"));
}

QIcon ExtractSmallIcon(const std::string& FileName, int Index) {
  if (FileName.empty() || Index != 0) return QIcon();
  std::error_code Error;
  if (!std::filesystem::equivalent(FileName, ProgramFileName(), Error) || Error) return QIcon();
  return ProgramIcon();
}

}  // namespace chronark
