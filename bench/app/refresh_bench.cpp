// RefreshView of a big project: the list and the total must follow at once.

#include "app/application.h"
#include "app/main.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace chronark {
namespace {

void FillProject(TChronarkMan& Manager, int Count) {
  Manager.Clear();
  for (int I = 0; I < Count; ++I) {
    TCREntry Entry;
    Entry.StartTime = 46363.0 + I / 8 + (I % 8) / 24.0;
    Entry.EndTime = Entry.StartTime + 1.0 / 24 + I % 60 / 1440.0;
    Entry.Hours = 1;
    Entry.Minutes = I % 60;
    Entry.Comment.Assign(I % 3 == 0 ? "" : "Kundenprojekt M\xFCller, Besprechung");
    Manager.AddRecord(Entry);
  }
}

void BM_RefreshView(benchmark::State& State) {
  QTemporaryDir Folder;
  TShellEnvironment Environment;
  Environment.ProgramFolder = Folder.path().toStdString() + "/";
  Environment.SettingsFile = Environment.ProgramFolder + "chronark.ini";
  TMainForm Form(Environment);
  FillProject(*Form.Manager(), static_cast<int>(State.range(0)));
  for (auto _ : State) Form.RefreshView();
  State.SetItemsProcessed(State.iterations() * State.range(0));
}

BENCHMARK(BM_RefreshView)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace chronark

int main(int Argc, char** Argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  chronark::TChronarkApplication Application(Argc, Argv);
  benchmark::Initialize(&Argc, Argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
