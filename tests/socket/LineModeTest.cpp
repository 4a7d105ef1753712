#include "net/WSocket.h"

#include "support/socket_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace chronark {
namespace {

using namespace std::chrono_literals;
using test::PumpFor;
using test::PumpIdle;
using test::TTestServer;

// A client in line mode that records every line offered to it.
struct TLineClient {
  TWSocket S;
  std::vector<std::string> Lines;
  bool Closed = false;
  explicit TLineClient(const std::string& Port) {
    S.SetLineMode(true);
    S.OnDataAvailable = [this](TWSocket& Sock, uint16_t) {
      char B[70000];
      int N = Sock.Receive(B, sizeof B);
      if (N > 0) Lines.emplace_back(B, static_cast<size_t>(N));
    };
    S.OnSessionClosed = [this](TWSocket&, uint16_t) { Closed = true; };
    S.SetAddr("127.0.0.1");
    S.SetPort(Port);
    S.Connect();
  }
};

TEST(WSocketLineMode, OffersOneCompleteLineAtATimeAndThePartialOneAtClose) {
  TTestServer Server;
  TLineClient C(Server.Port());
  ASSERT_TRUE(PumpFor([&] { return Server.Clients.size() == 1 && C.S.State() == wsConnected; }));
  Server.Clients[0]->SendStr("one\r\ntwo\r\nthr");
  ASSERT_TRUE(PumpFor([&] { return C.Lines.size() == 2; }));
  PumpIdle(20ms);
  EXPECT_EQ(C.Lines, (std::vector<std::string>{"one\r\n", "two\r\n"}));
  Server.Clients[0]->SendStr("ee\r\ntail");
  ASSERT_TRUE(PumpFor([&] { return C.Lines.size() == 3; }));
  EXPECT_EQ(C.Lines[2], "three\r\n");
  Server.Clients[0]->Close();
  ASSERT_TRUE(PumpFor([&] { return C.Closed; }));
  EXPECT_EQ(C.Lines.size(), 4u);
  EXPECT_EQ(C.Lines.back(), "tail");
}

TEST(WSocketLineMode, AnotherLineEndAndALineReadInPieces) {
  TTestServer Server;
  TWSocket S;
  S.SetLineMode(true);
  S.SetLineEnd("|");
  std::vector<std::string> Pieces;
  S.OnDataAvailable = [&](TWSocket& Sock, uint16_t) {
    char B[3];
    int N;
    while ((N = Sock.Receive(B, sizeof B)) > 0) Pieces.emplace_back(B, static_cast<size_t>(N));
    Pieces.push_back("/");
  };
  S.SetAddr("127.0.0.1");
  S.SetPort(Server.Port());
  S.Connect();
  ASSERT_TRUE(PumpFor([&] { return Server.Clients.size() == 1; }));
  Server.Clients[0]->SendStr("abcde|x|");
  ASSERT_TRUE(PumpFor([&] { return Pieces.size() == 5; }));
  EXPECT_EQ(Pieces, (std::vector<std::string>{"abc", "de|", "/", "x|", "/"}));
}

TEST(WSocketLineMode, LineLimitEventClearsOrKeepsTheBuffer) {
  TTestServer Server;
  TLineClient C(Server.Port());
  C.S.SetLineLimit(10);
  std::vector<int> Exceeded;
  bool Clear = true;
  C.S.OnLineLimitExceeded = [&](TWSocket&, int Len, bool& ClearData) {
    Exceeded.push_back(Len);
    ClearData = Clear;
  };
  ASSERT_TRUE(PumpFor([&] { return Server.Clients.size() == 1 && C.S.State() == wsConnected; }));
  Server.Clients[0]->SendStr("0123456789AB");
  ASSERT_TRUE(PumpFor([&] { return !Exceeded.empty(); }));
  EXPECT_EQ(Exceeded, std::vector<int>{12});
  EXPECT_EQ(C.S.LineBuffer(), "");
  Clear = false;
  Server.Clients[0]->SendStr("abcdefghijk");
  ASSERT_TRUE(PumpFor([&] { return Exceeded.size() == 2; }));
  Server.Clients[0]->SendStr("\r\n");
  ASSERT_TRUE(PumpFor([&] { return C.Lines.size() == 1; }));
  EXPECT_EQ(C.Lines[0], "abcdefghijk\r\n");
}

struct TEditCase {
  const char* In;
  const char* Out;
};
void PrintTo(const TEditCase& P, std::ostream* Os) {
  *Os << ::testing::PrintToString(std::string(P.Out));
}
class WSocketLineEdit : public ::testing::TestWithParam<TEditCase> {};
TEST_P(WSocketLineEdit, AppliesBackspaceAndTab) {
  TTestServer Server;
  TLineClient C(Server.Port());
  C.S.SetLineEdit(true);
  ASSERT_TRUE(PumpFor([&] { return Server.Clients.size() == 1 && C.S.State() == wsConnected; }));
  Server.Clients[0]->SendStr(GetParam().In);
  ASSERT_TRUE(PumpFor([&] { return C.Lines.size() == 1; }));
  EXPECT_EQ(C.Lines[0], GetParam().Out);
}
INSTANTIATE_TEST_SUITE_P(Cases, WSocketLineEdit,
                         ::testing::Values(TEditCase{"ab\bc\r\n", "ac\r\n"},
                                           TEditCase{"\b\bx\r\n", "x\r\n"},
                                           TEditCase{"a\tb\r\n", "a       b\r\n"},
                                           TEditCase{"12345678\tz\r\n", "12345678        z\r\n"}));

TEST(WSocketLineMode, EchoSendsTheBytesBack) {
  TTestServer Server;
  TLineClient C(Server.Port());
  C.S.SetLineEcho(true);
  ASSERT_TRUE(PumpFor([&] { return Server.Clients.size() == 1 && C.S.State() == wsConnected; }));
  Server.Clients[0]->SendStr("hi\r\n");
  ASSERT_TRUE(PumpFor([&] { return Server.Received == "hi\r\n" && C.Lines.size() == 1; }));
}

TEST(WSocketLineMode, SwitchingLineModeOffRedeliversWhatIsHeld) {
  TTestServer Server;
  TLineClient C(Server.Port());
  ASSERT_TRUE(PumpFor([&] { return Server.Clients.size() == 1 && C.S.State() == wsConnected; }));
  Server.Clients[0]->SendStr("partial");
  ASSERT_TRUE(PumpFor([&] { return C.S.LineBuffer() == "partial"; }));
  EXPECT_TRUE(C.Lines.empty());
  C.S.SetLineMode(false);
  ASSERT_TRUE(PumpFor([&] { return C.Lines.size() == 1; }));
  EXPECT_EQ(C.Lines[0], "partial");
  Server.Clients[0]->SendStr("raw");
  ASSERT_TRUE(PumpFor([&] { return C.Lines.size() == 2; }));
  EXPECT_EQ(C.Lines[1], "raw");
}

}  // namespace
}  // namespace chronark
