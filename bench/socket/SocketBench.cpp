#include "net/WSocket.h"

#include "support/socket_util.h"

#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

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

// A plain sender thread writes Total bytes to whoever connects to its port.
struct TRawSender {
  int Listener = -1;
  uint16_t Port = 0;
  std::thread Worker;
  explicit TRawSender(size_t Total) {
    Listener = test::BindLoopback(Port, 1);
    Worker = std::thread([this, Total] {
      int C = accept(Listener, nullptr, nullptr);
      std::string Block(1 << 20, 'y');
      for (size_t Sent = 0; Sent < Total;) {
        ssize_t N = send(C, Block.data(), std::min(Block.size(), Total - Sent), MSG_NOSIGNAL);
        if (N <= 0) break;
        Sent += static_cast<size_t>(N);
      }
      close(C);
    });
  }
  ~TRawSender() {
    Worker.join();
    close(Listener);
  }
};

// The receiving side as THttpCli drives it: 8192 bytes per Receive, until the
// peer closes. Compare with BM_RawReceive8K, a blocking recv loop.
void BM_ReceiveThroughTWSocket8K(benchmark::State& State) {
  const size_t Total = 256u << 20;
  for (auto _ : State) {
    TRawSender Sender(Total);
    TWSocket S;
    size_t Got = 0;
    bool Closed = false;
    S.OnDataAvailable = [&](TWSocket& Sock, uint16_t) {
      static char B[8192];
      int N = Sock.Receive(B, sizeof B);
      if (N > 0) Got += static_cast<size_t>(N);
    };
    S.OnSessionClosed = [&](TWSocket&, uint16_t) { Closed = true; };
    S.SetAddr("127.0.0.1");
    S.SetPort(std::to_string(Sender.Port));
    S.Connect();
    TEventLoop::Current().PumpUntil([&] { return Closed; });
    if (Got != Total) State.SkipWithError("short read");
  }
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Total));
}
BENCHMARK(BM_ReceiveThroughTWSocket8K)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_RawReceive8K(benchmark::State& State) {
  const size_t Total = 256u << 20;
  for (auto _ : State) {
    TRawSender Sender(Total);
    const int Fd = test::ConnectLoopback(Sender.Port);
    static char B[8192];
    size_t Got = 0;
    ssize_t N;
    while ((N = recv(Fd, B, sizeof B, 0)) > 0) Got += static_cast<size_t>(N);
    close(Fd);
    if (Got != Total) State.SkipWithError("short read");
  }
  State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * Total));
}
BENCHMARK(BM_RawReceive8K)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

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
