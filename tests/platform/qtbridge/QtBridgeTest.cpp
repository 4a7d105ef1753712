#include "platform/qtbridge/QtBridge.h"

#include "support/socket_util.h"

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include <memory>

namespace chronark {
namespace {

using namespace std::chrono_literals;

class QtBridge : public ::testing::Test {
protected:
  void SetUp() override { App = std::make_unique<QCoreApplication>(Argc, Argv); }
  void TearDown() override { App.reset(); }
  // Quits Qt's loop after a while in any case, so that no test can hang.
  void Guard(int Ms = 10000) {
    QTimer::singleShot(Ms, App.get(), [this] {
      TimedOut = true;
      App->quit();
    });
  }
  int Argc = 1;
  char Name[8] = "qttest";
  char* Argv[2] = {Name, nullptr};
  std::unique_ptr<QCoreApplication> App;
  bool TimedOut = false;
};

TEST_F(QtBridge, QtsLoopDeliversPostedMessagesTimersAndSockets) {
  TQtEventBridge Bridge;
  ASSERT_TRUE(Bridge.Active());
  TEventLoop& Loop = TEventLoop::Current();
  std::vector<uint32_t> Got;
  THandle T = Loop.AllocateTarget([&](const TMessage& M) {
    Got.push_back(M.Msg);
    if (M.Msg == 2) App->quit();
  });
  Loop.PostMessage(T, 1);
  Loop.SetTimer(T, 2, 20ms);
  Guard();
  App->exec();
  EXPECT_FALSE(TimedOut);
  EXPECT_EQ(Got, (std::vector<uint32_t>{1, 2}));

  test::TTestServer Server;
  TWSocket S;
  std::string Reply;
  Server.OnAccept = [](TWSocket& C) { C.SendStr("from the server"); };
  S.OnDataAvailable = [&](TWSocket& Sock, uint16_t) {
    char B[100];
    int N = Sock.Receive(B, sizeof B);
    if (N > 0) Reply.append(B, static_cast<size_t>(N));
    if (Reply == "from the server") App->quit();
  };
  S.SetAddr("127.0.0.1");
  S.SetPort(Server.Port());
  S.Connect();
  App->exec();
  EXPECT_FALSE(TimedOut);
  EXPECT_EQ(Reply, "from the server");
  Loop.DestroyTarget(T);
}

TEST_F(QtBridge, BlockingWaitInsideQtKeepsQtTimersFiring) {
  TQtEventBridge Bridge;
  TEventLoop& Loop = TEventLoop::Current();
  int Ticks = 0;
  QTimer Ticker;
  QObject::connect(&Ticker, &QTimer::timeout, [&] { ++Ticks; });
  Ticker.start(5);

  test::TTestServer Server;
  // The server answers 150 ms after the connection, from a queue timer.
  THandle Delay =
      Loop.AllocateTarget([&](const TMessage&) { Server.Clients.at(0)->SendStr("late answer"); });
  Server.OnAccept = [&](TWSocket&) { Loop.SetTimer(Delay, 1, 150ms); };

  int TicksDuringWait = -1;
  std::string Reply;
  QTimer::singleShot(0, App.get(), [&] {
    // As a dialog's timer handler that calls a blocking Get.
    TWSocket S;
    S.OnDataAvailable = [&](TWSocket& Sock, uint16_t) {
      char B[100];
      int N = Sock.Receive(B, sizeof B);
      if (N > 0) Reply.append(B, static_cast<size_t>(N));
    };
    S.SetAddr("127.0.0.1");
    S.SetPort(Server.Port());
    S.Connect();
    int Before = Ticks;
    Loop.PumpUntil([&] { return Reply == "late answer" || TimedOut; });
    TicksDuringWait = Ticks - Before;
    App->quit();
  });
  Guard();
  App->exec();
  EXPECT_FALSE(TimedOut);
  EXPECT_EQ(Reply, "late answer");
  EXPECT_GE(TicksDuringWait, 5) << "Qt's timers stood still while the wait blocked";
  Loop.DestroyTarget(Delay);
}

TEST_F(QtBridge, BlockingWaitFromInsideAQueueHandlerStillWakes) {
  TQtEventBridge Bridge;
  TEventLoop& Loop = TEventLoop::Current();
  bool Late = false, Finished = false;
  THandle Waker = Loop.AllocateTarget([&](const TMessage&) { Late = true; });
  THandle Outer = Loop.AllocateTarget([&](const TMessage&) {
    // Runs from the bridge's notifier; the nested wait needs it to fire again.
    Loop.SetTimer(Waker, 1, 30ms);
    Loop.PumpUntil([&] { return Late || TimedOut; });
    Finished = true;
    App->quit();
  });
  Loop.PostMessage(Outer, 1);
  Guard();
  App->exec();
  EXPECT_FALSE(TimedOut);
  EXPECT_TRUE(Late);
  EXPECT_TRUE(Finished);
  Loop.DestroyTarget(Waker);
  Loop.DestroyTarget(Outer);
}

TEST_F(QtBridge, ASecondBridgeOnTheSameThreadStaysIdle) {
  TQtEventBridge First;
  {
    TQtEventBridge Second;
    EXPECT_FALSE(Second.Active());
  }
  EXPECT_NE(TEventLoop::Current().WaitStrategy(), nullptr)
      << "the idle one must not uninstall the first";
}

}  // namespace
}  // namespace chronark
