// Servers that misbehave on purpose. Every case must end with its outcome in
// bounded time and memory; the limits are small so that the suite is quick.
#include <gtest/gtest.h>

#include <chrono>

#include "support/http_server.h"
#include "net/HttpProt.h"
#include "net/Stream.h"

namespace chronark {
namespace {

using namespace std::chrono_literals;
using test::TConn;
using test::THttpTestServer;

struct TOutcome {
  std::string Message;
  int Code = 0;
  double Seconds = 0;
};

TOutcome RunGet(THttpCli& H) {
  TOutcome R;
  const auto T0 = std::chrono::steady_clock::now();
  try {
    H.Get();
  } catch (const EHttpException& E) {
    R.Message = E.what();
    R.Code = E.ErrorCode;
  }
  R.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - T0).count();
  return R;
}

const std::string kTimedOut = "Connection timed out (Error #10060)";

TEST(HttpHostile, SilentServerTimesOut) {
  THttpTestServer S([](TConn& C) { C.WaitForClientClose(); });
  THttpCli H;
  H.URL = S.Url("/");
  H.IdleTimeout = 300ms;
  const TOutcome R = RunGet(H);
  EXPECT_EQ(R.Message, kTimedOut);
  EXPECT_EQ(R.Code, 404);
  EXPECT_EQ(H.StatusCode(), 404);
  EXPECT_EQ(H.ReasonPhrase(), kTimedOut);
  EXPECT_EQ(H.RequestDoneError(), 10060);
  EXPECT_GE(R.Seconds, 0.25);
  EXPECT_LT(R.Seconds, 10);
}

TEST(HttpHostile, BodyThatNeverEndsHitsTheTotalLimit) {
  THttpTestServer S([](TConn& C) {
    C.Send("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n");
    const std::string Block(16384, 'b');
    while (C.Send(Block) && C.Sleep(1)) {}
  });
  THttpCli H;
  H.URL = S.Url("/");
  H.TotalTimeout = 700ms;
  H.IdleTimeout = 5s;
  const TOutcome R = RunGet(H);  // no stream: nothing is kept
  EXPECT_EQ(R.Message, kTimedOut);
  EXPECT_GT(H.ReceivedBytes(), 0);
  EXPECT_LT(R.Seconds, 10);
}

TEST(HttpHostile, EndlessBodyIntoABoundedStreamStopsAtItsLimit) {
  THttpTestServer S([](TConn& C) {
    C.Send("HTTP/1.0 200 OK\r\n\r\n");
    const std::string Block(65536, 'b');
    while (C.Send(Block)) {}
  });
  THttpCli H;
  H.URL = S.Url("/");
  TMemoryStream Doc(1 << 20);
  H.ReceiveStream = &Doc;
  const TOutcome R = RunGet(H);
  EXPECT_EQ(R.Message, "Stream write error");
  EXPECT_LE(Doc.Size(), 1 << 20);
}

TEST(HttpHostile, HeaderLineOfTenMebibytes) {
  THttpTestServer S([](TConn& C) {
    C.Send("HTTP/1.0 200 OK\r\nX-Big: " + std::string(10 << 20, 'x') + "\r\n\r\n");
  });
  THttpCli H;
  H.URL = S.Url("/");
  const TOutcome R = RunGet(H);
  EXPECT_EQ(R.Message, "HTTP line too long");
  EXPECT_EQ(R.Code, 4);
  EXPECT_LT(R.Seconds, 10);
}

TEST(HttpHostile, HundredThousandHeaderLines) {
  THttpTestServer S([](TConn& C) {
    std::string Lines = "HTTP/1.0 200 OK\r\n";
    for (int I = 0; I < 100000; ++I) Lines += "X-" + std::to_string(I) + ": y\r\n";
    C.Send(Lines + "\r\nbody");
  });
  THttpCli H;
  H.URL = S.Url("/");
  const TOutcome R = RunGet(H);
  EXPECT_EQ(R.Message, "HTTP line too long");
  EXPECT_EQ(R.Code, 4);
  EXPECT_LE(H.ReceivedHeader().size(), 1001u);
}

TEST(HttpHostile, RelocationLoop) {
  THttpTestServer S([](TConn& C) {
    C.Send("HTTP/1.0 302 Found\r\nLocation: /again\r\nContent-Length: 0\r\n\r\n");
  });
  THttpCli H;
  H.URL = S.Url("/start");
  int Changes = 0;
  H.OnLocationChange = [&](THttpCli&) { ++Changes; };
  const TOutcome R = RunGet(H);
  EXPECT_EQ(R.Message, "HTTP too many relocations");
  EXPECT_EQ(R.Code, 302);
  EXPECT_EQ(Changes, 5);
  EXPECT_EQ(S.Connections(), 6);
}

TEST(HttpHostile, ResetInTheMiddleOfTheBody) {
  THttpTestServer S([](TConn& C) {
    C.Send("HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(5000, 'p'));
    C.Sleep(100);
    C.Reset();
  });
  THttpCli H;
  H.URL = S.Url("/");
  TMemoryStream Doc;
  H.ReceiveStream = &Doc;
  const TOutcome R = RunGet(H);
  EXPECT_EQ(R.Message, "Connection reset by peer (Error #10054)");
  EXPECT_EQ(R.Code, 404);
  EXPECT_EQ(H.RequestDoneError(), 10054);
}

TEST(HttpHostile, GarbageStatusLine) {
  THttpTestServer S([](TConn& C) { C.Send("HTTP/1.0 #?! Garbage\r\n\r\nbody"); });
  THttpCli H;
  H.URL = S.Url("/");
  const TOutcome R = RunGet(H);
  EXPECT_EQ(R.Message, "'#?!' is not a valid integer value");
  EXPECT_EQ(R.Code, 404);
}

TEST(HttpHostile, BinaryGarbageWithoutLineEnd) {
  THttpTestServer S([](TConn& C) { C.Send(std::string("\x16\x03\x01\x00\xa5\x01\x00\x00", 8)); });
  THttpCli H;
  H.URL = S.Url("/");
  const TOutcome R = RunGet(H);
  EXPECT_EQ(R.Message, "HTTP header contains a NUL byte");
  EXPECT_EQ(R.Code, 404);
}

TEST(HttpHostile, HeaderlessHtmlAnswer) {
  const std::string Page = "<HTML><BODY>old server</BODY></HTML>\r\n<!-- more -->\n";
  THttpTestServer S([&](TConn& C) { C.Send(Page); });
  THttpCli H;
  H.URL = S.Url("/");
  TMemoryStream Doc;
  H.ReceiveStream = &Doc;
  const TOutcome R = RunGet(H);
  EXPECT_EQ(R.Message, "");
  EXPECT_EQ(Doc.DataString(), Page);
  EXPECT_EQ(H.ContentType(), "text/html");
}

TEST(HttpHostile, OneByteEveryTenMillisecondsStillArrives) {
  const std::string Answer = "HTTP/1.0 200 OK\r\n\r\nslow but steady";
  THttpTestServer S([&](TConn& C) {
    for (char Ch : Answer)
      if (!C.Send(std::string(1, Ch)) || !C.Sleep(10)) return;
  });
  THttpCli H;
  H.URL = S.Url("/");
  H.IdleTimeout = 2s;  // every byte is progress; the total limit is far
  H.TotalTimeout = 30s;
  TMemoryStream Doc;
  H.ReceiveStream = &Doc;
  const TOutcome R = RunGet(H);
  EXPECT_EQ(R.Message, "");
  EXPECT_EQ(Doc.DataString(), "slow but steady");
}

TEST(HttpHostile, OneByteEveryTenMillisecondsForeverHitsTheTotalLimit) {
  THttpTestServer S([](TConn& C) {
    C.Send("HTTP/1.0 200 OK\r\n\r\n");
    while (C.Send("z") && C.Sleep(10)) {}
  });
  THttpCli H;
  H.URL = S.Url("/");
  H.IdleTimeout = 500ms;
  H.TotalTimeout = 600ms;
  const TOutcome R = RunGet(H);
  EXPECT_EQ(R.Message, kTimedOut);
  EXPECT_LT(R.Seconds, 10);
}

}  // namespace
}  // namespace chronark
