// Helpers of the socket tests: raised texts and a server built from
// TWSocket's listening side.
#pragma once

#include "net/WSocket.h"
#include "support/loopback.h"
#include "support/pump.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace chronark::test {

// The message of the ESocketException that F raises.
inline std::string RaisedText(const std::function<void()>& F) {
  try {
    F();
  } catch (const ESocketException& E) {
    return E.what();
  }
  return "(nothing raised)";
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
