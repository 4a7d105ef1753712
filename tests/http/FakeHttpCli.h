// A THttpCli whose transport is a script of canned responses: every
// connection receives the next response, in reads of ChunkSize bytes, and
// the peer then closes (unless PeerCloses is false). Used by the buffer
// tests and by the fuzzer to drive the receive path without a network.
#pragma once

#include <deque>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "net/HttpProt.h"

namespace chronark::test {

class TFakeHttpCli : public THttpCli {
public:
  std::vector<std::string> Responses;  // one per connection
  size_t ChunkSize = 1 << 20;          // bytes handed out per receive call
  bool PeerCloses = true;              // the server closes after its response
  uint16_t CloseError = 0;             // the error its close reports
  std::vector<std::string> Requests;   // bytes sent, one entry per connection
  std::vector<std::string> Targets;    // "HostName:Port" of each connection
  uint16_t LookupError = 0;            // a failing name lookup
  int Connections = 0;
  int OurCloses = 0;

  using THttpCli::CheckTimeouts;

protected:
  void StartLookup() override {
    SetState(hsLookingUp);
    if (HostName().empty()) {
      // What the socket's lookup does for an empty name.
      THttpCli::StartLookup();
      return;
    }
    if (LookupError) {
      SocketDnsLookupDone(LookupError);
      return;
    }
    Targets.push_back(HostName() + ":" + Port());
    SetState(hsLookedUp);
    FOpen = true;
    ++Connections;
    Requests.emplace_back();
    FPending = NextResponse < Responses.size() ? Responses[NextResponse++] : std::string();
    SocketSessionConnected(0);
    Feed();
  }
  int32_t SocketReceive(void* Buffer, int32_t Size) override {
    if (!FOpen || FPending.empty()) {
      FLastError = 10035;
      return -1;
    }
    const size_t N = std::min({FPending.size(), ChunkSize, static_cast<size_t>(Size)});
    FPending.copy(static_cast<char*>(Buffer), N);
    FPending.erase(0, N);
    return static_cast<int32_t>(N);
  }
  int SocketLastError() override { return FLastError; }
  void SocketSend(const void* Data, int32_t Len) override {
    if (!FOpen) throw std::runtime_error("fake: send on a closed connection");
    Requests.back().append(static_cast<const char*>(Data), static_cast<size_t>(Len));
    FPosted.emplace_back(kDataSent, 0);
  }
  void SocketClose() override {
    if (FOpen) {
      FOpen = false;
      ++OurCloses;
      SocketSessionClosed(0);
    }
  }
  void SocketAbort() override { SocketClose(); }
  void PostToSelf(uint32_t Msg, uintptr_t WParam) override { FPosted.emplace_back(Msg, WParam); }
  void ArmTimer(std::chrono::milliseconds) override {}
  void DisarmTimer() override {}
  void WaitForEvents() override {
    if (FPosted.empty()) throw std::logic_error("fake: the request waits for nothing");
    while (!FPosted.empty()) {
      const auto [Msg, WParam] = FPosted.front();
      FPosted.pop_front();
      if (Msg == kDataSent)
        SocketDataSent(0);
      else
        HandleMessage(Msg, WParam);
    }
  }

  void ProcessPending() override {
    if (!FPosted.empty()) WaitForEvents();
  }

private:
  static constexpr uint32_t kDataSent = 0xFFFF;
  void Feed() {
    for (int Guard = 0; FOpen && !FPending.empty() && Guard < 100000000; ++Guard)
      SocketDataAvailable(0);
    if (FOpen && PeerCloses) {
      FOpen = false;
      SocketSessionClosed(CloseError);
    }
  }
  size_t NextResponse = 0;
  bool FOpen = false;
  int FLastError = 0;
  std::string FPending;
  std::deque<std::pair<uint32_t, uintptr_t>> FPosted;
};

}  // namespace chronark::test
