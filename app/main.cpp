#include "app/main.h"

#include "app/application.h"
#include "app/capp.h"
#include "app/filedialogs.h"
#include "app/glyphs.h"
#include "app/linesizes.h"
#include "app/qtconvert.h"
#include "app/settings.h"
#include "app/startupprompt.h"
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
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

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
    : QMainWindow(Parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
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
  Button->setFocusPolicy(Qt::NoFocus);
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
}

void TMainForm::CreateList() {
  ListBox1 = new QListWidget(this);
  ListBox1->setObjectName("ListBox1");
  ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
  ListBox1->setSortingEnabled(false);
  // One line per entry of equal height: lets the view lay out 100,000 lines at once.
  ListBox1->setUniformItemSizes(true);
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
  OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
  OpenDialog1->setFileMode(QFileDialog::ExistingFile);
  OpenDialog1->setSizeGripEnabled(true);
  CloseCompletionWithDialog(OpenDialog1);

  SaveDialog1 = new QFileDialog(this);
  SaveDialog1->setObjectName("SaveDialog1");
  SaveDialog1->setOption(QFileDialog::DontUseNativeDialog);
  SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite);
  SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
  SaveDialog1->setFileMode(QFileDialog::AnyFile);
  SaveDialog1->setSizeGripEnabled(true);
  CloseCompletionWithDialog(SaveDialog1);
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
  bool Loaded = true;
  if (FileExists(FProjectFileName)) {
    Loaded = Protect([&] { FManager->LoadFromFile(FProjectFileName); });
  } else {
    FNoProject = false;
    const std::string Relative = ExtractRelativePath(FEnvironment.ProgramFolder, FProjectFileName);
    switch (ConfirmBox(this, StartupPromptText(FProjectFileName, Relative))) {
      case TConfirmAnswer::Cancel: FNoProject = true; break;
      case TConfirmAnswer::Yes:
        if (ExecuteNewDialog())
          FProjectFileName = PathFromQt(SaveDialog1->selectedFiles().value(0));
        else
          FNoProject = true;
        break;
      case TConfirmAnswer::No:
        if (ExecuteOpenDialog()) {
          FProjectFileName = PathFromQt(OpenDialog1->selectedFiles().value(0));
          Loaded = Protect([&] { FManager->LoadFromFile(FProjectFileName); });
        } else {
          FNoProject = true;
        }
        break;
    }
  }
  if (FCloseDone) return;  // the session ended while a box was open
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
  if (IsStartSwitch(FEnvironment.FirstArgument)) {
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
  TStrings Lines;
  FManager->FillStrings(Lines);
  QStringList Items;
  Items.reserve(static_cast<qsizetype>(Lines.size()));
  for (const std::string& Line : Lines) Items.append(TextToQt(Line));
  ListBox1->clear();
  ListBox1->addItems(Items);
  SizeLinesLikeTheWidest(ListBox1, Items);
  StatusBar1->showMessage(QStringLiteral("Gesamt: ") + TextToQt(FManager->GetTotalText()));
  SetApplicationTitle(FAppTitle + QStringLiteral(" - ") +
                      PathToQt(ExtractFileName(FProjectFileName)));
  setWindowTitle(ApplicationTitle());
}

std::string TMainForm::ProjectFolder() const {
  return FProjectFileName.empty() ? FEnvironment.ProgramFolder : ExtractFilePath(FProjectFileName);
}

bool TMainForm::ExecuteNewDialog() {
  SaveDialog1->setWindowTitle(QStringLiteral("Neu"));
  SetDialogFilter(SaveDialog1, ProjectFilter);
  SaveDialog1->setDefaultSuffix(QStringLiteral("crf"));
  SaveDialog1->setDirectory(PathToQt(ProjectFolder()));
  ClearFileName(SaveDialog1);
  return SaveDialog1->exec() == QDialog::Accepted && !SaveDialog1->selectedFiles().isEmpty();
}

bool TMainForm::ExecuteOpenDialog() {
  SetDialogFilter(OpenDialog1, ProjectFilter);
  OpenDialog1->setDirectory(PathToQt(ProjectFolder()));
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
  FManager->LoadFromFile(FProjectFileName);
  RefreshView();
}

int TMainForm::SelectedIndex() const {
  const QListWidgetItem* Item = ListBox1->currentItem();
  return Item && Item->isSelected() ? ListBox1->currentRow() : -1;
}

// ---------------------------------------------------------------------------
// Commands

void TMainForm::AppClose() { close(); }

void TMainForm::ToolButton1Click() {
  FManager->SaveToFile(FProjectFileName);
  if (!ExecuteNewDialog()) return;
  FProjectFileName = PathFromQt(SaveDialog1->selectedFiles().value(0));
  FManager->Clear();
  RefreshView();
}

void TMainForm::ToolButton2Click() {
  FManager->SaveToFile(FProjectFileName);
  if (!ExecuteOpenDialog()) return;
  // A failed load keeps the previous name (and the manager its entries), so
  // that no later save writes over the file that could not be read.
  const std::string Previous = FProjectFileName;
  FProjectFileName = PathFromQt(OpenDialog1->selectedFiles().value(0));
  try {
    LoadProject();
  } catch (...) {
    FProjectFileName = Previous;
    throw;
  }
}

void TMainForm::ToolButton9Click() { FManager->SaveToFile(FProjectFileName); }

void TMainForm::ToolButton10Click() {
  if (ExecuteExportDialog())
    FManager->ExportHTML(PathFromQt(SaveDialog1->selectedFiles().value(0)));
}

void TMainForm::ToolButton14Click() {
  const int Index = SelectedIndex();
  if (Index > -1) FManager->Delete(Index);
  RefreshView();
}

void TMainForm::ToolButton15Click() {
  const int Index = SelectedIndex();
  if (Index > -1) {
    const QString Prefilled = TextToQt(FManager->GetComment(Index));
    QInputDialog Box(this);
    Box.setObjectName("InputBox");
    Box.setWindowTitle(QStringLiteral("Bemerkung editieren"));
    Box.setLabelText(QStringLiteral("Bemerkung:"));
    Box.setOkButtonText(QStringLiteral("OK"));
    Box.setCancelButtonText(QStringLiteral("Abbrechen"));
    Box.setInputMode(QInputDialog::TextInput);
    if (auto* Edit = Box.findChild<QLineEdit*>()) Edit->setMaxLength(255);
    Box.setTextValue(Prefilled);
    const QString Answer = Box.exec() == QDialog::Accepted ? Box.textValue() : Prefilled;
    FManager->SetComment(Index, TextFromQt(Answer).substr(0, 255));
  }
  RefreshView();
}

// ---------------------------------------------------------------------------
// Timing mode

void TMainForm::StartWork() {
  // A second start would lose the running interval's start stamp.
  if (FTimerRunning) return;
  FIntervalStart = Now();
  HideAppWindow();
  HideFormWindow(this);
  FRxTrayIcon1->SetActive(true);
  FTimerRunning = true;
}

void TMainForm::StopWork() {
  // After a failed close while timing the interval is already recorded.
  if (FTimerRunning) RecordWork();
  // A later activation must not hide the window again.
  FStartedWithSwitch = false;
  ShowFormWindow(this);
  ShowAppWindow();
  FRxTrayIcon1->SetActive(false);
  RefreshView();
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
  if (!Protect([&] { FManager->SaveToFile(FProjectFileName); })) return false;
  // The project is saved by now: a settings file that cannot be written is
  // reported once, and the close goes on, or the program could never end.
  Protect([&] {
    EnsureFolderOf(FEnvironment.SettingsFile);
    WritePrivateProfileString(FEnvironment.SettingsFile, "Main", "Project",
                              ExtractRelativePath(FEnvironment.ProgramFolder, FProjectFileName));
  });
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
  if (FInClose) return;  // the close sequence in progress ends the program when done
  if (!FormCloseQuery()) {
    FCloseDone = true;
    FExitCode = 1;
  }
  hide();
  FRxTrayIcon1->SetActive(false);
  End(FExitCode);
}

void TMainForm::AboutToQuit() {
  if (!FCloseDone && !FInClose) FormCloseQuery();
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
}

}  // namespace chronark
