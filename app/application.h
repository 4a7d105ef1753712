#pragma once
// The application object: the application title, the standard error box for
// exceptions that leave an event handler, the German translation, and the
// end of the user's session.

#include <QApplication>
#include <QMessageBox>
#include <QObject>
#include <QString>

#include <exception>
#include <functional>

class QSocketNotifier;

namespace chronark {

// The application title: "Chronark" at start, then the text that RefreshView
// gives the program's taskbar entry. The boxes of the program carry it.
QString ApplicationTitle();
void SetApplicationTitle(const QString& Title);

// The text of the standard error box: the message, with a period added when
// its last character sorts after ".".
QString ErrorBoxText(const QString& Message);

// The standard error box: caption the application title, a stop icon, one OK button.
void ShowErrorBox(const QString& Message);

// A modal box captioned with the application title, plain text and one OK
// button (also the answer to Esc); ObjectName lets tests find it.
void ShowOkBox(QMessageBox::Icon Icon, const QString& Text, QWidget* Parent,
               const QString& ObjectName);
// The same for the exception being handled (call from inside a catch block).
void ShowCurrentException();

// The message of the exception being handled (call from inside a catch block).
QString CurrentExceptionMessage();

// Runs Body and reports an exception that leaves it in the standard error box.
// Returns false when it did.
bool Protect(const std::function<void()>& Body);

class TChronarkApplication : public QApplication {
  Q_OBJECT
public:
  TChronarkApplication(int& Argc, char** Argv);

  // The backstop for exceptions that leave an event handler: the error box,
  // then the program goes on.
  bool notify(QObject* Receiver, QEvent* Event) override;

  // Qt's German texts for its own dialogs (file dialogs and standard buttons).
  static bool LoadGermanTranslation();

  // What the program sets up before its window: the names and the icon the
  // desktop shows, Qt's own widgets in German whatever the locale, and no
  // settings file of Qt's own.
  void PrepareProgram();
};

// Turns SIGTERM and SIGHUP, which a Linux desktop sends at log-off and
// shutdown, and SIGINT and SIGQUIT from a terminal, into the signal SessionEnd on the GUI thread
// (through a self-pipe), and forwards the session manager's commit request the same way.
class TSessionEndWatcher : public QObject {
  Q_OBJECT
public:
  explicit TSessionEndWatcher(QObject* Owner = nullptr);
  ~TSessionEndWatcher() override;

signals:
  void SessionEnd();

private:
  void PipeReadable();
  QSocketNotifier* FNotifier = nullptr;
};

}  // namespace chronark
