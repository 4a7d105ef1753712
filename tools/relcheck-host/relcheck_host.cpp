// relcheck-host [--report] LIBRARY [URL [SECTION [VERSION]]]
//
// Loads LIBRARY by its full path, looks up the update library's export and
// calls it with this program's main window and the given texts (empty when
// left out) as short strings. With --report it waits for the dialog's check
// to end, prints what the dialog shows, presses OK and exits 0.
#include "common/cp1252.h"
#include "platform/dynlib/dynlib.h"
#include "relcheck/check.h"
#include "services/companions.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <QStatusBar>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace chronark {
namespace {

constexpr const char* Usage =
    "Aufruf: relcheck-host [--report] LIBRARY [URL [SECTION [VERSION]]]\n";

// A command-line text as a short string: Windows-1252, at most 255 characters.
TShortString ShortString(const char* Utf8) {
  return MakeShortString(Utf8ToCp1252(Utf8 ? Utf8 : ""));
}

QString StatusText(std::string_view Cp1252) { return QString::fromStdString(Cp1252ToUtf8(Cp1252)); }

bool HasEnv(const char* Name) {
  const char* Value = std::getenv(Name);
  return Value && *Value;
}

bool IsFinalStatus(const QString& Text) {
  return Text == StatusText(relcheck::StatusNewer) ||
         Text == StatusText(relcheck::StatusNoUpdate) ||
         Text.startsWith(StatusText(relcheck::ErrorStatusPrefix));
}

// A value for one report line: control characters (C0, DEL and C1) as \xNN
// and the backslash doubled, so that no value can end its line early, cut
// the report short or send commands to a terminal.
std::string ReportValue(const QString& Text) {
  const std::string Utf8 = Text.toStdString();
  std::string Out;
  Out.reserve(Utf8.size());
  auto Escape = [&Out](unsigned Code) {
    char Buffer[8];
    std::snprintf(Buffer, sizeof Buffer, "\\x%02x", Code);
    Out += Buffer;
  };
  for (size_t i = 0; i < Utf8.size(); ++i) {
    const auto C = static_cast<unsigned char>(Utf8[i]);
    if (C < 0x20 || C == 0x7F) {
      Escape(C);
    } else if (C == 0xC2 && i + 1 < Utf8.size() &&
               static_cast<unsigned char>(Utf8[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(Utf8[i + 1]) <= 0x9F) {
      Escape(static_cast<unsigned char>(Utf8[++i]));  // U+0080..U+009F
    } else if (C == '\\') {
      Out += "\\\\";
    } else {
      Out += static_cast<char>(C);
    }
  }
  return Out;
}

// Watches for the dialog, and once its check has ended prints the report and
// presses OK.
class TReporter : public QObject {
public:
  bool Reported() const { return FReported; }

protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (Event->type() == QEvent::Show && !FDialog &&
        Watched->objectName() == QLatin1String("relcheckform") && Watched->isWidgetType()) {
      FDialog = static_cast<QWidget*>(Watched);
      if (auto* Status = FDialog->findChild<QStatusBar*>(QStringLiteral("StatusBar1"))) {
        connect(Status, &QStatusBar::messageChanged, this, [this](const QString& Text) {
          if (IsFinalStatus(Text)) QTimer::singleShot(0, this, [this] { Report(); });
        });
        if (IsFinalStatus(Status->currentMessage()))
          QTimer::singleShot(0, this, [this] { Report(); });
      }
    }
    return false;
  }

private:
  QString Text(const char* Name) const {
    if (auto* Label = FDialog->findChild<QLabel*>(QLatin1String(Name))) return Label->text();
    return {};
  }

  void Report() {
    if (FReported || !FDialog) return;
    FReported = true;
    auto* Status = FDialog->findChild<QStatusBar*>(QStringLiteral("StatusBar1"));
    std::string Out;
    for (const char* Name : {"version", "newversion", "appname"})
      Out += std::string(Name) + "=" + ReportValue(Text(Name)) + "\n";
    Out += "StatusBar1=" + ReportValue(Status ? Status->currentMessage() : QString()) + "\n";
    for (const char* Name :
         {"Label2", "newversion", "Label3", "appname", "downloadbutton", "homepagebutton"}) {
      auto* Widget = FDialog->findChild<QWidget*>(QLatin1String(Name));
      Out += std::string("enabled.") + Name + "=" +
             (Widget && Widget->isEnabled() ? "true" : "false") + "\n";
    }
    std::fwrite(Out.data(), 1, Out.size(), stdout);
    std::fflush(stdout);
    if (auto* Ok = FDialog->findChild<QAbstractButton*>(QStringLiteral("SpeedButton1")))
      Ok->click();
  }

  QPointer<QWidget> FDialog;
  bool FReported{false};
};

int Run(int argc, char** argv) {
  int First = 1;
  const bool ReportMode = argc > 1 && std::strcmp(argv[1], "--report") == 0;
  if (ReportMode) ++First;
  const int Texts = argc - First;
  if (Texts < 1 || Texts > 4 || std::strncmp(argv[First], "--", 2) == 0) {
    std::fputs(Usage, stderr);
    return 2;
  }
  // A report needs no screen: without a display, draw off screen instead
  // of letting Qt abort for want of one.
  if (ReportMode && !HasEnv("QT_QPA_PLATFORM") && !HasEnv("DISPLAY") && !HasEnv("WAYLAND_DISPLAY"))
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication Application(argc, argv);
  const char* Arg[4] = {};
  for (int i = 0; i < Texts; ++i) Arg[i] = argv[First + i];

  // By full path only: a bare name must not make dlopen search the system.
  char Resolved[PATH_MAX];
  if (!::realpath(Arg[0], Resolved)) {
    std::fprintf(stderr, "relcheck-host: %s: %s\n", Arg[0], std::strerror(errno));
    return 1;
  }
  const std::string Path = Resolved;
  std::string Error;
  const platform::TDynLib Library = platform::TDynLib::Open(Path, &Error);
  if (!Library) {
    std::fprintf(stderr, "relcheck-host: %s\n", Error.c_str());
    return 1;
  }
  auto* Show = Library.Function<TShowRelCheckDialog>(UpdateExportName);
  if (!Show) {
    std::fprintf(stderr, "relcheck-host: %s has no export %s\n", Path.c_str(), UpdateExportName);
    return 1;
  }

  const auto UpdateURL = ShortString(Arg[1]);
  const auto Section = ShortString(Arg[2]);
  const auto CurrentVersion = ShortString(Arg[3]);

  TReporter Reporter;
  if (ReportMode) Application.installEventFilter(&Reporter);

  QMainWindow MainWindow;
  MainWindow.setObjectName(QStringLiteral("MainForm"));
  MainWindow.setWindowTitle(QStringLiteral("relcheck-host"));
  MainWindow.resize(320, 120);
  MainWindow.show();
  QTimer::singleShot(0, &MainWindow, [&] {
    Show(reinterpret_cast<uintptr_t>(&MainWindow), ShortStringArg(CurrentVersion),
         ShortStringArg(Section), ShortStringArg(UpdateURL));
    Application.quit();
  });
  Application.exec();
  Application.removeEventFilter(&Reporter);
  if (ReportMode && !Reporter.Reported()) {
    std::fputs("relcheck-host: the dialog did not report an outcome\n", stderr);
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace chronark

int main(int argc, char** argv) { return chronark::Run(argc, argv); }
