#include "net/WSocket.h"

#include "TestUtil.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <string>

namespace chronark {
namespace {

using namespace std::chrono_literals;

double CpuSeconds() {
  rusage U{};
  getrusage(RUSAGE_SELF, &U);
  return static_cast<double>(U.ru_utime.tv_sec + U.ru_stime.tv_sec) +
         static_cast<double>(U.ru_utime.tv_usec + U.ru_stime.tv_usec) / 1e6;
}

// 64 MiB from one TWSocket to another over loopback, both on this thread's loop.
void BM_LoopbackTransfer(benchmark::State& State) {
  const size_t Total = 64u << 20;
  std::string Block(1 << 20, 'x');
  for (auto _ : State) {
    test::TTestServer Server;
    size_t Got = 0;
    Server.OnAccept = [&](TWSocket& C) {
      C.OnDataAvailable = [&](TWSocket& S, uint16_t) {
        char B[65536];
        int N = S.Receive(B, sizeof B);
        if (N > 0) Got += static_cast<size_t>(N);
      };
    };
    TWSocket S;
    size_t Queued = 0;
    auto Feed = [&](TWSocket& Sock) {
      if (Queued < Total) {
        Sock.Send(Block.data(), static_cast<int>(Block.size()));
        Queued += Block.size();
      }
    };
    S.OnSessionConnected = [&](TWSocket& Sock, uint16_t) { Feed(Sock); };
    S.OnDataSent = [&](TWSocket& Sock, uint16_t) { Feed(Sock); };
    S.SetAddr("127.0.0.1");
    S.SetPort(Server.Port());
    S.Connect();
    test::PumpFor([&] { return Got >= Total; }, 60s);
  }
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Total));
}
BENCHMARK(BM_LoopbackTransfer)->Unit(benchmark::kMillisecond)->Iterations(3);

// A blocking wait of one second for a timer: the CPU it costs (no busy waiting).
void BM_WaitCostsNoCpu(benchmark::State& State) {
  TEventLoop& Loop = TEventLoop::Current();
  double Cpu = 0;
  for (auto _ : State) {
    bool Done = false;
    THandle T = Loop.AllocateTarget([&](const TMessage&) { Done = true; });
    Loop.SetTimer(T, 1, 1000ms);
    double Before = CpuSeconds();
    Loop.PumpUntil([&] { return Done; });
    Cpu += CpuSeconds() - Before;
    Loop.DestroyTarget(T);
  }
  State.counters["cpu_ms_per_wait"] = Cpu * 1000 / static_cast<double>(State.iterations());
}
BENCHMARK(BM_WaitCostsNoCpu)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

// Posting and dispatching messages through the queue.
void BM_PostAndDispatch(benchmark::State& State) {
  TEventLoop Loop;
  int Got = 0;
  THandle T = Loop.AllocateTarget([&](const TMessage&) { ++Got; });
  for (auto _ : State) {
    for (int I = 0; I < 1000; ++I) Loop.PostMessage(T, 1025, static_cast<uintptr_t>(I));
    Loop.ProcessMessages();
  }
  State.SetItemsProcessed(State.iterations() * 1000);
  benchmark::DoNotOptimize(Got);
}
BENCHMARK(BM_PostAndDispatch);

}  // namespace
}  // namespace chronark
