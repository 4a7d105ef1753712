#include "app/main.h"

#include "app/application.h"
#include "app/capp.h"
#include "app/filedialogs.h"
#include "app/glyphs.h"
#include "app/entrylist.h"
#include "app/intervalstate.h"
#include "app/qtconvert.h"
#include "app/settings.h"
#include "app/startupprompt.h"
#include "app/toolbarkeys.h"
#include "app/trayicon.h"
#include "common/scopeexit.h"
#include "platform/files/inifile.h"
#include "platform/files/paths.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFrame>
#include <QGuiApplication>
#include <QInputDialog>
#include <QKeySequence>
#include <QLineEdit>
#include <QMenu>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <utility>

namespace chronark {

namespace {

const QString ProjectFilter = QStringLiteral("Chronark File (*.crf)|*.crf|Alle Dateien (*.*)|*.*");
const QString ExportFilter =
    QStringLiteral("HTML File (*.htm;*.html)|*.htm;*.html|Alle Dateien (*.*)|*.*");

// A handler bound to a control: what it raises goes to the standard error box.
template <typename Handler>
auto Guarded(TMainForm* Form, Handler Method) {
  return [Form, Method] { Protect([&] { (Form->*Method)(); }); };
}

}  // namespace

// ---------------------------------------------------------------------------
// Window creation

TMainForm::TMainForm(const TShellEnvironment& Environment, QWidget* Parent)
    // Customised, so that no platform adds its default buttons: there is no maximise.
    : QMainWindow(Parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint),
      FEnvironment(Environment) {
  setObjectName("MainForm");
  resize(573, 410);
  if (const QScreen* Screen = QGuiApplication::primaryScreen()) {
    const QRect Area = Screen->availableGeometry();
    move(Area.center() - QPoint(width() / 2, height() / 2));
  }
  CreateToolBar();
  CreateList();
  CreateStatusBar();
  CreateTrayIcon();
  CreateDialogs();
  FormCreate();
}

TMainForm::~TMainForm() { Release(); }

QToolButton* TMainForm::AddButton(const char* Name, const QString& Hint, const QString& Caption,
                                  int Image, void (TMainForm::*Handler)()) {
  auto* Button = new QToolButton(ToolBar1);
  Button->setObjectName(Name);
  Button->setToolTip(Hint);
  Button->setText(Caption);
  Button->setIcon(ImageList1(Image));
  Button->setProperty("ImageIndex", Image);
  Button->setToolButtonStyle(Qt::ToolButtonIconOnly);
  Button->setAutoRaise(true);
  // Reached with Tab, not taken by a click: a click keeps the list's selection in view.
  Button->setFocusPolicy(Qt::TabFocus);
  connect(Button, &QToolButton::clicked, this, Guarded(this, Handler));
  ToolBar1->addWidget(Button);
  return Button;
}

QWidget* TMainForm::AddSeparator(const char* Name) {
  auto* Separator = new QFrame(ToolBar1);
  Separator->setObjectName(Name);
  Separator->setFrameShape(QFrame::NoFrame);
  Separator->setFixedWidth(8);
  ToolBar1->addWidget(Separator);
  return Separator;
}

void TMainForm::SetToolVisible(QWidget* Tool, bool Visible) {
  // Inside a toolbar a widget is shown and hidden through its action.
  for (QAction* Action : ToolBar1->actions()) {
    if (ToolBar1->widgetForAction(Action) == Tool) {
      Action->setVisible(Visible);
      return;
    }
  }
  Tool->setVisible(Visible);
}

void TMainForm::CreateToolBar() {
  ToolBar1 = new QToolBar(this);
  ToolBar1->setObjectName("ToolBar1");
  ToolBar1->setMovable(false);
  ToolBar1->setFloatable(false);
  ToolBar1->setIconSize(QSize(16, 16));
  ToolBar1->setContentsMargins(1, 1, 1, 1);
  ToolBar1->setContextMenuPolicy(Qt::PreventContextMenu);
  ToolBar1->toggleViewAction()->setEnabled(false);
  addToolBar(Qt::TopToolBarArea, ToolBar1);

  ToolButton12 =
      AddButton("ToolButton12", "Programm beenden", "Programm beenden", 7, &TMainForm::AppClose);
  ToolButton13 = AddSeparator("ToolButton13");
  ToolButton1 = AddButton("ToolButton1", "Neu...", "Neu...", 0, &TMainForm::ToolButton1Click);
  ToolButton2 = AddButton("ToolButton2", "Öffnen...", "Öffnen...", 1, &TMainForm::ToolButton2Click);
  ToolButton9 = AddButton("ToolButton9", "Speichern", "Speichern", 2, &TMainForm::ToolButton9Click);
  ToolButton11 = AddSeparator("ToolButton11");
  ToolButton10 = AddButton("ToolButton10", "HTML Export...", "Exportieren...", 6,
                           &TMainForm::ToolButton10Click);
  ToolButton16 = AddSeparator("ToolButton16");
  ToolButton14 =
      AddButton("ToolButton14", "Eintrag löschen", "Löschen", 8, &TMainForm::ToolButton14Click);
  ToolButton15 =
      AddButton("ToolButton15", "Bemerkung editieren...", "Edit", 9, &TMainForm::ToolButton15Click);
  ToolButton4 = AddSeparator("ToolButton4");
  ToolButton5 = AddButton("ToolButton5", "Starten", "Starten", 3, &TMainForm::StartWork);
  ToolButton3 = AddSeparator("ToolButton3");
  ToolButton6 = AddButton("ToolButton6", "Nach neuer Version suchen...",
                          "Nach neuer Version suchen", 4, &TMainForm::ToolButton6Click);
  ToolButton7 = AddSeparator("ToolButton7");
  ToolButton8 = AddButton("ToolButton8", "Info...", "Info", 5, &TMainForm::ToolButton8Click);

  // Shortcuts a Linux user expects. They belong to the buttons, so that a
  // hidden button (the update check without its library) has none, and the
  // hints and screen-reader names stay as they are.
  const std::pair<QToolButton*, QKeySequence> Shortcuts[] = {
      {ToolButton1, QKeySequence(Qt::CTRL | Qt::Key_N)},
      {ToolButton2, QKeySequence(Qt::CTRL | Qt::Key_O)},
      {ToolButton9, QKeySequence(Qt::CTRL | Qt::Key_S)},
      {ToolButton10, QKeySequence(Qt::CTRL | Qt::Key_E)},
      {ToolButton14, QKeySequence(Qt::Key_Delete)},
      {ToolButton15, QKeySequence(Qt::Key_F2)},
      {ToolButton5, QKeySequence(Qt::CTRL | Qt::Key_Space)},
      {ToolButton6, QKeySequence(Qt::CTRL | Qt::Key_U)},
      {ToolButton12, QKeySequence(Qt::CTRL | Qt::Key_Q)},
      {ToolButton8, QKeySequence(Qt::Key_F1)},
  };
  for (const auto& [Button, Keys] : Shortcuts) Button->setShortcut(Keys);
  EnableArrowKeys(ToolBar1);
}

void TMainForm::CreateList() {
  ListBox1 = new TEntryListView(FManager, this);
  ListBox1->setObjectName("ListBox1");
  ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
  setCentralWidget(ListBox1);
}

void TMainForm::CreateStatusBar() {
  StatusBar1 = new QStatusBar(this);
  StatusBar1->setObjectName("StatusBar1");
  StatusBar1->setSizeGripEnabled(true);
  StatusBar1->setMinimumHeight(19);
  setStatusBar(StatusBar1);
}

void TMainForm::CreateTrayIcon() {
  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  Zeitstoppen1 = PopupMenu1->addAction(QStringLiteral("Stop"));
  Zeitstoppen1->setObjectName("Zeitstoppen1");
  N1 = PopupMenu1->addSeparator();
  N1->setObjectName("N1");
  StopundBeenden1 = PopupMenu1->addAction(QStringLiteral("Stop und Beenden"));
  StopundBeenden1->setObjectName("StopundBeenden1");
  PopupMenu1->setDefaultAction(Zeitstoppen1);
  connect(Zeitstoppen1, &QAction::triggered, this, Guarded(this, &TMainForm::StopWork));
  connect(StopundBeenden1, &QAction::triggered, this, Guarded(this, &TMainForm::AppClose));

  FRxTrayIcon1 = new TRxTrayIcon(this);
  FRxTrayIcon1->setObjectName("RxTrayIcon1");
  FRxTrayIcon1->SetHint(QStringLiteral("Chronark"));
  FRxTrayIcon1->SetPopupMenu(PopupMenu1);
}

void TMainForm::CreateDialogs() {
  OpenDialog1 = new QFileDialog(this);
  OpenDialog1->setObjectName("OpenDialog1");
  OpenDialog1->setOption(QFileDialog::DontUseNativeDialog);
  ShowColumnsInGerman(OpenDialog1);
  OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
  OpenDialog1->setFileMode(QFileDialog::ExistingFile);
  OpenDialog1->setSizeGripEnabled(true);
  CloseCompletionWithDialog(OpenDialog1);
  SizeForDetails(OpenDialog1);

  SaveDialog1 = new QFileDialog(this);
  SaveDialog1->setObjectName("SaveDialog1");
  SaveDialog1->setOption(QFileDialog::DontUseNativeDialog);
  ShowColumnsInGerman(SaveDialog1);
  SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite);
  SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
  SaveDialog1->setFileMode(QFileDialog::AnyFile);
  SaveDialog1->setSizeGripEnabled(true);
  CloseCompletionWithDialog(SaveDialog1);
  SizeForDetails(SaveDialog1);
}

void TMainForm::FormCreate() {
  const bool UpdateBound = LoadUpdateLibrary();
  SetToolVisible(ToolButton6, UpdateBound);
  SetToolVisible(ToolButton3, UpdateBound);
  LoadAboutLibrary();
  FNoProject = false;
  FTimerRunning = false;
  FManager = std::make_unique<TChronarkMan>();
  FIcon = ExtractSmallIcon(FEnvironment.ProgramFile, 0);
  FRxTrayIcon1->SetIcon(FIcon);
  FAppTitle = ApplicationTitle();
  setWindowTitle(FAppTitle);
  const std::string Stored =
      ReadPrivateProfileString(FEnvironment.SettingsFile, "Main", "Project", "");
  FProjectFileName = ProjectPathFromSetting(FEnvironment.ProgramFolder, Stored);
}

// ---------------------------------------------------------------------------
// First show and activation

void TMainForm::showEvent(QShowEvent* Event) {
  QMainWindow::showEvent(Event);
  if (FShown) return;
  FShown = true;
  // The start-up runs its boxes from the event loop, once the window is up.
  QTimer::singleShot(0, this, Guarded(this, &TMainForm::FormShow));
}

bool TMainForm::event(QEvent* Event) {
  switch (Event->type()) {
    case QEvent::WindowStateChange:
      // A compositor that draws its own frame may offer to maximise all the
      // same (Wayland has no way to ask it not to): the window stays as it was.
      if (windowState() & Qt::WindowMaximized)
        QMetaObject::invokeMethod(
            this, [this] { setWindowState(windowState() & ~Qt::WindowMaximized); },
            Qt::QueuedConnection);
      return QMainWindow::event(Event);
    case QEvent::WindowActivate: {
      const bool Result = QMainWindow::event(Event);
      FormActivate();
      return Result;
    }
    case QEvent::StatusTip:
      // The status bar shows the total only; hovering must not wipe it.
      return true;
    default: return QMainWindow::event(Event);
  }
}

void TMainForm::FormShow() {
  TScopeExit Done([this] { FStartupDone = true; });
  ShowRescueNotice();
  bool Loaded = true;
  bool Taken = true;
  // A stored folder (an empty value) is no project; anything else that is
  // there is loaded, so that a pipe, device or link loop fails clearly.
  if (!ExtractFileName(FProjectFileName).empty() && PathPresent(FProjectFileName)) {
    Taken = TakeProjectAtStart(FProjectFileName);
    if (Taken) Loaded = Protect([&] { FStore.Load(*FManager, FProjectFileName); });
  } else {
    FNoProject = false;
    const std::string Relative = ExtractRelativePath(FEnvironment.ProgramFolder, FProjectFileName);
    switch (ConfirmBox(this, StartupPromptText(FProjectFileName, Relative))) {
      case TConfirmAnswer::Cancel: FNoProject = true; break;
      case TConfirmAnswer::Yes:
        if (ExecuteNewDialog()) {
          FProjectFileName = PathFromQt(SaveDialog1->selectedFiles().value(0));
          Taken = TakeProjectAtStart(FProjectFileName);
        } else {
          FNoProject = true;
        }
        break;
      case TConfirmAnswer::No:
        if (ExecuteOpenDialog()) {
          FProjectFileName = PathFromQt(OpenDialog1->selectedFiles().value(0));
          Taken = TakeProjectAtStart(FProjectFileName);
          if (Taken) Loaded = Protect([&] { FStore.Load(*FManager, FProjectFileName); });
        } else {
          FNoProject = true;
        }
        break;
    }
  }
  if (FCloseDone) return;  // the session ended while a box was open
  // Another instance has the project: it was brought forward, or the user
  // was told. This one ends without writing anything.
  if (!Taken) FNoProject = true;
  if (!Loaded) {
    // The project could not be read: end without saving anything, so that
    // neither the project file nor the settings file is touched.
    FNoProject = true;
    FExitCode = 1;
  }
  if (FNoProject) {
    close();
    return;
  }
  FProjectReady = true;
  // An interval that an unannounced end interrupted goes on, as after "/start".
  if (ResumeInterval()) {
    FStartedWithSwitch = true;
  } else if (IsStartSwitch(FEnvironment.FirstArgument)) {
    FStartedWithSwitch = true;
    StartWork();
  } else {
    FStartedWithSwitch = false;
    RefreshView();
  }
}

void TMainForm::FormActivate() {
  if (FStartedWithSwitch) {
    FStartedWithSwitch = false;
    HideFormWindow(this);
  }
}

// ---------------------------------------------------------------------------
// View and dialogs

void TMainForm::RefreshView() {
  ListBox1->Refresh();
  StatusBar1->showMessage(QStringLiteral("Gesamt: ") + TextToQt(FManager->GetTotalText()));
  SetApplicationTitle(FAppTitle + QStringLiteral(" - ") +
                      PathToQt(ExtractFileName(FProjectFileName)));
  setWindowTitle(ApplicationTitle());
}

bool TMainForm::ExecuteNewDialog() {
  SaveDialog1->setWindowTitle(QStringLiteral("Neu"));
  SetDialogFilter(SaveDialog1, ProjectFilter);
  SaveDialog1->setDefaultSuffix(QStringLiteral("crf"));
  SaveDialog1->setDirectory(PathToQt(DialogFolder()));
  ClearFileName(SaveDialog1);
  // The name of an existing file asks first; "Nein" returns to the dialog.
  for (;;) {
    if (SaveDialog1->exec() != QDialog::Accepted || SaveDialog1->selectedFiles().isEmpty())
      return false;
    const std::string Name = PathFromQt(SaveDialog1->selectedFiles().value(0));
    if (!PathPresent(Name) || ConfirmReplace(Name)) return true;
  }
}

bool TMainForm::ExecuteOpenDialog() {
  SetDialogFilter(OpenDialog1, ProjectFilter);
  OpenDialog1->setDirectory(PathToQt(DialogFolder()));
  return OpenDialog1->exec() == QDialog::Accepted && !OpenDialog1->selectedFiles().isEmpty();
}

bool TMainForm::ExecuteExportDialog() {
  SaveDialog1->setWindowTitle(QStringLiteral("Exportieren"));
  SetDialogFilter(SaveDialog1, ExportFilter);
  SaveDialog1->setDefaultSuffix(QStringLiteral("htm"));
  SaveDialog1->setDirectory(PathToQt(ExtractFilePath(FProjectFileName)));
  ClearFileName(SaveDialog1);
  return SaveDialog1->exec() == QDialog::Accepted && !SaveDialog1->selectedFiles().isEmpty();
}

void TMainForm::LoadProject() {
  FStore.Load(*FManager, FProjectFileName);
  RefreshView();
}

int TMainForm::SelectedIndex() const { return ListBox1->SelectedRow(); }

// ---------------------------------------------------------------------------
// Commands

void TMainForm::AppClose() { close(); }

void TMainForm::ToolButton1Click() {
  SaveCurrent();
  if (!ExecuteNewDialog()) return;
  const std::string Name = PathFromQt(SaveDialog1->selectedFiles().value(0));
  // A project open in another instance stays its own: refused before anything changes.
  std::optional<TProjectLock> Lock = LockProject(Name);
  FProjectFileName = Name;
  if (Lock) HoldProject(std::move(*Lock));
  FManager->Clear();
  // Nothing is written for the new name until the first change or save.
  FStore.Forget();
  RefreshView();
}

void TMainForm::ToolButton2Click() {
  SaveCurrent();
  if (!ExecuteOpenDialog()) return;
  const std::string Name = PathFromQt(OpenDialog1->selectedFiles().value(0));
  std::optional<TProjectLock> Lock = LockProject(Name);
  // A failed load keeps the previous name (and the manager its entries), so
  // that no later save writes over the file that could not be read.
  const std::string Previous = FProjectFileName;
  FProjectFileName = Name;
  try {
    LoadProject();
  } catch (...) {
    FProjectFileName = Previous;
    FStore.Forget();
    throw;
  }
  if (Lock) HoldProject(std::move(*Lock));
  ResumeInterval();
}

void TMainForm::ToolButton9Click() {
  FStore.Save(*FManager, FProjectFileName);
  DropIntervalState();
}

void TMainForm::ToolButton10Click() {
  if (ExecuteExportDialog())
    FManager->ExportHTML(PathFromQt(SaveDialog1->selectedFiles().value(0)));
}

void TMainForm::ToolButton14Click() {
  const int Index = SelectedIndex();
  if (Index > -1) FManager->Delete(Index);
  RefreshView();
  if (Index > -1) SaveChange();
}

void TMainForm::ToolButton15Click() {
  const int Index = SelectedIndex();
  bool Changed = false;
  if (Index > -1) {
    const QString Prefilled = TextToQt(FManager->GetComment(Index));
    QInputDialog Box(this);
    Box.setObjectName("InputBox");
    Box.setWindowTitle(QStringLiteral("Bemerkung editieren"));
    Box.setLabelText(QStringLiteral("Bemerkung:"));
    Box.setOkButtonText(QStringLiteral("OK"));
    Box.setCancelButtonText(QStringLiteral("Abbrechen"));
    Box.setInputMode(QInputDialog::TextInput);
    if (auto* Edit = Box.findChild<QLineEdit*>()) {
      Edit->setMaxLength(255);
      // Room for 80 characters of the 255 at a glance.
      Edit->setMinimumWidth(Edit->fontMetrics().averageCharWidth() * 80 +
                            Edit->fontMetrics().maxWidth());
    }
    Box.setTextValue(Prefilled);
    const QString Answer = Box.exec() == QDialog::Accepted ? Box.textValue() : Prefilled;
    const std::string Before = FManager->GetComment(Index);
    FManager->SetComment(Index, TextFromQt(Answer).substr(0, 255));
    Changed = FManager->GetComment(Index) != Before;
  }
  RefreshView();
  if (Changed) SaveChange();
}

// ---------------------------------------------------------------------------
// Timing mode

void TMainForm::StartWork() {
  // A second start would lose the running interval's start stamp.
  if (FTimerRunning) return;
  StartTiming(Now());
  // On disk at once, so that no end of the program loses the interval.
  FIntervalStateFile = IntervalStateFileName(FEnvironment.SettingsFile, FProjectFileName);
  WriteIntervalState(FIntervalStateFile, FProjectFileName, FIntervalStart);
}

void TMainForm::StopWork() {
  // After a failed close while timing the interval is already recorded.
  const bool Recorded = FTimerRunning;
  if (FTimerRunning) RecordWork();
  // A later activation must not hide the window again.
  FStartedWithSwitch = false;
  ShowFormWindow(this);
  ShowAppWindow();
  FRxTrayIcon1->SetActive(false);
  RefreshView();
  // Saved with the window shown, so that a failure is reported over it.
  if (Recorded) SaveRecorded();
}

void TMainForm::RecordWork() {
  FManager->AddEntry(FIntervalStart, Now(), "");
  FTimerRunning = false;
}

// ---------------------------------------------------------------------------
// Close sequence and the end of the program
//
// Every way out goes through FormCloseQuery, which runs SaveAtClose: that
// records a running interval and, once a project is open (FProjectReady and
// not FNoProject), saves it and the settings file. On success FCloseDone is
// set, and every later request passes straight through. Three ways lead in:
// - closeEvent: the close button, "Programm beenden", "Stop und Beenden".
//   While the sequence's own error box is open (FInClose) the request is
//   refused; when saving failed the window stays, unless the session is
//   ending (FSessionEnding), which ends the program with exit code 1.
// - SessionEnd: log-off, shutdown, SIGTERM or SIGHUP. Sets FSessionEnding and
//   ends the program whatever the outcome (exit code 1 on failure); when a
//   close is already in progress (FInClose), that close ends it.
// - AboutToQuit: the application quits by some other way; runs the query if
//   nothing has yet.
// End hands the exit code to OnEnd, which leaves the event loop; Release,
// after the loop, frees the libraries and the manager.

bool TMainForm::SaveAtClose() {
  if (FTimerRunning && !Protect([&] { RecordWork(); })) return false;
  if (FNoProject || !FProjectReady) return true;
  try {
    SaveCurrent();
  } catch (...) {
    const QString Message = CurrentExceptionMessage();
    // Nobody may be there at a session end: a rescue copy instead of a box.
    const bool SavedElsewhere = !Unattended() && OfferSaveElsewhere(Message);
    if (!SavedElsewhere) {
      if (Unattended()) RescueEntries(Message);
      return false;
    }
  }
  WriteSettingsAtClose();
  return true;
}

bool TMainForm::FormCloseQuery() {
  if (FCloseDone) return true;
  FInClose = true;
  const bool Done = SaveAtClose();
  FInClose = false;
  if (Done) {
    FCloseDone = true;
    FRxTrayIcon1->SetActive(false);
  }
  return Done;
}

void TMainForm::closeEvent(QCloseEvent* Event) {
  // A close request while the close sequence shows its error box waits for it.
  if (FInClose) {
    Event->ignore();
    return;
  }
  const bool Done = FormCloseQuery();
  if (!Done && !FSessionEnding) {
    Event->ignore();
    return;
  }
  if (!Done) {
    FCloseDone = true;
    FExitCode = 1;
  }
  Event->accept();
  FRxTrayIcon1->SetActive(false);
  End(FExitCode);
}

void TMainForm::SessionEnd() {
  FSessionEnding = true;
  if (FInClose) {
    // The close sequence in progress ends the program once its box is gone.
    CloseBoxesForSessionEnd();
    return;
  }
  if (!FormCloseQuery()) {
    FCloseDone = true;
    FExitCode = 1;
  }
  hide();
  FRxTrayIcon1->SetActive(false);
  End(FExitCode);
}

void TMainForm::AboutToQuit() {
  if (!FCloseDone && !FInClose) {
    // Quitting without a close request: nobody is asked anything any more.
    FSessionEnding = true;
    FormCloseQuery();
  }
  FCloseDone = true;
}

void TMainForm::End(int ExitCode) {
  if (OnEnd) OnEnd(ExitCode);
}

void TMainForm::Release() {
  if (FReleased) return;
  FReleased = true;
  FreeAboutLibrary();
  FreeUpdateLibrary();
  FManager.reset();
  // Lets go of the project: the lock and the socket for other instances.
  HoldProject(TProjectLock());
}

}  // namespace chronark
