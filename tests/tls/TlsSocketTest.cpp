// TWSocket with SslEnable against the TLS server of the test.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "TlsTestServer.h"
#include "net/WSocket.h"
#include "platform/eventloop/EventLoop.h"

namespace chronark {
namespace {

using test::TTestPki;
using test::TTlsConn;
using test::TTlsTestServer;

struct TTrustTestCa : ::testing::Environment {
  void SetUp() override { ::setenv("SSL_CERT_FILE", TTestPki::Get().File("ca.pem").c_str(), 1); }
};
const auto* const TrustTestCa = ::testing::AddGlobalTestEnvironment(new TTrustTestCa);

struct TSession {
  TWSocket S;
  std::vector<uint16_t> Connected, Closed;
  std::string Data;
  int EmptyReads = 0;  // notifications that found nothing to read
  explicit TSession(int Port, const std::string& Host = "127.0.0.1") {
    S.OnSessionConnected = [this](TWSocket&, uint16_t E) { Connected.push_back(E); };
    S.OnSessionClosed = [this](TWSocket&, uint16_t E) { Closed.push_back(E); };
    S.OnDataAvailable = [this](TWSocket& Sk, uint16_t) {
      char B[100];  // small on purpose: most of each record stays inside the session
      const int N = Sk.Receive(B, sizeof B);
      if (N > 0)
        Data.append(B, static_cast<size_t>(N));
      else if (N < 0)
        ++EmptyReads;
    };
    S.SetAddr("127.0.0.1");
    S.SetPort(std::to_string(Port));
    S.SetSslEnable(true);
    S.SetSslHostName(Host);
    S.Connect();
  }
  void WaitClosed() {
    TEventLoop::Current().PumpUntil([&] { return S.State() == wsClosed; });
  }
};

TEST(TlsSocket, HandshakeThenPlaintextBothWaysAndCloseNotify) {
  std::string Big(300000, 'x');
  for (size_t I = 0; I < Big.size(); I += 1000) Big[I] = static_cast<char>('a' + I / 1000 % 26);
  bool PeerSawCloseNotify = false;
  TTlsTestServer Server([&](TTlsConn& C) {
    C.Send(Big);
    char B[16];
    // Our Close answers with close_notify before the FIN: a clean end of data.
    const int N = SSL_read(C.Ssl, B, sizeof B);
    PeerSawCloseNotify = N == 0 && SSL_get_error(C.Ssl, N) == SSL_ERROR_ZERO_RETURN;
  });
  TSession T(Server.Port());
  T.S.OnSessionConnected = [&](TWSocket& S, uint16_t E) {
    T.Connected.push_back(E);
    EXPECT_EQ(S.SslVersion().substr(0, 5), "TLSv1");
    EXPECT_NE(S.SslPeerSubject().find("CN=localhost"), std::string::npos);
    S.SendStr("GET / HTTP/1.0\r\n\r\n");
  };
  TEventLoop::Current().PumpUntil([&] { return T.Data.size() >= Big.size(); });
  T.S.Close();
  T.WaitClosed();
  EXPECT_EQ(T.Connected, std::vector<uint16_t>{0});
  EXPECT_EQ(T.Data, Big);
  EXPECT_EQ(T.EmptyReads, 0) << "OnDataAvailable without decrypted bytes";
  ASSERT_EQ(Server.Requests().size(), 1u);
  EXPECT_EQ(Server.Requests()[0], "GET / HTTP/1.0\r\n\r\n");
  // The server thread finishes its script before the next connection.
  EXPECT_EQ(Server.ServerNames(), std::vector<std::string>{""}) << "no SNI for an address";
}

TEST(TlsSocket, RecordsHeldInsideTheSessionAreOfferedWithoutNewReadiness) {
  // One small read per notification (no receive loop): after the first
  // read the descriptor is drained into OpenSSL and stays quiet while the
  // server waits; only the session's own notice can deliver the rest.
  const std::string Body(50000, 'r');
  TTlsTestServer Server([&](TTlsConn& C) {
    C.Send(Body);
    C.Sleep(3000);
  });
  TSession T(Server.Port());
  T.S.SetComponentOptions(wsoNoReceiveLoop);
  T.S.OnSessionConnected = [&](TWSocket& S, uint16_t) { S.SendStr("GET / HTTP/1.0\r\n\r\n"); };
  const auto T0 = std::chrono::steady_clock::now();
  TEventLoop::Current().PumpUntil(
      [&] { return T.Data.size() >= Body.size() || T.S.State() == wsClosed; });
  EXPECT_EQ(T.Data.size(), Body.size());
  EXPECT_LT(std::chrono::steady_clock::now() - T0, std::chrono::milliseconds(2500))
      << "the rest came only with the server's close";
  EXPECT_EQ(T.EmptyReads, 0);
  T.S.Abort();
}

TEST(TlsSocket, StartSslOnAnOpenConnectionQueuesWhatIsSentMeanwhile) {
  TTlsTestServer Server([](TTlsConn& C) { C.Send("answer"); });
  TWSocket S;
  std::vector<uint16_t> Connected;
  std::string Data;
  S.OnSessionConnected = [&](TWSocket& Sk, uint16_t E) {
    Connected.push_back(E);
    if (Connected.size() > 1) return;
    Sk.StartSsl();  // the connection stands: TLS from here on
    EXPECT_TRUE(Sk.SslActive());
    // Held until the handshake is done, never sent in plain text.
    Sk.SendStr("GET / HTTP/1.0\r\n\r\n");
  };
  S.OnDataAvailable = [&](TWSocket& Sk, uint16_t) {
    char B[64];
    const int N = Sk.Receive(B, sizeof B);
    if (N > 0) Data.append(B, static_cast<size_t>(N));
  };
  S.SetAddr("127.0.0.1");
  S.SetPort(std::to_string(Server.Port()));
  S.Connect();
  TEventLoop::Current().PumpUntil([&] { return S.State() == wsClosed; });
  EXPECT_EQ(Connected, (std::vector<uint16_t>{0, 0})) << "TCP, then the handshake";
  EXPECT_EQ(Data, "answer");
  ASSERT_EQ(Server.Requests().size(), 1u);
  EXPECT_EQ(Server.Requests()[0], "GET / HTTP/1.0\r\n\r\n");
}

TEST(TlsSocket, DataSentBeforeTheHandshakeNeverLeavesInPlainText) {
  TTlsTestServer Server([](TTlsConn& C) { C.Send("answer"); });
  TSession T(Server.Port());
  T.S.OnChangeState = [](TWSocket& S, TSocketState, TSocketState New) {
    if (New == wsConnected) S.SendStr("GET /early HTTP/1.0\r\n\r\n");
  };
  T.WaitClosed();
  EXPECT_EQ(T.Connected, std::vector<uint16_t>{0});
  EXPECT_EQ(T.Data, "answer");
  ASSERT_EQ(Server.Requests().size(), 1u);
  EXPECT_EQ(Server.Requests()[0], "GET /early HTTP/1.0\r\n\r\n");
}

TEST(TlsSocket, SniAndNameCheckForAHostName) {
  TTlsTestServer Server([](TTlsConn& C) { C.Send("hello"); });
  TSession T(Server.Port(), "localhost");
  T.S.OnSessionConnected = [&](TWSocket& S, uint16_t E) {
    T.Connected.push_back(E);
    S.SendStr("GET / HTTP/1.0\r\n\r\n");
  };
  T.WaitClosed();
  EXPECT_EQ(T.Connected, std::vector<uint16_t>{0});
  EXPECT_EQ(T.Data, "hello");
  EXPECT_EQ(T.Closed, std::vector<uint16_t>{0}) << "close_notify ends the data cleanly";
  EXPECT_EQ(Server.ServerNames(), std::vector<std::string>{"localhost"});
}

TEST(TlsSocket, FailedVerificationIsConnectedWithCodeThenClosed) {
  TTlsTestServer Server([](TTlsConn& C) { C.Send("never"); }, {"wronghost", 0});
  TSession T(Server.Port(), "localhost");
  T.WaitClosed();
  EXPECT_EQ(T.Connected, std::vector<uint16_t>{sslHostNameMismatch});
  EXPECT_EQ(T.Closed, std::vector<uint16_t>{0});
  EXPECT_EQ(T.S.SslErrorText(), "SSL host name mismatch");
  EXPECT_EQ(T.Data, "");
  EXPECT_EQ(WSocketErrorDesc(sslHostNameMismatch), "SSL host name mismatch");
}

TEST(TlsSocket, TcpCloseWithoutCloseNotifyIsReportedAsTruncation) {
  TTlsTestServer Server([](TTlsConn& C) {
    C.Send("part");
    C.CloseNotify = false;
  });
  TSession T(Server.Port());
  T.S.OnSessionConnected = [&](TWSocket& S, uint16_t) { S.SendStr("GET / HTTP/1.0\r\n\r\n"); };
  T.WaitClosed();
  EXPECT_EQ(T.Data, "part");
  EXPECT_EQ(T.Closed, std::vector<uint16_t>{sslTruncated});
}

TEST(TlsSocket, SettingsAreRefusedWhileOpenAndResetByTheClose) {
  TTlsTestServer Server([](TTlsConn& C) { C.Send("x"); });
  TSession T(Server.Port());
  EXPECT_THROW(T.S.SetSslEnable(false), ESocketException);
  EXPECT_THROW(T.S.SetSslHostName("other"), ESocketException);
  T.S.OnSessionConnected = [&](TWSocket& S, uint16_t) { S.SendStr("GET / HTTP/1.0\r\n\r\n"); };
  T.WaitClosed();
  EXPECT_FALSE(T.S.SslEnable());
  EXPECT_EQ(T.S.SslHostName(), "");
  EXPECT_FALSE(T.S.SslActive());
}

TEST(TlsSocket, HandshakeRunsAfterTheSocksNegotiation) {
  if (access("/usr/bin/microsocks", X_OK) != 0) GTEST_SKIP() << "microsocks is not installed";
  TTlsTestServer Server([](TTlsConn& C) { C.Send("through socks"); });
  // Debian's microsocks on a free loopback port, stopped at the end.
  TWSocket Probe;
  Probe.SetAddr("127.0.0.1");
  Probe.SetPort("0");
  Probe.Listen();
  std::string Port = Probe.LocalPort();
  Probe.Close();
  std::vector<std::string> Args = {"microsocks", "-i", "127.0.0.1", "-p", Port};
  std::vector<char*> Argv;
  for (auto& A : Args) Argv.push_back(A.data());
  Argv.push_back(nullptr);
  posix_spawn_file_actions_t Fa;
  posix_spawn_file_actions_init(&Fa);
  posix_spawn_file_actions_addopen(&Fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t Pid = -1;
  ASSERT_EQ(posix_spawn(&Pid, "/usr/bin/microsocks", &Fa, nullptr, Argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&Fa);
  struct TStop {
    pid_t Pid;
    ~TStop() {
      kill(Pid, SIGTERM);
      waitpid(Pid, nullptr, 0);
    }
  } Stop{Pid};
  for (int I = 0; I < 300; ++I) {  // until it listens (bounded)
    TWSocket T;
    bool Up = false, Done = false;
    T.OnSessionConnected = [&](TWSocket&, uint16_t E) { Up = E == 0, Done = true; };
    T.SetAddr("127.0.0.1");
    T.SetPort(Port);
    T.Connect();
    TEventLoop::Current().PumpUntil([&] { return Done; });
    T.Abort();
    if (Up) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  TWSocket S;
  std::vector<uint16_t> Connected;
  std::string Data;
  S.OnSessionConnected = [&](TWSocket& Sk, uint16_t E) {
    Connected.push_back(E);
    if (E == 0) Sk.SendStr("GET / HTTP/1.0\r\n\r\n");
  };
  S.OnDataAvailable = [&](TWSocket& Sk, uint16_t) {
    char B[64];
    const int N = Sk.Receive(B, sizeof B);
    if (N > 0) Data.append(B, static_cast<size_t>(N));
  };
  S.SetSocksServer("127.0.0.1");
  S.SetSocksPort(Port);
  S.SetAddr("127.0.0.1");
  S.SetPort(std::to_string(Server.Port()));
  S.SetSslEnable(true);
  S.Connect();
  TEventLoop::Current().PumpUntil([&] { return S.State() == wsClosed; });
  EXPECT_EQ(Connected, std::vector<uint16_t>{0});
  EXPECT_EQ(Data, "through socks");
  EXPECT_EQ(Server.Handshakes(), 1);
}

}  // namespace
}  // namespace chronark
