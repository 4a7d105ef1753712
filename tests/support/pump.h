// Bounded waits on the thread's real event loop.
#pragma once

#include "platform/eventloop/EventLoop.h"

#include <chrono>
#include <functional>

namespace chronark::test {

// Pumps the thread's loop until Done() or the time is up; true when Done().
inline bool PumpFor(const std::function<bool()>& Done,
                    std::chrono::milliseconds Limit = std::chrono::seconds(10)) {
  TEventLoop& Loop = TEventLoop::Current();
  bool TimedOut = false;
  THandle T = Loop.AllocateTarget([&](const TMessage&) { TimedOut = true; });
  Loop.SetTimer(T, 1, Limit);
  Loop.PumpUntil([&] { return TimedOut || Done(); });
  Loop.DestroyTarget(T);
  return Done();
}

// Lets the loop run for a while (to see that nothing more happens).
inline void PumpIdle(std::chrono::milliseconds Time) {
  PumpFor([] { return false; }, Time);
}

}  // namespace chronark::test
