#include "platform/eventloop/EventLoop.h"

#include "support/pump.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>
#include <vector>

namespace chronark {
namespace {

using namespace std::chrono_literals;

bool Readable(int Fd) {
  pollfd P{Fd, POLLIN, 0};
  return poll(&P, 1, 0) == 1 && (P.revents & POLLIN);
}

TEST(EventLoop, PostedMessagesArriveInOrderAcrossTargets) {
  TEventLoop Loop;
  std::vector<std::pair<int, uint32_t>> Got;
  THandle A = Loop.AllocateTarget([&](const TMessage& M) { Got.push_back({1, M.Msg}); });
  THandle B = Loop.AllocateTarget([&](const TMessage& M) { Got.push_back({2, M.Msg}); });
  Loop.PostMessage(A, 1025);
  Loop.PostMessage(B, 1026);
  Loop.PostMessage(A, 1027, 7, -3);
  EXPECT_EQ(Loop.ProcessMessages(), 3);
  EXPECT_EQ(Got, (std::vector<std::pair<int, uint32_t>>{{1, 1025}, {2, 1026}, {1, 1027}}));
}

TEST(EventLoop, DestroyingATargetDropsItsQueuedMessagesOnly) {
  TEventLoop Loop;
  int GotA = 0, GotB = 0;
  THandle A = Loop.AllocateTarget([&](const TMessage&) { ++GotA; });
  THandle B = Loop.AllocateTarget([&](const TMessage&) { ++GotB; });
  Loop.PostMessage(A, 1);
  Loop.PostMessage(B, 1);
  Loop.PostMessage(A, 2);
  Loop.DestroyTarget(A);
  EXPECT_EQ(Loop.PendingCount(), 1u);
  Loop.ProcessMessages();
  EXPECT_EQ(GotA, 0);
  EXPECT_EQ(GotB, 1);
  // A message posted to the old handle later is dropped too: handles are never reused.
  Loop.PostMessage(A, 3);
  EXPECT_EQ(Loop.ProcessMessages(), 0);
  EXPECT_FALSE(Readable(Loop.PollFd()));
}

TEST(EventLoop, HandlerMayDestroyItsOwnTargetAndPumpNested) {
  TEventLoop Loop;
  int Got = 0, Inner = 0;
  THandle Other = Loop.AllocateTarget([&](const TMessage&) { ++Inner; });
  THandle T = 0;
  T = Loop.AllocateTarget([&](const TMessage&) {
    ++Got;
    Loop.PostMessage(Other, 5);
    Loop.ProcessMessages();  // nested: the inner message is handled right here
    EXPECT_EQ(Inner, 1);
    Loop.PostMessage(T, 2);
    Loop.DestroyTarget(T);  // the handler runs on; the message just posted is dropped
  });
  Loop.PostMessage(T, 1);
  Loop.ProcessMessages();
  Loop.ProcessMessages();
  EXPECT_EQ(Got, 1);
  EXPECT_FALSE(Loop.IsTarget(T));
}

TEST(EventLoop, TimersArriveByDeadlineAndKilledOnesNever) {
  TEventLoop& Loop = TEventLoop::Current();
  std::vector<uintptr_t> Order;
  THandle T = Loop.AllocateTarget([&](const TMessage& M) { Order.push_back(M.WParam); });
  uint64_t Late = Loop.SetTimer(T, 1030, 40ms, 3);
  Loop.SetTimer(T, 1030, 20ms, 2);
  uint64_t Killed = Loop.SetTimer(T, 1030, 10ms, 99);
  Loop.SetTimer(T, 1030, 0ms, 1);
  EXPECT_NE(Late, Killed);
  Loop.KillTimer(Killed);
  EXPECT_TRUE(test::PumpFor([&] { return Order.size() == 3; }, 5s));
  test::PumpIdle(30ms);
  EXPECT_EQ(Order, (std::vector<uintptr_t>{1, 2, 3}));
  Loop.DestroyTarget(T);
}

TEST(EventLoop, TimerIdArrivesInLParamAndAQueuedTimerCanStillBeKilled) {
  TEventLoop Loop;
  std::vector<intptr_t> Ids;
  THandle T = Loop.AllocateTarget([&](const TMessage& M) { Ids.push_back(M.LParam); });
  uint64_t A = Loop.SetTimer(T, 7, 0ms);
  usleep(1000);
  Loop.ProcessMessages();
  EXPECT_EQ(Ids, std::vector<intptr_t>{static_cast<intptr_t>(A)});
  Ids.clear();
  uint64_t C = Loop.SetTimer(T, 7, 0ms);
  usleep(1000);
  // The round queues C's message behind this one, whose handler kills C.
  THandle Killer = Loop.AllocateTarget([&](const TMessage&) { Loop.KillTimer(C); });
  Loop.PostMessage(Killer, 1);
  Loop.ProcessMessages();
  Loop.ProcessMessages();
  EXPECT_TRUE(Ids.empty());
}

TEST(EventLoop, PostFromAnotherThreadWakesABlockedWait) {
  auto Loop = TEventLoop::CurrentShared();
  bool Got = false;
  THandle T = Loop->AllocateTarget([&](const TMessage& M) { Got = M.Msg == 1099; });
  std::thread Poster([Loop, T] {
    std::this_thread::sleep_for(20ms);
    Loop->PostMessage(T, 1099);
  });
  Loop->PumpUntil([&] { return Got; });  // blocks in epoll_wait until the post
  Poster.join();
  EXPECT_TRUE(Got);
  Loop->DestroyTarget(T);
}

TEST(EventLoop, DescriptorWatchIsOneShotUntilArmedAgain) {
  TEventLoop Loop;
  int Fds[2];
  ASSERT_EQ(pipe(Fds), 0);
  std::vector<uint32_t> Events;
  THandle T = Loop.AllocateTarget([&](const TMessage& M) {
    EXPECT_EQ(M.WParam, static_cast<uintptr_t>(Fds[0]));
    Events.push_back(static_cast<uint32_t>(M.LParam));
  });
  ASSERT_TRUE(Loop.WatchFd(Fds[0], EPOLLIN, T, 1031));
  EXPECT_EQ(Loop.ProcessMessages(), 0);
  ASSERT_EQ(write(Fds[1], "x", 1), 1);
  EXPECT_TRUE(Readable(Loop.PollFd()));
  Loop.ProcessMessages();
  ASSERT_EQ(Events.size(), 1u);
  EXPECT_TRUE(Events[0] & EPOLLIN);
  Loop.ProcessMessages();
  EXPECT_EQ(Events.size(), 1u) << "fired again without being armed";
  ASSERT_TRUE(Loop.WatchFd(Fds[0], EPOLLIN, T, 1031));
  Loop.ProcessMessages();
  EXPECT_EQ(Events.size(), 2u) << "still readable: armed again, fires again";
  // Asleep: even the writer's close (a hang-up) is not reported.
  ASSERT_TRUE(Loop.WatchFd(Fds[0], 0, T, 1031));
  close(Fds[1]);
  Loop.ProcessMessages();
  EXPECT_EQ(Events.size(), 2u);
  Loop.UnwatchFd(Fds[0]);
  close(Fds[0]);
}

TEST(EventLoop, UnwatchDropsReadinessAlreadyQueued) {
  TEventLoop Loop;
  int Fds[2];
  ASSERT_EQ(pipe(Fds), 0);
  int Got = 0;
  THandle T = Loop.AllocateTarget([&](const TMessage&) { ++Got; });
  ASSERT_EQ(write(Fds[1], "x", 1), 1);
  ASSERT_TRUE(Loop.WatchFd(Fds[0], EPOLLIN, T, 1031));
  // The round harvests the readiness behind this message, whose handler unwatches.
  THandle Unwatcher = Loop.AllocateTarget([&](const TMessage&) { Loop.UnwatchFd(Fds[0]); });
  Loop.PostMessage(Unwatcher, 1);
  Loop.ProcessMessages();
  Loop.ProcessMessages();
  EXPECT_EQ(Got, 0) << "readiness of an unwatched descriptor was delivered";
  close(Fds[0]);
  close(Fds[1]);
}

TEST(EventLoop, PollFdIsReadableExactlyWhileSomethingIsPending) {
  TEventLoop Loop;
  THandle T = Loop.AllocateTarget([](const TMessage&) {});
  EXPECT_FALSE(Readable(Loop.PollFd()));
  Loop.PostMessage(T, 1);
  Loop.PostMessage(T, 2);
  EXPECT_TRUE(Readable(Loop.PollFd()));
  Loop.DispatchReady();
  EXPECT_FALSE(Readable(Loop.PollFd()));
  Loop.SetTimer(T, 3, 0ms);
  usleep(1000);
  EXPECT_TRUE(Readable(Loop.PollFd())) << "a due timer must wake a foreign loop";
  Loop.DispatchReady();
  EXPECT_FALSE(Readable(Loop.PollFd()));
}

TEST(EventLoop, AQuitRequestWakesOnceAndLeavesNoBusyWaitBehind) {
  TEventLoop Loop;
  Loop.PostQuit();
  EXPECT_TRUE(Readable(Loop.PollFd())) << "a quit must wake a blocked wait";
  Loop.ProcessMessages();
  EXPECT_FALSE(Readable(Loop.PollFd())) << "a foreign loop would be woken again and again";
  Loop.ClearQuit();
  // A wait for a timer blocks instead of coming back empty-handed.
  bool Fired = false;
  THandle F = Loop.AllocateTarget([&](const TMessage&) { Fired = true; });
  Loop.SetTimer(F, 1, 50ms);
  int Rounds = 0;
  Loop.PumpUntil([&] { return ++Rounds > 1000 || Fired; });
  EXPECT_TRUE(Fired);
  EXPECT_LE(Rounds, 5);
  Loop.DestroyTarget(F);
}

TEST(EventLoop, HandlerExceptionGoesToOnExceptionAndTheLoopGoesOn) {
  TEventLoop Loop;
  std::string Caught;
  Loop.OnException = [&](std::exception_ptr E) {
    try {
      std::rethrow_exception(E);
    } catch (const std::exception& X) {
      Caught = X.what();
    }
  };
  int After = 0;
  THandle T = Loop.AllocateTarget([&](const TMessage& M) {
    if (M.Msg == 1) throw std::runtime_error("boom");
    ++After;
  });
  Loop.PostMessage(T, 1);
  Loop.PostMessage(T, 2);
  Loop.ProcessMessages();
  EXPECT_EQ(Caught, "boom");
  EXPECT_EQ(After, 1);
}

TEST(EventLoop, ProcessMessagesLeavesMessagesPostedMeanwhileForTheNextRound) {
  TEventLoop Loop;
  int Got = 0;
  THandle T = 0;
  T = Loop.AllocateTarget([&](const TMessage&) {
    ++Got;
    Loop.PostMessage(T, 1);  // a handler that always posts again must not trap the caller
  });
  Loop.PostMessage(T, 1);
  EXPECT_EQ(Loop.ProcessMessages(), 1);
  EXPECT_EQ(Loop.ProcessMessages(), 1);
  EXPECT_EQ(Got, 2);
  Loop.DestroyTarget(T);
}

}  // namespace
}  // namespace chronark
