// THttpCli over https against the TLS test server on loopback:
//  - Get of a 256 MiB body, alternating with curl against the same server in
//    the same run (counter "ratio" = our throughput / curl's; the target is
//    at least 0.9);
//  - CPU time of the waiting thread while an https Get waits 5 s for a late
//    answer after the handshake, and while a handshake hangs 5 s until the
//    idle timeout ends it (counter "cpu_ms"; near 0 means no busy wait).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>

#include "TlsTestServer.h"
#include "net/HttpProt.h"
#include "net/SslEngine.h"
#include "net/Stream.h"

namespace {

using namespace chronark;
using chronark::test::TTestPki;
using chronark::test::TTlsConn;
using chronark::test::TTlsTestServer;
using Clock = std::chrono::steady_clock;

constexpr size_t kBig = size_t(256) << 20;

const std::string& BigResponse() {
  static const std::string R = [] {
    std::string Body(kBig, '\0');
    for (size_t I = 0; I < Body.size(); I += 4096) Body[I] = static_cast<char>(I >> 12);
    return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(kBig) +
           "\r\nContent-Type: application/octet-stream\r\n\r\n" + Body;
  }();
  return R;
}

double Seconds(Clock::time_point T0) {
  return std::chrono::duration<double>(Clock::now() - T0).count();
}

void BM_HttpsGet256MiBAgainstCurl(benchmark::State& State) {
  const std::string& Big = BigResponse();
  TTlsTestServer S([&](TTlsConn& C) { C.Send(Big); });
  const std::string Url = S.Url("/big.bin");
  const std::string CA = TTestPki::Get().File("ca.pem");
  const std::string Curl = "curl -s -o /dev/null --cacert '" + CA + "' '" + Url + "'";
  double BestGet = 1e9, BestCurl = 1e9;
  TMemoryStream Doc;
  for (auto _ : State) {
    THttpCli H;
    H.URL = Url;
    H.SslCAFile = CA;
    Doc.SetSize(0);
    H.ReceiveStream = &Doc;
    const auto T0 = Clock::now();
    H.Get();
    const double Get = Seconds(T0);
    if (static_cast<size_t>(Doc.Size()) != kBig) State.SkipWithError("short document");
    State.SetIterationTime(Get);
    BestGet = std::min(BestGet, Get);

    const auto T1 = Clock::now();
    if (std::system(Curl.c_str()) != 0) State.SkipWithError("curl failed");
    BestCurl = std::min(BestCurl, Seconds(T1));
  }
  const double MiB = static_cast<double>(kBig) / (1 << 20);
  State.counters["get_MiB_per_s"] = MiB / BestGet;
  State.counters["curl_MiB_per_s"] = MiB / BestCurl;
  State.counters["ratio"] = BestCurl / BestGet;
}
BENCHMARK(BM_HttpsGet256MiBAgainstCurl)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

double ThreadCpuMs() {
  timespec T{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
  return T.tv_sec * 1e3 + T.tv_nsec / 1e6;
}

void BM_HttpsCpuWhileWaitingFiveSeconds(benchmark::State& State) {
  TTlsTestServer S([](TTlsConn& C) {
    if (C.Sleep(5000)) C.Send("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nlate");
  });
  double Cpu = 0;
  for (auto _ : State) {
    THttpCli H;
    H.URL = S.Url("/late");
    H.SslCAFile = TTestPki::Get().File("ca.pem");
    TMemoryStream Doc;
    H.ReceiveStream = &Doc;
    const double C0 = ThreadCpuMs();
    H.Get();
    Cpu = ThreadCpuMs() - C0;
    if (Doc.DataString() != "late") State.SkipWithError("wrong document");
  }
  State.counters["cpu_ms"] = Cpu;
}
BENCHMARK(BM_HttpsCpuWhileWaitingFiveSeconds)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_HttpsCpuWhileHandshakeHangsFiveSeconds(benchmark::State& State) {
  // A listener that never accepts: the kernel completes the TCP connection,
  // the ClientHello is never answered.
  const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Len = sizeof A;
  ::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A);
  ::listen(Fd, 4);
  ::getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &Len);
  const std::string CA = TTestPki::Get().File("ca.pem");
  // OpenSSL's one-time start (configuration, providers) and the context for
  // the CA are paid before the measurement: they are not part of waiting.
  { TSslSession Warm(-1, "localhost", CA, true); }
  double Cpu = 0;
  for (auto _ : State) {
    THttpCli H;
    H.URL = "https://127.0.0.1:" + std::to_string(ntohs(A.sin_port)) + "/silent";
    H.IdleTimeout = std::chrono::seconds(5);
    // The test CA alone: loading the system store (about 40 ms, once per
    // process) is no part of the wait.
    H.SslCAFile = CA;
    const double C0 = ThreadCpuMs();
    try {
      H.Get();
      State.SkipWithError("a silent server answered");
    } catch (const EHttpException&) {}
    Cpu = ThreadCpuMs() - C0;
  }
  ::close(Fd);
  State.counters["cpu_ms"] = Cpu;
}
BENCHMARK(BM_HttpsCpuWhileHandshakeHangsFiveSeconds)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
