#include "app/application.h"

#include "app/capp.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QSettings>
#include <QMessageBox>
#include <QPushButton>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QTranslator>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace chronark {

namespace {

QString& TitleStore() {
  static QString Title = QStringLiteral("Chronark");
  return Title;
}

int SignalPipe[2] = {-1, -1};

// Log-off and shutdown (SIGTERM, SIGHUP), Ctrl-C and Ctrl-\ in the starting
// terminal (SIGINT, SIGQUIT): all end the session the same way.
constexpr int EndSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

void OnTermSignal(int) {
  const int Saved = errno;
  const char Byte = 1;
  // A full pipe already holds a wake-up; nothing else is safe here.
  [[maybe_unused]] const auto Written = ::write(SignalPipe[1], &Byte, 1);
  errno = Saved;
}

QString MessageOf(const std::exception_ptr& Error) {
  try {
    std::rethrow_exception(Error);
  } catch (const std::exception& E) {
    return QString::fromUtf8(E.what());
  } catch (...) {
    return QStringLiteral("Unbekannter Fehler");
  }
}

}  // namespace

QString ApplicationTitle() { return TitleStore(); }
void SetApplicationTitle(const QString& Title) { TitleStore() = Title; }

QString ErrorBoxText(const QString& Message) {
  if (!Message.isEmpty() && Message.back() > u'.') return Message + u'.';
  return Message;
}

void ShowOkBox(QMessageBox::Icon Icon, const QString& Text, QWidget* Parent,
               const QString& ObjectName) {
  QMessageBox Box(Icon, ApplicationTitle(), Text, QMessageBox::NoButton, Parent);
  Box.setObjectName(ObjectName);
  Box.setTextFormat(Qt::PlainText);
  QPushButton* Ok = Box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
  Box.setDefaultButton(Ok);
  Box.setEscapeButton(Ok);
  Box.exec();
}

void ShowErrorBox(const QString& Message) {
  ShowOkBox(QMessageBox::Critical, ErrorBoxText(Message), QApplication::activeWindow(),
            QStringLiteral("ErrorBox"));
}

QString CurrentExceptionMessage() { return MessageOf(std::current_exception()); }

void ShowCurrentException() { ShowErrorBox(MessageOf(std::current_exception())); }

bool Protect(const std::function<void()>& Body) {
  try {
    Body();
    return true;
  } catch (...) {
    ShowCurrentException();
    return false;
  }
}

TChronarkApplication::TChronarkApplication(int& Argc, char** Argv) : QApplication(Argc, Argv) {}

bool TChronarkApplication::notify(QObject* Receiver, QEvent* Event) {
  try {
    return QApplication::notify(Receiver, Event);
  } catch (...) {
    ShowCurrentException();
    return false;
  }
}

bool TChronarkApplication::LoadGermanTranslation() {
  auto* Translator = new QTranslator(qApp);
  const QString Folders[] = {QLibraryInfo::path(QLibraryInfo::TranslationsPath),
                             QStringLiteral("/usr/share/qt6/translations")};
  for (const QString& Folder : Folders) {
    if (Translator->load(QStringLiteral("qtbase_de"), Folder)) {
      QCoreApplication::installTranslator(Translator);
      return true;
    }
  }
  delete Translator;
  return false;
}

void TChronarkApplication::PrepareProgram() {
  // Only the close sequence ends the program: hiding the window for timing,
  // or closing a box while it is hidden, must not.
  setQuitOnLastWindowClosed(false);
  // The name is the title that StatusNotifierItem panels show for the icon.
  setApplicationName(QStringLiteral("Chronark"));
  // The menu entry's name, so that docks and panels match the window to it.
  setDesktopFileName(QStringLiteral("example.tolvane_software.chronark"));
  setWindowIcon(ProgramIcon());
  LoadGermanTranslation();
  // Qt formats sizes and dates in its own widgets (the file dialogs) by its
  // default locale. The entries' dates and times keep the user's formats,
  // which come from the C library, not from Qt.
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  // The file dialogs would keep their state in ~/.config/QtProject.conf; the
  // program keeps nothing but its own settings file, and a path below a
  // device file can be neither read nor created.
  for (const auto Format : {QSettings::NativeFormat, QSettings::IniFormat})
    QSettings::setPath(Format, QSettings::UserScope, QStringLiteral("/dev/null"));
  SetApplicationTitle(QStringLiteral("Chronark"));
}

TSessionEndWatcher::TSessionEndWatcher(QObject* Owner) : QObject(Owner) {
  if (SignalPipe[0] < 0 && ::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    SignalPipe[0] = SignalPipe[1] = -1;
  }
  if (SignalPipe[0] >= 0) {
    FNotifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, &TSessionEndWatcher::PipeReadable);
    struct sigaction Action = {};
    Action.sa_handler = OnTermSignal;
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = SA_RESTART;
    for (const int Signal : EndSignals) sigaction(Signal, &Action, nullptr);
  }
  if (qApp) {
    // Qt's default for a commit request is to close every window; here the
    // close sequence decides, and the program then ends.
    connect(
        qApp, &QGuiApplication::commitDataRequest, this,
        [this](QSessionManager&) { emit SessionEnd(); }, Qt::DirectConnection);
  }
}

TSessionEndWatcher::~TSessionEndWatcher() {
  if (FNotifier) {
    struct sigaction Action = {};
    Action.sa_handler = SIG_DFL;
    sigemptyset(&Action.sa_mask);
    for (const int Signal : EndSignals) sigaction(Signal, &Action, nullptr);
  }
}

void TSessionEndWatcher::PipeReadable() {
  char Buffer[64];
  while (::read(SignalPipe[0], Buffer, sizeof Buffer) > 0) {}
  emit SessionEnd();
}

}  // namespace chronark
