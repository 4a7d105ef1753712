// The per-thread event queue: the Linux stand-in for hidden windows, PostMessage
// and the message loop. No Qt here; platform/qtbridge lets Qt's loop drive it.
//
// How to use it (for the socket and HTTP layers):
//   TEventLoop& Loop = TEventLoop::Current();        // the calling thread's queue
//   THandle W = Loop.AllocateTarget([this](const TMessage& M) { HandleMessage(M); });
//   Loop.PostMessage(W, 1025, WParam, LParam);          // delivered later, in order
//   uint64_t T = Loop.SetTimer(W, 1030, std::chrono::seconds(30));  // one-shot;
//                                                       // arrives as message 1030, LParam = T
//   Loop.KillTimer(T);                                  // a killed timer never arrives
//   Loop.DestroyTarget(W);                              // drops what is still queued for W
//   Loop.ProcessMessages();                             // dispatch what is ready, never blocks
//   Loop.WaitOne();                                     // block (no CPU) until something came,
//                                                       // then dispatch; in a Qt program this
//                                                       // waits inside Qt's loop
//   Loop.PumpUntil([&] { return Done; });               // a blocking call's wait
// Handles are never reused, so a message or timer for a destroyed target is
// simply dropped. PostMessage may be called from any thread through the
// shared_ptr of CurrentShared(); everything else belongs to the owning thread.
// A handler may destroy its own target, post, set timers or pump again (nested).
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

namespace chronark {

// A message target ("hidden window"); 0 is no target.
using THandle = uint64_t;

struct TMessage {
  THandle Target = 0;
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
};

using TMessageHandler = std::function<void(const TMessage&)>;

// How a blocking wait waits. Without one installed the loop blocks in epoll_wait;
// the Qt bridge installs one that waits in QEventLoop::processEvents.
class TWaitStrategy {
public:
  virtual ~TWaitStrategy() = default;
  // Handle whatever is pending without blocking (the queue included).
  virtual void ProcessEvents() = 0;
  // Block until something happened and handle it (the queue included).
  virtual void WaitForEvents() = 0;
};

class TEventLoop {
public:
  // The calling thread's queue, created on first use.
  static TEventLoop& Current();
  static std::shared_ptr<TEventLoop> CurrentShared();

  TEventLoop();
  ~TEventLoop();
  TEventLoop(const TEventLoop&) = delete;
  TEventLoop& operator=(const TEventLoop&) = delete;

  // Message targets.
  THandle AllocateTarget(TMessageHandler Handler);
  void DestroyTarget(THandle Target);  // drops its queued messages, timers and fd watches
  bool IsTarget(THandle Target) const;

  // Thread-safe. Messages are delivered in the order posted; a message for a
  // target that no longer exists is dropped.
  void PostMessage(THandle Target, uint32_t Msg, uintptr_t WParam = 0, intptr_t LParam = 0);

  // One-shot timers, delivered as a message Msg with WParam as given and LParam
  // the timer's id. Returns the id (never 0).
  uint64_t SetTimer(THandle Target, uint32_t Msg, std::chrono::milliseconds Delay,
                    uintptr_t WParam = 0);
  void KillTimer(uint64_t TimerId);

  // Readiness of a descriptor, one shot like asynchronous select: when any of
  // Events (EPOLLIN, EPOLLOUT, ...) is ready, message Msg with WParam = Fd and
  // LParam = the ready epoll bits is queued for Target, and the watch sleeps
  // until WatchFd is called again for that Fd (which also changes Events).
  // Events = 0 keeps the descriptor registered but asleep.
  bool WatchFd(int Fd, uint32_t Events, THandle Target, uint32_t Msg);
  // Forget the descriptor (call before closing it); drops its queued readiness.
  void UnwatchFd(int Fd);

  // Drops the queued messages Msg for Target (PeekMessage with PM_REMOVE).
  void RemoveMessages(THandle Target, uint32_t Msg);
  // Number of messages waiting in the queue (tests and diagnostics).
  size_t PendingCount() const;

  // Dispatch what is ready now: queued messages, due timers and ready
  // descriptors. Never blocks. Returns the number of messages dispatched.
  int ProcessMessages();
  // Block without using CPU until at least one message, timer or descriptor is
  // ready, then dispatch (through the installed wait strategy, if any).
  void WaitOne();
  // The wait of blocking calls: pump until Done() is true.
  void PumpUntil(const std::function<bool()>& Done);

  // A quit request for self-pumping threads (the own message pump's "quit message");
  // like PostQuitMessage, for the calling thread's own loop.
  void PostQuit();
  bool QuitRequested() const;
  void ClearQuit();

  // For a foreign loop: the one descriptor that becomes readable whenever
  // something is ready (posted message, due timer, ready descriptor), and the
  // call that dispatches it without blocking (same as ProcessMessages).
  int PollFd() const;
  int DispatchReady() { return ProcessMessages(); }

  // Not owned; nullptr restores the loop's own epoll wait.
  void SetWaitStrategy(TWaitStrategy* Strategy);
  TWaitStrategy* WaitStrategy() const;

  // Called when a handler lets an exception escape; by default the message is
  // written to standard error and the loop goes on.
  std::function<void(std::exception_ptr)> OnException;

  // The loop's own blocking wait, ignoring the strategy (used by strategies).
  void NativeWaitOne();

private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace chronark
