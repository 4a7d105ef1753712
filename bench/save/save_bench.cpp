// What saving at every change costs in a project of 1,000,000 entries, each
// beside its baseline in the same run (x_baseline compares the fastest runs):
//   a recorded interval (its record appended and flushed) against a bare
//   write + fsync of 280 bytes;
//   a deletion and a remark edit (the whole file rewritten safely) against a
//   raw write of the same bytes into a new file, flushed and renamed.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>

#include "core/projectstore.h"

using namespace chronark;

namespace {

constexpr size_t BigCount = 1000000;

std::string Folder() {
  static const std::string F = [] {
    const char* Base = std::getenv("TMPDIR");
    std::string T = std::string(Base && *Base ? Base : "/tmp") + "/chronark-save-bench-XXXXXX";
    if (!::mkdtemp(T.data())) std::abort();
    return T + "/";
  }();
  return F;
}

TChronarkMan& Big() {
  static TChronarkMan M = [] {
    TChronarkMan Man;
    TDateTime T = 46000.0 + 8.0 / 24;
    for (size_t I = 0; I < BigCount; ++I) {
      Man.AddEntry(T, T + (37 + I % 300) / 1440.0, I % 3 ? "Kunde M\xFCller, Angebot" : "");
      T += 0.5;
    }
    return Man;
  }();
  return M;
}

// The project on disk and the store that knows it.
TProjectStore& Store() {
  static TProjectStore S = [] {
    TProjectStore Store;
    Store.Save(Big(), Folder() + "big.crf");
    return Store;
  }();
  return S;
}

struct TBest {
  double Wall = 1e9;
  template <class F>
  void Time(F&& Body) {
    const auto Start = std::chrono::steady_clock::now();
    Body();
    Wall = std::min(
        Wall, std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count());
  }
};

TBest AppendBaseline, WriteBaseline;

void Compare(benchmark::State& State, const TBest& Run, const TBest& Baseline) {
  if (Baseline.Wall < 1e9) State.counters["x_baseline"] = Run.Wall / Baseline.Wall;
}

void WriteAll(int Fd, const char* Data, size_t Size) {
  while (Size > 0) {
    const ssize_t N = ::write(Fd, Data, Size);
    if (N <= 0) std::abort();
    Data += N;
    Size -= size_t(N);
  }
}

void BM_Baseline_Write280Fsync(benchmark::State& State) {
  const std::string Name = Folder() + "append-baseline.bin";
  const int Fd = ::open(Name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const std::string Record(CREntrySize, 'x');
  TBest Best;
  for (auto _ : State)
    Best.Time([&] {
      WriteAll(Fd, Record.data(), Record.size());
      ::fsync(Fd);
    });
  ::close(Fd);
  AppendBaseline = Best;
}

void BM_RecordInterval_1M(benchmark::State& State) {
  TChronarkMan& Man = Big();
  TProjectStore& S = Store();
  const std::string Name = Folder() + "big.crf";
  TBest Best;
  for (auto _ : State) {
    Man.AddEntry(46500.25, 46500.5, "");
    Best.Time([&] { S.SaveAdded(Man, Name); });
  }
  if (!S.Knows(Name, Man.Entries().size())) State.SkipWithError("the append was not taken");
  Compare(State, Best, AppendBaseline);
}

void BM_Baseline_WriteWholeFile(benchmark::State& State) {
  const std::string Data(Big().Entries().size() * CREntrySize, 'x');
  TBest Best;
  for (auto _ : State)
    Best.Time([&] {
      const std::string Tmp = Folder() + "whole.tmp";
      const int Fd = ::open(Tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      WriteAll(Fd, Data.data(), Data.size());
      ::fsync(Fd);
      ::close(Fd);
      ::rename(Tmp.c_str(), (Folder() + "whole.bin").c_str());
    });
  WriteBaseline = Best;
}

void BM_Delete_1M(benchmark::State& State) {
  TChronarkMan& Man = Big();
  TProjectStore& S = Store();
  TBest Best;
  for (auto _ : State)
    Best.Time([&] {
      Man.Delete(int32_t(Man.Entries().size() / 2));
      S.Save(Man, Folder() + "big.crf");
    });
  Compare(State, Best, WriteBaseline);
}

void BM_EditRemark_1M(benchmark::State& State) {
  TChronarkMan& Man = Big();
  TProjectStore& S = Store();
  TBest Best;
  int Round = 0;
  for (auto _ : State)
    Best.Time([&] {
      Man.SetComment(int32_t(Man.Entries().size() / 3), "Bemerkung " + std::to_string(++Round));
      S.Save(Man, Folder() + "big.crf");
    });
  Compare(State, Best, WriteBaseline);
}

}  // namespace

BENCHMARK(BM_Baseline_Write280Fsync)->Unit(benchmark::kMicrosecond)->Iterations(200);
BENCHMARK(BM_RecordInterval_1M)->Unit(benchmark::kMicrosecond)->Iterations(200);
BENCHMARK(BM_Baseline_WriteWholeFile)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Delete_1M)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_EditRemark_1M)->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char** argv) {
  Store();  // the project exists before the first measurement
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const std::string Cmd = "rm -rf '" + Folder() + "'";
  return std::system(Cmd.c_str()) == 0 ? 0 : 1;
}
