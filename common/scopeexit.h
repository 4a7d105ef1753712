// Runs an action when the scope ends, however it ends (return or exception).
#pragma once

#include <utility>

namespace chronark {

template <typename TAction>
class TScopeExit {
public:
  explicit TScopeExit(TAction Action) : FAction(std::move(Action)) {}
  ~TScopeExit() { FAction(); }
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;

private:
  TAction FAction;
};

}  // namespace chronark
