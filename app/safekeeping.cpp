// TMainForm: what keeps every change and every minute. The project is saved
// at each change, the running interval is kept in a state file, one
// instance holds the project, and a session end that cannot save leaves a
// rescue copy instead of waiting for a person.

#include "app/main.h"

#include "app/application.h"
#include "app/capp.h"
#include "app/filedialogs.h"
#include "app/intervalstate.h"
#include "app/qtconvert.h"
#include "app/rescue.h"
#include "app/settings.h"
#include "app/trayicon.h"
#include "platform/files/inifile.h"
#include "platform/files/paths.h"

#include <QApplication>
#include <QFileDialog>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>

#include <sys/stat.h>
#include <unistd.h>

namespace chronark {

namespace {

bool IsFolder(const std::string& Path) {
  struct stat St;
  return !Path.empty() && ::stat(Path.c_str(), &St) == 0 && S_ISDIR(St.st_mode);
}

bool SameFolder(const std::string& A, const std::string& B) {
  struct stat SA, SB;
  return ::stat(A.c_str(), &SA) == 0 && ::stat(B.c_str(), &SB) == 0 && SA.st_dev == SB.st_dev &&
         SA.st_ino == SB.st_ino;
}

std::string WithSlash(std::string Folder) {
  if (Folder.empty() || Folder.back() != '/') Folder += '/';
  return Folder;
}

// The boxes a session end must not wait for: each is answered with its
// escape button, so that the code behind it goes on and the program ends.
void CloseModalWidgets() {
  for (int Guard = 0; Guard < 16; ++Guard) {
    QWidget* Modal = QApplication::activeModalWidget();
    if (!Modal) return;
    Modal->close();
  }
}

}  // namespace

bool ConfirmReplaceBox(QWidget* Parent, const QString& FileName) {
  QMessageBox Box(
      QMessageBox::Question, QStringLiteral("Bestätigung"),
      QStringLiteral("Die Datei \"%1\" existiert bereits.\nSoll sie ersetzt werden?").arg(FileName),
      QMessageBox::NoButton, Parent);
  Box.setObjectName("ReplaceBox");
  Box.setTextFormat(Qt::PlainText);
  QPushButton* Yes = Box.addButton(QStringLiteral("&Ja"), QMessageBox::YesRole);
  QPushButton* No = Box.addButton(QStringLiteral("&Nein"), QMessageBox::NoRole);
  // Replacing is what loses data: the safe answer is the default.
  Box.setDefaultButton(No);
  Box.setEscapeButton(No);
  Box.exec();
  return Box.clickedButton() == Yes;
}

std::string UserDocumentsFolder() {
  QProcess Lookup;
  Lookup.start(QStringLiteral("xdg-user-dir"), {QStringLiteral("DOCUMENTS")});
  if (Lookup.waitForFinished(2000) && Lookup.exitStatus() == QProcess::NormalExit &&
      Lookup.exitCode() == 0) {
    const std::string Folder =
        PathFromQt(QString::fromLocal8Bit(Lookup.readAllStandardOutput()).trimmed());
    if (IsFolder(Folder)) return WithSlash(Folder);
  }
  return WithSlash(HomeFolder());
}

// ---------------------------------------------------------------------------
// Writable places first

std::string TMainForm::DialogFolder() const {
  const std::string& Program = FEnvironment.ProgramFolder;
  const std::string Folder = FProjectFileName.empty() ? Program : ExtractFilePath(FProjectFileName);
  // A folder that is gone, or a program folder the user may not write (a
  // system-wide install): nothing could be saved there.
  if (!IsFolder(Folder)) return UserDocumentsFolder();
  if (SameFolder(Folder, Program) && ::access(Program.c_str(), W_OK) != 0)
    return UserDocumentsFolder();
  return Folder;
}

bool TMainForm::ConfirmReplace(const std::string& FileName) {
  return ConfirmReplaceBox(this, PathToQt(FileName));
}

// ---------------------------------------------------------------------------
// One instance per project

bool TMainForm::TakeProjectAtStart(const std::string& FileName) {
  try {
    HoldProject(TProjectLock::ForProgram(FileName));
    return true;
  } catch (const EProjectOpen&) {
    ForwardToRunningInstance(FileName);
    return false;
  } catch (const std::exception& Error) {
    // Without a place for locks the program works as it always did.
    LogToSystem(std::string("Keine Sperre für ") + FileName + ": " + Error.what());
    return true;
  }
}

std::optional<TProjectLock> TMainForm::LockProject(const std::string& FileName) const {
  // The project already held: its lock stays (a second one of this process
  // would collide with it).
  if (FLock.Held() && ProjectRealPath(FileName) == ProjectRealPath(FProjectFileName))
    return std::nullopt;
  try {
    return TProjectLock::ForProgram(FileName);
  } catch (const EProjectOpen&) {
    throw;
  } catch (const std::exception& Error) {
    LogToSystem(std::string("Keine Sperre für ") + FileName + ": " + Error.what());
    return TProjectLock();
  }
}

void TMainForm::HoldProject(TProjectLock Lock) {
  delete FInstanceServer;
  FInstanceServer = nullptr;
  FLock = std::move(Lock);
  StartInstanceServer();
}

void TMainForm::StartInstanceServer() {
  if (!FLock.Held() || FLock.SocketName().empty()) return;
  auto* Server = new QLocalServer(this);
  Server->setObjectName("InstanceServer");
  Server->setSocketOptions(QLocalServer::UserAccessOption);
  const QString Name = PathToQt(FLock.SocketName());
  // A socket left by a killed instance: we hold the lock, so it is stale.
  QLocalServer::removeServer(Name);
  if (!Server->listen(Name)) {
    delete Server;
    return;
  }
  connect(Server, &QLocalServer::newConnection, this, [this, Server] {
    while (QLocalSocket* Socket = Server->nextPendingConnection()) {
      connect(Socket, &QLocalSocket::disconnected, Socket, &QObject::deleteLater);
      connect(Socket, &QLocalSocket::readyRead, this, [this, Socket] { AnswerInstance(Socket); });
    }
  });
  FInstanceServer = Server;
}

void TMainForm::AnswerInstance(QLocalSocket* Socket) {
  if (!Socket->canReadLine()) return;
  const QByteArray Request = Socket->readLine().trimmed();
  QByteArray Answer = "timing";
  if (!FTimerRunning) {
    QWidget* Modal = QApplication::activeModalWidget();
    if (Request == "start" && FProjectReady && !Modal && isVisible()) {
      Protect([&] { StartWork(); });
    } else {
      ShowFormWindow(this);
      if (Modal) {
        Modal->raise();
        Modal->activateWindow();
      }
    }
    Answer = "shown";
  }
  Socket->write(Answer + '\n');
  Socket->flush();
  Socket->disconnectFromServer();
}

void TMainForm::ForwardToRunningInstance(const std::string& FileName) {
  hide();
  QByteArray Answer;
  QLocalSocket Socket;
  Socket.connectToServer(PathToQt(TProjectLock::SocketNameFor(FileName)));
  if (Socket.waitForConnected(2000)) {
    Socket.write(IsStartSwitch(FEnvironment.FirstArgument) ? "start\n" : "show\n");
    Socket.waitForBytesWritten(1000);
    while (!Socket.canReadLine() && Socket.waitForReadyRead(3000)) {}
    Answer = Socket.readLine().trimmed();
  }
  if (Answer == "shown") return;
  const QString Name = PathToQt(FileName);
  const QString Text =
      Answer == "timing"
          ? QStringLiteral(
                "Das Projekt \"%1\" wird gerade in einem anderen Chronark gezeitet.\n"
                "Dieses Chronark wird beendet, ohne etwas zu speichern.")
                .arg(Name)
          : QStringLiteral(
                "Das Projekt \"%1\" ist bereits in einem anderen Chronark geöffnet.\n"
                "Dieses Chronark wird beendet, ohne etwas zu speichern.")
                .arg(Name);
  ShowOkBox(QMessageBox::Information, Text, nullptr, QStringLiteral("ProjectBusyBox"));
}

// ---------------------------------------------------------------------------
// Saving at every change

void TMainForm::SaveChange() {
  if (FNoProject || !FProjectReady) return;
  FStore.Save(*FManager, FProjectFileName);
  DropIntervalState();
}

void TMainForm::SaveRecorded() {
  if (FNoProject || !FProjectReady) return;
  FStore.SaveAdded(*FManager, FProjectFileName);
  DropIntervalState();
}

void TMainForm::SaveCurrent() {
  // The fixed save points (New, Open, close) still write the whole file,
  // although every change is on disk already: a save there is what users
  // and scripts have always seen happen.
  FStore.Save(*FManager, FProjectFileName);
  DropIntervalState();
}

// ---------------------------------------------------------------------------
// The running interval

void TMainForm::StartTiming(TDateTime Start) {
  FIntervalStart = Start;
  HideAppWindow();
  HideFormWindow(this);
  FRxTrayIcon1->SetActive(true);
  FTimerRunning = true;
}

bool TMainForm::ResumeInterval() {
  const std::string State = IntervalStateFileName(FEnvironment.SettingsFile, FProjectFileName);
  const std::optional<TDateTime> Start = ReadIntervalState(State, FProjectFileName);
  if (!Start) return false;
  FIntervalStateFile = State;
  StartTiming(*Start);
  return true;
}

void TMainForm::DropIntervalState() {
  // Only once the interval is an entry on disk.
  if (FTimerRunning || FIntervalStateFile.empty()) return;
  RemoveIntervalState(FIntervalStateFile);
  FIntervalStateFile.clear();
}

// ---------------------------------------------------------------------------
// Failed saves at the end

void TMainForm::ReportError(const QString& Message) {
  if (Unattended())
    LogToSystem(Message.toStdString());
  else
    ShowErrorBox(Message);
}

void TMainForm::RescueEntries(const QString& Reason) {
  const std::string Project = FProjectFileName;
  try {
    const std::string Name = WriteRescueFile(*FManager, Project);
    LogToSystem("Das Projekt " + Project + " konnte nicht gespeichert werden (" +
                Reason.toStdString() + "). Die Einträge stehen in " + Name);
    // The interval is in the rescue file; a resume would count it twice.
    if (!FTimerRunning && !FIntervalStateFile.empty()) {
      RemoveIntervalState(FIntervalStateFile);
      FIntervalStateFile.clear();
    }
  } catch (const std::exception& Error) {
    LogToSystem("Das Projekt " + Project + " konnte nicht gespeichert werden (" +
                Reason.toStdString() + "), auch keine Rettungskopie: " + Error.what());
  }
}

void TMainForm::ShowRescueNotice() {
  const std::vector<std::string> Names = TakeRescueNotes();
  if (Names.empty()) return;
  QString Files;
  for (const std::string& Name : Names) Files += PathToQt(Name) + u'\n';
  ShowOkBox(QMessageBox::Warning,
            QStringLiteral("Beim letzten Ende der Sitzung konnte Chronark das Projekt nicht "
                           "speichern. Die Einträge wurden gesichert in:\n%1\n"
                           "Mit \"Öffnen...\" lässt sich die Datei laden.")
                .arg(Files),
            this, QStringLiteral("RescueNotice"));
}

bool TMainForm::OfferSaveElsewhere(const QString& Message) {
  QMessageBox Box(QMessageBox::Critical, ApplicationTitle(), ErrorBoxText(Message),
                  QMessageBox::NoButton, QApplication::activeWindow());
  Box.setObjectName("ErrorBox");
  Box.setTextFormat(Qt::PlainText);
  QPushButton* Ok = Box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
  QPushButton* Elsewhere =
      Box.addButton(QStringLiteral("Speichern unter..."), QMessageBox::ActionRole);
  Elsewhere->setObjectName("SaveElsewhere");
  Box.setDefaultButton(Ok);
  Box.setEscapeButton(Ok);
  Box.exec();
  if (Box.clickedButton() != Elsewhere || Unattended()) return false;
  bool Saved = false;
  Protect([&] { Saved = SaveElsewhere(); });
  return Saved;
}

bool TMainForm::SaveElsewhere() {
  SaveDialog1->setWindowTitle(QStringLiteral("Speichern unter"));
  SetDialogFilter(SaveDialog1,
                  QStringLiteral("Chronark File (*.crf)|*.crf|Alle Dateien (*.*)|*.*"));
  SaveDialog1->setDefaultSuffix(QStringLiteral("crf"));
  SaveDialog1->setDirectory(PathToQt(UserDocumentsFolder()));
  SaveDialog1->selectFile(QString());
  std::string Name;
  for (;;) {
    if (SaveDialog1->exec() != QDialog::Accepted || SaveDialog1->selectedFiles().isEmpty())
      return false;
    Name = PathFromQt(SaveDialog1->selectedFiles().value(0));
    if (!PathPresent(Name) || ConfirmReplace(Name)) break;
  }
  std::optional<TProjectLock> Lock = LockProject(Name);
  FStore.Save(*FManager, Name);
  // The entries live there now: it is the project from here on.
  FProjectFileName = Name;
  if (Lock) HoldProject(std::move(*Lock));
  if (!FIntervalStateFile.empty() && !FTimerRunning) {
    RemoveIntervalState(FIntervalStateFile);
    FIntervalStateFile.clear();
  }
  return true;
}

void TMainForm::WriteSettingsAtClose() {
  // The project is saved by now: a settings file that cannot be written is
  // reported once, and the close goes on, or the program could never end.
  try {
    EnsureFolderOf(FEnvironment.SettingsFile);
    WritePrivateProfileString(FEnvironment.SettingsFile, "Main", "Project",
                              ProjectSettingValue(FEnvironment.ProgramFolder,
                                                  FEnvironment.SettingsFile, FProjectFileName));
  } catch (...) {
    ReportError(CurrentExceptionMessage());
  }
}

void TMainForm::CloseBoxesForSessionEnd() { CloseModalWidgets(); }

}  // namespace chronark
