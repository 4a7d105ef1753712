// Every event of THttpCli against a handler that throws and one that destroys
// the component: the request ends at once, Get raises the handler's message
// or "HTTP component destroyed during request", and nothing of a destroyed
// component is touched afterwards (the sanitizer build checks that).
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>

#include "support/http_server.h"
#include "net/HttpProt.h"
#include "net/Stream.h"

namespace chronark {
namespace {

using namespace std::chrono_literals;
using test::TConn;
using test::THttpTestServer;

// The POST to /a is relocated to /b, which answers with a cookie and a
// body that ends with the server's close (so OnDocEnd runs from the close):
// one round fires every event there is.
void Serve(TConn& C) {
  if (C.Request.rfind("POST", 0) == 0)
    C.Send("HTTP/1.0 302 Found\r\nLocation: /b\r\nContent-Length: 0\r\n\r\n");
  else
    C.Send("HTTP/1.0 200 OK\r\nSet-Cookie: s=1\r\n\r\nhello");
}

using TAct = std::function<void(THttpCli&)>;

// Points the named event at Act.
void Attach(THttpCli& H, const std::string& Event, const TAct& Act) {
  auto Notify = [Act](THttpCli& C) { Act(C); };
  auto Data = [Act](THttpCli& C, const void*, int32_t) { Act(C); };
  if (Event == "OnStateChange") H.OnStateChange = Notify;
  if (Event == "OnSessionConnected") H.OnSessionConnected = Notify;
  if (Event == "OnRequestHeaderBegin") H.OnRequestHeaderBegin = Notify;
  if (Event == "OnCommand") H.OnCommand = [Act](THttpCli& C, std::string&) { Act(C); };
  if (Event == "OnRequestHeaderEnd") H.OnRequestHeaderEnd = Notify;
  if (Event == "OnSendBegin") H.OnSendBegin = Notify;
  if (Event == "OnSendData") H.OnSendData = Data;
  if (Event == "OnSendEnd") H.OnSendEnd = Notify;
  if (Event == "OnHeaderBegin") H.OnHeaderBegin = Notify;
  if (Event == "OnHeaderData") H.OnHeaderData = Notify;
  if (Event == "OnCookie") H.OnCookie = [Act](THttpCli& C, const std::string&, bool&) { Act(C); };
  if (Event == "OnHeaderEnd") H.OnHeaderEnd = Notify;
  if (Event == "OnDocBegin") H.OnDocBegin = Notify;
  if (Event == "OnDocData") H.OnDocData = Data;
  if (Event == "OnDocEnd") H.OnDocEnd = Notify;
  if (Event == "OnLocationChange") H.OnLocationChange = Notify;
  if (Event == "OnRequestDone")
    H.OnRequestDone = [Act](THttpCli& C, THttpRequest, uint16_t) { Act(C); };
}

std::pair<std::string, int> PostResult(THttpCli& H) {
  try {
    H.Post();
  } catch (const EHttpException& E) {
    return {E.what(), E.ErrorCode};
  }
  return {"", 0};
}

class HttpHandlerTest : public ::testing::TestWithParam<std::string> {};

TEST_P(HttpHandlerTest, ExceptionEndsTheRequestAndGetRaisesIt) {
  THttpTestServer S(Serve);
  THttpCli H;
  H.URL = S.Url("/a");
  H.IdleTimeout = 5s;  // a request left hanging fails the test instead of blocking it
  TStringStream Body("x=1");
  H.PostStream = &Body;
  bool Armed = true;
  Attach(H, GetParam(), [&](THttpCli&) {
    if (Armed) throw std::runtime_error("handler failed in " + GetParam());
  });
  EXPECT_EQ(PostResult(H), (std::pair<std::string, int>{"handler failed in " + GetParam(), 404}));
  EXPECT_EQ(H.State(), hsReady);
  // The component is not left busy: the next request runs.
  Armed = false;
  Body.SetPosition(0);
  TMemoryStream Doc;
  H.ReceiveStream = &Doc;
  EXPECT_EQ(PostResult(H), (std::pair<std::string, int>{"", 0}));
  EXPECT_EQ(Doc.DataString(), "hello");
}

TEST_P(HttpHandlerTest, DestructionEndsTheRequestAndGetSaysSo) {
  THttpTestServer S(Serve);
  auto* H = new THttpCli;
  H->URL = S.Url("/a");
  H->IdleTimeout = 5s;
  TStringStream Body("x=1");
  H->PostStream = &Body;
  bool Destroyed = false;
  Attach(*H, GetParam(), [&](THttpCli& C) {
    if (Destroyed) return;
    Destroyed = true;
    delete &C;
  });
  const auto R = PostResult(*H);
  ASSERT_TRUE(Destroyed);
  EXPECT_EQ(R, (std::pair<std::string, int>{"HTTP component destroyed during request", 0}));
}

INSTANTIATE_TEST_SUITE_P(Events, HttpHandlerTest,
                         ::testing::Values("OnStateChange", "OnSessionConnected",
                                           "OnRequestHeaderBegin", "OnCommand",
                                           "OnRequestHeaderEnd", "OnSendBegin", "OnSendData",
                                           "OnSendEnd", "OnHeaderBegin", "OnHeaderData", "OnCookie",
                                           "OnHeaderEnd", "OnDocBegin", "OnDocData", "OnDocEnd",
                                           "OnLocationChange", "OnRequestDone"),
                         [](const auto& Info) { return Info.param; });

}  // namespace
}  // namespace chronark
