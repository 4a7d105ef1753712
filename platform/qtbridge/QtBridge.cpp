#include "platform/qtbridge/QtBridge.h"

#include "platform/eventloop/EventLoop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QSocketNotifier>

namespace chronark {

// One notifier on the queue's epoll descriptor: posted messages (its eventfd),
// timers (its timerfd) and sockets all make that one descriptor readable, so
// Qt's loop wakes for every one of them and lets the queue dispatch.
struct TQtEventBridge::TImpl final : TWaitStrategy {
  explicit TImpl(TEventLoop& L) : Loop(L) {}

  void ProcessEvents() override {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    Loop.ProcessMessages();
  }

  void WaitForEvents() override {
    // Something already waiting is handled at once; only an idle queue blocks.
    if (Loop.ProcessMessages() > 0) return;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }

  TEventLoop& Loop;
  QSocketNotifier* Notifier = nullptr;
  bool Active = false;
};

TQtEventBridge::TQtEventBridge() : TQtEventBridge(TEventLoop::Current()) {}

TQtEventBridge::TQtEventBridge(TEventLoop& Loop) : FImpl(std::make_unique<TImpl>(Loop)) {
  if (Loop.WaitStrategy() != nullptr) return;  // another bridge drives it already
  FImpl->Active = true;
  FImpl->Notifier = new QSocketNotifier(Loop.PollFd(), QSocketNotifier::Read);
  TImpl* Impl = FImpl.get();
  QObject::connect(FImpl->Notifier, &QSocketNotifier::activated, FImpl->Notifier,
                   [Impl] { Impl->Loop.ProcessMessages(); });
  Loop.SetWaitStrategy(FImpl.get());
}

TQtEventBridge::~TQtEventBridge() {
  if (!FImpl->Active) return;
  FImpl->Loop.SetWaitStrategy(nullptr);
  delete FImpl->Notifier;
}

bool TQtEventBridge::Active() const { return FImpl->Active; }

}  // namespace chronark
