#include "net/WSocket.h"

#include "support/socket_util.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ostream>
#include <thread>
#include <string>
#include <vector>

namespace chronark {
namespace {

using namespace std::chrono_literals;
using test::BindLoopback;
using test::PumpFor;
using test::PumpIdle;
using test::RaisedText;
using test::TTestServer;

int OpenFdCount() {
  int N = 0;
  if (DIR* D = opendir("/proc/self/fd")) {
    while (readdir(D)) ++N;
    closedir(D);
  }
  return N;
}

std::string DeadPort() { return test::FreeLoopbackPort(); }

std::string Pattern(size_t N) {
  std::string S(N, '\0');
  for (size_t I = 0; I < N; ++I) S[I] = static_cast<char>('A' + (I * 7 + I / 251) % 26);
  return S;
}

void ConnectTo(TWSocket& S, const std::string& Port) {
  S.SetAddr("127.0.0.1");
  S.SetPort(Port);
  S.SetProto("tcp");
  S.Connect();
}

// --- Error texts and conversions -------------------------------------------

struct TErrText {
  int Code;
  const char* Text;
};
void PrintTo(const TErrText& P, std::ostream* Os) { *Os << P.Code; }
class WSocketErrorDescTable : public ::testing::TestWithParam<TErrText> {};
TEST_P(WSocketErrorDescTable, GivesTheTableText) {
  EXPECT_EQ(WSocketErrorDesc(GetParam().Code), GetParam().Text);
}
INSTANTIATE_TEST_SUITE_P(
    Codes, WSocketErrorDescTable,
    ::testing::Values(TErrText{0, "No Error"}, TErrText{10035, "Operation would block"},
                      TErrText{10054, "Connection reset by peer"},
                      TErrText{10057, "Socket is not connected"},
                      TErrText{10060, "Connection timed out"},
                      TErrText{10061, "Connection refused"},
                      TErrText{10093, "WinSock not initialized"}, TErrText{11001, "Host not found"},
                      TErrText{11004, "No Data"}, TErrText{10072, "Not a WinSock error"},
                      TErrText{-1, "Not a WinSock error"}));

struct TErrnoMap {
  int Errno;
  int Code;
};
void PrintTo(const TErrnoMap& P, std::ostream* Os) { *Os << "errno " << P.Errno; }
class WSocketErrnoTable : public ::testing::TestWithParam<TErrnoMap> {};
TEST_P(WSocketErrnoTable, MapsToTheWinSockCode) {
  EXPECT_EQ(WSocketErrorFromErrno(GetParam().Errno), GetParam().Code);
}
INSTANTIATE_TEST_SUITE_P(
    Errnos, WSocketErrnoTable,
    ::testing::Values(TErrnoMap{0, 0}, TErrnoMap{ECONNREFUSED, 10061}, TErrnoMap{EAGAIN, 10035},
                      TErrnoMap{EINPROGRESS, 10036}, TErrnoMap{ECONNRESET, 10054},
                      TErrnoMap{EPIPE, 10054}, TErrnoMap{ENOTCONN, 10057},
                      TErrnoMap{ETIMEDOUT, 10060}, TErrnoMap{ENETUNREACH, 10051},
                      TErrnoMap{EHOSTUNREACH, 10065}, TErrnoMap{EADDRINUSE, 10048},
                      TErrnoMap{EADDRNOTAVAIL, 10049}, TErrnoMap{EINVAL, 10022},
                      TErrnoMap{EBADF, 10038}, TErrnoMap{ENOTSOCK, 10038}));

TEST(WSocketErrorMsg, NamesCodeFunctionAndText) {
  EXPECT_EQ(WSocketErrorMsg(10057, "Send"),
            "Error 10057 in function Send\r\nSocket is not connected");
}

struct TConv {
  const char* Label;
  std::function<void()> Call;
  std::string Message;
};
void PrintTo(const TConv& P, std::ostream* Os) { *Os << P.Label; }
class WSocketConversionFailure : public ::testing::TestWithParam<TConv> {};
TEST_P(WSocketConversionFailure, RaisesItsOwnWords) {
  EXPECT_EQ(RaisedText(GetParam().Call), GetParam().Message);
}
INSTANTIATE_TEST_SUITE_P(
    Messages, WSocketConversionFailure,
    ::testing::Values(
        TConv{"EmptyHost", [] { WSocketResolveHost(""); },
              "WSocketResolveHost: '' Invalid Hostname."},
        TConv{"LongHost", [] { WSocketResolveHost(std::string(257, 'a')); },
              "WSocketResolveHost: '" + std::string(257, 'a') + "' Invalid Hostname."},
        TConv{
            "UnknownHost", [] { WSocketResolveHost("no-such-host.invalid"); },
            "WSocketResolveHost: Cannot convert host address 'no-such-host.invalid', Error #11001"},
        TConv{"EmptyPort", [] { WSocketResolvePort("", "tcp"); },
              "WSocketResolvePort: Invalid Port."},
        TConv{"EmptyProto", [] { WSocketResolvePort("80", ""); },
              "WSocketResolvePort: Invalid Proto."},
        TConv{"LongPort", [] { WSocketResolvePort(std::string(32, '1'), "tcp"); },
              "WSocketResolvePort: Invalid Port."},
        TConv{"PortBeyond65535", [] { WSocketResolvePort("70000", "tcp"); },
              "WSocketResolvePort: Invalid Port."},
        TConv{"UnknownService", [] { WSocketResolvePort("nosuchservice", "tcp"); },
              "WSocketResolvePort: Cannot convert port 'nosuchservice', Error #11004"},
        TConv{"EmptyProtocol", [] { WSocketResolveProto(""); },
              "WSocketResolveProto: Invalid Protocol."},
        TConv{"UnknownProtocol", [] { WSocketResolveProto("nosuchproto"); },
              "WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #11004"}));

TEST(WSocketConversion, AcceptsNumbersNamesAndDottedAddresses) {
  EXPECT_EQ(WSocketResolvePort("  8080abc", "tcp"), 8080);
  EXPECT_EQ(WSocketResolvePort("http", "tcp"), 80);
  EXPECT_EQ(WSocketResolveProto("tcp"), 6);
  EXPECT_EQ(WSocketResolveProto("udp"), 17);
  EXPECT_EQ(WSocketResolveProto("17"), 17);
  EXPECT_EQ(WSocketIPToStr(WSocketResolveHost("  10.1.2.3  ")), "10.1.2.3");
  EXPECT_EQ(WSocketIPToStr(WSocketResolveHost("255.255.255.255")), "255.255.255.255");
  EXPECT_EQ(WSocketIPToStr(WSocketResolveHost("localhost")), "127.0.0.1");
  EXPECT_TRUE(WSocketIsDottedIP("1.2.3.4"));
  EXPECT_FALSE(WSocketIsDottedIP(".1.2.3"));
  EXPECT_FALSE(WSocketIsDottedIP("1.2.3"));
  EXPECT_FALSE(WSocketIsDottedIP("1.2.3.256"));
  EXPECT_FALSE(WSocketIsDottedIP("1.2..3"));
  EXPECT_FALSE(WSocketIsDottedIP("1.2.3.4 x"));
}

// --- Properties -------------------------------------------------------------

TEST(WSocket, ResetDefaultsAtConstruction) {
  TWSocket S;
  EXPECT_EQ(S.State(), wsClosed);
  EXPECT_EQ(S.Proto(), "tcp");
  EXPECT_EQ(S.LocalAddr(), "0.0.0.0");
  EXPECT_EQ(S.LocalPort(), "0");
  EXPECT_EQ(S.LingerOnOff(), wsLingerOn);
  EXPECT_EQ(S.LingerTimeout(), 0);
  EXPECT_EQ(S.SendChunkSize(), 1460);
  EXPECT_EQ(S.HSocket(), -1);
  EXPECT_EQ(S.SocksLevel(), "5");
  EXPECT_EQ(S.LineLimit(), 65536);
  EXPECT_EQ(S.LineEnd(), "\r\n");
  EXPECT_EQ(S.PeerAddr(), "error");
}

TEST(WSocket, LocalAddrMustBeDottedAndIsStoredConverted) {
  TWSocket S;
  EXPECT_EQ(RaisedText([&] { S.SetLocalAddr("localhost"); }), "SetLocalAddr(): Invalid IP address");
  S.SetLocalAddr("");
  EXPECT_EQ(S.LocalAddr(), "0.0.0.0");
  S.SetLocalAddr(" 127.0.0.1 ");
  EXPECT_EQ(S.LocalAddr(), "127.0.0.1");
  EXPECT_EQ(RaisedText([&] { S.SetSendFlags(2); }), "Invalid SendFlags");
}

TEST(WSocket, OpenSocketRefusesNewSettingsButAcceptsItsOwn) {
  TTestServer Server;
  TWSocket S;
  ConnectTo(S, Server.Port());
  ASSERT_NE(S.State(), wsClosed);
  EXPECT_EQ(RaisedText([&] { S.SetAddr("127.0.0.2"); }), "Cannot change Addr if not closed");
  EXPECT_EQ(RaisedText([&] { S.SetPort("1"); }), "Cannot change Port if not closed");
  EXPECT_EQ(RaisedText([&] { S.SetProto("udp"); }), "Cannot change Proto if not closed");
  EXPECT_EQ(RaisedText([&] { S.SetLocalAddr("0.0.0.0"); }),
            "Cannot change LocalAddr if not closed");
  EXPECT_EQ(RaisedText([&] { S.SetLocalPort("0"); }), "Cannot change LocalPort if not closed");
  EXPECT_EQ(RaisedText([&] { S.SetPort(" " + Server.Port() + " "); }), "(nothing raised)");
  EXPECT_EQ(RaisedText([&] { S.SetAddr("127.0.0.1"); }), "(nothing raised)");
  EXPECT_EQ(RaisedText([&] { S.SetProto("tcp"); }), "(nothing raised)");
  EXPECT_EQ(RaisedText([&] { S.SetSocksServer("x"); }), "Cannot change SocksServer if not closed");
  int ErrorCalls = 0;
  S.OnError = [&](TWSocket&) { ++ErrorCalls; };
  S.SetAddr("10.0.0.1");
  EXPECT_EQ(ErrorCalls, 1) << "with OnError the handler runs instead of the exception";
  EXPECT_EQ(S.Addr(), "127.0.0.1");
}

TEST(WSocket, ConnectChecksWhatIsMissing) {
  TWSocket S;
  EXPECT_EQ(RaisedText([&] { S.Connect(); }), "Connect: No Port Specified");
  S.SetPort("80");
  EXPECT_EQ(RaisedText([&] { S.Connect(); }), "Connect: No IP Address Specified");
  S.SetAddr("127.0.0.1");
  S.SetProto("");
  EXPECT_EQ(RaisedText([&] { S.Connect(); }), "Connect: No Protocol Specified");
  S.SetProto("nosuchproto");
  EXPECT_EQ(RaisedText([&] { S.Connect(); }),
            "connect: WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #11004");
  S.SetProto("tcp");
  S.SetAddr("1.2.3.4.5");
  EXPECT_EQ(RaisedText([&] { S.Connect(); }),
            "connect: WSocketResolveHost: Cannot convert host address '1.2.3.4.5', Error #11001");
  EXPECT_EQ(S.State(), wsClosed);
  EXPECT_EQ(S.HSocket(), -1);
}

// --- Name lookup ------------------------------------------------------------

TEST(WSocketDns, DottedAddressAnswersBeforeReturning) {
  TWSocket S;
  std::vector<int> Done;
  S.OnDnsLookupDone = [&](TWSocket&, uint16_t E) { Done.push_back(E); };
  S.DnsLookup(" 192.168.1.20");
  EXPECT_EQ(Done, std::vector<int>{0});
  EXPECT_EQ(S.DnsResult(), "192.168.1.20");
  EXPECT_TRUE(S.DnsResultList().empty());
}

TEST(WSocketDns, EmptyNameRaisesOrGoesToOnError) {
  TWSocket S;
  std::vector<int> Done;
  S.OnDnsLookupDone = [&](TWSocket&, uint16_t E) { Done.push_back(E); };
  EXPECT_EQ(RaisedText([&] { S.DnsLookup(""); }), "DNS lookup: invalid host name.");
  EXPECT_TRUE(Done.empty());
  int Errors = 0;
  S.OnError = [&](TWSocket&) { ++Errors; };
  S.DnsLookup("");
  EXPECT_EQ(Errors, 1);
  EXPECT_EQ(Done, std::vector<int>{10022});
}

TEST(WSocketDns, NameIsLookedUpOffThreadAndAnswersFromTheLoop) {
  TWSocket S;
  std::vector<int> Done;
  S.OnDnsLookupDone = [&](TWSocket&, uint16_t E) { Done.push_back(E); };
  S.DnsLookup("localhost");
  EXPECT_TRUE(Done.empty()) << "a name is never answered inside DnsLookup";
  ASSERT_TRUE(PumpFor([&] { return !Done.empty(); }));
  EXPECT_EQ(Done, std::vector<int>{0});
  EXPECT_EQ(S.DnsResult(), "127.0.0.1");
  ASSERT_FALSE(S.DnsResultList().empty());
  EXPECT_EQ(S.DnsResultList().front(), "127.0.0.1");
}

TEST(WSocketDns, UnknownHostFailsWith11001) {
  TWSocket S;
  std::vector<int> Done;
  S.OnDnsLookupDone = [&](TWSocket&, uint16_t E) { Done.push_back(E); };
  S.DnsLookup("no-such-host.invalid");
  ASSERT_TRUE(PumpFor([&] { return !Done.empty(); }));
  EXPECT_EQ(Done, std::vector<int>{11001});
  EXPECT_EQ(S.DnsResult(), "");
}

TEST(WSocketDns, ReverseLookupNamesTheAddress) {
  TWSocket S;
  std::vector<int> Done;
  S.OnDnsLookupDone = [&](TWSocket&, uint16_t E) { Done.push_back(E); };
  S.ReverseDnsLookup("127.0.0.1");
  ASSERT_TRUE(PumpFor([&] { return !Done.empty(); }));
  EXPECT_EQ(Done, std::vector<int>{0});
  EXPECT_EQ(S.DnsResult(), "localhost");
  EXPECT_EQ(RaisedText([&] { S.ReverseDnsLookup("nowhere"); }),
            "Reverse DNS lookup: invalid IP address.");
}

TEST(WSocketDns, CancelledLookupAnswers10004AndItsResultIsDropped) {
  TWSocket S;
  std::vector<int> Done;
  S.OnDnsLookupDone = [&](TWSocket&, uint16_t E) { Done.push_back(E); };
  S.DnsLookup("localhost");
  S.CancelDnsLookup();
  EXPECT_EQ(Done, std::vector<int>{10004});
  PumpIdle(300ms);
  EXPECT_EQ(Done, std::vector<int>{10004});
  EXPECT_EQ(S.DnsResult(), "");
}

TEST(WSocketDns, ResultForADestroyedSocketIsDropped) {
  int Done = 0;
  {
    auto S = std::make_unique<TWSocket>();
    S->OnDnsLookupDone = [&](TWSocket&, uint16_t) { ++Done; };
    S->DnsLookup("localhost");
  }
  PumpIdle(300ms);
  EXPECT_EQ(Done, 0);
}

// --- Connecting, states and events -----------------------------------------

TEST(WSocket, ConnectSendReceiveCloseWithStatesAndEvents) {
  TTestServer Server;
  TWSocket S;
  std::vector<std::pair<int, int>> States;
  std::vector<std::string> Events;
  S.OnChangeState = [&](TWSocket&, TSocketState O, TSocketState N) { States.push_back({O, N}); };
  S.OnSessionConnected = [&](TWSocket&, uint16_t E) {
    Events.push_back("connected " + std::to_string(E));
  };
  S.OnSessionClosed = [&](TWSocket&, uint16_t E) {
    Events.push_back("closed " + std::to_string(E));
  };
  S.OnDataSent = [&](TWSocket&, uint16_t E) { Events.push_back("sent " + std::to_string(E)); };
  std::string Got;
  S.OnDataAvailable = [&](TWSocket& Sock, uint16_t) {
    char B[100];
    int N = Sock.Receive(B, sizeof B);
    if (N > 0) Got.append(B, static_cast<size_t>(N));
  };
  S.SetLingerOnOff(wsLingerNoSet);
  S.SetLingerTimeout(5);
  ConnectTo(S, Server.Port());
  EXPECT_EQ(S.State(), wsConnecting);
  ASSERT_TRUE(PumpFor([&] { return S.State() == wsConnected && Server.Clients.size() == 1; }));
  EXPECT_EQ(S.PeerAddr(), "127.0.0.1");
  EXPECT_EQ(S.PeerPort(), Server.Port());
  Events.clear();
  EXPECT_EQ(S.SendStr("hello"), 5);
  EXPECT_TRUE(Events.empty()) << "OnDataSent comes from the loop, not from inside Send";
  ASSERT_TRUE(PumpFor([&] { return Server.Received == "hello"; }));
  PumpFor([&] { return !Events.empty(); });
  EXPECT_EQ(Events, std::vector<std::string>{"sent 0"});
  Server.Clients[0]->SendStr("world");
  ASSERT_TRUE(PumpFor([&] { return Got == "world"; }));
  EXPECT_EQ(S.ReadCount(), 5u);
  Events.clear();
  S.SetSendFlags(wsSendUrgent);
  S.Close();
  EXPECT_EQ(Events, std::vector<std::string>{"closed 0"});
  EXPECT_EQ(S.State(), wsClosed);
  ASSERT_TRUE(PumpFor([&] { return Server.Closed == 1; }));
  EXPECT_EQ(States, (std::vector<std::pair<int, int>>{{wsClosed, wsOpened},
                                                      {wsOpened, wsConnecting},
                                                      {wsConnecting, wsConnected},
                                                      {wsConnected, wsClosed}}));
  // Every close resets the configuration.
  EXPECT_EQ(S.Addr(), "");
  EXPECT_EQ(S.ReadCount(), 0u);
  EXPECT_EQ(S.LingerOnOff(), wsLingerOn);
  EXPECT_EQ(S.LingerTimeout(), 0);
  EXPECT_EQ(S.SendFlags(), wsSendNormal);
  EXPECT_EQ(RaisedText([&] { S.Connect(); }), "Connect: No Port Specified");
  PumpIdle(20ms);
  EXPECT_EQ(Events, std::vector<std::string>{"closed 0"}) << "OnSessionClosed fires once";
}

TEST(WSocket, RefusedConnectionReports10061ThenClosedWith0) {
  TWSocket S;
  std::vector<std::string> Events;
  std::vector<int> States;
  S.OnChangeState = [&](TWSocket&, TSocketState, TSocketState N) { States.push_back(N); };
  S.OnSessionConnected = [&](TWSocket& Sock, uint16_t E) {
    Events.push_back("connected " + std::to_string(E) + " in state " +
                     std::to_string(Sock.State()));
  };
  S.OnSessionClosed = [&](TWSocket&, uint16_t E) {
    Events.push_back("closed " + std::to_string(E));
  };
  int Before = OpenFdCount();
  ConnectTo(S, DeadPort());
  ASSERT_TRUE(PumpFor([&] { return Events.size() == 2; }));
  EXPECT_EQ(Events, (std::vector<std::string>{"connected 10061 in state 4", "closed 0"}));
  EXPECT_EQ(S.State(), wsClosed);
  EXPECT_EQ(States.back(), wsClosed);
  EXPECT_EQ(OpenFdCount(), Before) << "descriptor left behind";
}

TEST(WSocket, SendOnAClosedSocketRaisesOrReportsThroughOnError) {
  TWSocket S;
  EXPECT_EQ(RaisedText([&] { S.SendStr("x"); }),
            "Error 10057 in function Send\r\nSocket is not connected");
  EXPECT_EQ(S.LastError(), 10057);
  int Errors = 0;
  S.OnError = [&](TWSocket&) { ++Errors; };
  EXPECT_EQ(S.Send("x", 1), -1);
  EXPECT_EQ(Errors, 1);
}

TEST(WSocket, SendsInChunksOf1460) {
  TTestServer Server;
  TWSocket S;
  std::vector<int> Sizes;
  int Sent = 0;
  S.OnSendData = [&](TWSocket&, int N) { Sizes.push_back(N); };
  S.OnDataSent = [&](TWSocket&, uint16_t) { ++Sent; };
  ConnectTo(S, Server.Port());
  ASSERT_TRUE(PumpFor([&] { return S.State() == wsConnected; }));
  PumpFor([&] { return Sent > 0; }, 200ms);  // the fresh connection's write notice
  Sent = 0;
  std::string Data = Pattern(10000);
  EXPECT_EQ(S.Send(Data.data(), 10000), 10000);
  EXPECT_EQ(Sizes, (std::vector<int>{1460, 1460, 1460, 1460, 1460, 1460, 1240}));
  EXPECT_EQ(S.Send(Data.data(), 0), 0);
  ASSERT_TRUE(PumpFor([&] { return Server.Received.size() == 10000; }));
  EXPECT_EQ(Server.Received, Data);
  PumpFor([&] { return Sent == 1; });
  EXPECT_EQ(Sent, 1);
}

TEST(WSocket, SlowReaderGetsEverythingInOrderAndOnDataSentFollowsTheLastByte) {
  TTestServer Server;
  Server.OnAccept = [](TWSocket& C) { C.Pause(); };
  TWSocket S;
  int Sent = 0;
  S.OnDataSent = [&](TWSocket&, uint16_t) { ++Sent; };
  ConnectTo(S, Server.Port());
  ASSERT_TRUE(PumpFor([&] { return S.State() == wsConnected && Server.Clients.size() == 1; }));
  PumpIdle(20ms);
  Sent = 0;
  const size_t Total = 16 << 20;  // more than loopback buffers take
  std::string Data = Pattern(Total);
  EXPECT_EQ(S.Send(Data.data(), static_cast<int>(Total)), static_cast<int>(Total));
  EXPECT_GT(S.BufferedByteCount(), 0) << "the network took everything at once";
  PumpIdle(30ms);
  EXPECT_EQ(Sent, 0);
  EXPECT_GT(S.BufferedByteCount(), 0);
  Server.Clients[0]->Resume();
  ASSERT_TRUE(PumpFor([&] { return Server.Received.size() == Total && Sent > 0; }, 60s));
  EXPECT_TRUE(Server.Received == Data);
  EXPECT_EQ(S.BufferedByteCount(), 0);
  EXPECT_EQ(Sent, 1);
}

TEST(WSocket, CloseSendsWhatIsStillQueuedThenEndsGracefully) {
  TTestServer Server;
  Server.OnAccept = [](TWSocket& C) { C.Pause(); };
  TWSocket S;
  std::vector<int> Closed;
  S.OnSessionClosed = [&](TWSocket&, uint16_t E) { Closed.push_back(E); };
  ConnectTo(S, Server.Port());
  ASSERT_TRUE(PumpFor([&] { return S.State() == wsConnected && Server.Clients.size() == 1; }));
  const size_t Total = 16 << 20;
  std::string Data = Pattern(Total);
  S.Send(Data.data(), static_cast<int>(Total));
  ASSERT_GT(S.BufferedByteCount(), 0);
  S.Close();
  EXPECT_TRUE(Closed.empty()) << "closed before the queued data went out";
  std::vector<int> PeerClosed;
  Server.Clients[0]->OnSessionClosed = [&](TWSocket&, uint16_t E) { PeerClosed.push_back(E); };
  Server.Clients[0]->Resume();
  ASSERT_TRUE(PumpFor([&] { return !PeerClosed.empty() && !Closed.empty(); }, 60s));
  EXPECT_EQ(Server.Received.size(), Total);
  EXPECT_TRUE(Server.Received == Data);
  EXPECT_EQ(PeerClosed, std::vector<int>{0}) << "a graceful close, not a reset";
  EXPECT_EQ(Closed, std::vector<int>{0});
  EXPECT_EQ(S.State(), wsClosed);
}

TEST(WSocket, PeerCloseComesAfterAllItsData) {
  TTestServer Server;
  Server.OnAccept = [](TWSocket& C) {
    C.SendStr(std::string(100000, 'z'));
    C.Close();  // right behind the data
  };
  TWSocket S;
  std::string Got;
  std::vector<std::string> Events;
  S.OnDataAvailable = [&](TWSocket& Sock, uint16_t) {
    char B[4096];
    int N = Sock.Receive(B, sizeof B);
    if (N > 0) Got.append(B, static_cast<size_t>(N));
  };
  S.OnSessionClosed = [&](TWSocket&, uint16_t E) {
    Events.push_back("closed " + std::to_string(E) + " after " + std::to_string(Got.size()));
  };
  ConnectTo(S, Server.Port());
  ASSERT_TRUE(PumpFor([&] { return !Events.empty(); }));
  EXPECT_EQ(Events, std::vector<std::string>{"closed 0 after 100000"});
  EXPECT_EQ(S.State(), wsClosed);
}

TEST(WSocket, CloseWithUnreadInputIsStillGraceful) {
  TTestServer Server;
  // The server answers and closes at once, without reading what the client sent.
  Server.OnAccept = [](TWSocket& C) {
    C.OnDataAvailable = [](TWSocket& Sock, uint16_t) {
      Sock.SendStr(std::string(4 << 20, 'a'));
      Sock.Close();
    };
  };
  TWSocket S;
  std::string Got;
  std::vector<int> Closed;
  S.OnSessionConnected = [](TWSocket& Sock, uint16_t) { Sock.SendStr(std::string(20000, 'q')); };
  S.OnDataAvailable = [&](TWSocket& Sock, uint16_t) {
    char B[65536];
    int N = Sock.Receive(B, sizeof B);
    if (N > 0) Got.append(B, static_cast<size_t>(N));
  };
  S.OnSessionClosed = [&](TWSocket&, uint16_t E) { Closed.push_back(E); };
  ConnectTo(S, Server.Port());
  ASSERT_TRUE(PumpFor([&] { return !Closed.empty(); }));
  EXPECT_EQ(Got.size(), 4u << 20);
  EXPECT_EQ(Closed, std::vector<int>{0}) << "the server's close came as a reset";
}

TEST(WSocket, DataWithoutAHandlerIsReadAndDiscarded) {
  TTestServer Server;
  Server.OnAccept = [](TWSocket& C) {
    C.SendStr("ignored");
    C.Close();
  };
  TWSocket S;
  int Closed = 0;
  S.OnSessionClosed = [&](TWSocket&, uint16_t) { ++Closed; };
  ConnectTo(S, Server.Port());
  ASSERT_TRUE(PumpFor([&] { return Closed == 1; }));
}

TEST(WSocket, HandlerThatDoesNotReadDoesNotSpinTheLoop) {
  TTestServer Server;
  Server.OnAccept = [](TWSocket& C) { C.SendStr("abc"); };
  TWSocket S;
  int Calls = 0;
  S.OnDataAvailable = [&](TWSocket&, uint16_t) { ++Calls; };
  ConnectTo(S, Server.Port());
  ASSERT_TRUE(PumpFor([&] { return Calls > 0; }));
  PumpIdle(50ms);
  EXPECT_EQ(Calls, 1) << "no new read notice before a receive";
  char B[10];
  EXPECT_EQ(S.Receive(B, sizeof B), 3);
}

TEST(WSocket, ExceptionInTheDataHandlerIsSwallowedAndReadingGoesOn) {
  TTestServer Server;
  TWSocket S;
  std::string Got;
  int Calls = 0;
  S.OnDataAvailable = [&](TWSocket& Sock, uint16_t) {
    char B[100];
    int N = Sock.Receive(B, sizeof B);
    if (N > 0) Got.append(B, static_cast<size_t>(N));
    if (++Calls == 1) throw ESocketException("handler failed");
  };
  ConnectTo(S, Server.Port());
  ASSERT_TRUE(PumpFor([&] { return Server.Clients.size() == 1 && S.State() == wsConnected; }));
  Server.Clients[0]->SendStr("one");
  ASSERT_TRUE(PumpFor([&] { return Got == "one"; }));
  Server.Clients[0]->SendStr("two");
  ASSERT_TRUE(PumpFor([&] { return Got == "onetwo"; }));
  EXPECT_EQ(S.State(), wsConnected);
}

TEST(WSocket, BackgroundExceptionGoesToOnBgExceptionAndAbortsUnlessKept) {
  TTestServer Server;
  TWSocket S;
  std::string Msg;
  bool Keep = true;
  S.OnBgException = [&](TWSocket&, std::exception_ptr E, bool& CanClose) {
    try {
      std::rethrow_exception(E);
    } catch (const std::exception& X) {
      Msg = X.what();
    }
    CanClose = !Keep;
  };
  ConnectTo(S, Server.Port());
  ASSERT_TRUE(PumpFor([&] { return S.State() == wsConnected; }));
  S.PostTestException();
  ASSERT_TRUE(PumpFor([&] { return !Msg.empty(); }));
  EXPECT_EQ(Msg, "Test exception in WSocket");
  EXPECT_EQ(S.State(), wsConnected);
  Keep = false;
  Msg.clear();
  S.PostTestException();
  ASSERT_TRUE(PumpFor([&] { return !Msg.empty(); }));
  EXPECT_EQ(S.State(), wsClosed);
}

TEST(WSocket, SocketKeptAfterAThrowingHandlerStillGetsNotices) {
  TTestServer Server;
  TWSocket S;
  S.OnSessionConnected = [](TWSocket&, uint16_t) {
    throw ESocketException("connected handler failed");
  };
  int Failures = 0;
  S.OnBgException = [&](TWSocket&, std::exception_ptr, bool& CanClose) {
    ++Failures;
    CanClose = false;
  };
  std::string Got;
  S.OnDataAvailable = [&](TWSocket& Sock, uint16_t) {
    char B[100];
    int N = Sock.Receive(B, sizeof B);
    if (N > 0) Got.append(B, static_cast<size_t>(N));
  };
  ConnectTo(S, Server.Port());
  ASSERT_TRUE(PumpFor([&] { return Failures == 1 && Server.Clients.size() == 1; }));
  Server.Clients[0]->SendStr("still here");
  ASSERT_TRUE(PumpFor([&] { return Got == "still here"; }));
}

TEST(WSocket, HandlerThatDeletesItsSocketAndThenThrowsIsNoUseAfterFree) {
  TTestServer Server;
  auto* S = new TWSocket;
  bool Ran = false;
  S->OnSessionConnected = [&](TWSocket& Sock, uint16_t) {
    Ran = true;
    delete &Sock;
    throw ESocketException("after the delete");
  };
  ConnectTo(*S, Server.Port());
  ASSERT_TRUE(PumpFor([&] { return Ran && Server.Clients.size() == 1; }));
  ASSERT_TRUE(PumpFor([&] { return Server.Closed == 1; })) << "the descriptor went with the object";
}

TEST(WSocket, PeerResetWhileSendingClosesWith10054AndNoSignal) {
  // A plain POSIX server that accepts and resets at once.
  uint16_t Port = 0;
  const int L = BindLoopback(Port, 1);
  ASSERT_GE(L, 0);
  TWSocket S;
  std::vector<int> Closed;
  S.OnSessionClosed = [&](TWSocket&, uint16_t E) { Closed.push_back(E); };
  ConnectTo(S, std::to_string(Port));
  ASSERT_TRUE(PumpFor([&] { return S.State() == wsConnected; }));
  int C = accept(L, nullptr, nullptr);
  linger Lg{1, 0};
  setsockopt(C, SOL_SOCKET, SO_LINGER, &Lg, sizeof Lg);
  close(C);
  std::string Data = Pattern(1 << 20);
  for (int I = 0; I < 50 && S.State() == wsConnected; ++I) {
    S.Send(Data.data(), static_cast<int>(Data.size()));
    PumpIdle(5ms);
  }
  ASSERT_TRUE(PumpFor([&] { return !Closed.empty(); }));
  EXPECT_EQ(Closed, std::vector<int>{10054});
  EXPECT_EQ(S.State(), wsClosed);
  close(L);
}

// A plain POSIX listener on loopback port 0 (for peers that misbehave on purpose).
struct TRawListener {
  uint16_t Number = 0;
  int Fd = BindLoopback(Number, 4);
  std::string Port = std::to_string(Number);
  ~TRawListener() { close(Fd); }
  static void Reset(int C) {
    linger Lg{1, 0};
    setsockopt(C, SOL_SOCKET, SO_LINGER, &Lg, sizeof Lg);
    close(C);
  }
};

TEST(WSocket, ResetAfterSomeDataDeliversTheDataThenClosedWith10054) {
  TRawListener L;
  for (bool ReadInHandler : {true, false}) {
    TWSocket S;
    std::string Got;
    std::vector<std::string> Closed;
    if (ReadInHandler)
      S.OnDataAvailable = [&](TWSocket& Sock, uint16_t) {
        char B[100];
        int N;
        // Reading on until the error consumes the kernel's one report of the reset.
        while ((N = Sock.Receive(B, sizeof B)) > 0) Got.append(B, static_cast<size_t>(N));
      };
    S.OnSessionClosed = [&](TWSocket&, uint16_t E) {
      Closed.push_back(std::to_string(E) + " after " + std::to_string(Got.size()));
    };
    ConnectTo(S, L.Port);
    ASSERT_TRUE(PumpFor([&] { return S.State() == wsConnected; }));
    int C = accept(L.Fd, nullptr, nullptr);
    ASSERT_EQ(send(C, std::string(1000, 'b').data(), 1000, 0), 1000);
    TRawListener::Reset(C);
    ASSERT_TRUE(PumpFor([&] { return !Closed.empty(); }));
    if (ReadInHandler)
      EXPECT_EQ(Closed, std::vector<std::string>{"10054 after 1000"});
    else
      EXPECT_EQ(Closed, std::vector<std::string>{"10054 after 0"});
  }
}

TEST(WSocket, DestroyedSocketGetsNoEventsItHadQueued) {
  TTestServer Server;
  int Sent = 0;
  {
    TWSocket S;
    S.OnDataSent = [&](TWSocket&, uint16_t) { ++Sent; };
    ConnectTo(S, Server.Port());
    ASSERT_TRUE(PumpFor([&] { return S.State() == wsConnected; }));
    PumpIdle(10ms);
    Sent = 0;
    S.SendStr("bye");  // queues the data-sent notice
  }
  PumpIdle(30ms);
  EXPECT_EQ(Sent, 0);
}

TEST(WSocket, ReleaseDeletesTheSocketFromTheLoop) {
  TTestServer Server;
  auto* S = new TWSocket;
  bool Closed = false;
  S->OnSessionConnected = [&](TWSocket& Sock, uint16_t) {
    Sock.Close();
    Sock.Release();  // a handler must not delete its socket itself
  };
  S->OnSessionClosed = [&](TWSocket&, uint16_t) { Closed = true; };
  ConnectTo(*S, Server.Port());
  ASSERT_TRUE(PumpFor([&] { return Closed; }));
  PumpIdle(10ms);  // runs SKM_RELEASE; the sanitizer build sees a leak or a double delete
}

TEST(WSocket, DescriptorsAreNotLeakedOverManyConnections) {
  TTestServer Server;
  int Before = OpenFdCount();
  for (int I = 0; I < 20; ++I) {
    TWSocket S;
    ConnectTo(S, Server.Port());
    ASSERT_TRUE(PumpFor([&] { return S.State() == wsConnected; }));
    S.Close();
  }
  ASSERT_TRUE(PumpFor([&] { return Server.Closed == 20; }));
  Server.Clients.clear();
  EXPECT_EQ(OpenFdCount(), Before);
}

TEST(WSocket, ListenOnAPortInUseFailsAndLeavesNoDescriptor) {
  TTestServer Server;
  int Before = OpenFdCount();
  TWSocket S;
  S.SetAddr("127.0.0.1");
  S.SetPort(Server.Port());
  EXPECT_EQ(RaisedText([&] { S.Listen(); }),
            "Error 10048 in function bind\r\nAddress already in use");
  EXPECT_EQ(S.State(), wsClosed);
  EXPECT_EQ(OpenFdCount(), Before);
}

TEST(WSocket, AbortResetsTheConnection) {
  TTestServer Server;
  TWSocket S;
  std::vector<int> Closed;
  S.OnSessionClosed = [&](TWSocket&, uint16_t E) { Closed.push_back(E); };
  ConnectTo(S, Server.Port());
  ASSERT_TRUE(PumpFor([&] { return S.State() == wsConnected && Server.Clients.size() == 1; }));
  std::vector<int> PeerClosed;
  Server.Clients[0]->OnSessionClosed = [&](TWSocket&, uint16_t E) { PeerClosed.push_back(E); };
  S.Abort();
  EXPECT_EQ(Closed, std::vector<int>{0});
  ASSERT_TRUE(PumpFor([&] { return !PeerClosed.empty(); }));
  EXPECT_EQ(PeerClosed, std::vector<int>{10054});
}

TEST(WSocket, WaitForCloseBlocksUntilThePeerCloses) {
  TTestServer Server;
  Server.OnAccept = [](TWSocket& C) { C.SendStr("data"); };
  TWSocket S;
  ConnectTo(S, Server.Port());
  ASSERT_TRUE(PumpFor([&] { return Server.Clients.size() == 1; }));
  TEventLoop& Loop = TEventLoop::Current();
  THandle T = Loop.AllocateTarget([&](const TMessage&) { Server.Clients[0]->Close(); });
  Loop.SetTimer(T, 1, 30ms);
  S.WaitForClose();
  EXPECT_EQ(S.State(), wsClosed);
  Loop.DestroyTarget(T);
}

TEST(WSocket, SessionClosedHandlerMayConnectAgain) {
  TTestServer Server;
  TWSocket S;
  int Connections = 0;
  int Closes = 0;
  S.OnSessionConnected = [&](TWSocket& Sock, uint16_t) {
    if (++Connections == 1) Sock.Close();
  };
  S.OnSessionClosed = [&](TWSocket& Sock, uint16_t) {
    if (++Closes == 1) ConnectTo(Sock, Server.Port());  // the next leg, from inside the event
  };
  ConnectTo(S, Server.Port());
  ASSERT_TRUE(PumpFor([&] { return Connections == 2; }));
  EXPECT_EQ(S.State(), wsConnected);
  EXPECT_EQ(S.Port(), Server.Port());
  EXPECT_EQ(Closes, 1);
}

TEST(WSocket, ConnectionStartedAfterAQueuedCloseIsNotClosedByIt) {
  TTestServer Server;
  Server.OnAccept = [&Server](TWSocket& C) {
    if (Server.Clients.size() == 1) C.Pause();
  };
  TWSocket S;
  int Closes = 0;
  int Connections = 0;
  S.OnSessionConnected = [&](TWSocket& Sock, uint16_t) {
    if (++Connections == 2) Sock.SendStr("second");
  };
  S.OnSessionClosed = [&](TWSocket& Sock, uint16_t) {
    if (++Closes == 1) ConnectTo(Sock, Server.Port());
  };
  ConnectTo(S, Server.Port());
  ASSERT_TRUE(PumpFor([&] { return S.State() == wsConnected && Server.Clients.size() == 1; }));
  const size_t Total = 16 << 20;
  std::string Data = Pattern(Total);
  S.Send(Data.data(), static_cast<int>(Total));
  ASSERT_GT(S.BufferedByteCount(), 0);
  S.Close();  // waits for the queue
  Server.Clients[0]->Resume();
  ASSERT_TRUE(PumpFor([&] { return Server.Received.size() == Total + 6; }, 60s));
  PumpIdle(50ms);
  EXPECT_EQ(Closes, 1) << "the second connection was closed by the first one's close";
  EXPECT_EQ(S.State(), wsConnected);
}

TEST(WSocket, BindFailureAtConnectRaisesAndLeavesNoDescriptor) {
  TTestServer Server;
  int Before = OpenFdCount();
  TWSocket S;
  S.SetLocalAddr("127.0.0.1");
  S.SetLocalPort(Server.Port());  // taken by the listener
  EXPECT_EQ(RaisedText([&] { ConnectTo(S, Server.Port()); }), "winsock.bind failed, error #10048");
  EXPECT_EQ(S.State(), wsClosed);
  EXPECT_EQ(S.HSocket(), -1);
  EXPECT_EQ(OpenFdCount(), Before);
}

TEST(WSocket, ADescriptorIsClosedOnceAndNeverAgain) {
  TTestServer Server;
  int Reused = -1;
  {
    TWSocket S;
    ConnectTo(S, Server.Port());
    ASSERT_TRUE(PumpFor([&] { return S.State() == wsConnected; }));
    int Fd = S.HSocket();
    S.Close();
    // The number is free again: whatever takes it now must survive the socket.
    Reused = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (Reused != Fd) {
      close(Reused);
      Reused = -1;
    }
    S.Close();
    S.Abort();
    PumpIdle(10ms);
  }
  if (Reused < 0) GTEST_SKIP() << "the number was not reused";
  EXPECT_NE(fcntl(Reused, F_GETFD), -1) << "someone closed the number a second time";
  close(Reused);
}

TEST(WSocket, ASocketOnAnotherThreadRunsOnThatThreadsOwnLoop) {
  TTestServer Server;
  auto MainLoop = TEventLoop::CurrentShared();
  std::string Port = Server.Port();
  bool Done = false;
  THandle Wake = MainLoop->AllocateTarget([&](const TMessage&) { Done = true; });
  std::string Reply;
  Server.OnAccept = [](TWSocket& C) { C.SendStr("to the worker"); };
  std::thread Worker([&] {
    TWSocket S;
    S.SetMultiThreaded(true);
    S.OnDataAvailable = [&](TWSocket& Sock, uint16_t) {
      char B[100];
      int N = Sock.Receive(B, sizeof B);
      if (N > 0) Reply.append(B, static_cast<size_t>(N));
    };
    ConnectTo(S, Port);
    bool Got = false;
    THandle Check = TEventLoop::Current().AllocateTarget([](const TMessage&) {});
    TEventLoop::Current().SetTimer(Check, 1, 10s);
    TEventLoop::Current().PumpUntil([&] { return Got = Reply == "to the worker"; });
    (void)Got;
    MainLoop->PostMessage(Wake, 1);  // wakes the main thread's blocked wait
  });
  ASSERT_TRUE(PumpFor([&] { return Done; }));
  Worker.join();
  EXPECT_EQ(Reply, "to the worker");
  MainLoop->DestroyTarget(Wake);
}

// --- Datagrams ---------------------------------------------------------------

TEST(WSocketUdp, DatagramsGoBothWaysWhole) {
  TWSocket Server;
  Server.SetAddr("127.0.0.1");
  Server.SetPort("0");
  Server.SetProto("udp");
  std::vector<std::string> AtServer;
  Server.OnDataAvailable = [&](TWSocket& Sock, uint16_t) {
    char B[8192];
    sockaddr_in From{};
    int FromLen = sizeof From;
    int N = Sock.ReceiveFrom(B, sizeof B, From, FromLen);
    if (N < 0) return;
    AtServer.emplace_back(B, static_cast<size_t>(N));
    Sock.SendTo(From, FromLen, "pong", 4);
  };
  Server.Listen();
  ASSERT_EQ(Server.State(), wsListening);
  TWSocket Client;
  Client.SetAddr("127.0.0.1");
  Client.SetPort(Server.LocalPort());
  Client.SetProto("udp");
  std::vector<int> Connected;
  Client.OnSessionConnected = [&](TWSocket&, uint16_t E) { Connected.push_back(E); };
  std::vector<std::string> AtClient;
  Client.OnDataAvailable = [&](TWSocket& Sock, uint16_t) {
    char B[100];
    int N = Sock.Receive(B, sizeof B);
    if (N >= 0) AtClient.emplace_back(B, static_cast<size_t>(N));
  };
  Client.Connect();
  EXPECT_EQ(Connected, std::vector<int>{0});
  EXPECT_EQ(Client.State(), wsConnected);
  Client.SendStr("ping");
  std::string Big = Pattern(3000);
  Client.SendStr(Big);
  ASSERT_TRUE(PumpFor([&] { return AtServer.size() == 2 && AtClient.size() == 2; }));
  EXPECT_EQ(AtServer[0], "ping");
  EXPECT_EQ(AtServer[1], Big) << "a datagram larger than a chunk must not be split";
  EXPECT_EQ(AtClient[0], "pong");
  // A datagram the network can never take is dropped, not retried before every later one.
  std::string Huge(70000, 'h');
  EXPECT_EQ(RaisedText([&] { Client.SendStr(Huge); }),
            "Error 10040 in function TryToSend failed\r\nMessage too long");
  Client.SendStr("after");
  ASSERT_TRUE(PumpFor([&] { return AtServer.size() == 3; }));
  EXPECT_EQ(AtServer[2], "after");
}

}  // namespace
}  // namespace chronark
