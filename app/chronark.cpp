// The program entry of chronark.

#include "app/application.h"
#include "app/capp.h"
#include "app/main.h"

#include <memory>

int main(int Argc, char** Argv) {
  using namespace chronark;
  // Only the first argument counts, as given, before Qt takes its own options.
  const TShellEnvironment Environment = TShellEnvironment::FromProgram(Argc, Argv);

  TChronarkApplication Application(Argc, Argv);
  // Only the close sequence ends the program: hiding the window for timing,
  // or closing a box while it is hidden, must not.
  Application.setQuitOnLastWindowClosed(false);
  Application.setApplicationName(QStringLiteral("chronark"));
  Application.setDesktopFileName(QStringLiteral("example.tolvane_software.chronark"));
  Application.setWindowIcon(ProgramIcon());
  TChronarkApplication::LoadGermanTranslation();
  SetApplicationTitle(QStringLiteral("Chronark"));

  std::unique_ptr<TMainForm> MainForm;
  if (!Protect([&] { MainForm = std::make_unique<TMainForm>(Environment); })) return 1;
  MainForm->OnEnd = [](int ExitCode) { QCoreApplication::exit(ExitCode); };

  TSessionEndWatcher SessionWatcher;
  QObject::connect(&SessionWatcher, &TSessionEndWatcher::SessionEnd, MainForm.get(),
                   [&] { Protect([&] { MainForm->SessionEnd(); }); });
  QObject::connect(&Application, &QCoreApplication::aboutToQuit, MainForm.get(),
                   [&] { Protect([&] { MainForm->AboutToQuit(); }); });

  MainForm->show();
  const int ExitCode = Application.exec();
  // The real end: the manager and the libraries go only now, after the
  // event loop, so that no handler still running can reach them.
  MainForm->Release();
  return ExitCode;
}
