#include "platform/eventloop/EventLoop.h"

#include "platform/files/descriptor.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <system_error>
#include <unordered_map>
#include <utility>

namespace chronark {

namespace {

using TClock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as the timerfd

// Handles and timer ids are unique in the process, so a stale one never
// reaches an object that happens to get the same number later.
std::atomic<uint64_t> NextHandle{1};
std::atomic<uint64_t> NextTimerId{1};

thread_local std::shared_ptr<TEventLoop> ThreadLoop;

int CheckFd(int Fd, const char* What) {
  if (Fd < 0) throw std::system_error(errno, std::generic_category(), What);
  return Fd;
}

}  // namespace

struct TEventLoop::TImpl {
  struct TTimer {
    TClock::time_point Due;
    THandle Target = 0;
    uint32_t Msg = 0;
    uintptr_t WParam = 0;
  };
  struct TWatch {
    THandle Target = 0;
    uint32_t Msg = 0;
    uint32_t Events = 0;
    bool Registered = false;  // known to epoll (asleep watches are removed)
  };

  // Closed with the loop, also when its constructor fails part-way.
  TFileDescriptor EpollFd;
  TFileDescriptor WakeFd;   // eventfd: readable while the queue holds messages
  TFileDescriptor TimerFd;  // armed for the earliest timer

  mutable std::mutex Mutex;  // guards Queue and Signaled (PostMessage comes from any thread)
  std::deque<TMessage> Queue;
  bool Signaled = false;

  std::unordered_map<THandle, std::shared_ptr<TMessageHandler>> Targets;
  std::map<uint64_t, TTimer> Timers;
  std::set<std::pair<TClock::time_point, uint64_t>> TimerOrder;
  TClock::time_point ArmedDue = TClock::time_point::max();
  // Timers whose message is queued but not yet delivered (so KillTimer can take it back).
  std::unordered_map<uint64_t, std::pair<THandle, uint32_t>> QueuedTimers;
  std::unordered_map<int, TWatch> Watches;
  std::atomic<bool> Quit{false};
  TWaitStrategy* Strategy = nullptr;

  // Caller holds Mutex.
  void SignalLocked() {
    if (Signaled) return;
    uint64_t One = 1;
    while (write(WakeFd.Get(), &One, sizeof One) < 0 && errno == EINTR) {}
    Signaled = true;
  }
  void UnsignalLocked() {
    if (!Signaled || !Queue.empty()) return;
    uint64_t Count;
    while (read(WakeFd.Get(), &Count, sizeof Count) < 0 && errno == EINTR) {}
    Signaled = false;
  }
  void Enqueue(const TMessage& M) {
    std::lock_guard Lock(Mutex);
    Queue.push_back(M);
    SignalLocked();
  }

  void ArmTimerFd() {
    TClock::time_point Due =
        TimerOrder.empty() ? TClock::time_point::max() : TimerOrder.begin()->first;
    if (Due == ArmedDue) return;
    ArmedDue = Due;
    itimerspec Alarm{};
    if (Due != TClock::time_point::max()) {
      auto Ns =
          std::chrono::duration_cast<std::chrono::nanoseconds>(Due.time_since_epoch()).count();
      if (Ns <= 0) Ns = 1;  // an all-zero value would disarm
      Alarm.it_value.tv_sec = Ns / 1000000000;
      Alarm.it_value.tv_nsec = Ns % 1000000000;
    }
    timerfd_settime(TimerFd.Get(), TFD_TIMER_ABSTIME, &Alarm, nullptr);
  }

  void FireDueTimers() {
    if (TimerOrder.empty()) return;
    auto Now = TClock::now();
    while (!TimerOrder.empty() && TimerOrder.begin()->first <= Now) {
      uint64_t Id = TimerOrder.begin()->second;
      TimerOrder.erase(TimerOrder.begin());
      auto It = Timers.find(Id);
      if (It == Timers.end()) continue;
      Enqueue(TMessage{It->second.Target, It->second.Msg, It->second.WParam,
                       static_cast<intptr_t>(Id)});
      QueuedTimers.emplace(Id, std::make_pair(It->second.Target, It->second.Msg));
      Timers.erase(It);
    }
    ArmTimerFd();
  }

  // Turns what epoll reports into queued messages; Timeout as epoll_wait's.
  void Harvest(int Timeout) {
    epoll_event Events[64];
    int N;
    do {
      N = epoll_wait(EpollFd.Get(), Events, 64, Timeout);
    } while (N < 0 && errno == EINTR && Timeout == 0);
    if (N < 0) return;  // EINTR while blocking: the caller looks again
    for (int I = 0; I < N; ++I) {
      int Fd = Events[I].data.fd;
      if (Fd == WakeFd.Get()) continue;  // the queue itself says what is there
      if (Fd == TimerFd.Get()) {
        uint64_t Expirations;
        while (read(TimerFd.Get(), &Expirations, sizeof Expirations) < 0 && errno == EINTR) {}
        ArmedDue = TClock::time_point::max();  // fired: must be set again
        continue;
      }
      auto It = Watches.find(Fd);
      if (It == Watches.end()) continue;
      // One shot: the kernel has disarmed it; it sleeps until WatchFd again.
      Enqueue(TMessage{It->second.Target, It->second.Msg, static_cast<uintptr_t>(Fd),
                       static_cast<intptr_t>(Events[I].events)});
    }
    FireDueTimers();
  }

  bool PopFront(TMessage& M) {
    std::lock_guard Lock(Mutex);
    if (Queue.empty()) {
      UnsignalLocked();
      return false;
    }
    M = Queue.front();
    Queue.pop_front();
    UnsignalLocked();
    return true;
  }
};

TEventLoop& TEventLoop::Current() { return *CurrentShared(); }

std::shared_ptr<TEventLoop> TEventLoop::CurrentShared() {
  if (!ThreadLoop) ThreadLoop = std::make_shared<TEventLoop>();
  return ThreadLoop;
}

TEventLoop::TEventLoop() : FImpl(std::make_unique<TImpl>()) {
  auto& I = *FImpl;
  I.EpollFd.Reset(CheckFd(epoll_create1(EPOLL_CLOEXEC), "epoll_create1"));
  I.WakeFd.Reset(CheckFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd"));
  I.TimerFd.Reset(
      CheckFd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK), "timerfd_create"));
  for (int Fd : {I.WakeFd.Get(), I.TimerFd.Get()}) {
    epoll_event Ev{};
    Ev.events = EPOLLIN;  // level-triggered: stays readable until drained
    Ev.data.fd = Fd;
    if (epoll_ctl(I.EpollFd.Get(), EPOLL_CTL_ADD, Fd, &Ev) < 0)
      throw std::system_error(errno, std::generic_category(), "epoll_ctl");
  }
}

TEventLoop::~TEventLoop() = default;

THandle TEventLoop::AllocateTarget(TMessageHandler Handler) {
  THandle H = NextHandle.fetch_add(1);
  FImpl->Targets.emplace(H, std::make_shared<TMessageHandler>(std::move(Handler)));
  return H;
}

void TEventLoop::DestroyTarget(THandle Target) {
  auto& I = *FImpl;
  if (I.Targets.erase(Target) == 0) return;
  {
    std::lock_guard Lock(I.Mutex);
    std::erase_if(I.Queue, [&](const TMessage& M) { return M.Target == Target; });
    I.UnsignalLocked();
  }
  std::erase_if(I.QueuedTimers, [&](const auto& Q) { return Q.second.first == Target; });
  for (auto It = I.Timers.begin(); It != I.Timers.end();) {
    if (It->second.Target == Target) {
      I.TimerOrder.erase({It->second.Due, It->first});
      It = I.Timers.erase(It);
    } else {
      ++It;
    }
  }
  I.ArmTimerFd();
  for (auto It = I.Watches.begin(); It != I.Watches.end();) {
    if (It->second.Target == Target) {
      if (It->second.Registered) epoll_ctl(I.EpollFd.Get(), EPOLL_CTL_DEL, It->first, nullptr);
      It = I.Watches.erase(It);
    } else {
      ++It;
    }
  }
}

bool TEventLoop::IsTarget(THandle Target) const { return FImpl->Targets.count(Target) != 0; }

void TEventLoop::PostMessage(THandle Target, uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
  FImpl->Enqueue(TMessage{Target, Msg, WParam, LParam});
}

void TEventLoop::RemoveMessages(THandle Target, uint32_t Msg) {
  auto& I = *FImpl;
  std::lock_guard Lock(I.Mutex);
  std::erase_if(I.Queue, [&](const TMessage& M) { return M.Target == Target && M.Msg == Msg; });
  I.UnsignalLocked();
}

size_t TEventLoop::PendingCount() const {
  std::lock_guard Lock(FImpl->Mutex);
  return FImpl->Queue.size();
}

uint64_t TEventLoop::SetTimer(THandle Target, uint32_t Msg, std::chrono::milliseconds Delay,
                              uintptr_t WParam) {
  auto& I = *FImpl;
  uint64_t Id = NextTimerId.fetch_add(1);
  if (Delay.count() < 0) Delay = std::chrono::milliseconds(0);
  auto Due = TClock::now() + Delay;
  I.Timers.emplace(Id, TImpl::TTimer{Due, Target, Msg, WParam});
  I.TimerOrder.emplace(Due, Id);
  I.ArmTimerFd();
  return Id;
}

void TEventLoop::KillTimer(uint64_t TimerId) {
  auto& I = *FImpl;
  auto It = I.Timers.find(TimerId);
  if (It == I.Timers.end()) {
    // Already due: its message may be queued; a killed timer never arrives.
    auto Q = I.QueuedTimers.find(TimerId);
    if (Q == I.QueuedTimers.end()) return;
    std::lock_guard Lock(I.Mutex);
    std::erase_if(I.Queue, [&](const TMessage& M) {
      return M.Target == Q->second.first && M.Msg == Q->second.second &&
             M.LParam == static_cast<intptr_t>(TimerId);
    });
    I.UnsignalLocked();
    I.QueuedTimers.erase(Q);
    return;
  }
  I.TimerOrder.erase({It->second.Due, TimerId});
  I.Timers.erase(It);
  I.ArmTimerFd();
}

bool TEventLoop::WatchFd(int Fd, uint32_t Events, THandle Target, uint32_t Msg) {
  auto& I = *FImpl;
  auto& W = I.Watches[Fd];
  W.Target = Target;
  W.Msg = Msg;
  W.Events = Events;
  if (Events == 0) {
    // EPOLLERR and EPOLLHUP would still be reported: a sleeping watch leaves epoll.
    if (W.Registered && epoll_ctl(I.EpollFd.Get(), EPOLL_CTL_DEL, Fd, nullptr) < 0) return false;
    W.Registered = false;
    return true;
  }
  epoll_event Ev{};
  Ev.events = Events | EPOLLONESHOT;
  Ev.data.fd = Fd;
  if (epoll_ctl(I.EpollFd.Get(), W.Registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, Fd, &Ev) < 0) {
    if (errno != ENOENT || epoll_ctl(I.EpollFd.Get(), EPOLL_CTL_ADD, Fd, &Ev) < 0) return false;
  }
  W.Registered = true;
  return true;
}

void TEventLoop::UnwatchFd(int Fd) {
  auto& I = *FImpl;
  auto It = I.Watches.find(Fd);
  if (It == I.Watches.end()) return;
  if (It->second.Registered) epoll_ctl(I.EpollFd.Get(), EPOLL_CTL_DEL, Fd, nullptr);
  THandle Target = It->second.Target;
  uint32_t Msg = It->second.Msg;
  I.Watches.erase(It);
  std::lock_guard Lock(I.Mutex);
  std::erase_if(I.Queue, [&](const TMessage& M) {
    return M.Target == Target && M.Msg == Msg && M.WParam == static_cast<uintptr_t>(Fd);
  });
  I.UnsignalLocked();
}

int TEventLoop::ProcessMessages() {
  auto& I = *FImpl;
  I.Harvest(0);
  size_t Budget;
  {
    std::lock_guard Lock(I.Mutex);
    Budget = I.Queue.size();  // what is there now; later posts wait for the next round
  }
  int Dispatched = 0;
  TMessage M;
  while (Budget-- > 0 && I.PopFront(M)) {
    auto It = I.Targets.find(M.Target);
    if (!I.QueuedTimers.empty()) {
      auto Q = I.QueuedTimers.find(static_cast<uint64_t>(M.LParam));
      if (Q != I.QueuedTimers.end() && Q->second.first == M.Target && Q->second.second == M.Msg)
        I.QueuedTimers.erase(Q);
    }
    if (It == I.Targets.end()) continue;                    // its target has gone
    std::shared_ptr<TMessageHandler> Handler = It->second;  // survives DestroyTarget inside
    ++Dispatched;
    try {
      (*Handler)(M);
    } catch (...) {
      if (OnException) {
        OnException(std::current_exception());
      } else {
        try {
          throw;
        } catch (const std::exception& E) {
          std::fprintf(stderr, "%s\n", E.what());
        } catch (...) {
          std::fprintf(stderr, "unknown exception in a message handler\n");
        }
      }
    }
  }
  {
    // A wake without a message (PostQuit) must not keep the descriptor
    // readable, or every later wait would return at once and spin.
    std::lock_guard Lock(I.Mutex);
    I.UnsignalLocked();
  }
  return Dispatched;
}

void TEventLoop::NativeWaitOne() {
  if (ProcessMessages() > 0) return;
  FImpl->Harvest(-1);
  ProcessMessages();
}

void TEventLoop::WaitOne() {
  if (FImpl->Strategy)
    FImpl->Strategy->WaitForEvents();
  else
    NativeWaitOne();
}

void TEventLoop::PumpUntil(const std::function<bool()>& Done) {
  while (!Done()) WaitOne();
}

void TEventLoop::PostQuit() {
  FImpl->Quit = true;
  std::lock_guard Lock(FImpl->Mutex);
  FImpl->SignalLocked();  // wake a blocked wait; the next round unsignals it
}

bool TEventLoop::QuitRequested() const { return FImpl->Quit; }
void TEventLoop::ClearQuit() { FImpl->Quit = false; }
int TEventLoop::PollFd() const { return FImpl->EpollFd.Get(); }
void TEventLoop::SetWaitStrategy(TWaitStrategy* Strategy) { FImpl->Strategy = Strategy; }
TWaitStrategy* TEventLoop::WaitStrategy() const { return FImpl->Strategy; }

}  // namespace chronark
