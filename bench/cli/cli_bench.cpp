// chronark-cli's summary and json of 1,000,000 entries against its csv of
// the same file. Each iteration runs csv and the command under test one
// after the other, so both meet the same load on the machine; x_csv
// compares the fastest runs (wall and, less disturbed by other load, the
// processor time of the child).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/crkm.h"

using namespace chronark;

namespace {

constexpr size_t BigCount = 1000000;

std::string Folder() {
  static const std::string F = [] {
    const char* Base = std::getenv("TMPDIR");
    std::string T = std::string(Base && *Base ? Base : "/tmp") + "/chronark-cli-bench-XXXXXX";
    if (!::mkdtemp(T.data())) std::abort();
    return T + "/";
  }();
  return F;
}

// Two entries a day, about every third with a remark, as in core_bench.
std::string BigFile() {
  static const std::string Name = [] {
    TChronarkMan M;
    TDateTime T = 46000.0 + 8.0 / 24;
    for (size_t I = 0; I < BigCount; ++I) {
      M.AddEntry(T, T + (37 + I % 300) / 1440.0 + 0.123 / 86400,
                 I % 3 ? "Kunde M\xFCller, Projekt Angebot" : "");
      T += 0.5;
    }
    const std::string N = Folder() + "big.crf";
    M.SaveToFile(N);
    return N;
  }();
  return Name;
}

struct TTimes {
  double Wall = 1e9, Cpu = 1e9;
};

// Runs chronark-cli with Args, its output into a file; keeps the best times.
void RunCli(const std::vector<std::string>& Args, TTimes& Best) {
  const auto Start = std::chrono::steady_clock::now();
  const pid_t Child = ::fork();
  if (Child == 0) {
    const int Fd = ::open((Folder() + "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(Fd, STDOUT_FILENO);
    std::vector<char*> Argv{const_cast<char*>(CHRONARK_CLI)};
    for (const std::string& A : Args) Argv.push_back(const_cast<char*>(A.c_str()));
    Argv.push_back(nullptr);
    ::execv(CHRONARK_CLI, Argv.data());
    ::_exit(127);
  }
  int Status = 0;
  struct rusage Usage {};
  if (::wait4(Child, &Status, 0, &Usage) != Child || !WIFEXITED(Status) || WEXITSTATUS(Status))
    std::abort();
  const double Wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
  const double Cpu = double(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
                     double(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) * 1e-6;
  Best.Wall = std::min(Best.Wall, Wall);
  Best.Cpu = std::min(Best.Cpu, Cpu);
}

void BM_Cli(benchmark::State& State, std::vector<std::string> Args) {
  const std::string File = BigFile();
  Args.insert(Args.begin() + 1, File);
  TTimes Csv, Cmd;
  for (auto _ : State) {
    RunCli({"csv", File}, Csv);
    RunCli(Args, Cmd);
  }
  State.counters["s"] = Cmd.Wall;
  State.counters["s_cpu"] = Cmd.Cpu;
  State.counters["csv_s"] = Csv.Wall;
  State.counters["csv_s_cpu"] = Csv.Cpu;
  State.counters["x_csv"] = Cmd.Wall / Csv.Wall;
  State.counters["x_csv_cpu"] = Cmd.Cpu / Csv.Cpu;
}

}  // namespace

BENCHMARK_CAPTURE(BM_Cli, summary_day, std::vector<std::string>{"summary"})
    ->Unit(benchmark::kSecond)
    ->Iterations(2);
BENCHMARK_CAPTURE(BM_Cli, summary_week, std::vector<std::string>{"summary", "--by", "week"})
    ->Unit(benchmark::kSecond)
    ->Iterations(2);
BENCHMARK_CAPTURE(BM_Cli, json, std::vector<std::string>{"json"})
    ->Unit(benchmark::kSecond)
    ->Iterations(2);
BENCHMARK_CAPTURE(BM_Cli, json_timewarrior, std::vector<std::string>{"json", "--timewarrior"})
    ->Unit(benchmark::kSecond)
    ->Iterations(2);

int main(int argc, char** argv) {
  ::setenv("TZ", "Europe/Berlin", 0);
  ::setenv("LC_ALL", "C.UTF-8", 0);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const std::string Cmd = "rm -rf '" + Folder() + "'";
  return std::system(Cmd.c_str()) == 0 ? 0 : 1;
}
