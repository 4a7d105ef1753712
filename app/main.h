#pragma once
// Unit main: the main window TMainForm with its commands, the start-up, the
// close sequence and the timing mode.

#include "app/shellenvironment.h"
#include "services/companions.h"
#include "core/crkm.h"
#include "platform/files/datetime.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QAction;
class QCloseEvent;
class QFileDialog;
class QListWidget;
class QMenu;
class QStatusBar;
class QToolBar;
class QToolButton;

namespace chronark {

class TRxTrayIcon;

class TMainForm : public QMainWindow {
  Q_OBJECT
public:
  explicit TMainForm(const TShellEnvironment& Environment, QWidget* Parent = nullptr);
  ~TMainForm() override;

  // Called with the exit code once the close sequence has let the window
  // close: the program entry ends the event loop with it. The releases of
  // the manager and the libraries happen afterwards, in Release.
  std::function<void(int)> OnEnd;

  // The real end of the program, after the event loop has returned:
  // releases the libraries and the manager. Also run by the destructor.
  void Release();

  // Event handlers, named after their controls.
  void AppClose();
  void ToolButton1Click();
  void ToolButton2Click();
  void ToolButton9Click();
  void ToolButton10Click();
  void ToolButton14Click();
  void ToolButton15Click();
  void ToolButton6Click();
  void ToolButton8Click();
  void StartWork();
  void StopWork();
  void FormShow();
  void FormActivate();
  // The close query; true when the window may close.
  bool FormCloseQuery();
  // Log-off, shutdown, SIGTERM or SIGHUP: the close sequence, then the end.
  void SessionEnd();
  // The application is about to quit: the close sequence, unless it has run.
  void AboutToQuit();

  void RefreshView();
  bool ExecuteNewDialog();
  bool ExecuteOpenDialog();
  bool ExecuteExportDialog();
  void LoadProject();
  void RecordWork();

  // Shell state, readable for tests.
  const QString& AppTitle() const { return FAppTitle; }
  const std::string& ProjectFileName() const { return FProjectFileName; }
  TChronarkMan* Manager() const { return FManager.get(); }
  TDateTime IntervalStart() const { return FIntervalStart; }
  bool TimerRunning() const { return FTimerRunning; }
  bool NoProject() const { return FNoProject; }
  bool StartedWithSwitch() const { return FStartedWithSwitch; }
  bool CloseDone() const { return FCloseDone; }
  bool StartupDone() const { return FStartupDone; }
  const TShellEnvironment& Environment() const { return FEnvironment; }
  TRxTrayIcon* RxTrayIcon1() const { return FRxTrayIcon1; }

protected:
  void showEvent(QShowEvent* Event) override;
  void closeEvent(QCloseEvent* Event) override;
  bool event(QEvent* Event) override;

private:
  void FormCreate();
  void CreateToolBar();
  void CreateList();
  void CreateStatusBar();
  void CreateTrayIcon();
  void CreateDialogs();
  QToolButton* AddButton(const char* Name, const QString& Hint, const QString& Caption, int Image,
                         void (TMainForm::*Handler)());
  QWidget* AddSeparator(const char* Name);
  void SetToolVisible(QWidget* Tool, bool Visible);
  int SelectedIndex() const;
  // The first folder of the new and open dialogs.
  std::string ProjectFolder() const;
  void End(int ExitCode);
  // The close sequence's recording and saving; false when the window must stay.
  bool SaveAtClose();

  // Companion libraries (unit cdialog).
  bool LoadUpdateLibrary();
  bool LoadAboutLibrary();
  void FreeAboutLibrary();
  void FreeUpdateLibrary();
  void ShowAboutDialog(uintptr_t Owner, const unsigned char* Name, const unsigned char* Text2,
                       const unsigned char* Text3, const unsigned char* Text4,
                       uintptr_t IconHandle);

  TShellEnvironment FEnvironment;

  // Shell state.
  QString FAppTitle;
  std::string FProjectFileName;
  std::unique_ptr<TChronarkMan> FManager;
  TDateTime FIntervalStart = 0;
  bool FTimerRunning = false;
  bool FNoProject = false;
  bool FStartedWithSwitch = false;

  // Set once a project is open or being created: before that (while the
  // start-up prompt is open) a close has nothing to save.
  bool FProjectReady = false;
  bool FShown = false;
  bool FStartupDone = false;
  bool FCloseDone = false;
  bool FInClose = false;
  bool FSessionEnding = false;
  bool FReleased = false;
  int FExitCode = 0;
  QIcon FIcon;

  // Library slots; filled by the companion-library binding.
  TCompanionLibraries FLibraries{FEnvironment.ProgramFolder};
  // The program's main icon, handed to the about library; lives as long as the window.
  QIcon FMainIcon;

public:
  // Controls, with their given names as objectName.
  QToolBar* ToolBar1 = nullptr;
  QToolButton* ToolButton12 = nullptr;
  QWidget* ToolButton13 = nullptr;
  QToolButton* ToolButton1 = nullptr;
  QToolButton* ToolButton2 = nullptr;
  QToolButton* ToolButton9 = nullptr;
  QWidget* ToolButton11 = nullptr;
  QToolButton* ToolButton10 = nullptr;
  QWidget* ToolButton16 = nullptr;
  QToolButton* ToolButton14 = nullptr;
  QToolButton* ToolButton15 = nullptr;
  QWidget* ToolButton4 = nullptr;
  QToolButton* ToolButton5 = nullptr;
  QWidget* ToolButton3 = nullptr;
  QToolButton* ToolButton6 = nullptr;
  QWidget* ToolButton7 = nullptr;
  QToolButton* ToolButton8 = nullptr;
  QListWidget* ListBox1 = nullptr;
  QStatusBar* StatusBar1 = nullptr;
  QMenu* PopupMenu1 = nullptr;
  QAction* Zeitstoppen1 = nullptr;
  QAction* N1 = nullptr;
  QAction* StopundBeenden1 = nullptr;
  QFileDialog* OpenDialog1 = nullptr;
  QFileDialog* SaveDialog1 = nullptr;

private:
  TRxTrayIcon* FRxTrayIcon1 = nullptr;
};

}  // namespace chronark
