// Get inside a Qt program: it waits in Qt's loop, so Qt timers (and windows)
// go on while the request runs.
#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include "support/http_server.h"
#include "net/HttpProt.h"
#include "net/Stream.h"
#include "platform/qtbridge/QtBridge.h"

namespace chronark {
namespace {

using test::Response;
using test::TConn;
using test::THttpTestServer;

TEST(HttpQt, GetKeepsQtTimersRunning) {
  int Argc = 1;
  char Name[] = "httpqt";
  char* Argv[] = {Name, nullptr};
  QCoreApplication App(Argc, Argv);
  TQtEventBridge Bridge;
  ASSERT_TRUE(Bridge.Active());

  THttpTestServer S([](TConn& C) {
    if (C.Sleep(400)) C.Send(Response(200, "late answer"));
  });
  int Ticks = 0;
  QTimer Timer;
  QObject::connect(&Timer, &QTimer::timeout, [&] { ++Ticks; });
  Timer.start(20);

  THttpCli H;
  H.URL = S.Url("/");
  TMemoryStream Doc;
  H.ReceiveStream = &Doc;
  H.Get();
  EXPECT_EQ(Doc.DataString(), "late answer");
  EXPECT_GE(Ticks, 5);  // about 20 in 400 ms; Qt's loop ran throughout
}

}  // namespace
}  // namespace chronark
