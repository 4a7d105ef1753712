// The program entry of chronark.

#include "app/application.h"
#include "app/capp.h"
#include "app/main.h"
#include "platform/files/paths.h"
#include "platform/version/version.h"

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace {

// Answered before Qt starts, so that they need no display.
bool AnswerInformationSwitch(std::string_view Switch) {
  if (Switch == "--help" || Switch == "-h") {
    std::fputs(
        "Aufruf: chronark [/start]\n"
        "Erfasst die Arbeitszeit eines Projekts.\n"
        "\n"
        "  /start      beginnt gleich mit der Zeitmessung; das Fenster verschwindet,\n"
        "              das Symbol im Infobereich hält die Zeit an\n"
        "  --help      zeigt diese Hilfe\n"
        "  --version   zeigt die Version\n"
        "\n"
        "Das zuletzt geöffnete Projekt steht in chronark.ini.\n",
        stdout);
    return true;
  }
  if (Switch == "--version") {
    const std::string Version =
        chronark::ReadVersionString(chronark::ProgramFileName(), "FileVersion");
    std::printf("Chronark %s\n", Version.empty() ? "(Version unbekannt)" : Version.c_str());
    return true;
  }
  return false;
}

}  // namespace

int main(int Argc, char** Argv) {
  using namespace chronark;
  if (Argc > 1 && AnswerInformationSwitch(Argv[1])) return 0;
  // Only the first argument counts, as given, before Qt takes its own options.
  const TShellEnvironment Environment = TShellEnvironment::FromProgram(Argc, Argv);

  TChronarkApplication Application(Argc, Argv);
  Application.PrepareProgram();

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
