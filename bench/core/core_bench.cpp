// Speed of the work-time core (x_baseline compares the fastest runs, which
// suffer least from other load on the machine): project files of 1,000,000 entries against a
// plain write/read of the same bytes in the same run, the list lines of
// 100,000 entries, and the export of 10,000 entries with the default templates.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "core/crkm.h"
#include "support/testfs.h"

using namespace chronark;

namespace {

constexpr size_t BigCount = 1000000;

std::string Folder() {
  static const test::TTempDir Dir;
  return Dir.Path();
}

TChronarkMan Filled(size_t Count) {
  TChronarkMan M;
  TDateTime T = 46000.0 + 8.0 / 24;
  for (size_t I = 0; I < Count; ++I) {
    M.AddEntry(T, T + (37 + I % 300) / 1440.0 + 0.123 / 86400,
               I % 3 ? "Kunde M\xFCller, Projekt Angebot" : "");
    T += 0.5;
  }
  return M;
}

const TChronarkMan& Big() {
  static const TChronarkMan M = Filled(BigCount);
  return M;
}

// The project file the read benchmarks use, written once.
std::string BigFile() {
  static const std::string Name = [] {
    const std::string N = Folder() + "big.crf";
    Big().SaveToFile(N);
    return N;
  }();
  return Name;
}

// Wall and processor time (user and system) of one run; the processor time
// is what other load on the machine disturbs least.
struct TStamp {
  std::chrono::steady_clock::time_point Wall = std::chrono::steady_clock::now();
  double Cpu = CpuNow();
  static double CpuNow() {
    timespec T;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &T);
    return double(T.tv_sec) + double(T.tv_nsec) * 1e-9;
  }
};

struct TBest {
  double Wall = 1e9, Cpu = 1e9;
  void Add(const TStamp& Start) {
    Wall = std::min(
        Wall, std::chrono::duration<double>(std::chrono::steady_clock::now() - Start.Wall).count());
    Cpu = std::min(Cpu, TStamp::CpuNow() - Start.Cpu);
  }
};

TBest WriteBaseline, ReadBaseline;

void Compare(benchmark::State& State, const TBest& Run, const TBest& Baseline) {
  if (Baseline.Wall >= 1e9) return;
  State.counters["x_baseline"] = Run.Wall / Baseline.Wall;
  State.counters["x_baseline_cpu"] = Run.Cpu / Baseline.Cpu;
}

long StatusKb(const char* Key) {
  std::ifstream F("/proc/self/status");
  std::string Line;
  const size_t N = std::strlen(Key);
  while (std::getline(F, Line))
    if (Line.compare(0, N, Key) == 0) return std::atol(Line.c_str() + N + 1);
  return -1;
}

// The same bytes in one write: temporary file, write, flush to disk, rename.
void BM_Baseline_Write280MB(benchmark::State& State) {
  const std::string Data(BigCount * CREntrySize, 'x');
  TBest Best;
  for (auto _ : State) {
    const TStamp Start;
    const std::string Tmp = Folder() + "baseline.tmp";
    const int Fd = ::open(Tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    size_t Done = 0;
    while (Done < Data.size()) {
      const ssize_t W = ::write(Fd, Data.data() + Done, Data.size() - Done);
      if (W <= 0) std::abort();
      Done += size_t(W);
    }
    ::fsync(Fd);
    ::close(Fd);
    ::rename(Tmp.c_str(), (Folder() + "baseline.bin").c_str());
    Best.Add(Start);
  }
  WriteBaseline = Best;
  State.SetBytesProcessed(int64_t(State.iterations() * Data.size()));
}

void BM_SaveToFile_1M(benchmark::State& State) {
  const TChronarkMan& M = Big();
  TBest Best;
  for (auto _ : State) {
    const TStamp Start;
    M.SaveToFile(Folder() + "big.crf");
    Best.Add(Start);
  }
  Compare(State, Best, WriteBaseline);
  State.SetBytesProcessed(int64_t(State.iterations() * BigCount * CREntrySize));
}

// The same bytes in one read into new memory, as a load must.
void BM_Baseline_Read280MB(benchmark::State& State) {
  const std::string Name = BigFile();
  TBest Best;
  for (auto _ : State) {
    const TStamp Start;
    std::unique_ptr<char[]> Buf(new char[BigCount * CREntrySize]);
    const int Fd = ::open(Name.c_str(), O_RDONLY);
    size_t Done = 0;
    for (;;) {
      const ssize_t R = ::read(Fd, Buf.get() + Done, BigCount * CREntrySize - Done);
      if (R <= 0) break;
      Done += size_t(R);
    }
    ::close(Fd);
    if (Done != BigCount * CREntrySize) std::abort();
    benchmark::DoNotOptimize(Buf.get());
    Best.Add(Start);
  }
  ReadBaseline = Best;
  State.SetBytesProcessed(int64_t(State.iterations() * BigCount * CREntrySize));
}

void BM_LoadFromFile_1M(benchmark::State& State) {
  const std::string Name = BigFile();
  TBest Best;
  for (auto _ : State) {
    TChronarkMan M;
    const TStamp Start;
    M.LoadFromFile(Name);
    Best.Add(Start);
    if (M.Entries().size() != BigCount) std::abort();
  }
  Compare(State, Best, ReadBaseline);
  State.SetBytesProcessed(int64_t(State.iterations() * BigCount * CREntrySize));
}

// Peak memory of one load in a fresh child: the parent holds other big lists.
void BM_LoadFromFile_1M_PeakMemory(benchmark::State& State) {
  double PeakMb = 0;
  const std::string Name = BigFile();
  for (auto _ : State) {
    int Pipe[2];
    if (::pipe(Pipe) != 0) std::abort();
    const pid_t Child = ::fork();
    if (Child == 0) {
      ::close(Pipe[0]);
      const long Before = StatusKb("VmRSS:");
      // Starts the high-water mark afresh at the current size (Linux 4.0+).
      { std::ofstream("/proc/self/clear_refs") << "5"; }
      TChronarkMan M;
      M.LoadFromFile(Name);
      const long Added = StatusKb("VmHWM:") - Before;
      (void)!::write(Pipe[1], &Added, sizeof Added);
      ::_exit(0);
    }
    ::close(Pipe[1]);
    long Added = 0;
    (void)!::read(Pipe[0], &Added, sizeof Added);
    ::close(Pipe[0]);
    int Status;
    ::waitpid(Child, &Status, 0);
    PeakMb = double(Added) * 1024.0 / 1e6;
  }
  State.counters["peak_MB"] = PeakMb;
  State.counters["x_280MB"] = PeakMb / 280.0;
}

void BM_FillStrings_100k(benchmark::State& State) {
  const TChronarkMan M = Filled(100000);
  TStrings Lines;
  for (auto _ : State) {
    M.FillStrings(Lines);
    benchmark::DoNotOptimize(Lines.data());
  }
}

void BM_ExportHTML_10k(benchmark::State& State) {
  TChronarkMan M = Filled(10000);
  M.SetTemplateFolder(CHRONARK_DIST_EXPORT);
  for (auto _ : State) M.ExportHTML(Folder() + "export.htm");
}

}  // namespace

BENCHMARK(BM_Baseline_Write280MB)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_SaveToFile_1M)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_Baseline_Read280MB)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_LoadFromFile_1M)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_LoadFromFile_1M_PeakMemory)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_FillStrings_100k)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_ExportHTML_10k)->Unit(benchmark::kMillisecond)->MinTime(1.0);

int main(int argc, char** argv) {
  ::setenv("TZ", "Europe/Berlin", 0);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const std::string Cmd = "rm -rf '" + Folder() + "'";
  return std::system(Cmd.c_str()) == 0 ? 0 : 1;
}
