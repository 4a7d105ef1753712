#include "window_support.h"

#include <QDir>

#include "app/application.h"
#include "platform/files/paths.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QListView>
#include <QProcess>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace chronark::test {

TSeenBox Describe(QWidget* Widget) {
  TSeenBox Seen;
  auto* Box = qobject_cast<QMessageBox*>(Widget);
  if (!Box) return Seen;
  Seen.Title = Box->windowTitle();
  Seen.Text = Box->text();
  Seen.Icon = Box->icon();
  QList<QAbstractButton*> Buttons = Box->buttons();
  std::sort(Buttons.begin(), Buttons.end(), [](QAbstractButton* A, QAbstractButton* B) {
    return A->mapToGlobal(QPoint()).x() < B->mapToGlobal(QPoint()).x();
  });
  for (QAbstractButton* Button : Buttons) Seen.Buttons << Button->text();
  if (Box->defaultButton()) Seen.DefaultButton = Box->defaultButton()->text();
  if (Box->escapeButton()) Seen.EscapeButton = Box->escapeButton()->text();
  return Seen;
}

TModalAnswers::TModalAnswers() : FTimer(new QTimer) {
  FTimer->setInterval(10);
  QObject::connect(FTimer, &QTimer::timeout, [this] { Poll(); });
  FTimer->start();
}

TModalAnswers::~TModalAnswers() { delete FTimer; }

void TModalAnswers::Expect(std::function<void(QWidget*)> Answer) {
  // An answer given after the last one ran may be for the same dialog again.
  FLastAnswered = nullptr;
  FAnswers.push_back(std::move(Answer));
}

void TModalAnswers::Poll() {
  QWidget* Modal = QApplication::activeModalWidget();
  if (!Modal || !Modal->isVisible()) return;
  if (Modal != FLastAnswered && !FAnswers.empty()) {
    FIdleTicks = 0;
    FLastAnswered = Modal;
    auto Answer = std::move(FAnswers.front());
    FAnswers.pop_front();
    const QPointer<QWidget> Answered = Modal;
    Answer(Modal);
    // A dialog that is used again (the shared save dialog) gets the next answer.
    if (!Answered || !Answered->isVisible()) FLastAnswered = nullptr;
    return;
  }
  if (++FIdleTicks < 300) return;
  FIdleTicks = 0;
  const TSeenBox Seen = Describe(Modal);
  ADD_FAILURE() << "unanswered modal widget " << Modal->metaObject()->className() << " \""
                << Modal->windowTitle().toStdString() << "\": " << Seen.Text.toStdString();
  if (auto* Dialog = qobject_cast<QDialog*>(Modal))
    Dialog->reject();
  else
    Modal->close();
}

std::function<void(QWidget*)> ClickButton(const QString& Text, TSeenBox* Seen) {
  return [Text, Seen](QWidget* Box) {
    if (Seen) *Seen = Describe(Box);
    for (QAbstractButton* Button : Box->findChildren<QAbstractButton*>()) {
      if (Button->text() == Text) {
        Button->click();
        return;
      }
    }
    ADD_FAILURE() << "no button " << Text.toStdString() << " in "
                  << Box->windowTitle().toStdString();
  };
}

std::function<void(QWidget*)> ChooseFile(const QString& Path, QString* Title) {
  return [Path, Title](QWidget* Widget) {
    auto* Dialog = qobject_cast<QFileDialog*>(Widget);
    ASSERT_NE(Dialog, nullptr) << "expected a file dialog, got "
                               << Widget->metaObject()->className();
    if (Title) *Title = Dialog->windowTitle();
    // The dialog fills its name field from the folder it reads after being
    // shown; on a busy machine that comes late and would overwrite our name.
    QTest::qWait(30);
    auto* Name = Dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(Name, nullptr);
    Name->setText(Path);
    static_cast<QDialog*>(Dialog)->accept();  // QFileDialog's own accept, as its button runs it
  };
}

std::function<void(QWidget*)> RejectDialog(QString* Title) {
  return [Title](QWidget* Widget) {
    if (Title) *Title = Widget->windowTitle();
    auto* Dialog = qobject_cast<QDialog*>(Widget);
    ASSERT_NE(Dialog, nullptr);
    Dialog->reject();
  };
}

std::function<void(QWidget*)> EnterText(const QString& Text, bool Accept, QString* Prefilled,
                                        QString* Title, QString* Label) {
  return [=](QWidget* Widget) {
    auto* Dialog = qobject_cast<QInputDialog*>(Widget);
    ASSERT_NE(Dialog, nullptr) << "expected an input box, got "
                               << Widget->metaObject()->className();
    if (Prefilled) *Prefilled = Dialog->textValue();
    if (Title) *Title = Dialog->windowTitle();
    if (Label) *Label = Dialog->labelText();
    auto* Edit = Dialog->findChild<QLineEdit*>();
    ASSERT_NE(Edit, nullptr);
    Edit->clear();
    Edit->insert(Text);  // as a paste: the field's length limit applies
    if (Accept)
      Dialog->accept();
    else
      Dialog->reject();
  };
}

bool WaitUntil(const std::function<bool()>& Condition, int TimeoutMs) {
  QElapsedTimer Clock;
  Clock.start();
  while (!Condition()) {
    if (Clock.elapsed() > TimeoutMs) return false;
    QTest::qWait(5);
  }
  return true;
}

std::string RecordBytes(const TRecord& Record) {
  std::string Bytes(280, '\0');
  std::memcpy(&Bytes[0], &Record.Start, 8);
  std::memcpy(&Bytes[8], &Record.End, 8);
  std::memcpy(&Bytes[16], &Record.Hours, 4);
  std::memcpy(&Bytes[20], &Record.Minutes, 4);
  Bytes[24] = static_cast<char>(std::min<size_t>(Record.Comment.size(), 255));
  std::memcpy(&Bytes[25], Record.Comment.data(), std::min<size_t>(Record.Comment.size(), 255));
  return Bytes;
}

void TFormTest::SetUp() {
  ASSERT_TRUE(FDir.isValid());
  FFolder = QFile::encodeName(FDir.path()).toStdString() + "/";
  Environment.ProgramFile = ProgramFileName();  // the running program: it has the icon
  Environment.ProgramFolder = FFolder;
  Environment.SettingsFile = FFolder + "chronark.ini";
  SetApplicationTitle(QStringLiteral("Chronark"));
  // Locks, sockets and rescue copies of this test stay in its folder.
  QDir(FDir.path()).mkdir(QStringLiteral("run"));
  QFile::setPermissions(FDir.path() + QStringLiteral("/run"),
                        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  qputenv("XDG_RUNTIME_DIR", QFile::encodeName(FDir.path() + QStringLiteral("/run")));
  qputenv("XDG_DATA_HOME", QFile::encodeName(FDir.path() + QStringLiteral("/data")));
}

void TFormTest::TearDown() {
  EXPECT_EQ(Answers.Pending(), 0u) << "expected boxes that never came";
  if (Form) Form->Release();
  Form.reset();
  if (FBusy) {
    FBusy->kill();
    FBusy->waitForFinished(3000);
  }
  QTest::qWait(0);
}

std::string TFormTest::MakeBusyFile(const std::string& Name) {
  const QString Path = QFile::decodeName(QByteArray::fromStdString(InFolder(Name)));
  QFile::remove(Path);
  EXPECT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), Path));
  QFile::setPermissions(Path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  FBusy = std::make_unique<QProcess>();
  FBusy->start(Path, {QStringLiteral("60")});
  EXPECT_TRUE(FBusy->waitForStarted(3000));
  return InFolder(Name);
}

void TFormTest::WriteFile(const std::string& Name, const std::string& Bytes) const {
  std::ofstream Out(InFolder(Name), std::ios::binary | std::ios::trunc);
  Out << Bytes;
}

std::string TFormTest::ReadFile(const std::string& Name) const {
  std::ifstream In(InFolder(Name), std::ios::binary);
  std::stringstream Buffer;
  Buffer << In.rdbuf();
  return Buffer.str();
}

bool TFormTest::Exists(const std::string& Name) const {
  struct stat St;
  return ::stat(InFolder(Name).c_str(), &St) == 0;
}

void TFormTest::WriteProject(const std::string& Name, int Entries) const {
  std::string Bytes;
  for (int I = 0; I < Entries; ++I) {
    // 7 December 2026 from 09:00, one hour and a quarter each.
    const double Day = 46363.0 + I;
    Bytes += RecordBytes({Day + 9.0 / 24, Day + 10.25 / 24, 1, 15, "Eintrag " + std::to_string(I)});
  }
  WriteFile(Name, Bytes);
}

TMainForm& TFormTest::Start(const std::string& FirstArgument) {
  Environment.FirstArgument = FirstArgument;
  Form = std::make_unique<TMainForm>(Environment);
  Form->OnEnd = [this](int Code) { Ended = Code; };
  Form->Manager()->SetTemplateFolder(FFolder + "export/");
  Form->show();
  // The first show runs from the event loop, with the boxes it opens.
  EXPECT_TRUE(WaitUntil([this] { return Form->StartupDone(); }, 8000))
      << "the first show never ended";
  return *Form;
}

TMainForm& TFormTest::StartWithProject(int Entries, const std::string& FirstArgument) {
  WriteProject("woche.crf", Entries);
  WriteSettings("[Main]\nProject=woche.crf\n");
  return Start(FirstArgument);
}

QStringList TFormTest::Lines() const {
  QStringList Result;
  for (int I = 0; I < Form->ListBox1->count(); ++I)
    Result << Form->ListBox1->model()->index(I, 0).data().toString();
  return Result;
}

QString TFormTest::Status() const { return Form->StatusBar1->currentMessage(); }

}  // namespace chronark::test
