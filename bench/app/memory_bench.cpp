// Resident memory of the main window with a big project: the window is shown
// empty first (the baseline of this run), then with 100,000 entries, drawn at
// the top and at the end of the list.

#include "app/application.h"
#include "app/main.h"

#include <QAbstractItemView>
#include <QScrollBar>
#include <QTemporaryDir>

#include <cstdio>
#include <fstream>
#include <string>

namespace chronark {
namespace {

constexpr int Entries = 100000;
constexpr double TargetMegabytes = 70;

double ResidentMegabytes() {
  std::ifstream Status("/proc/self/status");
  std::string Line;
  while (std::getline(Status, Line))
    if (Line.rfind("VmRSS:", 0) == 0) return std::stod(Line.substr(6)) / 1024.0;
  return -1;
}

void Settle() {
  for (int I = 0; I < 5; ++I) QCoreApplication::processEvents();
}

int Run() {
  QTemporaryDir Folder;
  TShellEnvironment Environment;
  Environment.ProgramFolder = Folder.path().toStdString() + "/";
  Environment.SettingsFile = Environment.ProgramFolder + "chronark.ini";
  // An empty project, so that the first show opens it without asking.
  std::ofstream(Environment.ProgramFolder + "leer.crf").flush();
  std::ofstream(Environment.SettingsFile) << "[Main]\nProject=leer.crf\n";
  TMainForm Form(Environment);
  Form.show();
  Settle();
  const double Empty = ResidentMegabytes();

  for (int I = 0; I < Entries; ++I) {
    TCREntry Entry;
    Entry.StartTime = 46363.0 + I / 8 + (I % 8) / 24.0;
    Entry.EndTime = Entry.StartTime + 1.0 / 24 + I % 60 / 1440.0;
    Entry.Hours = 1;
    Entry.Minutes = I % 60;
    Entry.Comment.Assign(I % 3 == 0 ? "" : "Kundenprojekt M\xFCller, Besprechung");
    Form.Manager()->AddRecord(Entry);
  }
  const double WithEntries = ResidentMegabytes();
  Form.RefreshView();
  Settle();
  auto* List = Form.findChild<QAbstractItemView*>("ListBox1");
  List->verticalScrollBar()->setValue(List->verticalScrollBar()->maximum());
  Settle();
  const double Shown = ResidentMegabytes();

  std::printf(
      "Resident: leeres Fenster %.1f MB, mit %d Einträgen im Speicher %.1f MB, "
      "angezeigt %.1f MB (Liste +%.1f MB); Ziel < %.0f MB: %s\n",
      Empty, Entries, WithEntries, Shown, Shown - WithEntries, TargetMegabytes,
      Shown < TargetMegabytes ? "erreicht" : "verfehlt");
  return 0;
}

}  // namespace
}  // namespace chronark

int main(int Argc, char** Argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  chronark::TChronarkApplication Application(Argc, Argv);
  return chronark::Run();
}
