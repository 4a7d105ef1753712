// Lets Qt's event loop drive the thread's TEventLoop, so that sockets and timers
// of the net layer fire inside a Qt program and a blocking wait (THttpCli::Get)
// blocks in Qt's loop, keeping windows and Qt timers alive.
//
// How to use it: create one TQtEventBridge on the GUI thread after the
// QCoreApplication / QApplication exists and keep it for as long as the net
// layer is used, e.g. on the stack of the function that shows the dialog:
//     chronark::TQtEventBridge Bridge;   // installs itself for this thread
//     ... THttpCli::Get() now waits in QEventLoop::processEvents(WaitForMoreEvents)
// Destroy it before the QCoreApplication goes, and before a plugin that holds
// it is unloaded. A second bridge on the same thread while one is installed
// does nothing. Link the target chronark_qtbridge (built only with Qt).
#pragma once

#include <memory>

namespace chronark {

class TEventLoop;

class TQtEventBridge {
public:
  TQtEventBridge();                           // for the calling thread's loop
  explicit TQtEventBridge(TEventLoop& Loop);  // Loop must belong to the calling thread
  ~TQtEventBridge();
  TQtEventBridge(const TQtEventBridge&) = delete;
  TQtEventBridge& operator=(const TQtEventBridge&) = delete;

  // False when another bridge already drives this loop (this one then idles).
  bool Active() const;

private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace chronark
