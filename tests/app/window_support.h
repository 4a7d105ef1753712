#pragma once
// Test support for the main window: a program folder of its own, the form,
// and answers for the modal boxes and dialogs it opens.

#include "app/entrylist.h"
#include "app/main.h"

#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <deque>
#include <ostream>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& Text, std::ostream* Out) {
  *Out << '"' << Text.toStdString() << '"';
}
inline void PrintTo(const QStringList& List, std::ostream* Out) {
  *Out << List.join(" | ").toStdString();
}

namespace chronark::test {

// What a message box showed.
struct TSeenBox {
  QString Title;
  QString Text;
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
  QStringList Buttons;  // in layout order
  QString DefaultButton;
  QString EscapeButton;
};

TSeenBox Describe(QWidget* Box);

// Answers for the modal widgets to come, in order. Each answer runs from the
// event loop once its widget is the active modal one. A modal widget without
// an answer is closed after a timeout and fails the test, so nothing hangs.
class TModalAnswers {
public:
  TModalAnswers();
  ~TModalAnswers();
  void Expect(std::function<void(QWidget*)> Answer);
  size_t Pending() const { return FAnswers.size(); }

private:
  void Poll();
  std::deque<std::function<void(QWidget*)>> FAnswers;
  QPointer<QWidget> FLastAnswered;
  class QTimer* FTimer = nullptr;
  int FIdleTicks = 0;
};

// Answers.
std::function<void(QWidget*)> ClickButton(const QString& Text, TSeenBox* Seen = nullptr);
std::function<void(QWidget*)> ChooseFile(const QString& Path, QString* Title = nullptr);
std::function<void(QWidget*)> RejectDialog(QString* Title = nullptr);
std::function<void(QWidget*)> EnterText(const QString& Text, bool Accept,
                                        QString* Prefilled = nullptr, QString* Title = nullptr,
                                        QString* Label = nullptr);

// Polls the event loop until Condition holds or TimeoutMs have passed.
bool WaitUntil(const std::function<bool()>& Condition, int TimeoutMs = 3000);

// One entry of a project file.
struct TRecord {
  double Start = 0;
  double End = 0;
  int32_t Hours = 0;
  int32_t Minutes = 0;
  std::string Comment;
};
std::string RecordBytes(const TRecord& Record);

class TFormTest : public testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  std::string Folder() const { return FFolder; }
  std::string InFolder(const std::string& Name) const { return FFolder + Name; }
  void WriteFile(const std::string& Name, const std::string& Bytes) const;
  std::string ReadFile(const std::string& Name) const;
  bool Exists(const std::string& Name) const;
  void WriteSettings(const std::string& Text) const { WriteFile("chronark.ini", Text); }
  void WriteProject(const std::string& Name, int Entries) const;
  // A file that exists but cannot be opened for writing: a running program
  // (so that the load fails even for root). Ended with the test.
  std::string MakeBusyFile(const std::string& Name);

  // Creates the form and lets its first show run; answers must be given before.
  TMainForm& Start(const std::string& FirstArgument = "");
  // A project "woche.crf" with Entries entries, opened without a prompt.
  TMainForm& StartWithProject(int Entries, const std::string& FirstArgument = "");

  QStringList Lines() const;
  QString Status() const;

  TShellEnvironment Environment;
  TModalAnswers Answers;
  std::unique_ptr<TMainForm> Form;
  std::optional<int> Ended;

private:
  QTemporaryDir FDir;
  std::unique_ptr<class QProcess> FBusy;
  std::string FFolder;
};

}  // namespace chronark::test
