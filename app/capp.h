#pragma once
// Hiding and showing the program's windows for the timing mode, and the
// program file's own icon.

#include <QIcon>
#include <string>

class QWidget;

namespace chronark {

// The taskbar entry of the program. A Qt program has no separate owner
// window: the main window carries the entry, and hiding it removes the entry,
// so these two leave the rest to the desktop.
void HideAppWindow();
void ShowAppWindow();

void HideFormWindow(QWidget* Form);
void ShowFormWindow(QWidget* Form);

// Small icon number Index of the file FileName: the compiled-in program icon
// for the running program's own file and index 0, an empty icon otherwise.
QIcon ExtractSmallIcon(const std::string& FileName, int Index);

// Registers the compiled-in icons; needed once before the first use.
void EnsureResources();

// The program icon as compiled in.
QIcon ProgramIcon();

}  // namespace chronark
