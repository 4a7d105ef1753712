#include "net/WSocket.h"

#include "support/socket_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace chronark {
namespace {

using namespace std::chrono_literals;
using test::ConnectLoopback;
using test::FreeLoopbackPort;
using test::PumpFor;
using test::RaisedText;
using test::TTestServer;

// Accepted connections echo what they receive.
struct TEchoServer : TTestServer {
  TEchoServer() {
    OnAccept = [](TWSocket& C) {
      C.OnDataAvailable = [](TWSocket& S, uint16_t) {
        char B[4096];
        int N = S.Receive(B, sizeof B);
        if (N > 0) S.Send(B, N);
      };
    };
  }
};

// The client side of a test: records what the SOCKS layer reports.
struct TSocksClient {
  TWSocket S;
  std::vector<std::string> Events;
  std::string Got;
  TSocksClient() {
    S.OnSocksConnected = [this](TWSocket&, uint16_t E) {
      Events.push_back("socks " + std::to_string(E));
    };
    S.OnSocksError = [this](TWSocket&, int E, const std::string& M) {
      Events.push_back("error " + std::to_string(E) + " " + M);
    };
    S.OnSocksAuthState = [this](TWSocket&, TSocksAuthState A) {
      Events.push_back("auth " + std::to_string(A));
    };
    S.OnSessionConnected = [this](TWSocket& Sock, uint16_t E) {
      Events.push_back("connected " + std::to_string(E));
      if (E == 0) Sock.SendStr("hello through socks");
    };
    S.OnSessionClosed = [this](TWSocket&, uint16_t E) {
      Events.push_back("closed " + std::to_string(E));
    };
    S.OnDataAvailable = [this](TWSocket& Sock, uint16_t) {
      char B[4096];
      int N = Sock.Receive(B, sizeof B);
      if (N > 0) Got.append(B, static_cast<size_t>(N));
    };
  }
  void Connect(const std::string& Level, const std::string& SocksPort, const std::string& Host,
               const std::string& Port) {
    S.SetSocksServer("127.0.0.1");
    S.SetSocksPort(SocksPort);
    S.SetSocksLevel(Level);
    S.SetAddr(Host);
    S.SetPort(Port);
    S.Connect();
  }
};

// A level 4 / 4A server in the test: checks the request, answers with Code,
// then echoes.
struct TSocks4Server : TTestServer {
  std::string Request;
  uint8_t Code = 90;
  TSocks4Server() {
    OnAccept = [this](TWSocket& C) {
      C.OnDataAvailable = [this](TWSocket& S, uint16_t) {
        char B[4096];
        int N = S.Receive(B, sizeof B);
        if (N <= 0) return;
        if (Request.empty() || !Complete()) {
          Request.append(B, static_cast<size_t>(N));
          if (Complete()) {
            std::string Reply("\x00\x00\x00\x00\x00\x00\x00\x00", 8);
            Reply[1] = static_cast<char>(Code);
            S.SendStr(Reply);
            if (Code != 90) S.Close();
          }
          return;
        }
        S.Send(B, N);
      };
    };
  }
  // VN CD PORT IP USERID NUL [HOST NUL when IP is 0.0.0.x]
  bool Complete() const {
    if (Request.size() < 9) return false;
    size_t UserEnd = Request.find('\0', 8);
    if (UserEnd == std::string::npos) return false;
    bool Named = Request[4] == 0 && Request[5] == 0 && Request[6] == 0 && Request[7] != 0;
    return !Named || Request.find('\0', UserEnd + 1) != std::string::npos;
  }
};

std::string PortBytes(const std::string& Port) {
  int P = std::stoi(Port);
  return std::string{static_cast<char>(P >> 8), static_cast<char>(P & 0xFF)};
}

TEST(WSocketSocks, SettingsAreChecked) {
  TWSocket S;
  EXPECT_EQ(RaisedText([&] { S.SetSocksLevel("3"); }), "Invalid socks level. Must be 4, 4A or 5.");
  S.SetSocksLevel("4a");
  EXPECT_EQ(S.SocksLevel(), "4A");
  S.SetSocksServer("127.0.0.1");
  S.SetProto("udp");
  S.SetAddr("127.0.0.1");
  S.SetPort("9");
  EXPECT_EQ(RaisedText([&] { S.Connect(); }),
            "tcp is the only protocol supported thru socks server");
  S.SetProto("tcp");
  EXPECT_EQ(RaisedText([&] { S.Listen(); }), "Listening is not supported thru socks server");
}

TEST(WSocketSocks, Level4SendsAddressPortAndUserThenRelays) {
  TEchoServer Target;
  TSocks4Server Proxy;
  TSocksClient C;
  C.S.SetSocksUsercode("fred");
  C.Connect("4", Proxy.Port(), "localhost", Target.Port());  // level 4 resolves the name itself
  ASSERT_TRUE(PumpFor([&] { return Proxy.Complete(); }));
  EXPECT_EQ(Proxy.Request, std::string("\x04\x01", 2) + PortBytes(Target.Port()) +
                               std::string("\x7f\x00\x00\x01", 4) + "fred" + std::string(1, '\0'));
  // The in-test server does not relay: after its answer it echoes itself.
  ASSERT_TRUE(PumpFor([&] { return C.Got == "hello through socks"; }));
  EXPECT_EQ(C.Events, (std::vector<std::string>{"socks 0", "connected 0"}));
}

TEST(WSocketSocks, Level4ASendsTheNameForTheServerToResolve) {
  TSocks4Server Proxy;
  TSocksClient C;
  C.Connect("4A", Proxy.Port(), "target.example", "8080");
  ASSERT_TRUE(PumpFor([&] { return Proxy.Complete(); }));
  EXPECT_EQ(Proxy.Request, std::string("\x04\x01\x1f\x90\x00\x00\x00\x01\x00", 9) +
                               "target.example" + std::string(1, '\0'));
  ASSERT_TRUE(PumpFor([&] { return C.Got == "hello through socks"; }));
}

TEST(WSocketSocks, Level4RejectionReportsTheErrorAndCloses) {
  TSocks4Server Proxy;
  Proxy.Code = 91;
  TSocksClient C;
  C.Connect("4", Proxy.Port(), "127.0.0.1", "80");
  ASSERT_TRUE(PumpFor([&] { return C.Events.size() == 3; }));
  EXPECT_EQ(C.Events, (std::vector<std::string>{"error 20013 Request rejected or failed",
                                                "connected 20013", "closed 0"}));
  EXPECT_EQ(C.S.State(), wsClosed);
}

TEST(WSocketSocks, UnreachableServerIsAnOrdinaryRefusedConnection) {
  TSocksClient C;
  C.Connect("5", FreeLoopbackPort(), "127.0.0.1", "80");
  ASSERT_TRUE(PumpFor([&] { return C.Events.size() == 2; }));
  EXPECT_EQ(C.Events, (std::vector<std::string>{"connected 10061", "closed 0"}));
}

TEST(WSocketSocks, ServerClosingDuringTheNegotiationIsReported) {
  TTestServer Proxy;
  Proxy.OnAccept = [](TWSocket& C) { C.Close(); };
  TSocksClient C;
  C.Connect("5", Proxy.Port(), "127.0.0.1", "80");
  ASSERT_TRUE(PumpFor([&] { return C.Events.size() == 3; }));
  EXPECT_EQ(C.Events, (std::vector<std::string>{"error 20015 SOCKS server closed the connection",
                                                "connected 20015", "closed 0"}));
}

// Level 5 against Debian's microsocks on a loopback port.
class WSocketSocks5 : public ::testing::Test {
protected:
  void SetUp() override {
    if (access("/usr/bin/microsocks", X_OK) != 0) GTEST_SKIP() << "microsocks is not installed";
  }
  void TearDown() override {
    if (FPid > 0) {
      kill(FPid, SIGTERM);
      waitpid(FPid, nullptr, 0);
    }
  }
  // Starts microsocks and waits (sleeping, bounded) until it listens.
  std::string Start(const std::vector<std::string>& Extra = {}) {
    std::string Port = FreeLoopbackPort();
    std::vector<std::string> Args = {"microsocks", "-i", "127.0.0.1", "-p", Port};
    Args.insert(Args.end(), Extra.begin(), Extra.end());
    std::vector<char*> Argv;
    for (auto& A : Args) Argv.push_back(A.data());
    Argv.push_back(nullptr);
    posix_spawn_file_actions_t Fa;
    posix_spawn_file_actions_init(&Fa);
    posix_spawn_file_actions_addopen(&Fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&Fa, 2, "/dev/null", O_WRONLY, 0);
    int Rc = posix_spawn(&FPid, "/usr/bin/microsocks", &Fa, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Fa);
    if (Rc != 0) return {};
    for (int I = 0; I < 300; ++I) {
      const int Fd = ConnectLoopback(static_cast<uint16_t>(std::stoi(Port)));
      if (Fd >= 0) {
        close(Fd);
        return Port;
      }
      std::this_thread::sleep_for(10ms);
    }
    return {};
  }
  pid_t FPid = -1;
};

TEST_F(WSocketSocks5, ConnectsWithoutAuthenticationAndRelays) {
  TEchoServer Target;
  std::string Port = Start();
  ASSERT_FALSE(Port.empty());
  TSocksClient C;
  int DataSent = 0;
  C.S.OnDataSent = [&](TWSocket&, uint16_t) { ++DataSent; };
  C.Connect("5", Port, "127.0.0.1", Target.Port());
  ASSERT_TRUE(PumpFor([&] { return C.Got == "hello through socks"; }));
  EXPECT_EQ(C.Events, (std::vector<std::string>{"auth 3", "socks 0", "connected 0"}));
  EXPECT_GE(DataSent, 1);
  C.S.Close();
  EXPECT_EQ(C.Events.back(), "closed 0");
}

TEST_F(WSocketSocks5, SendsANameForTheServerToResolve) {
  TEchoServer Target;
  std::string Port = Start();
  ASSERT_FALSE(Port.empty());
  TSocksClient C;
  C.Connect("5", Port, "localhost", Target.Port());
  ASSERT_TRUE(PumpFor([&] { return C.Got == "hello through socks"; }));
}

TEST_F(WSocketSocks5, AuthenticatesWithUsercodeAndPassword) {
  TEchoServer Target;
  std::string Port = Start({"-u", "fred", "-P", "secret"});
  ASSERT_FALSE(Port.empty());
  TSocksClient C;
  C.S.SetSocksAuthentication(socksAuthenticateUsercode);
  C.S.SetSocksUsercode("fred");
  C.S.SetSocksPassword("secret");
  C.Connect("5", Port, "127.0.0.1", Target.Port());
  ASSERT_TRUE(PumpFor([&] { return C.Got == "hello through socks"; }));
  EXPECT_EQ(C.Events, (std::vector<std::string>{"auth 0", "auth 1", "socks 0", "connected 0"}));
}

TEST_F(WSocketSocks5, WrongPasswordFailsTheConnection) {
  std::string Port = Start({"-u", "fred", "-P", "secret"});
  ASSERT_FALSE(Port.empty());
  TSocksClient C;
  C.S.SetSocksAuthentication(socksAuthenticateUsercode);
  C.S.SetSocksUsercode("fred");
  C.S.SetSocksPassword("wrong");
  C.Connect("5", Port, "127.0.0.1", "9");
  ASSERT_TRUE(PumpFor([&] { return C.S.State() == wsClosed && C.Events.size() >= 3; }));
  EXPECT_EQ(C.Events.at(0), "auth 0");
  // The server may answer with a failure or just hang up: either ends the attempt.
  EXPECT_TRUE(C.Events.at(1) == "auth 2" || C.Events.at(1).rfind("error 20015", 0) == 0)
      << C.Events.at(1);
  EXPECT_EQ(C.Events.back(), "closed 0");
}

TEST_F(WSocketSocks5, NoAuthenticationOfferedToAServerThatWantsOne) {
  std::string Port = Start({"-u", "fred", "-P", "secret"});
  ASSERT_FALSE(Port.empty());
  TSocksClient C;
  C.Connect("5", Port, "127.0.0.1", "9");
  ASSERT_TRUE(PumpFor([&] { return C.S.State() == wsClosed && C.Events.size() >= 2; }));
  EXPECT_EQ(C.Events.at(0), "error 20003 Authentication method not acceptable");
}

TEST_F(WSocketSocks5, RefusedTargetIsTheServersReply) {
  std::string Port = Start();
  ASSERT_FALSE(Port.empty());
  TSocksClient C;
  C.Connect("5", Port, "127.0.0.1", FreeLoopbackPort());
  ASSERT_TRUE(PumpFor([&] { return C.S.State() == wsClosed && C.Events.size() >= 3; }));
  EXPECT_EQ(C.Events.at(0), "auth 3");
  EXPECT_EQ(C.Events.at(1), "error 20008 Connection refused");
  EXPECT_EQ(C.Events.at(2), "connected 20008");
}

}  // namespace
}  // namespace chronark
