// TLiveness: notices that its owner was destroyed while one of the owner's
// event handlers ran. Handlers may delete the component that fires them (or
// end the loop round that holds it); after every fire the component checks
// that it still exists before it touches a member again.
//
//   if (!FLife.Fire([&] { OnSessionClosed(Self(), Error); })) return;  // deleted
//   auto Alive = FLife.Watch();  // across several steps: Alive() after each
#pragma once

#include <memory>
#include <utility>

namespace chronark {

class TLiveness {
public:
  // A view that outlives the owner; Alive() turns false once the owner ends.
  class TWatch {
  public:
    explicit TWatch(std::shared_ptr<const bool> Flag) : FFlag(std::move(Flag)) {}
    bool Alive() const { return *FFlag; }

  private:
    std::shared_ptr<const bool> FFlag;
  };

  TLiveness() = default;
  TLiveness(const TLiveness&) = delete;
  TLiveness& operator=(const TLiveness&) = delete;
  ~TLiveness() { End(); }

  // Marks the owner as gone; every watch taken so far sees it.
  void End() { *FFlag = false; }
  bool Alive() const { return *FFlag; }
  TWatch Watch() const { return TWatch(FFlag); }
  std::weak_ptr<const bool> Weak() const { return FFlag; }

  // Runs one event fire; false when the owner was destroyed meanwhile (then
  // nothing of it may be touched). An exception of the fire passes through.
  template <class TFire>
  bool Fire(TFire&& Fire) const {
    const TWatch W = Watch();
    std::forward<TFire>(Fire)();
    return W.Alive();
  }

private:
  std::shared_ptr<bool> FFlag = std::make_shared<bool>(true);
};

}  // namespace chronark
