// Helpers of the socket tests: a bounded wait on the real loop, and servers.
#pragma once

#include "net/WSocket.h"
#include "platform/eventloop/EventLoop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

// The message of the ESocketException that F raises.
inline std::string RaisedText(const std::function<void()>& F) {
  try {
    F();
  } catch (const ESocketException& E) {
    return E.what();
  }
  return "(nothing raised)";
}

// A port on loopback that nobody listens on (for now).
inline std::string FreePort() {
  int Fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A);
  socklen_t L = sizeof A;
  getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &L);
  close(Fd);
  return std::to_string(ntohs(A.sin_port));
}

// Lets the loop run for a while (to see that nothing more happens).
inline void PumpIdle(std::chrono::milliseconds Time) {
  PumpFor([] { return false; }, Time);
}

// A TCP server on 127.0.0.1, port 0, built from TWSocket's listening side;
// every accepted connection becomes a TWSocket the test can talk through.
struct TTestServer {
  TWSocket Listener;
  std::vector<std::unique_ptr<TWSocket>> Clients;
  std::function<void(TWSocket&)> OnAccept;  // runs on each new connection
  std::string Received;                     // what all clients sent
  int Closed = 0;

  explicit TTestServer(std::string Proto = "tcp") {
    Listener.SetAddr("127.0.0.1");
    Listener.SetPort("0");
    Listener.SetProto(Proto);
    Listener.OnSessionAvailable = [this](TWSocket& L, uint16_t) {
      int Fd = L.Accept();
      if (Fd < 0) return;
      auto C = std::make_unique<TWSocket>();
      C->OnDataAvailable = [this](TWSocket& S, uint16_t) {
        char Buf[65536];
        int N = S.Receive(Buf, sizeof Buf);
        if (N > 0) Received.append(Buf, static_cast<size_t>(N));
      };
      C->OnSessionClosed = [this](TWSocket&, uint16_t) { ++Closed; };
      C->Dup(Fd);
      TWSocket& Ref = *C;
      Clients.push_back(std::move(C));
      if (OnAccept) OnAccept(Ref);
    };
    Listener.Listen();
  }
  std::string Port() const { return Listener.LocalPort(); }
};

}  // namespace chronark::test
